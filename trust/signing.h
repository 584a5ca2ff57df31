// Signed images: ECDSA P-256 over a SHA-256 digest (version 1 signature
// files: the image's; version 2: the signed release facts', which hold the
// image's). The platform's own cryptography does the work: OpenSSL's
// libcrypto natively, Windows CNG (bcrypt.dll) in the Windows build. Public
// keys are PEM SubjectPublicKeyInfo files ("-----BEGIN PUBLIC KEY-----"),
// read by one reader for both (key_file.h); a key's id is the first 8 bytes
// of the SHA-256 of its uncompressed point (0x04, X, Y).
#ifndef KOVA_TOOLS_SIGNING_H
#define KOVA_TOOLS_SIGNING_H

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "error.h"
#include "key_file.h"
#include "signature_file.h"

namespace signing {

constexpr size_t COORDINATE_BYTES = keyfile::COORDINATE_BYTES;
constexpr size_t POINT_BYTES = keyfile::POINT_BYTES;  // X then Y, big-endian
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

// What the signature in `file` is over: the image's SHA-256 (version 1), or
// the SHA-256 of the signed release facts (version 2).
inline sigfile::Hash signed_digest(const sigfile::SignatureFile& file) {
    if (file.version == sigfile::FORMAT_VERSION_1) {
        return file.image_sha256;
    }
    const std::string text = sigfile::signed_text(file);
    return sha256(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// Reads a P-256 public key (PEM, see key_file.h). A file that is not one is
// an input error (exitcode::USAGE) naming it and saying why.
Status read_public_key(const std::string& path, PublicKey& out);

// True when `signature` (r || s) is `key`'s signature over `hash`.
bool verify(const PublicKey& key, const sigfile::Hash& hash, const sigfile::Signature& signature);

#if !defined(_WIN32)
// Whether OpenSSL takes `point` as a P-256 public key (false off the
// curve): the tests' second opinion on keyfile::on_p256_curve.
bool point_on_curve(const std::array<uint8_t, POINT_BYTES>& point);
// Makes a key pair: BASE.key (PKCS#8 PEM, owner-only, never replaced) and
// BASE.pub (SubjectPublicKeyInfo PEM).
Status generate_key_pair(const std::string& base);
// Signs `file` (its facts and image hash filled in) with the private key in
// `key_path`: sets its key id, then its signature over signed_digest().
Status sign(const std::string& key_path, sigfile::SignatureFile& file);
// Signs with the private key in `key_path`: sets `id` to the key's id,
// then `signature` to its signature over digest(id) (a digest of text that
// names the key).
Status sign_with(const std::string& key_path,
                 const std::function<sigfile::Hash(const sigfile::KeyId&)>& digest, sigfile::KeyId& id,
                 sigfile::Signature& signature);
#endif

}  // namespace signing

#endif
