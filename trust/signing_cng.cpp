// Signed images through Windows CNG (bcrypt.dll): SHA-256 and ECDSA P-256
// verification. The key file is read by the one reader both builds share
// (key_file.h); the point it holds goes to CNG as its public key blob. This
// build only verifies: keys are made and images signed with the native
// kova-image.
#include <windows.h>
// windows.h first: these need its types.
#include <bcrypt.h>

#include <cstring>
#include <vector>

#include "signing.h"

namespace signing {

namespace {

struct Provider {
    BCRYPT_ALG_HANDLE handle = nullptr;
    explicit Provider(LPCWSTR algorithm) {
        if (BCryptOpenAlgorithmProvider(&handle, algorithm, nullptr, 0) != 0) {
            handle = nullptr;
        }
    }
    ~Provider() {
        if (handle) {
            BCryptCloseAlgorithmProvider(handle, 0);
        }
    }
};

}  // namespace

sigfile::Hash sha256(const uint8_t* data, size_t size) {
    sigfile::Hash out{};
    Provider alg(BCRYPT_SHA256_ALGORITHM);
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (alg.handle && BCryptCreateHash(alg.handle, &hash, nullptr, 0, nullptr, 0, 0) == 0) {
        // In pieces: BCryptHashData takes a 32-bit length.
        constexpr size_t PIECE = size_t(1) << 30;
        bool ok = true;
        for (size_t at = 0; ok && at < size; at += PIECE) {
            ULONG n = ULONG(size - at < PIECE ? size - at : PIECE);
            ok = BCryptHashData(hash, const_cast<PUCHAR>(data + at), n, 0) == 0;
        }
        if (!ok || BCryptFinishHash(hash, out.data(), ULONG(out.size()), 0) != 0) {
            out.fill(0);
        }
        BCryptDestroyHash(hash);
    }
    return out;
}

namespace {

// The point as CNG's public key; nothing when CNG refuses it (a point not on
// the curve).
BCRYPT_KEY_HANDLE import_point(const Provider& alg, const std::array<uint8_t, POINT_BYTES>& point) {
    std::vector<uint8_t> blob(sizeof(BCRYPT_ECCKEY_BLOB) + POINT_BYTES);
    BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, ULONG(COORDINATE_BYTES)};
    std::memcpy(blob.data(), &header, sizeof header);
    std::memcpy(blob.data() + sizeof header, point.data(), POINT_BYTES);
    BCRYPT_KEY_HANDLE handle = nullptr;
    if (!alg.handle || BCryptImportKeyPair(alg.handle, nullptr, BCRYPT_ECCPUBLIC_BLOB, &handle, blob.data(),
                                           ULONG(blob.size()), 0) != 0) {
        return nullptr;
    }
    return handle;
}

}  // namespace

bool verify(const PublicKey& key, const sigfile::Hash& hash, const sigfile::Signature& signature) {
    Provider alg(BCRYPT_ECDSA_P256_ALGORITHM);
    BCRYPT_KEY_HANDLE handle = import_point(alg, key.point);
    if (!handle) {
        return false;
    }
    // CNG takes the signature as r || s, as the signature file holds it.
    bool good = BCryptVerifySignature(handle, nullptr, const_cast<PUCHAR>(hash.data()), ULONG(hash.size()),
                                      const_cast<PUCHAR>(signature.data()), ULONG(signature.size()), 0) == 0;
    BCryptDestroyKey(handle);
    return good;
}

}  // namespace signing
