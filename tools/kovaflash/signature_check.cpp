#include "signature_check.h"

#include "signature_verdict.h"
#include "trust_store.h"

void check_signature(Session& s, const std::vector<uint8_t>& image, const std::string& image_path,
                     SignaturePolicy policy) {
    using trust::SignatureState;
    const std::string dir = s.options.trusted_keys.empty()
                                ? default_trusted_keys(s.options.board_dir, s.api.simulated)
                                : s.options.trusted_keys;
    const std::string sig_path = s.options.signature.empty() ? image_path + ".sig" : s.options.signature;
    std::vector<signing::PublicKey> keys;
    if (Status err = trust::load(dir, keys)) {
        throw *err;
    }
    trust::Verdict v = trust::judge(image, image_path, sig_path, keys, dir);
    nlohmann::json r = {{"file", sig_path},
                        {"trusted_keys", dir},
                        {"trusted_key_count", keys.size()},
                        {"state", trust::state_name(v.state)},
                        {"checked", v.state != SignatureState::Unchecked}};
    for (const auto& [name, value] :
         {std::pair{"key_id", v.key_id}, {"signer", v.signer}, {"image_sha256", v.image_sha256}}) {
        if (!value.empty()) {
            r[name] = value;
        }
    }
    s.say("signature     : %s", v.text.c_str());
    bool refused = v.state != SignatureState::Good && v.state != SignatureState::Unchecked;
    if (refused && policy == SignaturePolicy::Enforce) {
        if (!s.options.allow_unsigned) {
            s.report["signature"] = r;
            int code = v.state == SignatureState::Malformed ? exitcode::USAGE : exitcode::REFUSED;
            throw Error{code, v.text + "; nothing written (--allow-unsigned accepts it anyway)"};
        }
        s.warn("WARNING: " + v.text + "; accepted anyway (--allow-unsigned): nothing vouches for this image");
        r["allowed_unsigned"] = true;
    }
    s.report["signature"] = r;
}
