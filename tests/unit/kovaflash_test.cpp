#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "numbers.h"
#include "progress.h"

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

namespace {

struct ProgressCase {
    const char* name;
    int32_t expected;
    std::vector<int32_t> counters;
    std::vector<int> percents;
};

TEST(UpdateProgress, ClampedAndNeverBackwards) {
    const ProgressCase cases[] = {
        {"steady", 4, {4, 3, 2, 1, 0}, {0, 25, 50, 75, 100}},
        {"copies cost more than counted", 4, {2, 0, -3}, {50, 100, 100}},
        {"counter read back higher", 10, {5, 7, 4}, {50, 50, 60}},
        {"nothing to do", 0, {0, -2}, {100, 100}},
        {"dry run counted again (no handle)", 3, {3, 6}, {0, 0}},
    };
    for (const ProgressCase& c : cases) {
        UpdateProgress p(c.expected);
        std::vector<int> got;
        for (int32_t counter : c.counters) {
            got.push_back(p.percent(counter));
        }
        EXPECT_EQ(got, c.percents) << c.name;
    }
}

}  // namespace
