// Signed images through Windows CNG (bcrypt.dll): SHA-256 and ECDSA P-256
// verification. The PEM key file is decoded by crypt32.dll (base64, then
// the SubjectPublicKeyInfo); the point it holds goes to CNG as its public
// key blob. This build only verifies: keys are made and images signed with
// the native kova-image.
#include <windows.h>
// windows.h first: these need its types.
#include <bcrypt.h>
#include <wincrypt.h>

#include <cstring>
#include <vector>

#include "image_file.h"
#include "signing.h"

namespace signing {

namespace {

// The curve parameter of a P-256 SubjectPublicKeyInfo: OID 1.2.840.10045.3.1.7, DER.
constexpr uint8_t P256_CURVE_OID[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};

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

Status read_public_key(const std::string& path, PublicKey& out) {
    std::string text;
    if (Status err = read_small_file(path, MAX_KEY_FILE_BYTES, text)) {
        return err;
    }
    Error not_a_key{exitcode::USAGE, path + ": not a P-256 public key (PEM \"BEGIN PUBLIC KEY\")"};
    DWORD der_len = 0;
    if (!CryptStringToBinaryA(text.c_str(), DWORD(text.size()), CRYPT_STRING_BASE64HEADER, nullptr, &der_len,
                              nullptr, nullptr)) {
        return not_a_key;
    }
    std::vector<BYTE> der(der_len);
    CERT_PUBLIC_KEY_INFO* info = nullptr;
    DWORD info_len = 0;
    if (!CryptStringToBinaryA(text.c_str(), DWORD(text.size()), CRYPT_STRING_BASE64HEADER, der.data(),
                              &der_len, nullptr, nullptr) ||
        !CryptDecodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, der.data(), der_len,
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &info_len)) {
        return not_a_key;
    }
    const CRYPT_ALGORITHM_IDENTIFIER& alg = info->Algorithm;
    bool p256 = alg.pszObjId && std::strcmp(alg.pszObjId, szOID_ECC_PUBLIC_KEY) == 0 &&
                alg.Parameters.cbData == sizeof P256_CURVE_OID &&
                std::memcmp(alg.Parameters.pbData, P256_CURVE_OID, sizeof P256_CURVE_OID) == 0 &&
                info->PublicKey.cbData == 1 + POINT_BYTES && info->PublicKey.pbData[0] == UNCOMPRESSED_POINT;
    if (p256) {
        std::memcpy(out.point.data(), info->PublicKey.pbData + 1, POINT_BYTES);
    }
    LocalFree(info);
    if (!p256) {
        return not_a_key;
    }
    out.id = key_id(out.point);
    return std::nullopt;
}

bool verify(const PublicKey& key, const sigfile::Hash& hash, const sigfile::Signature& signature) {
    Provider alg(BCRYPT_ECDSA_P256_ALGORITHM);
    if (!alg.handle) {
        return false;
    }
    std::vector<uint8_t> blob(sizeof(BCRYPT_ECCKEY_BLOB) + POINT_BYTES);
    BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, ULONG(COORDINATE_BYTES)};
    std::memcpy(blob.data(), &header, sizeof header);
    std::memcpy(blob.data() + sizeof header, key.point.data(), POINT_BYTES);
    BCRYPT_KEY_HANDLE handle = nullptr;
    if (BCryptImportKeyPair(alg.handle, nullptr, BCRYPT_ECCPUBLIC_BLOB, &handle, blob.data(),
                            ULONG(blob.size()), 0) != 0) {
        return false;
    }
    // CNG takes the signature as r || s, as the signature file holds it.
    bool good = BCryptVerifySignature(handle, nullptr, const_cast<PUCHAR>(hash.data()), ULONG(hash.size()),
                                      const_cast<PUCHAR>(signature.data()), ULONG(signature.size()), 0) == 0;
    BCryptDestroyKey(handle);
    return good;
}

}  // namespace signing
