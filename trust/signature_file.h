// The detached signature of a firmware image: a small text file beside the
// image (IMAGE.sig) that a person can read. Version 2, what kova-image
// writes, signs the release's facts with the image's hash:
//
//   kova-image-signature 2
//   algorithm ecdsa-p256-sha256
//   key-id 1f2e3d4c5b6a7988
//   board K5R
//   release 05.02
//   security-version 3
//   image-sha256 <64 hex digits>
//   signature <128 hex digits: r then s, 32 bytes each, big-endian>
//
// The signature is ECDSA P-256 over the SHA-256 of the lines before it
// (signed_text: LF line ends, as format() writes them). Version 1 files
// lack the board, release and security-version lines and sign the image's
// SHA-256 itself; they are still read, as security version 0 and an
// unknown release.
//
// The lines in this order, lower-case hex, decimal without leading zeros,
// each line ended by LF (or CRLF), nothing else: one spelling per file. The
// parser is strict and reads at most MAX_FILE_BYTES; no cryptography
// happens here.
#ifndef KOVA_HOST_SIGNATURE_FILE_H
#define KOVA_HOST_SIGNATURE_FILE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error.h"

namespace sigfile {

constexpr char FORMAT_NAME[] = "kova-image-signature";
constexpr unsigned FORMAT_VERSION_1 = 1;  // no release facts
constexpr unsigned FORMAT_VERSION = 2;    // what is written
constexpr char ALGORITHM[] = "ecdsa-p256-sha256";
constexpr size_t KEY_ID_BYTES = 8;
constexpr size_t HASH_BYTES = 32;
constexpr size_t SIGNATURE_BYTES = 64;
// A release's facts: a board model of 1 to 16 letters, digits, '-' or '_';
// a release text of 1 to 32 letters, digits, '.', '-', '_' or '+'.
constexpr size_t MAX_BOARD_CHARS = 16;
constexpr size_t MAX_RELEASE_CHARS = 32;
// A version 1 file is 292 bytes (297 with CRLF), a version 2 file 326 bytes
// and the characters of its board, release and security version (8 more
// with CRLF); anything past this is not a signature file.
constexpr size_t MAX_FILE_BYTES = 512;

using KeyId = std::array<uint8_t, KEY_ID_BYTES>;
using Hash = std::array<uint8_t, HASH_BYTES>;
using Signature = std::array<uint8_t, SIGNATURE_BYTES>;

struct SignatureFile {
    unsigned version = FORMAT_VERSION;
    KeyId key_id{};
    std::string board;              // version 2
    std::string release;            // version 2
    uint32_t security_version = 0;  // version 2; 0 for version 1
    Hash image_sha256{};
    Signature signature{};
};

// The file's text, LF line ends.
std::string format(const SignatureFile& file);
// Version 2: what the signature's digest is taken over, the lines before
// the signature line. Version 1: empty (the digest is the image's hash).
std::string signed_text(const SignatureFile& file);
// Whether `board` and `release` are texts a file may carry.
bool valid_board(std::string_view board);
bool valid_release(std::string_view release);

// Nothing on success. Otherwise an input error (exitcode::USAGE) whose text
// says which line is wrong and how, without the file's name.
Status parse(std::string_view text, SignatureFile& out);

// Lower-case hex of `n` bytes.
std::string hex(const uint8_t* bytes, size_t n);
// Exactly 2n lower-case hex digits into `n` bytes; false for anything else.
bool parse_hex_bytes(std::string_view text, uint8_t* out, size_t n);
template <size_t N>
bool parse_hex(std::string_view text, std::array<uint8_t, N>& out) {
    return parse_hex_bytes(text, out.data(), N);
}
// Takes the next line off `rest`, without its LF or CRLF; false when no
// line end follows.
bool next_line(std::string_view& rest, std::string_view& line);
// Takes the line "NAME VALUE" off `rest` and sets `value`; otherwise says
// what is wrong: the text ends before it, or another line stands there.
std::optional<std::string> take_field(std::string_view& rest, const char* name, std::string_view& value);

}  // namespace sigfile

#endif
