// The key reader's own arithmetic and decoding, each against a second
// opinion: the curve check against OpenSSL's, base64 against the alphabet.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <random>
#include <string>
#include <tuple>

#include "key_file.h"
#include "signing.h"
#include "temp_dir.h"
#include "trust_store.h"

namespace fs = std::filesystem;

namespace {

keyfile::Point key_point(const std::string& base) {
    signing::PublicKey k;
    EXPECT_FALSE(signing::read_public_key(base + ".pub", k));
    return k.point;
}

class KeyFile : public TempDirTest {
protected:
    KeyFile() : TempDirTest("kova-keyfile") {}
};

TEST_F(KeyFile, CurveCheckAgreesWithOpenSSL) {
    const std::string t = dir.string();
    std::mt19937 rng(7);
    int on = 0, off = 0;
    for (int i = 0; i < 6; ++i) {
        const std::string base = t + "/k" + std::to_string(i);
        ASSERT_FALSE(signing::generate_key_pair(base));
        keyfile::Point p = key_point(base);
        // The key as made, then a bit of X or Y flipped: almost surely off the curve.
        for (int variant = 0; variant < 3; ++variant) {
            keyfile::Point q = p;
            if (variant > 0) {
                q[size_t(rng() % q.size())] ^= uint8_t(1u << (rng() % 8));
            }
            bool ours = keyfile::on_p256_curve(q), openssl = signing::point_on_curve(q);
            EXPECT_EQ(ours, openssl) << "key " << i << " variant " << variant;
            (ours ? on : off) += 1;
        }
    }
    EXPECT_EQ(on, 6) << "every key as made lies on the curve";
    EXPECT_EQ(off, 12);
    // Coordinates at or past the prime are never points, whatever the equation says.
    keyfile::Point big{};
    big.fill(0xFF);
    EXPECT_FALSE(keyfile::on_p256_curve(big));
    EXPECT_FALSE(signing::point_on_curve(big));
    // (0, y) lies on the curve; written with X = 0 + p it is the same point
    // modulo p, in an encoding that is not the one the key has: refused, or
    // one key would be trusted under two ids.
    auto from_hex = [](const std::string& hex) {
        keyfile::Point q{};
        for (size_t i = 0; i < q.size(); ++i) {
            q[i] = uint8_t(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
        }
        return q;
    };
    const std::string y = "66485c780e2f83d72433bd5d84a06bb6541c2af31dae871728bf856a174f93f4";
    const keyfile::Point canonical = from_hex(std::string(64, '0') + y);
    const keyfile::Point plus_p =
        from_hex("ffffffff00000001000000000000000000000000ffffffffffffffffffffffff" + y);
    EXPECT_TRUE(signing::point_on_curve(canonical)) << "OpenSSL's opinion of (0, y)";
    EXPECT_TRUE(keyfile::on_p256_curve(canonical));
    EXPECT_FALSE(keyfile::on_p256_curve(plus_p)) << "X = p taken for X = 0";
}

TEST(KeyFileBase64, HasOneSpelling) {
    struct Case {
        const char* text;
        const char* bytes;  // nullptr: refused
    } cases[] = {
        {"", ""},          {"TWFu", "Man"},     {"TWE=", "Ma"},
        {"TQ==", "M"},     {"TWF=", nullptr},  // trailing bits set: a second spelling of "Ma"
        {"TR==", nullptr}, {"TWFu\n", nullptr}, {"TW", nullptr},
        {"T===", nullptr}, {"TW=u", nullptr},   {"TW-u", nullptr},
    };
    for (const Case& c : cases) {
        auto got = keyfile::decode_base64(c.text);
        ASSERT_EQ(got.has_value(), c.bytes != nullptr) << c.text;
        if (got) {
            EXPECT_EQ(std::string(got->begin(), got->end()), c.bytes) << c.text;
        }
    }
}

}  // namespace

namespace {

// A P-256 key's DER SubjectPublicKeyInfo, with the given tail of the point.
std::string spki(const std::string& algorithm, const std::string& point) {
    std::string bits = std::string("\x03", 1) + char(point.size() + 1) + std::string("\0", 1) + point;
    std::string body = algorithm + bits;
    return std::string("\x30", 1) + char(body.size()) + body;
}

std::string pem(const std::string& der, const std::string& label = "PUBLIC KEY") {
    static constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string b64;
    for (size_t i = 0; i < der.size(); i += 3) {
        uint32_t n = uint32_t(uint8_t(der[i])) << 16;
        n |= i + 1 < der.size() ? uint32_t(uint8_t(der[i + 1])) << 8 : 0;
        n |= i + 2 < der.size() ? uint8_t(der[i + 2]) : 0;
        b64 += ALPHABET[n >> 18 & 63];
        b64 += ALPHABET[n >> 12 & 63];
        b64 += i + 1 < der.size() ? ALPHABET[n >> 6 & 63] : '=';
        b64 += i + 2 < der.size() ? ALPHABET[n & 63] : '=';
    }
    return "-----BEGIN " + label + "-----\n" + b64 + "\n-----END " + label + "-----\n";
}

}  // namespace

// The reader's verdicts on DER and framing the openssl-made table cannot
// reach: each row one rule, its phrase, and the good key beside them.
TEST(KeyFileReader, EachRuleSaysWhich) {
    const std::string EC = std::string("\x06\x07\x2A\x86\x48\xCE\x3D\x02\x01", 9);
    const std::string P256 = std::string("\x06\x08\x2A\x86\x48\xCE\x3D\x03\x01\x07", 10);
    const std::string P521 = std::string("\x06\x05\x2B\x81\x04\x00\x23", 7);
    const std::string RSA = std::string("\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x01\x01\x05\x00", 13);
    auto alg = [](const std::string& body) { return std::string("\x30", 1) + char(body.size()) + body; };
    const std::string point = "\x04" + std::string(64, '\x11');
    const std::string good = pem(spki(alg(EC + P256), point));
    std::string unused_bits = spki(alg(EC + P256), point);
    unused_bits[unused_bits.size() - 66] = '\x01';  // the BIT STRING's unused-bits byte
    std::string long_length = spki(alg(EC + P256), point);
    long_length.insert(1, "\x81", 1);  // 0x59 in long form: not DER's shortest
    struct Case {
        const char* name;
        std::string text;
        const char* refusal;  // "" taken
    } cases[] = {
        {"the key", good, ""},
        {"blank around it", "\n \t\n" + good + "\n\n", ""},
        {"CRLF lines",
         "-----BEGIN PUBLIC KEY-----\r\n" + good.substr(27, good.find("\n-----END") - 27) +
             "\r\n-----END PUBLIC KEY-----\r\n",
         ""},
        {"text after the block", good + "comment\n", "text after its PEM block"},
        {"two blocks", good + good, "more than one PEM block"},
        {"no block", "hello\n", "no PEM block"},
        {"no END line", good.substr(0, good.find("-----END")), "has no \"-----END PUBLIC KEY-----\" line"},
        {"a private key after", good + pem("x", "EC PRIVATE KEY"), "holds a private key"},
        {"a P-521 key", pem(spki(alg(EC + P521), point)), "a P-521 key"},
        {"an RSA key", pem(spki(alg(RSA), point)), "an RSA key"},
        {"no curve", pem(spki(alg(EC), point)), "without its curve"},
        {"unused bits", pem(unused_bits), "does not hold a SubjectPublicKeyInfo"},
        {"a long-form length", pem(long_length), "does not hold a SubjectPublicKeyInfo"},
        {"bytes after the DER", pem(spki(alg(EC + P256), point) + std::string(1, '\0')),
         "does not hold a SubjectPublicKeyInfo"},
        {"a short point", pem(spki(alg(EC + P256), point.substr(0, 33))), "not 65 bytes"},
    };
    for (const Case& c : cases) {
        keyfile::Parsed p = keyfile::parse_public_key(c.text);
        EXPECT_NE(p.refusal.find(c.refusal), std::string::npos) << c.name << ": " << p.refusal;
        EXPECT_EQ(p.refusal.empty(), std::string(c.refusal).empty()) << c.name << ": " << p.refusal;
        if (p.refusal.empty()) {
            EXPECT_EQ(std::string(p.point.begin(), p.point.end()), point.substr(1)) << c.name;
        }
    }
}

// A trusted key's name: no separator, blank, control character or leading dot.
TEST(KeyFileReader, KeyNames) {
    const std::pair<std::string, bool> names[] = {
        {"vendor", true},
        {"ключ", true},
        {"Ελληνικά", true},
        {"鍵", true},
        {"ven\xc2\xa0"
         "dor",
         false},  // a no-break space
        {"ven\xe2\x80\x8b"
         "dor",
         false},  // a zero-width space
        {"ven\xe3\x80\x80"
         "dor",
         false},              // an ideographic space
        {"ven\xff", false},   // not UTF-8
        {"\xd0", false},      // a letter cut short
        {"\xc0\xae", false},  // an overlong '.'
        {"ab\xc3\x97"
         "cd",
         false},  // the multiplication sign
        {"v-2_b.1", true},
        {std::string(64, 'k'), true},
        {"", false},
        {".hidden", false},
        {"a/b", false},
        {"a\\b", false},
        {"two words", false},
        {"tab\there", false},
        {std::string(65, 'k'), false},
    };
    for (const auto& [name, good] : names) {
        EXPECT_EQ(trust::valid_key_name(name), good) << "\"" << name << "\"";
    }
    // One name whatever its case, in every script that has one.
    const std::tuple<std::string, std::string, bool> pairs[] = {
        {"vendor", "VENDOR", true}, {"поставщик", "ПОСТАВЩИК", true}, {"ёж", "ЁЖ", true},
        {"άλφα", "ΆΛΦΑ", false},  // accented capitals: taken as names of their own
        {"ωμέγα", "ΩΜΈΓΑ", false},  {"Ελλάδα", "ελλάδα", true},       {"vendor", "vendor2", false},
        {"a", "b", false}};
    for (const auto& [a, b, same] : pairs) {
        EXPECT_EQ(trust::same_name(a, b), same) << a << " / " << b;
    }
}
