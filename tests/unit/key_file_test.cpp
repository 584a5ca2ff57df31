// The key reader's own arithmetic and decoding, each against a second
// opinion: the curve check against OpenSSL's, base64 against the alphabet.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <random>
#include <string>

#include "key_file.h"
#include "signing.h"
#include "temp_dir.h"

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
