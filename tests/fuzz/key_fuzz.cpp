// The key reader on any bytes (a trust store holds files anyone may have
// dropped there): it never reads outside its input; a key it takes came
// from exactly one PEM block of base64 that has one spelling, which this
// target re-encodes on its own and compares.
#include <cstddef>
#include <cstdint>
#include <string>

#include "key_file.h"

namespace {

std::string encode_base64(const std::vector<uint8_t>& bytes) {
    static constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t n = uint32_t(bytes[i]) << 16;
        if (i + 1 < bytes.size()) {
            n |= uint32_t(bytes[i + 1]) << 8;
        }
        if (i + 2 < bytes.size()) {
            n |= bytes[i + 2];
        }
        out += ALPHABET[(n >> 18) & 63];
        out += ALPHABET[(n >> 12) & 63];
        out += i + 1 < bytes.size() ? ALPHABET[(n >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? ALPHABET[n & 63] : '=';
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    if (auto bytes = keyfile::decode_base64(text)) {
        if (encode_base64(*bytes) != text) {
            __builtin_trap();  // a second spelling was taken
        }
    }
    keyfile::Parsed p = keyfile::parse_public_key(text);
    if (p.refusal.empty()) {
        if (text.find("-----BEGIN PUBLIC KEY-----") == std::string::npos ||
            text.find("PRIVATE KEY") != std::string::npos) {
            __builtin_trap();
        }
        (void)keyfile::on_p256_curve(p.point);
    }
    return 0;
}
