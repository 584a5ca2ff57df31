#include "signature_verdict.h"

#include <algorithm>
#include <filesystem>

#include "file_read.h"
#include "signature_file.h"
#include "utf8_path.h"

namespace trust {

const char* state_name(SignatureState state) {
    switch (state) {
    case SignatureState::Good:
        return "good";
    case SignatureState::Unchecked:
        return "unchecked";
    case SignatureState::Missing:
        return "missing";
    case SignatureState::Malformed:
        return "malformed";
    case SignatureState::Untrusted:
        return "untrusted";
    case SignatureState::OtherImage:
        return "other-image";
    case SignatureState::Bad:
        return "bad";
    }
    return "bad";
}

Verdict judge(const std::vector<uint8_t>& image, const std::string& image_path, const std::string& sig_path,
              const std::vector<signing::PublicKey>& keys, const std::string& dir) {
    using S = SignatureState;
    Verdict v;
    const std::string origin = "the image's origin was not checked";
    std::error_code ec;
    if (std::filesystem::symlink_status(u8::path(sig_path), ec).type() ==
        std::filesystem::file_type::not_found) {
        if (keys.empty()) {
            v.state = S::Unchecked;
            v.text = "not checked: no trusted key in " + dir + " and no " + sig_path + "; " + origin;
        } else {
            v.state = S::Missing;
            v.text = image_path + " has no signature (" + sig_path +
                     " not found), and the board takes only images signed by the keys in " + dir;
        }
        return v;
    }
    std::string text;
    sigfile::SignatureFile sig;
    if (Status err = read_text_file(sig_path, sigfile::MAX_FILE_BYTES, "a key or signature file", text)) {
        v.state = S::Malformed;
        v.text = err->text;
        return v;
    }
    if (Status err = sigfile::parse(text, sig)) {
        v.state = S::Malformed;
        v.text = sig_path + ": " + err->text;
        return v;
    }
    v.key_id = sigfile::hex(sig.key_id.data(), sig.key_id.size());
    v.format_version = sig.version;
    v.board = sig.board;
    v.release = sig.release;
    v.security_version = sig.security_version;
    if (keys.empty()) {
        v.state = S::Unchecked;
        v.text = "not checked: no trusted key in " + dir + " (" + sig_path + " names key " + v.key_id +
                 "); " + origin;
        return v;
    }
    auto key = std::find_if(keys.begin(), keys.end(),
                            [&](const signing::PublicKey& k) { return k.id == sig.key_id; });
    if (key == keys.end()) {
        v.state = S::Untrusted;
        v.text = "signed by key " + v.key_id + ", which is not among the " + std::to_string(keys.size()) +
                 " trusted keys in " + dir;
        return v;
    }
    v.signer = key->name;
    sigfile::Hash hash = signing::sha256(image.data(), image.size());
    v.image_sha256 = sigfile::hex(hash.data(), hash.size());
    if (hash != sig.image_sha256) {
        v.state = S::OtherImage;
        v.text = "the signature in " + sig_path + " is for other bytes (SHA-256 " +
                 sigfile::hex(sig.image_sha256.data(), sig.image_sha256.size()) +
                 "), not for this image (SHA-256 " + v.image_sha256 + ")";
        return v;
    }
    if (!signing::verify(*key, signing::signed_digest(sig), sig.signature)) {
        v.state = S::Bad;
        v.text = "the signature in " + sig_path + " does not verify with trusted key " + key->name + " (" +
                 v.key_id + "): the file was altered, or that key did not make it";
        return v;
    }
    v.state = S::Good;
    v.text = "good, by trusted key " + key->name + " (" + v.key_id + ")";
    return v;
}

}  // namespace trust
