#include "kit_signature.h"

#include <algorithm>

namespace kitsig {

namespace {

Error bad(const std::string& what) {
    return Error{exitcode::REFUSED, std::string("not a kit signature: ") + what};
}

}  // namespace

bool valid_kit_name(std::string_view name) {
    auto ok = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               std::string_view(".-_+").find(c) != std::string_view::npos;
    };
    return !name.empty() && name.size() <= MAX_KIT_CHARS && std::all_of(name.begin(), name.end(), ok);
}

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
        {"key-id",
         [](std::string_view v, KitSignature& k) {
             return sigfile::parse_hex_bytes(v, k.key_id.data(), k.key_id.size());
         },
         "16 lower-case hex digits"},
        {"kit",
         [](std::string_view v, KitSignature& k) {
             k.kit = std::string(v);
             return valid_kit_name(v);
         },
         "1 to 32 letters, digits, '.', '-', '_' or '+'"},
        {"sums-sha256",
         [](std::string_view v, KitSignature& k) {
             return sigfile::parse_hex_bytes(v, k.sums_sha256.data(), k.sums_sha256.size());
         },
         "64 lower-case hex digits"},
        {"signature",
         [](std::string_view v, KitSignature& k) {
             return sigfile::parse_hex_bytes(v, k.signature.data(), k.signature.size());
         },
         "128 lower-case hex digits"},
    };
    KitSignature parsed;
    std::string_view rest = text, line;
    for (const Field& field : fields) {
        const std::string prefix = std::string(field.name) + " ";
        if (!sigfile::next_line(rest, line)) {
            return bad(std::string("it ends before its \"") + field.name + "\" line (truncated?)");
        }
        if (line.substr(0, prefix.size()) != prefix) {
            return bad(std::string("a \"") + field.name + " ...\" line was expected");
        }
        if (!field.read(line.substr(prefix.size()), parsed)) {
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
