// Where an image comes from: its detached signature checked against the
// keys the board trusts, before anything is written. Trust fails closed: no
// trusted key means no update without --allow-unsigned.
#ifndef KOVAFLASH_SIGNATURE_CHECK_H
#define KOVAFLASH_SIGNATURE_CHECK_H

#include <cstdint>
#include <string>
#include <vector>

#include "session.h"
#include "signature_verdict.h"

enum class SignaturePolicy {
    Enforce,  // check, update: a refusal ends the command (unless --allow-unsigned)
    Report,   // verify: the state is said, the outcome is the comparison's
};

// What the signature vouches for.
struct Provenance {
    trust::Verdict verdict;
    bool good = false;              // a trusted key signed these bytes, for this board
    uint32_t security_version = 0;  // signed (0 when not good, or a format 1 file)
};

// Says the signature state of `image` (a line, and "signature" in the
// report). Enforce: an image with no signature, a signature by a key not
// trusted, over other bytes, for another board, or one that does not
// verify, and any image when the board trusts no key, is refused with
// exitcode::REFUSED; a signature file that is not one, and a trust store
// that cannot be read whole, with exitcode::USAGE. --allow-unsigned turns
// the refusals (not the store's errors) into a warning on stderr.
// Report: never throws; the state, whatever it is, is said. Throws the Error.
Provenance check_signature(Session& s, const std::vector<uint8_t>& image, const std::string& image_path,
                           SignaturePolicy policy);

#endif
