// Where an image comes from: its detached signature checked against the
// keys the board trusts, before anything is written.
#ifndef KOVAFLASH_SIGNATURE_CHECK_H
#define KOVAFLASH_SIGNATURE_CHECK_H

#include <cstdint>
#include <string>
#include <vector>

#include "session.h"

enum class SignaturePolicy {
    Enforce,  // check, update: a refusal ends the command (unless --allow-unsigned)
    Report,   // verify: the state is said, the outcome is the comparison's
};

// Says the signature state of `image` (text, and "signature" in the
// report). With at least one trusted key, an image with no signature, a
// signature by a key not trusted, over other bytes, or one that does not
// verify is refused with exitcode::REFUSED, and a signature file that is not
// one with exitcode::USAGE; --allow-unsigned turns each into a warning.
// With no trusted key the image passes, and the output says that its origin
// was not checked. Throws the Error.
void check_signature(Session& s, const std::vector<uint8_t>& image, const std::string& image_path,
                     SignaturePolicy policy);

#endif
