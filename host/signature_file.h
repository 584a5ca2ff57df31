// The detached signature of a firmware image: a small text file beside the
// image (IMAGE.sig) that a person can read. It names the signing key by its
// id, the image's SHA-256 and the ECDSA P-256 signature over that hash:
//
//   kova-image-signature 1
//   algorithm ecdsa-p256-sha256
//   key-id 1f2e3d4c5b6a7988
//   image-sha256 <64 hex digits>
//   signature <128 hex digits: r then s, 32 bytes each, big-endian>
//
// Five lines in this order, lower-case hex, each line ended by LF (or
// CRLF), nothing else. The parser is strict and reads at most
// MAX_FILE_BYTES; no cryptography happens here.
#ifndef KOVA_HOST_SIGNATURE_FILE_H
#define KOVA_HOST_SIGNATURE_FILE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "error.h"

namespace sigfile {

constexpr char FORMAT_NAME[] = "kova-image-signature";
constexpr unsigned FORMAT_VERSION = 1;
constexpr char ALGORITHM[] = "ecdsa-p256-sha256";
constexpr size_t KEY_ID_BYTES = 8;
constexpr size_t HASH_BYTES = 32;
constexpr size_t SIGNATURE_BYTES = 64;
// A well-formed file is 285 bytes (290 with CRLF); anything past this is
// not a signature file.
constexpr size_t MAX_FILE_BYTES = 512;

using KeyId = std::array<uint8_t, KEY_ID_BYTES>;
using Hash = std::array<uint8_t, HASH_BYTES>;
using Signature = std::array<uint8_t, SIGNATURE_BYTES>;

struct SignatureFile {
    KeyId key_id{};
    Hash image_sha256{};
    Signature signature{};
};

// The file's text, LF line ends.
std::string format(const SignatureFile& file);

// Nothing on success. Otherwise an input error (exitcode::USAGE) whose text
// says which line is wrong and how, without the file's name.
Status parse(std::string_view text, SignatureFile& out);

// Lower-case hex of `n` bytes.
std::string hex(const uint8_t* bytes, size_t n);

}  // namespace sigfile

#endif
