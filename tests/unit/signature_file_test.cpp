// The signature file's strict form: what is taken and what is refused, one
// row per rule (the tool's own table covers truncation, version and size).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "kit_signature.h"
#include "signature_file.h"

namespace {

std::string good(unsigned version = sigfile::FORMAT_VERSION) {
    sigfile::SignatureFile f;
    f.version = version;
    if (version == sigfile::FORMAT_VERSION) {
        f.board = "K5R";
        f.release = "05.02";
        f.security_version = 17;
    }
    for (size_t i = 0; i < f.signature.size(); ++i) {
        f.signature[i] = uint8_t(i * 7 + 1);
    }
    f.key_id[0] = 0xAB;
    f.image_sha256[31] = 0x5C;
    return sigfile::format(f);
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    size_t at = text.find(from);
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

struct ParseCase {
    const char* name;
    std::string text;
    const char* error;  // nullptr: accepted
};

TEST(SignatureFile, StrictForm) {
    const std::string g = good(), v1 = good(sigfile::FORMAT_VERSION_1);
    auto crlf = [](std::string t) {
        for (size_t at = t.find('\n'); at != std::string::npos; at = t.find('\n', at + 2)) {
            t.replace(at, 1, "\r\n");
        }
        return t;
    };
    const ParseCase cases[] = {
        {"as written", g, nullptr},
        {"version 1 as written", v1, nullptr},
        {"CRLF lines", crlf(g), nullptr},
        {"version 1, CRLF lines", crlf(v1), nullptr},
        {"version 1 with release facts", replaced(g, "signature 2", "signature 1"),
         "\"image-sha256 ...\" line"},
        {"version 2 without them", replaced(v1, "signature 1", "signature 2"), "\"board ...\" line"},
        {"version 3", replaced(g, "signature 2", "signature 3"), "format version \"3\""},
        {"upper-case hex", replaced(g, "key-id ab", "key-id AB"), "key-id is not"},
        {"short key id", replaced(g, "key-id ab", "key-id a"), "key-id is not"},
        {"other algorithm", replaced(g, "ecdsa-p256-sha256", "ecdsa-p384-sha384"), "algorithm is not"},
        {"fields out of order", replaced(g, "algorithm", "key-id"), "\"algorithm ...\" line was expected"},
        {"release before board",
         replaced(replaced(g, "board K5R", "release K5R"), "release 05.02", "board 05.02"),
         "\"board ...\" line was expected"},
        {"empty board", replaced(g, "board K5R", "board "), "the board is not"},
        {"board with a blank", replaced(g, "board K5R", "board K5 R"), "the board is not"},
        {"release with a slash", replaced(g, "release 05.02", "release 05/02"), "the release is not"},
        {"release of 33 characters", replaced(g, "release 05.02", "release " + std::string(33, '1')),
         "the release is not"},
        {"security version with a leading zero", replaced(g, "security-version 17", "security-version 017"),
         "security-version is not"},
        {"security version signed", replaced(g, "security-version 17", "security-version -1"),
         "security-version is not"},
        {"security version past 32 bits", replaced(g, "security-version 17", "security-version 4294967296"),
         "security-version is not"},
        {"no final line end", g.substr(0, g.size() - 1), "truncated"},
        {"a line after", g + "comment\n", "text follows"},
        {"a blank before", "\n" + g, "first line"},
        {"two blanks in a line", replaced(g, "key-id ", "key-id  "), "key-id is not"},
    };
    for (const ParseCase& c : cases) {
        sigfile::SignatureFile f;
        Status err = sigfile::parse(c.text, f);
        if (!c.error) {
            EXPECT_FALSE(err) << c.name << ": " << err->text;
            // What was read is what is written, LF line ends.
            std::string lf = c.text;
            lf.erase(std::remove(lf.begin(), lf.end(), '\r'), lf.end());
            EXPECT_EQ(sigfile::format(f), lf) << c.name;
        } else {
            ASSERT_TRUE(err) << c.name << " was accepted";
            EXPECT_EQ(err->code, exitcode::USAGE) << c.name;
            EXPECT_NE(err->text.find(c.error), std::string::npos) << c.name << ": " << err->text;
        }
    }
    // The sizes the header states, counted here by hand: version 1 is 292
    // bytes; version 2, 326 and its board, release and security version.
    EXPECT_EQ(v1.size(), 292u);
    EXPECT_EQ(g.size(), 326u + 3 + 5 + 2);
}

TEST(SignatureFile, SignedTextIsTheLinesBeforeTheSignature) {
    sigfile::SignatureFile f;
    ASSERT_FALSE(sigfile::parse(good(), f));
    const std::string text = sigfile::format(f);
    EXPECT_EQ(sigfile::signed_text(f), text.substr(0, text.find("signature ", 30)));
    EXPECT_NE(sigfile::signed_text(f).find("security-version 17\n"), std::string::npos);
    f.version = sigfile::FORMAT_VERSION_1;
    EXPECT_EQ(sigfile::signed_text(f), "") << "version 1 signs the image's hash itself";
}

}  // namespace

// The kit's list signature: its own first line, so a firmware signature is
// never taken for one (nor one for a firmware signature).
TEST(KitSignature, StrictFormAndDistinctFromImageSignatures) {
    kitsig::KitSignature k;
    k.kit = "KOVA-05.01";
    k.key_id[7] = 0x11;
    k.sums_sha256[0] = 0xEE;
    k.signature[63] = 0x42;
    const std::string g = kitsig::format(k);
    const ParseCase cases[] = {
        {"as written", g, nullptr},
        {"an image signature", good(), "\"kova-kit-signature ...\" line was expected"},
        {"version 2", replaced(g, "signature 1", "signature 2"), "is not version 1"},
        {"kit name with a slash", replaced(g, "kit KOVA-05.01", "kit ../KOVA"), "the kit line is not"},
        {"upper-case sums hash", replaced(g, "sums-sha256 ee", "sums-sha256 EE"),
         "the sums-sha256 line is not"},
        {"sums before kit", replaced(replaced(g, "kit KOVA", "sums-sha256 KOVA"), "sums-sha256 ee", "kit ee"),
         "\"kit ...\" line was expected"},
        {"truncated", g.substr(0, g.size() - 1), "truncated"},
        {"a line after", g + "\n", "text follows"},
        {"over 512 bytes", g + std::string(600, 'x'), "more than 512 bytes"},
    };
    for (const ParseCase& c : cases) {
        kitsig::KitSignature parsed;
        Status err = kitsig::parse(c.text, parsed);
        if (!c.error) {
            ASSERT_FALSE(err) << c.name << ": " << err->text;
            EXPECT_EQ(kitsig::format(parsed), g) << c.name;
        } else {
            ASSERT_TRUE(err) << c.name << " was accepted";
            EXPECT_EQ(err->code, exitcode::REFUSED) << c.name;
            EXPECT_NE(err->text.find(c.error), std::string::npos) << c.name << ": " << err->text;
        }
    }
    sigfile::SignatureFile image;
    EXPECT_TRUE(sigfile::parse(g, image)) << "a kit signature read as an image signature";
}
