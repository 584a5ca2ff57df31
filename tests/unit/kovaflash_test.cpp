#include <gtest/gtest.h>

#include <optional>

#include "numbers.h"

namespace {

struct NumberCase {
    const char* text;
    uint32_t max;
    std::optional<uint32_t> want;
};

TEST(ParseNumber, DecimalAndHexWithinRange) {
    const NumberCase cases[] = {
        {"0", 255, 0},
        {"255", 255, 255},
        {"256", 255, std::nullopt},
        {"0xff", 255, 255},
        {"0XFF", 255, 255},
        {"0x100", 255, std::nullopt},
        {"0x", 255, std::nullopt},
        {"", 255, std::nullopt},
        {"-1", 255, std::nullopt},
        {"+1", 255, std::nullopt},
        {"1x", 255, std::nullopt},
        {"0x1G", 255, std::nullopt},
        {" 1", 255, std::nullopt},
        {"0x-1", 255, std::nullopt},
        {"007", 255, 7},
        {"4294967295", 0xFFFFFFFF, 0xFFFFFFFF},
        {"4294967296", 0xFFFFFFFF, std::nullopt},
        {"99999999999999999999999", 0xFFFFFFFF, std::nullopt},
    };
    for (const NumberCase& c : cases) {
        EXPECT_EQ(parse_number(c.text, c.max), c.want) << "'" << c.text << "'";
    }
}

}  // namespace
