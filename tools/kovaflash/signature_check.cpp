#include "signature_check.h"

#include <algorithm>
#include <filesystem>

#include "image_file.h"
#include "signature_file.h"
#include "signing.h"
#include "trust_store.h"

namespace {

std::string hex_of(const uint8_t* bytes, size_t n) { return sigfile::hex(bytes, n); }

struct Verdict {
    std::string state;  // good, unchecked, missing, malformed, untrusted, other-image, bad
    std::string text;   // the line that says it
    int refusal = exitcode::OK;
};

Verdict judge(const std::vector<uint8_t>& image, const std::string& image_path, const std::string& sig_path,
              const std::vector<signing::PublicKey>& keys, const std::string& dir, nlohmann::json& r) {
    std::error_code ec;
    bool trusted_any = !keys.empty();
    const std::string origin = "the image's origin was not checked";
    if (std::filesystem::symlink_status(sig_path, ec).type() == std::filesystem::file_type::not_found) {
        if (!trusted_any) {
            return {"unchecked",
                    "not checked: no trusted key in " + dir + " and no " + sig_path + "; " + origin};
        }
        const std::string text = image_path + " has no signature (" + sig_path + " not found)";
        return {"missing", text + ", and the board takes only images signed by the keys in " + dir,
                exitcode::REFUSED};
    }
    std::string text;
    sigfile::SignatureFile sig;
    if (Status err = read_small_file(sig_path, sigfile::MAX_FILE_BYTES, text)) {
        return {"malformed", err->text, exitcode::USAGE};
    }
    if (Status err = sigfile::parse(text, sig)) {
        return {"malformed", sig_path + ": " + err->text, exitcode::USAGE};
    }
    const std::string id = hex_of(sig.key_id.data(), sig.key_id.size());
    r["key_id"] = id;
    if (!trusted_any) {
        return {"unchecked", "not checked: no trusted key in " + dir + " (" + sig_path + " names key " + id +
                                 "); " + origin};
    }
    auto key = std::find_if(keys.begin(), keys.end(),
                            [&](const signing::PublicKey& k) { return k.id == sig.key_id; });
    if (key == keys.end()) {
        return {"untrusted",
                "signed by key " + id + ", which is not among the " + std::to_string(keys.size()) +
                    " trusted keys in " + dir,
                exitcode::REFUSED};
    }
    r["signer"] = key->name;
    sigfile::Hash hash = signing::sha256(image.data(), image.size());
    r["image_sha256"] = hex_of(hash.data(), hash.size());
    if (hash != sig.image_sha256) {
        return {"other-image",
                "the signature in " + sig_path + " is for other bytes (SHA-256 " +
                    hex_of(sig.image_sha256.data(), sig.image_sha256.size()) +
                    "), not for this image (SHA-256 " + hex_of(hash.data(), hash.size()) + ")",
                exitcode::REFUSED};
    }
    if (!signing::verify(*key, hash, sig.signature)) {
        return {"bad",
                "the signature in " + sig_path + " does not verify with trusted key " + key->name + " (" +
                    id + "): the file was altered, or that key did not make it",
                exitcode::REFUSED};
    }
    return {"good", "good, by trusted key " + key->name + " (" + id + ")"};
}

}  // namespace

void check_signature(Session& s, const std::vector<uint8_t>& image, const std::string& image_path,
                     SignaturePolicy policy) {
    const std::string dir = s.options.trusted_keys.empty()
                                ? default_trusted_keys(s.options.board_dir, s.api.simulated)
                                : s.options.trusted_keys;
    const std::string sig_path = s.options.signature.empty() ? image_path + ".sig" : s.options.signature;
    nlohmann::json r = {{"file", sig_path}, {"trusted_keys", dir}};
    std::vector<signing::PublicKey> keys;
    if (Status err = trust::load(dir, keys)) {
        throw *err;
    }
    r["trusted_key_count"] = keys.size();
    Verdict v = judge(image, image_path, sig_path, keys, dir, r);
    r["state"] = v.state;
    r["checked"] = v.state != "unchecked";
    s.say("signature     : %s", v.text.c_str());
    if (v.refusal != exitcode::OK && policy == SignaturePolicy::Enforce) {
        if (!s.options.allow_unsigned) {
            s.report["signature"] = r;
            throw Error{v.refusal, v.text + "; nothing written (--allow-unsigned accepts it anyway)"};
        }
        s.warn("WARNING: " + v.text + "; accepted anyway (--allow-unsigned): nothing vouches for this image");
        r["allowed_unsigned"] = true;
    }
    s.report["signature"] = r;
}
