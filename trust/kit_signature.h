// The detached signature of a kit's checksum list (SHA256SUMS.sig): a small
// text file, made with the vendor's release key, never with a key a board
// trusts for firmware. Its first line differs from a firmware signature's,
// so neither can stand for the other:
//
//   kova-kit-signature 1
//   algorithm ecdsa-p256-sha256
//   key-id <16 hex digits: the release key's id>
//   kit KOVA-5.1
//   sums-sha256 <64 hex digits: SHA-256 of SHA256SUMS, byte for byte>
//   signature <128 hex digits: r then s>
//
// The signature is ECDSA P-256 over the SHA-256 of the five lines before
// it (LF line ends, as format() writes them). Read strictly: these lines in
// this order, lower-case hex, LF or CRLF, at most MAX_FILE_BYTES.
#ifndef KOVA_HOST_KIT_SIGNATURE_H
#define KOVA_HOST_KIT_SIGNATURE_H

#include <string>
#include <string_view>

#include "error.h"
#include "signature_file.h"

namespace kitsig {

constexpr char FORMAT_NAME[] = "kova-kit-signature";
constexpr unsigned FORMAT_VERSION = 1;
constexpr char SUMS_FILE[] = "SHA256SUMS";
constexpr char SIGNATURE_FILE[] = "SHA256SUMS.sig";
constexpr size_t MAX_FILE_BYTES = 512;
// The checksum list a kit's signature covers: at most 64 KiB.
constexpr size_t MAX_SUMS_BYTES = 64 * 1024;

struct KitSignature {
    sigfile::KeyId key_id{};
    std::string kit;
    sigfile::Hash sums_sha256{};
    sigfile::Signature signature{};
};

// A kit's name (KOVA-05.01) follows a release text's rule: 1 to 32
// letters, digits, '.', '-', '_' or '+'.
inline bool valid_kit_name(std::string_view name) { return sigfile::valid_release(name); }
// What the signature's digest is taken over: the lines before it.
std::string signed_text(const KitSignature& k);
// The whole file, LF line ends.
std::string format(const KitSignature& k);
// Nothing on success; otherwise an error (exitcode::REFUSED: a kit whose
// list's signature is not one is not the vendor's) saying which line is
// wrong and how.
Status parse(std::string_view text, KitSignature& out);

}  // namespace kitsig

#endif
