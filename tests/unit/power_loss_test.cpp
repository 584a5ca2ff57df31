// Power lost at every flash operation of an update: the boot block and the
// first 64 KiB are always whole somewhere, the interrupted call reports the
// failure, and a rerun after power returns either completes the update or,
// when the identity was lost, refuses without writing.
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

    unsigned points = 0, recovered = 0, refused = 0;
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
        uint32_t identity = identity_of(now);
        uint32_t again = KOVA_update_bios_firmware(b.data(), HANDLE, 0);
        if (identity == 0) {
            EXPECT_EQ(again, 0u);
            EXPECT_TRUE(flash() == b_installed) << "the rerun must finish the update";
            ++recovered;
        } else {
            EXPECT_EQ(again, identity);
            EXPECT_TRUE(board->firmware.callbacks().empty()) << "nothing sent to the firmware";
            EXPECT_TRUE(flash() == now) << "nothing written";
            ++refused;
        }
        expect_nothing_held();
    }
    std::cout << "[ power loss ] pass c " << (pass_c ? "runs" : "skipped") << ": " << points
              << " interruption points of " << total << " flash operations; rerun recovers " << recovered
              << ", refuses (identity lost) " << refused << "\n";
    RecordProperty("points", int(points));
    RecordProperty("recovered", int(recovered));
}

INSTANTIATE_TEST_SUITE_P(PassC, PowerLoss, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Runs" : "Skipped"; });

}  // namespace
