#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "board.h"
#include "board_cmd.h"
#include "builder.h"
#include "image_file.h"
#include "image_identity.h"
#include "numbers.h"
#include "progress.h"
#include "update_sequence.h"

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
    int32_t start, writes;
    std::vector<int32_t> counters;
    std::vector<int> percents;
};

TEST(UpdateProgress, ClampedAndNeverBackwards) {
    const ProgressCase cases[] = {
        {"steady", 4, 4, {4, 3, 2, 1, 0}, {0, 25, 50, 75, 100}},
        // 33 counted, 65 writes: the counter runs down past zero to -32.
        {"the writes the plan knows of", 33, 65, {33, 1, -32}, {0, 49, 100}},
        {"more writes than planned", 4, 4, {2, 0, -3}, {50, 100, 100}},
        {"counter read back higher", 10, 10, {5, 7, 4}, {50, 50, 60}},
        {"nothing to do", 0, 0, {0, -2}, {100, 100}},
        {"dry run counted again (no handle)", 3, 3, {3, 6}, {0, 0}},
    };
    for (const ProgressCase& c : cases) {
        UpdateProgress p(c.start, c.writes);
        std::vector<int> got;
        for (int32_t counter : c.counters) {
            got.push_back(p.percent(counter));
        }
        EXPECT_EQ(got, c.percents) << c.name;
    }
}

}  // namespace

namespace {

// The host tool's reading of an image's identity, against images whose top
// 64 KiB break one rule each.
struct IdentityCase {
    const char* name;
    void (*edit)(std::vector<uint8_t>& image);
    const char* refused_field;  // nullptr: installable
};

void put(std::vector<uint8_t>& img, uint32_t at, const std::string& bytes) {
    std::copy(bytes.begin(), bytes.end(), img.begin() + at);
}

TEST(ImageIdentity, RefusesWhatTheLibraryWouldRefuseOnceInstalled) {
    constexpr uint32_t BOOT_INFO = kimage::BOOT_INFO_OFFSET;
    constexpr uint32_t WINDOW_END = ident::TOP_WINDOW_OFFSET + ident::TOP_WINDOW_BYTES;
    const IdentityCase cases[] = {
        {"as built", [](std::vector<uint8_t>&) {}, nullptr},
        {"tag followed by anything", [](std::vector<uint8_t>& i) { put(i, 0x1FFFE5, "XYZ"); }, nullptr},
        {"other tag", [](std::vector<uint8_t>& i) { put(i, 0x1FFFE0, "R2319"); }, "platform tag"},
        {"no boot-info", [](std::vector<uint8_t>& i) { put(i, BOOT_INFO, "$BOOTSX$"); }, "boot-info block"},
        {"model with a fourth character", [](std::vector<uint8_t>& i) { put(i, BOOT_INFO + 13, "K5RX"); },
         "board model"},
        {"revision 1 passes, 2 is refused", [](std::vector<uint8_t>& i) { i[BOOT_INFO + 10] = 2; },
         "revision"},
        // The first "$BOOTSI$" counts even when a later copy would pass.
        {"first block decides",
         [](std::vector<uint8_t>& i) {
             std::string good(i.begin() + BOOT_INFO, i.begin() + BOOT_INFO + 24);
             put(i, BOOT_INFO + 13, "K7X");
             put(i, BOOT_INFO + 0x100, good);
             put(i, ident::TOP_WINDOW_OFFSET + 0x20, "$BOOTSI$\x01\x01\x01\x01\x01K7X");
         },
         "board model"},
        // A block at the very end of the window: its strings run out of it.
        {"strings past the window",
         [](std::vector<uint8_t>& i) {
             put(i, BOOT_INFO, "$BOOTSX$");
             put(i, WINDOW_END - 12, "$BOOTSI$\x01\x01\x01\x01");
         },
         "board model"},
    };
    for (const IdentityCase& c : cases) {
        std::vector<uint8_t> img = kimage::make_image({}).bytes;
        c.edit(img);
        auto why = ident::refusal(ident::read_identity(img.data()));
        if (c.refused_field) {
            ASSERT_TRUE(why) << c.name;
            EXPECT_EQ(why->field, c.refused_field) << c.name;
        } else {
            EXPECT_FALSE(why) << c.name << ": " << why->text;
        }
    }
}

}  // namespace

namespace {

// The tool reads the flash back itself after the library reports success:
// a firmware that disturbs a block once the walk has compared it leaves
// result 0 and a flash that is not the image, and the update says so.
TEST(KovaflashUpdate, VerifiesTheFlashItselfAfterTheLibraryReportsSuccess) {
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("kovaflash-verify-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    GlobalOptions g;
    g.board_dir = (dir / "board").string();
    g.yes = true;
    g.allow_unsigned = true;  // the board trusts no key: this is about the verify
    {
        Session s(g);
        ASSERT_EQ(run_board_init(s, "", {}), exitcode::OK);
    }
    kimage::ImageOptions o;
    o.seed = 3;
    ASSERT_FALSE(write_image_file((dir / "new.bin").string(), kimage::make_image(o).bytes));
    constexpr uint32_t DISTURBED = 0x1000;
    sim::current().firmware.disturb_after_end = DISTURBED;
    Session s(g);
    UpdateRequest u;
    u.image_path = (dir / "new.bin").string();
    u.no_backup = true;
    EXPECT_EQ(run_sequence(s, u), exitcode::DIFFERS);
    sim::current().firmware.disturb_after_end.reset();
    EXPECT_EQ(s.report["result"], 0u) << "the library saw every block take";
    EXPECT_EQ(s.report["verified"], false);
    EXPECT_EQ(s.report["differing_blocks"], std::vector<uint32_t>{DISTURBED});
    fs::remove_all(dir);
}

}  // namespace
