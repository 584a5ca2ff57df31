#include "kit_signature.h"

namespace kitsig {

namespace {

Error bad(const std::string& what) {
    return Error{exitcode::REFUSED, std::string("not a kit signature: ") + what};
}

}  // namespace

std::string signed_text(const KitSignature& k) {
    return std::string(FORMAT_NAME) + " " + std::to_string(FORMAT_VERSION) + "\n" + "algorithm " +
           sigfile::ALGORITHM + "\n" + "key-id " + sigfile::hex(k.key_id.data(), k.key_id.size()) + "\n" +
           "kit " + k.kit + "\n" + "sums-sha256 " + sigfile::hex(k.sums_sha256.data(), k.sums_sha256.size()) +
           "\n";
}

std::string format(const KitSignature& k) {
    return signed_text(k) + "signature " + sigfile::hex(k.signature.data(), k.signature.size()) + "\n";
}

Status parse(std::string_view text, KitSignature& out) {
    if (text.size() > MAX_FILE_BYTES) {
        return bad("more than " + std::to_string(MAX_FILE_BYTES) + " bytes");
    }
    struct Field {
        const char* name;
        bool (*read)(std::string_view, KitSignature&);
        const char* wants;
    };
    static const Field fields[] = {
        {FORMAT_NAME, [](std::string_view v, KitSignature&) { return v == std::to_string(FORMAT_VERSION); },
         "version 1"},
        {"algorithm", [](std::string_view v, KitSignature&) { return v == sigfile::ALGORITHM; },
         sigfile::ALGORITHM},
        {"key-id", [](std::string_view v, KitSignature& k) { return sigfile::parse_hex(v, k.key_id); },
         "16 lower-case hex digits"},
        {"kit",
         [](std::string_view v, KitSignature& k) {
             k.kit = std::string(v);
             return valid_kit_name(v);
         },
         "1 to 32 letters, digits, '.', '-', '_' or '+'"},
        {"sums-sha256",
         [](std::string_view v, KitSignature& k) { return sigfile::parse_hex(v, k.sums_sha256); },
         "64 lower-case hex digits"},
        {"signature", [](std::string_view v, KitSignature& k) { return sigfile::parse_hex(v, k.signature); },
         "128 lower-case hex digits"},
    };
    KitSignature parsed;
    std::string_view rest = text, value;
    for (const Field& field : fields) {
        if (std::optional<std::string> wrong = sigfile::take_field(rest, field.name, value)) {
            return bad(*wrong);
        }
        if (!field.read(value, parsed)) {
            return bad(std::string("the ") + field.name + " line is not " + field.wants);
        }
    }
    if (!rest.empty()) {
        return bad("text follows the signature line");
    }
    out = parsed;
    return std::nullopt;
}

}  // namespace kitsig
