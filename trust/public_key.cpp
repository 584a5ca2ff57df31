// A trusted key's file read the one way both builds read it.
#include "file_read.h"
#include "key_file.h"
#include "signing.h"

namespace signing {

Status read_public_key(const std::string& path, PublicKey& out) {
    std::string text;
    if (Status err = read_text_file(path, MAX_KEY_FILE_BYTES, "a key file", text)) {
        return err;
    }
    keyfile::Parsed parsed = keyfile::parse_public_key(text);
    if (parsed.refusal.empty() && !keyfile::on_p256_curve(parsed.point)) {
        parsed.refusal = "a P-256 key whose point is not on the curve";
    }
    if (!parsed.refusal.empty()) {
        return Error{exitcode::USAGE, path + ": not a P-256 public key: " + parsed.refusal};
    }
    out.point = parsed.point;
    out.id = key_id(out.point);
    return std::nullopt;
}

}  // namespace signing
