#include "signature_check.h"

#include "trust_store.h"

namespace {

constexpr char ACCEPT_HINT[] = "--allow-unsigned accepts it anyway";

}  // namespace

Provenance check_signature(Session& s, const std::vector<uint8_t>& image, const std::string& image_path,
                           SignaturePolicy policy) {
    using trust::SignatureState;
    const std::string dir = s.trust_dir();
    const std::string sig_path = s.options.signature.empty() ? image_path + ".sig" : s.options.signature;
    std::vector<signing::PublicKey> keys;
    Provenance p;
    nlohmann::json r = {{"file", sig_path}, {"trusted_keys", dir}};
    if (Status err =
            trust::load(dir, s.trust_dir_named() ? trust::Folder::Named : trust::Folder::Default, keys)) {
        if (policy == SignaturePolicy::Enforce) {
            s.report["signature"] = r;
            err->text += "; nothing written";
            throw *err;
        }
        r["state"] = "store-unreadable";
        r["checked"] = false;
        r["error"] = err->text;
        s.say("signature     : not checked: %s", err->text.c_str());
        s.warn("WARNING: signature not checked: " + err->text);
        s.report["signature"] = r;
        return p;
    }
    p.verdict = trust::judge(image, image_path, sig_path, keys, dir);
    const trust::Verdict& v = p.verdict;
    r["trusted_key_count"] = keys.size();
    r["state"] = trust::state_name(v.state);
    for (const auto& [name, value] : {std::pair{"key_id", v.key_id},
                                      {"signer", v.signer},
                                      {"image_sha256", v.image_sha256},
                                      {"board", v.board},
                                      {"release", v.release}}) {
        if (!value.empty()) {
            r[name] = value;
        }
    }
    if (v.format_version != 0) {
        r["format_version"] = v.format_version;
        r["security_version"] = v.security_version;
    }
    std::string text = v.text;
    SignatureState state = v.state;
    // A release made for another board is not one for this board, however
    // good its signature.
    bool other_board =
        state == SignatureState::Good && v.format_version >= sigfile::FORMAT_VERSION && v.board != s.api.mb;
    if (other_board) {
        text =
            "signed by trusted key " + v.signer + " for board " + v.board + ", and this board is " + s.api.mb;
        r["state"] = "other-board";
    } else if (state == SignatureState::Good && v.format_version >= sigfile::FORMAT_VERSION) {
        text += ", release " + v.release + ", security version " + std::to_string(v.security_version);
    } else if (state == SignatureState::Good) {
        text += " (format 1: no release facts, security version 0)";
    }
    if (state == SignatureState::Unchecked) {
        text = "no trusted key in " + dir +
               ": the board takes no image until it trusts its vendor's key (`kovaflash trust add "
               "VENDOR.pub`)";
    }
    p.good = state == SignatureState::Good && !other_board;
    p.security_version = p.good ? v.security_version : 0;
    r["checked"] = p.good;
    s.say("signature     : %s", text.c_str());
    if (!p.good) {
        if (policy == SignaturePolicy::Enforce && !s.options.allow_unsigned) {
            s.report["signature"] = r;
            int code = state == SignatureState::Malformed ? exitcode::USAGE : exitcode::REFUSED;
            throw Error{code, text + "; nothing written (" + ACCEPT_HINT + ")"};
        }
        s.warn(policy == SignaturePolicy::Enforce
                   ? "WARNING: " + text +
                         "; accepted anyway (--allow-unsigned): nothing vouches for this image"
                   : "WARNING: signature not good: " + text);
        if (policy == SignaturePolicy::Enforce) {
            r["allowed_unsigned"] = true;
        }
    }
    s.report["signature"] = r;
    return p;
}
