// The identity checks on the top window: codes in their order, the first
// boot-info block wins, and nothing is read past the 0xFFFF bytes mapped.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "update/identity.h"
#include "update/result.h"

namespace {

namespace r = kova::result;
constexpr uint32_t WINDOW = 0xFFFF;

// A window holding a good tag and a boot-info block at `at`.
std::vector<uint8_t> window_with(uint32_t at, const std::string& strings, uint8_t revision = 1) {
    std::vector<uint8_t> w(WINDOW, 0x5A);
    std::memcpy(&w[0xFFE0], "R2318", 5);
    std::memcpy(&w[at], "$BOOTSI$", 8);
    if (at + 10 < WINDOW) {
        w[at + 10] = revision;
    }
    if (at + 13 < WINDOW) {
        std::memcpy(&w[at + 13], strings.data(), std::min<size_t>(strings.size(), WINDOW - at - 13));
    }
    return w;
}

const std::string GOOD("K5R\0\0ZALT\0", 10);

struct IdentityCase {
    const char* name;
    std::function<std::vector<uint8_t>()> window;
    uint32_t board_code;     // of checks 1 to 5
    uint32_t revision_code;  // of check 6, when 1 to 5 pass
};

TEST(Identity, CodesInTheirOrder) {
    const IdentityCase cases[] = {
        {"all good, revision 1", [] { return window_with(0x100, GOOD); }, r::SUCCESS, r::SUCCESS},
        {"revision 0", [] { return window_with(0x100, GOOD, 0); }, r::SUCCESS, r::SUCCESS},
        {"revision 2", [] { return window_with(0x100, GOOD, 2); }, r::SUCCESS, r::REVISION},
        {"revision 0xFF is unsigned", [] { return window_with(0x100, GOOD, 0xFF); }, r::SUCCESS, r::REVISION},
        {"tag wrong",
         [] {
             auto w = window_with(0x100, GOOD);
             w[0xFFE4] = '9';
             return w;
         },
         r::PLATFORM_TAG, 0},
        {"tag wrong beats a missing boot-info block",
         [] {
             std::vector<uint8_t> w(WINDOW, 0);
             std::memcpy(&w[0xFFE0], "R2319", 5);
             return w;
         },
         r::PLATFORM_TAG, 0},
        {"tag followed by anything",
         [] {
             auto w = window_with(0x100, GOOD);
             std::memcpy(&w[0xFFE5], "XYZ", 3);
             return w;
         },
         r::SUCCESS, r::SUCCESS},
        {"no boot-info block",
         [] {
             std::vector<uint8_t> w(WINDOW, 0);
             std::memcpy(&w[0xFFE0], "R2318", 5);
             return w;
         },
         r::NO_BOOT_INFO, 0},
        {"model continues past K5R", [] { return window_with(0x100, std::string("K5RX\0\0ZALT\0", 11)); },
         r::BOARD_MODEL, 0},
        {"model too short", [] { return window_with(0x100, std::string("K5\0\0ZALT\0", 9)); }, r::BOARD_MODEL,
         0},
        {"second string not empty", [] { return window_with(0x100, std::string("K5R\0X\0ZALT\0", 11)); },
         r::SECOND_STRING, 0},
        {"vendor wrong", [] { return window_with(0x100, std::string("K5R\0\0ZALX\0", 10)); }, r::VENDOR, 0},
        {"first block used though a later one would pass",
         [] {
             auto w = window_with(0x2000, GOOD);
             std::memcpy(&w[0x100], "$BOOTSI$", 8);
             std::memcpy(&w[0x100 + 13], "Q7Z\0", 4);
             return w;
         },
         r::BOARD_MODEL, 0},
        // Blocks at the end of the window: every string that would need a
        // byte past the window fails its own check, and nothing is read
        // there (the window is exactly 0xFFFF bytes on the heap).
        {"strings start past the window", [] { return window_with(WINDOW - 10, ""); }, r::BOARD_MODEL, 0},
        {"model cut by the end", [] { return window_with(WINDOW - 16, "K5R"); }, r::BOARD_MODEL, 0},
        {"second string cut by the end", [] { return window_with(WINDOW - 17, std::string("K5R\0", 4)); },
         r::SECOND_STRING, 0},
        {"vendor cut by the end", [] { return window_with(WINDOW - 22, std::string("K5R\0\0ZALT", 9)); },
         r::VENDOR, 0},
        {"vendor's NUL is the window's last byte",
         [] { return window_with(WINDOW - 23, std::string("K5R\0\0ZALT\0", 10)); }, r::SUCCESS, r::SUCCESS},
    };
    for (const IdentityCase& c : cases) {
        std::vector<uint8_t> w = c.window();
        ASSERT_EQ(w.size(), WINDOW) << c.name;
        uint32_t boot_info = 0xDEAD;
        EXPECT_EQ(kova::check_board_identity(w.data(), &boot_info), c.board_code) << c.name;
        if (c.board_code == r::SUCCESS) {
            EXPECT_EQ(kova::check_revision(w.data(), boot_info), c.revision_code) << c.name;
        }
    }
}

}  // namespace
