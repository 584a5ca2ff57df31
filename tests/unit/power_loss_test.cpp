// Power lost at every flash operation of an update: the boot block and the
// first 64 KiB are always whole somewhere, the interrupted call reports the
// failure, and a rerun of the same update after power returns completes it,
// also where the top 64 KiB lost their identity (then resumed from the copy
// of the new boot block at 0x30000).
#include <gtest/gtest.h>

#include <cstring>
#include <iostream>

#include "update/identity.h"
#include "update_fixture.h"

namespace {

using namespace upd;

constexpr uint32_t BOOT = 0x1F0000, BOOT_COPY = 0x30000, FIRST = 0x0, FIRST_COPY = 0x10000, SEG = 0x10000;
constexpr uint32_t KEPT = 0x1E0000;

bool same(const Bytes& a, uint32_t at_a, const Bytes& b, uint32_t at_b) {
    return std::memcmp(&a[at_a], &b[at_b], SEG) == 0;
}

// What the library's identity check says of the flash's top 64 KiB.
uint32_t identity_of(const Bytes& flash) {
    Bytes window(flash.begin() + BOOT, flash.begin() + BOOT + kova::identity::TOP_WINDOW_LENGTH);
    uint32_t boot_info = 0;
    uint32_t code = kova::check_board_identity(window.data(), &boot_info);
    return code != 0 ? code : kova::check_revision(window.data(), boot_info);
}

class PowerLoss : public UpdateTest, public ::testing::WithParamInterface<bool> {};

TEST_P(PowerLoss, AtEveryFlashOperation) {
    const bool pass_c = GetParam();
    kimage::ImageOptions oa, ob;
    oa.seed = ob.seed = 5;
    oa.revision = 0;
    ob.revision = 1;
    ob.module_sizes = {0x6000, 0x1800, 0x14000, 0x3000, 0x800, 0x9000};
    const Bytes a = kimage::make_image(oa).bytes, b = kimage::make_image(ob).bytes;
    Bytes b_installed = b;
    std::copy(a.begin() + KEPT, a.begin() + KEPT + SEG, b_installed.begin() + KEPT);

    auto fresh = [&](std::optional<unsigned> lose_after) {
        board = std::make_unique<sim::Board>();
        sim::install(board.get());
        install(a);
        board->window.regs[REG_FEA1] = pass_c ? 0x00 : 0x80;
        board->firmware.power_lost_after_operations = lose_after;
    };
    fresh(std::nullopt);
    ASSERT_EQ(KOVA_update_bios_firmware(b.data(), HANDLE, 0), 0u);
    const unsigned total = board->firmware.operations();
    ASSERT_GT(total, 0u);

    unsigned points = 0, recovered = 0, resumed = 0;
    for (unsigned k = 1; k <= total && !HasFailure(); ++k) {
        SCOPED_TRACE("power lost after flash operation " + std::to_string(k) + " of " +
                     std::to_string(total));
        fresh(k);
        ++points;
        uint32_t code = KOVA_update_bios_firmware(b.data(), HANDLE, 0);
        EXPECT_EQ(code, k < total ? 0x80000030u : 0u);
        EXPECT_STREQ(KOVA_message,
                     k < total ? "Flash write failed." : "BIOS update successfully completed. ");
        expect_nothing_held();

        Bytes now = flash();
        EXPECT_TRUE(same(now, BOOT, a, BOOT) || same(now, BOOT, b, BOOT) || same(now, BOOT_COPY, b, BOOT))
            << "no whole boot block left";
        if (pass_c) {
            EXPECT_TRUE(same(now, FIRST, a, FIRST) || same(now, FIRST, b, FIRST) ||
                        same(now, FIRST_COPY, b, FIRST))
                << "no whole first 64 KiB left";
        }

        // Power returns; the host runs the update again.
        board->firmware.power_lost_after_operations.reset();
        board->firmware.events.clear();
        resumed += identity_of(now) != 0;
        uint32_t again = KOVA_update_bios_firmware(b.data(), HANDLE, 0);
        EXPECT_EQ(again, 0u);
        bool finished = flash() == b_installed;
        EXPECT_TRUE(finished) << "the rerun must finish the update";
        recovered += again == 0 && finished;
        expect_nothing_held();
    }
    std::cout << "[ power loss ] pass c " << (pass_c ? "runs" : "skipped") << ": " << points
              << " interruption points of " << total << " flash operations; rerun recovers " << recovered
              << " (" << resumed << " of them resumed from the boot-block copy)\n";
    EXPECT_EQ(points, pass_c ? 142u : 78u);
    EXPECT_EQ(recovered, points);
    EXPECT_EQ(resumed, 1u) << "only the erase of the boot-info block loses the top window's identity";
    RecordProperty("points", int(points));
    RecordProperty("recovered", int(recovered));
}

INSTANTIATE_TEST_SUITE_P(PassC, PowerLoss, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Runs" : "Skipped"; });

}  // namespace

namespace {

using namespace upd;

// The resume rule by itself: the top 64 KiB have lost their boot-info (the
// block holding it erased), and the copy at 0x30000 is or is not the image's
// boot block.
struct ResumeCase {
    const char* name;
    uint64_t copy_seed;     // the boot block placed at 0x30000 comes from this image
    uint32_t flipped_byte;  // nonzero: this byte of the copy differs
    const char* vendor;     // of the image being written (and of the copy from it)
    uint32_t code;
};

class Resume : public UpdateTest {};

TEST_F(Resume, OnlyFromAWholeCopyOfThisImagesBootBlock) {
    const ResumeCase cases[] = {
        {"copy is this image's boot block", 2, 0, "ZALT", 0},
        {"copy is another image's boot block", 3, 0, "ZALT", 0x80000010},
        {"copy differs in one byte", 2, 0x8123, "ZALT", 0x80000010},
        // An image of another vendor, forced, cut off in its boot-block pass:
        // the copy is whole and its own, but fails the checks itself.
        {"copy is this foreign image's boot block", 2, 0, "ACME", 0x80000010},
    };
    constexpr uint32_t BOOT_INFO_BLOCK = kimage::BOOT_INFO_OFFSET & ~(BLOCK - 1);
    for (const ResumeCase& c : cases) {
        SCOPED_TRACE(c.name);
        board = std::make_unique<sim::Board>();
        sim::install(board.get());
        Bytes installed = make(1, 0), image = make(2, 1, c.vendor),
              copy_from = make(c.copy_seed, 1, c.vendor);
        std::copy(copy_from.begin() + BOOT, copy_from.begin() + BOOT + SEG, installed.begin() + BOOT_COPY);
        installed[BOOT_COPY + c.flipped_byte] ^= c.flipped_byte ? 0x01 : 0x00;
        std::fill(installed.begin() + BOOT_INFO_BLOCK, installed.begin() + BOOT_INFO_BLOCK + BLOCK, 0xFF);
        install(installed);
        ASSERT_NE(identity_of(installed), 0u);

        EXPECT_EQ(KOVA_update_bios_firmware(image.data(), HANDLE, 0), c.code);
        expect_nothing_held();
        if (c.code == 0) {
            Bytes want = image;
            std::copy(installed.begin() + KEPT, installed.begin() + KEPT + SEG, want.begin() + KEPT);
            EXPECT_TRUE(flash() == want) << "the resumed update leaves the image outside 0x1E0000";
        } else {
            EXPECT_STREQ(KOVA_message, "Invalid image. ");
            EXPECT_TRUE(board->firmware.callbacks().empty()) << "nothing sent to the firmware";
            EXPECT_TRUE(flash() == installed) << "nothing written";
        }
    }
}

}  // namespace
