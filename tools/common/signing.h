// Signed images: ECDSA P-256 over the image's SHA-256. The platform's own
// cryptography does the work: OpenSSL's libcrypto natively, Windows CNG
// (bcrypt.dll, with crypt32.dll for the key file) in the Windows build.
// Public keys are PEM SubjectPublicKeyInfo files ("-----BEGIN PUBLIC
// KEY-----"), which both read as they stand; a key's id is the first 8
// bytes of the SHA-256 of its uncompressed point (0x04, X, Y).
#ifndef KOVA_TOOLS_SIGNING_H
#define KOVA_TOOLS_SIGNING_H

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "error.h"
#include "signature_file.h"

namespace signing {

constexpr size_t COORDINATE_BYTES = 32;
constexpr size_t POINT_BYTES = 2 * COORDINATE_BYTES;  // X then Y, big-endian
constexpr size_t MAX_KEY_FILE_BYTES = 4096;
constexpr char PUBLIC_KEY_SUFFIX[] = ".pub";
constexpr char PRIVATE_KEY_SUFFIX[] = ".key";

struct PublicKey {
    std::string name;  // the key file's name without ".pub"
    std::array<uint8_t, POINT_BYTES> point{};
    sigfile::KeyId id{};
};

sigfile::Hash sha256(const uint8_t* data, size_t size);

constexpr uint8_t UNCOMPRESSED_POINT = 0x04;  // the SEC 1 form: 0x04, X, Y

// The id of a point: the first bytes of SHA-256(0x04 || X || Y).
inline sigfile::KeyId key_id(const std::array<uint8_t, POINT_BYTES>& point) {
    uint8_t encoded[1 + POINT_BYTES] = {UNCOMPRESSED_POINT};
    std::memcpy(encoded + 1, point.data(), POINT_BYTES);
    sigfile::Hash h = sha256(encoded, sizeof encoded);
    sigfile::KeyId id{};
    std::memcpy(id.data(), h.data(), id.size());
    return id;
}

// Reads a P-256 public key (PEM). A file that is not one is an input error
// (exitcode::USAGE) naming it.
Status read_public_key(const std::string& path, PublicKey& out);

// True when `signature` (r || s) is `key`'s signature over `hash`.
bool verify(const PublicKey& key, const sigfile::Hash& hash, const sigfile::Signature& signature);

#if !defined(_WIN32)
// Makes a key pair: BASE.key (PKCS#8 PEM, owner-only, never replaced) and
// BASE.pub (SubjectPublicKeyInfo PEM).
Status generate_key_pair(const std::string& base);
// Signs `hash` with the private key in `key_path`: the whole signature file.
Status sign(const std::string& key_path, const sigfile::Hash& hash, sigfile::SignatureFile& out);
#endif

}  // namespace signing

#endif
