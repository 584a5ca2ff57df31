// The signature file's strict form: what is taken and what is refused, one
// row per rule (the tool's own table covers truncation, version and size).
#include <gtest/gtest.h>

#include <string>

#include "signature_file.h"

namespace {

std::string good() {
    sigfile::SignatureFile f;
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
    const std::string g = good();
    const ParseCase cases[] = {
        {"as written", g, nullptr},
        {"CRLF lines",
         replaced(replaced(replaced(replaced(replaced(g, "1\n", "1\r\n"), "sha256\n", "sha256\r\n"), "88\n",
                                    "88\r\n"),
                           "\nimage", "\r\nimage"),
                  "\nsignature", "\r\nsignature"),
         nullptr},
        {"upper-case hex", replaced(g, "key-id ab", "key-id AB"), "key-id is not"},
        {"short key id", replaced(g, "key-id ab", "key-id a"), "key-id is not"},
        {"other algorithm", replaced(g, "ecdsa-p256-sha256", "ecdsa-p384-sha384"), "algorithm is not"},
        {"fields out of order", replaced(g, "algorithm", "key-id"), "\"algorithm ...\" line was expected"},
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
            EXPECT_EQ(sigfile::format(f), g) << c.name;
        } else {
            ASSERT_TRUE(err) << c.name << " was accepted";
            EXPECT_EQ(err->code, exitcode::USAGE) << c.name;
            EXPECT_NE(err->text.find(c.error), std::string::npos) << c.name << ": " << err->text;
        }
    }
}

}  // namespace
