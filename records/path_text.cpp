#include "path_text.h"

namespace records {

namespace {

constexpr char BYTES_FIELD[] = "bytes";
constexpr char HEX_DIGITS[] = "0123456789abcdef";
constexpr unsigned NIBBLE_BITS = 4, NIBBLE_MASK = 0xF;

bool is_utf8(const std::string& text) {
    try {
        (void)nlohmann::json(text).dump();  // strict: throws on bytes that are not UTF-8
        return true;
    } catch (const nlohmann::json::type_error&) {
        return false;
    }
}

}  // namespace

nlohmann::json path_json(const std::string& path) {
    if (is_utf8(path)) {
        return path;
    }
    std::string hex;
    for (unsigned char c : path) {
        hex += HEX_DIGITS[c >> NIBBLE_BITS];
        hex += HEX_DIGITS[c & NIBBLE_MASK];
    }
    return {{BYTES_FIELD, hex}};
}

bool path_from_json(const nlohmann::json& j, std::string& path) {
    path.clear();
    if (j.is_string()) {
        path = j.get<std::string>();
        return true;
    }
    auto b = j.is_object() && j.size() == 1 ? j.find(BYTES_FIELD) : j.end();
    if (b == j.end() || !b->is_string() || b->get<std::string>().size() % 2 != 0) {
        return false;
    }
    const std::string& hex = b->get_ref<const std::string&>();
    for (size_t i = 0; i < hex.size(); i += 2) {
        const char* hi = std::strchr(HEX_DIGITS, hex[i]);
        const char* lo = std::strchr(HEX_DIGITS, hex[i + 1]);
        if (!hi || !lo || !*hi || !*lo) {
            path.clear();
            return false;
        }
        path += char(unsigned(hi - HEX_DIGITS) << NIBBLE_BITS | unsigned(lo - HEX_DIGITS));
    }
    return true;
}

}  // namespace records
