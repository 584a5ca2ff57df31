// Signed images through OpenSSL 3's libcrypto (native build).
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>

#include "atomic_file.h"
#include "file_read.h"
#include "signing.h"

namespace signing {

namespace {

constexpr char CURVE[] = "prime256v1";  // P-256
constexpr mode_t PRIVATE_KEY_MODE = 0600;

template <typename T, void (*Free)(T*)>
struct Freer {
    void operator()(T* p) const { Free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, Freer<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using Bio = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;
using EcdsaSig = std::unique_ptr<ECDSA_SIG, Freer<ECDSA_SIG, ECDSA_SIG_free>>;
using ParamBld = std::unique_ptr<OSSL_PARAM_BLD, Freer<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, Freer<OSSL_PARAM, OSSL_PARAM_free>>;

// The uncompressed point of a P-256 key; false for any other kind of key.
bool point_of(EVP_PKEY* key, std::array<uint8_t, POINT_BYTES>& point) {
    char group[32] = {};
    size_t len = 0;
    uint8_t encoded[1 + POINT_BYTES];
    if (!EVP_PKEY_is_a(key, "EC") ||
        !EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &len) ||
        std::strcmp(group, CURVE) != 0 ||
        !EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, encoded, sizeof encoded, &len) ||
        len != sizeof encoded || encoded[0] != UNCOMPRESSED_POINT) {
        return false;
    }
    std::memcpy(point.data(), encoded + 1, POINT_BYTES);
    return true;
}

Pkey key_of_point(const std::array<uint8_t, POINT_BYTES>& point) {
    uint8_t encoded[1 + POINT_BYTES] = {UNCOMPRESSED_POINT};
    std::memcpy(encoded + 1, point.data(), POINT_BYTES);
    ParamBld bld(OSSL_PARAM_BLD_new());
    if (!bld || !OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, CURVE, 0) ||
        !OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, encoded, sizeof encoded)) {
        return nullptr;
    }
    Params params(OSSL_PARAM_BLD_to_param(bld.get()));
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        return nullptr;
    }
    return Pkey(key);
}

std::string pem_text(EVP_PKEY* key, bool private_key) {
    Bio bio(BIO_new(BIO_s_mem()));
    int ok = private_key ? PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr)
                         : PEM_write_bio_PUBKEY(bio.get(), key);
    char* data = nullptr;
    long n = ok ? BIO_get_mem_data(bio.get(), &data) : 0;
    return n > 0 ? std::string(data, size_t(n)) : std::string();
}

// A new file, readable by its owner only, never replacing one.
Status write_private(const std::string& path, const std::string& text) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, PRIVATE_KEY_MODE);
    if (fd < 0) {
        int e = errno;
        return Error{e == EEXIST ? exitcode::USAGE : exitcode::ENVIRONMENT,
                     path + (e == EEXIST ? std::string(": exists; a private key is never replaced")
                                         : ": cannot create (" + std::string(std::strerror(e)) + ")")};
    }
    bool ok = fchmod(fd, PRIVATE_KEY_MODE) == 0 &&
              ::write(fd, text.data(), text.size()) == ssize_t(text.size()) && fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        ::unlink(path.c_str());
        return Error{exitcode::ENVIRONMENT, path + ": cannot write the key; nothing kept"};
    }
    return std::nullopt;
}

}  // namespace

sigfile::Hash sha256(const uint8_t* data, size_t size) {
    sigfile::Hash out{};
    unsigned len = 0;
    EVP_Digest(data, size, out.data(), &len, EVP_sha256(), nullptr);
    return out;
}

bool point_on_curve(const std::array<uint8_t, POINT_BYTES>& point) {
    // OpenSSL refuses to make a key of a point that is not on the curve.
    return key_of_point(point) != nullptr;
}

bool verify(const PublicKey& key, const sigfile::Hash& hash, const sigfile::Signature& signature) {
    Pkey pkey = key_of_point(key.point);
    EcdsaSig sig(ECDSA_SIG_new());
    if (!pkey || !sig) {
        return false;
    }
    BIGNUM* r = BN_bin2bn(signature.data(), int(COORDINATE_BYTES), nullptr);
    BIGNUM* s = BN_bin2bn(signature.data() + COORDINATE_BYTES, int(COORDINATE_BYTES), nullptr);
    if (!r || !s || !ECDSA_SIG_set0(sig.get(), r, s)) {
        BN_free(r);
        BN_free(s);
        return false;
    }
    unsigned char* der = nullptr;
    int der_len = i2d_ECDSA_SIG(sig.get(), &der);
    PkeyCtx ctx(EVP_PKEY_CTX_new(pkey.get(), nullptr));
    bool good = der_len > 0 && ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
                EVP_PKEY_verify(ctx.get(), der, size_t(der_len), hash.data(), hash.size()) == 1;
    OPENSSL_free(der);
    return good;
}

Status generate_key_pair(const std::string& base) {
    Pkey key(EVP_EC_gen(CURVE));
    std::string private_pem = key ? pem_text(key.get(), true) : "";
    std::string public_pem = key ? pem_text(key.get(), false) : "";
    if (private_pem.empty() || public_pem.empty()) {
        return Error{exitcode::FAILED, "cannot make a P-256 key"};
    }
    const std::string public_path = base + PUBLIC_KEY_SUFFIX, private_path = base + PRIVATE_KEY_SUFFIX;
    if (Status err = write_private(private_path, private_pem)) {
        return err;
    }
    if (Status err = write_file_atomic(public_path, reinterpret_cast<const uint8_t*>(public_pem.data()),
                                       public_pem.size(), Existing::Keep)) {
        ::unlink(private_path.c_str());  // a private key without its public half is of no use
        return err;
    }
    return std::nullopt;
}

Status sign(const std::string& key_path, sigfile::SignatureFile& out) {
    return sign_with(
        key_path,
        [&out](const sigfile::KeyId& id) {
            out.key_id = id;
            return signed_digest(out);
        },
        out.key_id, out.signature);
}

Status sign_with(const std::string& key_path,
                 const std::function<sigfile::Hash(const sigfile::KeyId&)>& digest, sigfile::KeyId& id,
                 sigfile::Signature& signature) {
    std::string text;
    if (Status err = read_text_file(key_path, MAX_KEY_FILE_BYTES, "a key or signature file", text)) {
        return err;
    }
    Bio bio(BIO_new_mem_buf(text.data(), int(text.size())));
    Pkey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    std::array<uint8_t, POINT_BYTES> point{};
    if (!key || !point_of(key.get(), point)) {
        return Error{exitcode::USAGE, key_path + ": not a P-256 private key (PEM \"BEGIN PRIVATE KEY\")"};
    }
    id = key_id(point);
    const sigfile::Hash hash = digest(id);
    PkeyCtx ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    size_t der_len = 0;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_sign(ctx.get(), nullptr, &der_len, hash.data(), hash.size()) != 1) {
        return Error{exitcode::FAILED, "cannot sign with " + key_path};
    }
    std::vector<unsigned char> der(der_len);
    if (EVP_PKEY_sign(ctx.get(), der.data(), &der_len, hash.data(), hash.size()) != 1) {
        return Error{exitcode::FAILED, "cannot sign with " + key_path};
    }
    const unsigned char* p = der.data();
    EcdsaSig sig(d2i_ECDSA_SIG(nullptr, &p, long(der_len)));
    const BIGNUM *r = nullptr, *s = nullptr;
    if (!sig) {
        return Error{exitcode::FAILED, "cannot sign with " + key_path};
    }
    ECDSA_SIG_get0(sig.get(), &r, &s);
    if (BN_bn2binpad(r, signature.data(), int(COORDINATE_BYTES)) < 0 ||
        BN_bn2binpad(s, signature.data() + COORDINATE_BYTES, int(COORDINATE_BYTES)) < 0) {
        return Error{exitcode::FAILED, "cannot sign with " + key_path};
    }
    return std::nullopt;
}

}  // namespace signing
