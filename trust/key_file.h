// The one reader of public-key files, for both builds: what a trust store
// may hold is decided here, not by OpenSSL's or CNG's idea of a PEM file, so
// a key file gets one verdict wherever it is read.
//
// A key file is exactly one PEM block labelled PUBLIC KEY, with nothing but
// blank space around it, holding the DER SubjectPublicKeyInfo of an EC key
// on the named curve P-256 with its point uncompressed (0x04, X, Y). Any
// private key in the file, another label, explicit curve parameters,
// another curve or algorithm, a compressed point: each refused, saying
// which; a point that is not on the curve, too.
#ifndef KOVA_TOOLS_KEY_FILE_H
#define KOVA_TOOLS_KEY_FILE_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keyfile {

constexpr size_t COORDINATE_BYTES = 32;
constexpr size_t POINT_BYTES = 2 * COORDINATE_BYTES;
using Point = std::array<uint8_t, POINT_BYTES>;

// The point of the key in `text`, or why the text is not a P-256 public key
// (a phrase: "a P-384 key", "holds a private key", ...).
struct Parsed {
    Point point{};
    std::string refusal;  // empty when the point was read
};
Parsed parse_public_key(std::string_view text);

// Whether (X, Y) satisfies the P-256 curve equation, both coordinates
// below the field's prime: computed here, so that both builds give one
// verdict (Wine's CNG takes any point).
bool on_p256_curve(const Point& point);

// Strict base64 (RFC 4648, padded, no line breaks): nothing for anything
// else, trailing bits included.
std::optional<std::vector<uint8_t>> decode_base64(std::string_view text);

}  // namespace keyfile

#endif
