// Whether an image's signature checks out against a set of trusted keys:
// the one judgement kovaflash acts on and kova-image reports.
#ifndef KOVA_TOOLS_SIGNATURE_VERDICT_H
#define KOVA_TOOLS_SIGNATURE_VERDICT_H

#include <cstdint>
#include <string>
#include <vector>

#include "signing.h"

namespace trust {

enum class SignatureState {
    Good,        // by a trusted key, over these bytes
    Unchecked,   // no trusted key to check it against
    Missing,     // no signature file
    Malformed,   // the file is not a signature file
    Untrusted,   // signed by a key not among the trusted ones
    OtherImage,  // the signature is over other bytes
    Bad,         // the signature does not verify with the key it names
};

struct Verdict {
    SignatureState state = SignatureState::Missing;
    std::string text;          // one line that says it, naming files, keys and `dir`
    std::string key_id;        // hex, once the file parsed
    std::string signer;        // the trusted key's name, once found
    std::string image_sha256;  // hex, once a trusted key was found
    // The signed release facts, once the file parsed (version 1: none, 0).
    unsigned format_version = 0;
    std::string board;
    std::string release;
    uint32_t security_version = 0;
};

// The state's name as reports carry it: good, unchecked, missing, malformed,
// untrusted, other-image, bad.
const char* state_name(SignatureState state);

// Judges the signature in `sig_path` of `image` against `keys`, the trusted
// keys of `dir`. Checks in this order: the file, who signed, what was
// signed, the signature itself.
Verdict judge(const std::vector<uint8_t>& image, const std::string& image_path, const std::string& sig_path,
              const std::vector<signing::PublicKey>& keys, const std::string& dir);

}  // namespace trust

#endif
