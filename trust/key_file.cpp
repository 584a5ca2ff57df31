#include "key_file.h"

#include <algorithm>
#include <cstring>

namespace keyfile {

namespace {

constexpr char BEGIN[] = "-----BEGIN ";
constexpr char END[] = "-----END ";
constexpr char DASHES[] = "-----";
constexpr char PUBLIC_LABEL[] = "PUBLIC KEY";
constexpr char PRIVATE_WORDS[] = "PRIVATE KEY";

// DER tags of a SubjectPublicKeyInfo.
constexpr uint8_t DER_SEQUENCE = 0x30;
constexpr uint8_t DER_OID = 0x06;
constexpr uint8_t DER_BIT_STRING = 0x03;
constexpr uint8_t DER_LONG_LENGTH = 0x80;
constexpr uint8_t DER_LENGTH_BYTES_MASK = 0x7F;

// Object identifiers, their DER contents.
constexpr uint8_t OID_EC_PUBLIC_KEY[] = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};
constexpr uint8_t OID_P256[] = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
constexpr uint8_t OID_P384[] = {0x2B, 0x81, 0x04, 0x00, 0x22};
constexpr uint8_t OID_P521[] = {0x2B, 0x81, 0x04, 0x00, 0x23};
constexpr uint8_t OID_SECP256K1[] = {0x2B, 0x81, 0x04, 0x00, 0x0A};
constexpr uint8_t OID_RSA[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
constexpr uint8_t OID_DSA[] = {0x2A, 0x86, 0x48, 0xCE, 0x38, 0x04, 0x01};
constexpr uint8_t OID_ED25519[] = {0x2B, 0x65, 0x70};
constexpr uint8_t OID_X25519[] = {0x2B, 0x65, 0x6E};

// SEC 1 point forms.
constexpr uint8_t POINT_UNCOMPRESSED = 0x04;
constexpr uint8_t POINT_COMPRESSED_EVEN = 0x02;
constexpr uint8_t POINT_COMPRESSED_ODD = 0x03;

// One DER element: its tag and contents, within what was given.
struct Element {
    uint8_t tag = 0;
    std::string_view contents;
};

// Takes the next element off `rest`; false when it runs past the end or
// its length is not in DER's shortest form.
bool next_element(std::string_view& rest, Element& out) {
    if (rest.size() < 2) {
        return false;
    }
    out.tag = uint8_t(rest[0]);
    size_t length = uint8_t(rest[1]), header = 2;
    if (length & DER_LONG_LENGTH) {
        size_t bytes = length & DER_LENGTH_BYTES_MASK;
        if (bytes == 0 || bytes > 2 || rest.size() < 2 + bytes) {
            return false;
        }
        length = 0;
        for (size_t i = 0; i < bytes; ++i) {
            length = length << 8 | uint8_t(rest[2 + i]);
        }
        if (length < DER_LONG_LENGTH || (bytes == 2 && length < 0x100)) {
            return false;
        }
        header += bytes;
    }
    if (rest.size() - header < length) {
        return false;
    }
    out.contents = rest.substr(header, length);
    rest.remove_prefix(header + length);
    return true;
}

template <size_t N>
bool is_oid(std::string_view contents, const uint8_t (&oid)[N]) {
    return contents.size() == N && std::memcmp(contents.data(), oid, N) == 0;
}

bool blank(std::string_view t) {
    return std::all_of(t.begin(), t.end(),
                       [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}

// The key the DER names, or why it is not one of P-256.
std::string read_spki(std::string_view der, Point& point) {
    constexpr char NOT_SPKI[] = "its PEM block does not hold a SubjectPublicKeyInfo";
    Element spki, algorithm, key, oid, params;
    if (!next_element(der, spki) || spki.tag != DER_SEQUENCE || !der.empty()) {
        return NOT_SPKI;
    }
    std::string_view fields = spki.contents;
    if (!next_element(fields, algorithm) || algorithm.tag != DER_SEQUENCE || !next_element(fields, key) ||
        key.tag != DER_BIT_STRING || !fields.empty()) {
        return NOT_SPKI;
    }
    std::string_view alg = algorithm.contents;
    if (!next_element(alg, oid) || oid.tag != DER_OID) {
        return NOT_SPKI;
    }
    if (!is_oid(oid.contents, OID_EC_PUBLIC_KEY)) {
        if (is_oid(oid.contents, OID_RSA)) {
            return "an RSA key";
        }
        if (is_oid(oid.contents, OID_DSA)) {
            return "a DSA key";
        }
        if (is_oid(oid.contents, OID_ED25519) || is_oid(oid.contents, OID_X25519)) {
            return "an Ed25519 or X25519 key";
        }
        return "a key of another algorithm";
    }
    if (!next_element(alg, params) || !alg.empty()) {
        return "an EC key without its curve";
    }
    if (params.tag == DER_SEQUENCE) {
        return "an EC key with explicit curve parameters (give it with the named curve P-256: "
               "openssl pkey -pubin -in KEY -out KEY.pub)";
    }
    if (params.tag != DER_OID || !is_oid(params.contents, OID_P256)) {
        if (params.tag == DER_OID && is_oid(params.contents, OID_P384)) {
            return "a P-384 key";
        }
        if (params.tag == DER_OID && is_oid(params.contents, OID_P521)) {
            return "a P-521 key";
        }
        if (params.tag == DER_OID && is_oid(params.contents, OID_SECP256K1)) {
            return "a secp256k1 key";
        }
        return "an EC key on another curve";
    }
    // The BIT STRING: no unused bits, then the point.
    std::string_view bits = key.contents;
    if (bits.empty() || bits[0] != 0) {
        return NOT_SPKI;
    }
    bits.remove_prefix(1);
    if (!bits.empty() &&
        (uint8_t(bits[0]) == POINT_COMPRESSED_EVEN || uint8_t(bits[0]) == POINT_COMPRESSED_ODD)) {
        return "a P-256 key with a compressed point, which this tool does not take (write it uncompressed: "
               "openssl ec -pubin -in KEY -conv_form uncompressed -out KEY.pub)";
    }
    if (bits.size() != 1 + POINT_BYTES || uint8_t(bits[0]) != POINT_UNCOMPRESSED) {
        return "a P-256 key whose point is not 65 bytes of the form 0x04, X, Y";
    }
    std::memcpy(point.data(), bits.data() + 1, POINT_BYTES);
    return "";
}

// Arithmetic modulo the P-256 prime, enough to test y^2 = x^3 - 3x + b:
// 256-bit numbers as eight 32-bit limbs, least significant first. Only the
// curve equation is computed here, on public values; signatures are the
// platform's.
constexpr size_t LIMBS = 8;
using Number = std::array<uint32_t, LIMBS>;
constexpr Number P256_P = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0x00000000,
                           0x00000000, 0x00000000, 0x00000001, 0xFFFFFFFF};
constexpr Number P256_B = {0x27D2604B, 0x3BCE3C3E, 0xCC53B0F6, 0x651D06B0,
                           0x769886BC, 0xB3EBBD55, 0xAA3A93E7, 0x5AC635D8};

Number from_big_endian(const uint8_t* bytes) {
    Number n{};
    for (size_t i = 0; i < LIMBS; ++i) {
        const uint8_t* b = bytes + (LIMBS - 1 - i) * 4;
        n[i] = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    }
    return n;
}

bool below_p(const Number& a) {
    for (size_t i = LIMBS; i-- > 0;) {
        if (a[i] != P256_P[i]) {
            return a[i] < P256_P[i];
        }
    }
    return false;
}

// (a + b) mod p for a, b below p (b may be p itself).
Number add_mod(const Number& a, const Number& b) {
    Number sum{};
    uint64_t carry = 0;
    for (size_t i = 0; i < LIMBS; ++i) {
        uint64_t t = uint64_t(a[i]) + b[i] + carry;
        sum[i] = uint32_t(t);
        carry = t >> 32;
    }
    if (carry || !below_p(sum)) {
        uint64_t borrow = 0;
        for (size_t i = 0; i < LIMBS; ++i) {
            uint64_t t = uint64_t(sum[i]) - P256_P[i] - borrow;
            sum[i] = uint32_t(t);
            borrow = (t >> 32) & 1;
        }
    }
    return sum;
}

// (a - b) mod p for a, b below p: a + (p - b).
Number sub_mod(const Number& a, const Number& b) {
    Number negated{};
    uint64_t borrow = 0;
    for (size_t i = 0; i < LIMBS; ++i) {
        uint64_t t = uint64_t(P256_P[i]) - b[i] - borrow;
        negated[i] = uint32_t(t);
        borrow = (t >> 32) & 1;
    }
    return add_mod(a, negated);
}

// (a * b) mod p: the 512-bit product, reduced one bit at a time from the top.
Number mul_mod(const Number& a, const Number& b) {
    std::array<uint32_t, 2 * LIMBS> product{};
    for (size_t i = 0; i < LIMBS; ++i) {
        uint64_t carry = 0;
        for (size_t j = 0; j < LIMBS; ++j) {
            uint64_t t = uint64_t(a[i]) * b[j] + product[i + j] + carry;
            product[i + j] = uint32_t(t);
            carry = t >> 32;
        }
        product[i + LIMBS] = uint32_t(carry);
    }
    Number r{}, one{1};
    for (size_t bit = 2 * LIMBS * 32; bit-- > 0;) {
        r = add_mod(r, r);
        if ((product[bit / 32] >> (bit % 32)) & 1) {
            r = add_mod(r, one);
        }
    }
    return r;
}

}  // namespace

bool on_p256_curve(const Point& point) {
    const Number x = from_big_endian(point.data()), y = from_big_endian(point.data() + COORDINATE_BYTES);
    if (!below_p(x) || !below_p(y)) {
        return false;
    }
    const Number three_x = add_mod(add_mod(x, x), x);
    const Number rhs = add_mod(sub_mod(mul_mod(mul_mod(x, x), x), three_x), P256_B);
    return mul_mod(y, y) == rhs;
}

std::optional<std::vector<uint8_t>> decode_base64(std::string_view text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') {
            return c - 'A';
        }
        if (c >= 'a' && c <= 'z') {
            return c - 'a' + 26;
        }
        if (c >= '0' && c <= '9') {
            return c - '0' + 52;
        }
        return c == '+' ? 62 : c == '/' ? 63 : -1;
    };
    constexpr size_t QUANTUM = 4;
    if (text.size() % QUANTUM != 0) {
        return std::nullopt;
    }
    size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') {
        ++padding;
    }
    std::vector<uint8_t> out;
    uint32_t bits = 0;
    for (size_t i = 0; i < text.size() - padding; ++i) {
        int v = value(text[i]);
        if (v < 0) {
            return std::nullopt;
        }
        bits = bits << 6 | uint32_t(v);
        if (i % QUANTUM == QUANTUM - 1) {
            out.push_back(uint8_t(bits >> 16));
            out.push_back(uint8_t(bits >> 8));
            out.push_back(uint8_t(bits));
            bits = 0;
        }
    }
    // The last quantum: 2 characters give 1 byte, 3 give 2; the bits past
    // them must be zero, or the text has more than one spelling.
    if (padding == 2) {
        if (bits & 0xF) {
            return std::nullopt;
        }
        out.push_back(uint8_t(bits >> 4));
    } else if (padding == 1) {
        if (bits & 0x3) {
            return std::nullopt;
        }
        out.push_back(uint8_t(bits >> 10));
        out.push_back(uint8_t(bits >> 2));
    }
    return out;
}

Parsed parse_public_key(std::string_view text) {
    Parsed p;
    // A private key anywhere in the file (before, after or instead of the
    // public one) means a secret was about to be copied into a trust store.
    for (size_t at = text.find(BEGIN); at != std::string_view::npos; at = text.find(BEGIN, at + 1)) {
        size_t line_end = text.find('\n', at);
        if (text.substr(at, line_end == std::string_view::npos ? text.size() - at : line_end - at)
                .find(PRIVATE_WORDS) != std::string_view::npos) {
            p.refusal = "the file holds a private key, which never belongs in a trust store";
            return p;
        }
    }
    size_t begin = text.find(BEGIN);
    if (begin == std::string_view::npos) {
        p.refusal = "no PEM block (\"-----BEGIN PUBLIC KEY-----\")";
        return p;
    }
    if (!blank(text.substr(0, begin))) {
        p.refusal = "text before its PEM block";
        return p;
    }
    size_t label_at = begin + std::strlen(BEGIN), label_end = text.find(DASHES, label_at);
    size_t line_end = text.find('\n', label_at);
    if (label_end == std::string_view::npos || line_end == std::string_view::npos || label_end > line_end ||
        !blank(text.substr(label_end + std::strlen(DASHES), line_end - label_end - std::strlen(DASHES)))) {
        p.refusal = "its BEGIN line is not \"-----BEGIN PUBLIC KEY-----\"";
        return p;
    }
    std::string_view label = text.substr(label_at, label_end - label_at);
    if (label != PUBLIC_LABEL) {
        p.refusal = "a PEM block labelled \"" + std::string(label.substr(0, 32)) + "\", not \"PUBLIC KEY\"";
        return p;
    }
    const std::string end_line = std::string(END) + PUBLIC_LABEL + DASHES;
    size_t end = text.find(end_line, line_end);
    if (end == std::string_view::npos) {
        p.refusal = "its PEM block has no \"" + end_line + "\" line";
        return p;
    }
    std::string_view after = text.substr(end + end_line.size());
    if (!blank(after)) {
        p.refusal = after.find(BEGIN) != std::string_view::npos ? "more than one PEM block"
                                                                : "text after its PEM block";
        return p;
    }
    // The body: base64 lines, nothing else (no PEM headers).
    std::string body;
    std::string_view lines = text.substr(line_end + 1, end - line_end - 1);
    while (!lines.empty()) {
        size_t nl = lines.find('\n');
        std::string_view line = lines.substr(0, nl);
        lines.remove_prefix(nl == std::string_view::npos ? lines.size() : nl + 1);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
            line.remove_suffix(1);
        }
        body.append(line);
    }
    auto der = decode_base64(body);
    if (!der) {
        p.refusal = "its PEM block is not base64";
        return p;
    }
    p.refusal = read_spki(std::string_view(reinterpret_cast<const char*>(der->data()), der->size()), p.point);
    return p;
}

}  // namespace keyfile
