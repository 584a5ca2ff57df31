// The update and check entries end to end on the simulated board: identity
// outcomes, notifications, dry-run counts, full updates, the resources held
// and released, and every firmware fault the walk must survive and report.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>

#include "update_fixture.h"

namespace {

using namespace upd;
using Kind = sim::FirmwareEvent::Kind;

constexpr const char* CHECK_OK = "Image validation sucessfully completed. ";
constexpr const char* UPDATE_OK = "BIOS update successfully completed. ";
constexpr const char* INVALID = "Invalid image. ";
constexpr const char* OUTDATED = "Image outdated. ";
constexpr const char* INTEGRITY = "Image integrity check failed.";
constexpr const char* SHELL = "Driver shell error.";
constexpr const char* WRITE_FAILED = "Flash write failed.";

struct InstalledCase {
    const char* name;
    std::function<void(kimage::ImageOptions&)> installed;  // options of the installed firmware
    uint32_t code;
    const char* message;
};

TEST_F(UpdateTest, IdentityOfTheInstalledFirmware) {
    const InstalledCase cases[] = {
        {"this board, revision 0", [](auto& o) { o.revision = 0; }, 0, CHECK_OK},
        {"this board, revision 1", [](auto& o) { o.revision = 1; }, 0, CHECK_OK},
        {"platform tag of another board", [](auto& o) { o.platform_tag = "R2319"; }, 0x80000001, INVALID},
        {"platform tag with more after it", [](auto& o) { o.platform_tag = "R2318-B"; }, 0, CHECK_OK},
        {"another model", [](auto& o) { o.model = "K5RX"; }, 0x80000002, INVALID},
        {"second string not empty", [](auto& o) { o.second = "X"; }, 0x80000003, INVALID},
        {"another vendor", [](auto& o) { o.vendor = "ZALTA"; }, 0x80000004, INVALID},
        {"revision 2", [](auto& o) { o.revision = 2; }, 0x80000005, OUTDATED},
    };
    Bytes image = make(100);
    for (const InstalledCase& c : cases) {
        kimage::ImageOptions o;
        c.installed(o);
        install(kimage::make_image(o).bytes);
        board->firmware.events.clear();
        EXPECT_EQ(KOVA_check_bios_image(image.data(), HANDLE, 0), c.code) << c.name;
        EXPECT_STREQ(KOVA_message, c.message) << c.name;
        if (c.code != 0) {
            EXPECT_TRUE(board->firmware.events.empty())
                << c.name << ": nothing sent before the identity holds";
        }
        expect_nothing_held();
    }
}

TEST_F(UpdateTest, BlankFlashHasNoIdentity) {
    Bytes image = make(100);
    EXPECT_EQ(KOVA_update_bios_firmware(image.data(), HANDLE, 0), 0x80000001u);
    EXPECT_STREQ(KOVA_message, INVALID);
    Bytes blank_with_tag(FLASH_SIZE, 0xFF);
    std::memcpy(&blank_with_tag[0x1FFFE0], "R2318", 5);
    install(blank_with_tag);
    EXPECT_EQ(KOVA_update_bios_firmware(image.data(), HANDLE, 0), 0x80000010u);
    EXPECT_STREQ(KOVA_message, INVALID);
    expect_nothing_held();
}

struct ImageFaultCase {
    const char* name;
    std::function<void(Bytes&)> spoil;
};

TEST_F(UpdateTest, ImageFaultsMapNothing) {
    install(make(1));
    const ImageFaultCase cases[] = {
        {"boot-block sum", [](Bytes& b) { b[0x1F8000] ^= 1; }},
        {"module sum", [](Bytes& b) { b[0x100080] ^= 1; }},
        {"no ROM header", [](Bytes& b) { b[0x100040] = 'X'; }},
    };
    for (const ImageFaultCase& c : cases) {
        Bytes image = make(2);
        c.spoil(image);
        board->memory.clear_log();
        EXPECT_EQ(KOVA_update_bios_firmware(image.data(), HANDLE, 0), 0x80000000u) << c.name;
        EXPECT_STREQ(KOVA_message, INTEGRITY) << c.name;
        EXPECT_TRUE(board->memory.map_calls().empty()) << c.name;
    }
    EXPECT_EQ(KOVA_update_bios_firmware(nullptr, HANDLE, 0), 0x80000000u) << "null image";
    EXPECT_STREQ(KOVA_message, INTEGRITY);
    EXPECT_TRUE(board->memory.map_calls().empty());
    EXPECT_EQ(flash(), make(1)) << "the flash is untouched";
}

struct NotifyPortCase {
    const char* name;
    std::function<void(sim::Firmware&)> interface;
    uint32_t handle;
    uint16_t port;
    std::vector<std::pair<Kind, uint8_t>> events;  // as the firmware sees them
    uint32_t record_at;                            // physical; 0: no firmware record, F-segment untouched
};

// A check notifies begin and end only: port first for begin, callback first
// for end; no callback without a handle; the default interface's port 0x80
// when the firmware publishes none. The record is written in place.
TEST_F(UpdateTest, CheckNotifiesBeginAndEndOnly) {
    constexpr uint32_t FSEG = sim::phys::FSEG_BASE;
    const NotifyPortCase cases[] = {
        {"firmware interface",
         [](auto&) {},
         HANDLE,
         0xB2,
         {{Kind::Port, 0x20}, {Kind::Callback, 0x20}, {Kind::Callback, 0x24}, {Kind::Port, 0x24}},
         FSEG + sim::fw::DEFAULT_BLOCK_OFFSET + sim::fw::DEFAULT_RECORD_OFFSET},
        {"handle 0",
         [](auto&) {},
         0,
         0xB2,
         {{Kind::Port, 0x20}, {Kind::Port, 0x24}},
         FSEG + sim::fw::DEFAULT_BLOCK_OFFSET + sim::fw::DEFAULT_RECORD_OFFSET},
        {"record 0x20 after a block at 0x1230",
         [](auto& f) { f.install_interface(0x1230, 0x20, 0xB2); },
         HANDLE,
         0xB2,
         {{Kind::Port, 0x20}, {Kind::Callback, 0x20}, {Kind::Callback, 0x24}, {Kind::Port, 0x24}},
         FSEG + 0x1250},
        {"no interface block",
         [](auto& f) { f.remove_interface(); },
         HANDLE,
         0x80,
         {{Kind::Callback, 0x20}, {Kind::Callback, 0x24}},
         0},
    };
    Bytes a = make(1);
    for (const NotifyPortCase& c : cases) {
        board = std::make_unique<sim::Board>();
        sim::install(board.get());
        install(a);
        c.interface(board->firmware);
        Bytes fseg_before = fseg();
        EXPECT_EQ(KOVA_check_bios_image(a.data(), c.handle, 0), 0u) << c.name;
        std::vector<std::pair<Kind, uint8_t>> got;
        for (const auto& e : board->firmware.events) {
            got.push_back({e.kind, e.code});
        }
        EXPECT_EQ(got, c.events) << c.name;
        EXPECT_EQ(board->bus.writes_to(c.port), (std::vector<uint32_t>{0x20, 0x24})) << c.name;
        EXPECT_EQ(flash(), a) << c.name;
        if (c.record_at == 0) {
            EXPECT_EQ(fseg(), fseg_before) << c.name << ": firmware memory untouched";
            continue;
        }
        // At the end the record holds the transfer buffer and the last block
        // compared: pass e's last, just below 0x1E0000.
        flash_command_record r{};
        board->memory.read(c.record_at, &r, sizeof r);
        EXPECT_EQ(r.code, 0x24) << c.name;
        EXPECT_EQ(r.transfer_address, sim::phys::ALLOC_BASE) << c.name;
        EXPECT_EQ(r.flash_address, 0xFFFDF000u) << c.name;
        EXPECT_EQ(r.length, 4096u) << c.name;
    }
}

struct CountCase {
    const char* name;
    std::vector<uint32_t> changed_blocks;  // image offsets of blocks made to differ
    bool skip_bit;
    int expected;  // hand-counted: the reference model must agree
};

TEST_F(UpdateTest, DryRunCounts) {
    const CountCase cases[] = {
        // Passes a and c compare the copies against different data: 16 each.
        {"identical image", {}, false, 32},
        {"identical image, pass c skipped", {}, true, 16},
        {"a block of the first 64 KiB (pass d)", {0x5000}, false, 33},
        {"a block of pass e", {0x80000, 0x150000}, false, 34},
        {"a block of the never-written 64 KiB", {0x1E3000}, false, 32},
        {"blocks in d and e, pass c skipped", {0x0000, 0x10000, 0x1D0000}, true, 19},
    };
    Bytes a = make(1);
    for (const CountCase& c : cases) {
        install(a);
        board->window.regs[REG_FEA1] = c.skip_bit ? 0x80 : 0x7F;
        Bytes image = a;
        for (uint32_t off : c.changed_blocks) {
            image[off + 0x800] ^= 0xFF;  // filler bytes: the image stays valid
        }
        ASSERT_EQ(dry_run_count(a, image, !c.skip_bit), c.expected) << c.name;
        KOVA_block_count = 1234;
        EXPECT_EQ(KOVA_check_bios_image(image.data(), HANDLE, 0), 0u) << c.name;
        EXPECT_EQ(KOVA_block_count, c.expected) << c.name;
        EXPECT_EQ(flash(), a) << c.name << ": a check writes nothing";
        expect_nothing_held();
    }
}

TEST_F(UpdateTest, UpdateWithHandleZeroIsADryRunThatKeepsTheCounter) {
    Bytes a = make(1), b = make(2);
    install(a);
    KOVA_block_count = 10;
    EXPECT_EQ(KOVA_update_bios_firmware(b.data(), 0, 0), 0u);
    EXPECT_STREQ(KOVA_message, UPDATE_OK);
    EXPECT_EQ(KOVA_block_count, 10 + dry_run_count(a, b, true));
    EXPECT_EQ(flash(), a);
}

TEST_F(UpdateTest, FullUpdateFromAToB) {
    Bytes a = make(1), b = make(2);
    install(a);
    ASSERT_EQ(KOVA_check_bios_image(b.data(), HANDLE, 0), 0u);
    int expected = KOVA_block_count;
    EXPECT_EQ(expected, 528) << "every block of every pass differs";
    board->firmware.events.clear();
    ASSERT_EQ(KOVA_update_bios_firmware(b.data(), HANDLE, 0), 0u);
    EXPECT_STREQ(KOVA_message, UPDATE_OK);
    expect_nothing_held();

    Bytes now = flash();
    Bytes want = b;
    std::copy(a.begin() + 0x1E0000, a.begin() + 0x1F0000, want.begin() + 0x1E0000);
    EXPECT_TRUE(now == want) << "flash must equal B but for the 64 KiB at 0x1E0000, which keep A";

    // Each differing block: one prepare then one write, for the same block.
    auto calls = board->firmware.callbacks();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls.front().code, 0x20);
    EXPECT_EQ(calls.back().code, 0x24);
    int writes = 0;
    for (size_t i = 1; i + 1 < calls.size(); i += 2) {
        ASSERT_EQ(calls[i].code, 0x22) << "call " << i;
        ASSERT_EQ(calls[i + 1].code, 0x23) << "call " << i + 1;
        EXPECT_EQ(calls[i].record.flash_address, calls[i + 1].record.flash_address);
        EXPECT_EQ(calls[i + 1].record.length, 4096u);
        ++writes;
    }
    EXPECT_EQ(writes, 528);
    EXPECT_EQ(KOVA_block_count, expected - writes);
    // Passes in their order: a, b, c, d, e, each block in address order.
    std::vector<uint32_t> order, want_order;
    for (const auto& e : calls) {
        if (e.code == 0x23) {
            order.push_back(e.record.flash_address);
        }
    }
    for (const Pass& p : {PASS_A, PASS_B, PASS_C, PASS_D, PASS_E}) {
        for (uint32_t off = 0; off < p.length; off += BLOCK) {
            want_order.push_back(FLASH_BASE + p.flash_offset + off);
        }
    }
    EXPECT_EQ(order, want_order);
    EXPECT_EQ(board->firmware.refused_checks, 0u);
    EXPECT_EQ(calls.back().record.flash_address, 0xFFFDF000u);
    EXPECT_EQ(calls.back().record.length, 4096u);

    // The same image again: only the copy areas of passes a and c are
    // rewritten, and pass e puts them back.
    board->firmware.events.clear();
    ASSERT_EQ(KOVA_check_bios_image(b.data(), HANDLE, 0), 0u);
    EXPECT_EQ(KOVA_block_count, 32);
    ASSERT_EQ(KOVA_update_bios_firmware(b.data(), HANDLE, 0), 0u);
    EXPECT_EQ(KOVA_block_count, 32 - 64) << "the copies cost writes the dry run did not count";
    EXPECT_TRUE(flash() == want);
}

TEST_F(UpdateTest, SkipBitLeavesOutPassCInWriteMode) {
    Bytes a = make(1), b = make(2);
    install(a);
    board->window.regs[REG_FEA1] = 0x80;
    ASSERT_EQ(KOVA_update_bios_firmware(b.data(), HANDLE, 0), 0u);
    std::vector<uint32_t> order;
    for (const auto& e : board->firmware.callbacks()) {
        if (e.code == 0x23) {
            order.push_back(e.record.flash_address);
        }
    }
    ASSERT_EQ(order.size(), 512u);
    EXPECT_EQ(order[31], 0xFFFFF000u) << "pass b ends";
    EXPECT_EQ(order[32], 0xFFE00000u) << "then pass d, not c";
    EXPECT_EQ(order[48], 0xFFE10000u) << "then pass e";
}

struct MinimumCase {
    const char* name;
    uint64_t seed_a, seed_b;
    bool pass_c;
};

TEST_F(UpdateTest, NoWriteBeyondTheMinimum) {
    const MinimumCase cases[] = {
        {"every block differs", 1, 2, true},
        {"every block differs, pass c skipped", 1, 2, false},
        {"identical image", 3, 3, true},
        {"identical image, pass c skipped", 3, 3, false},
    };
    for (const MinimumCase& c : cases) {
        Bytes a = make(c.seed_a), b = make(c.seed_b);
        install(a);
        board->window.regs[REG_FEA1] = c.pass_c ? 0 : 0x80;
        KOVA_block_count = 0;
        ASSERT_EQ(KOVA_update_bios_firmware(b.data(), HANDLE, 0), 0u) << c.name;
        EXPECT_EQ(-KOVA_block_count, minimum_writes(a, b, c.pass_c)) << c.name;
    }
}

TEST_F(UpdateTest, CheckFieldsOfAllOnesAndAllZeroBlocks) {
    Bytes a = make(1);
    install(a);
    Bytes b = a;
    std::fill(b.begin() + 0x80000, b.begin() + 0x81000, 0xFF);
    std::fill(b.begin() + 0x81000, b.begin() + 0x82000, 0x00);
    ASSERT_EQ(KOVA_update_bios_firmware(b.data(), HANDLE, 0), 0u);
    std::map<uint32_t, uint32_t> check_by_address;
    for (const auto& e : board->firmware.callbacks()) {
        if (e.code == 0x23) {
            check_by_address[e.record.flash_address] = e.record.check;
        }
    }
    EXPECT_EQ(check_by_address.at(0xFFE80000), 0x3FFu);
    EXPECT_EQ(check_by_address.at(0xFFE81000), 0xFFFFFFFFu);
    EXPECT_EQ(flash()[0x80000], 0xFF);
    EXPECT_EQ(flash()[0x81FFF], 0x00);
}

struct AcquireCase {
    const char* name;
    uint32_t fail_physical;  // 0: the allocation fails
    uint32_t fail_length;
    std::vector<uint32_t> released;  // physical bases unmapped, in order
};

TEST_F(UpdateTest, EachAcquisitionFailing) {
    const AcquireCase cases[] = {
        {"flash window", 0xFFE00000, 0x200000, {}},
        {"F-segment window", 0xF0000, 0x10000, {0xFFE00000}},
        {"top window", 0xFFFF0000, 0xFFFF, {0xFFE00000, 0xF0000}},
        {"transfer allocation", 0, 0x1000, {0xFFE00000, 0xF0000, 0xFFFF0000}},
        {"transfer mapping", sim::phys::ALLOC_BASE, 0x1000, {0xFFE00000, 0xF0000, 0xFFFF0000}},
    };
    Bytes a = make(1);
    install(a);
    for (const AcquireCase& c : cases) {
        board->memory.clear_log();
        board->firmware.events.clear();
        board->memory.map_fault = [&](uint32_t p, uint32_t n) {
            return p == c.fail_physical && n == c.fail_length;
        };
        board->memory.alloc_fault = [&](uint32_t) { return c.fail_physical == 0; };
        EXPECT_EQ(KOVA_update_bios_firmware(a.data(), HANDLE, 0), 0x80000020u) << c.name;
        EXPECT_STREQ(KOVA_message, SHELL) << c.name;
        EXPECT_EQ(board->memory.unmapped(), c.released) << c.name;
        EXPECT_TRUE(board->firmware.events.empty()) << c.name;
        expect_nothing_held();
    }
    board->memory.map_fault = nullptr;
    board->memory.alloc_fault = nullptr;
    board->memory.clear_log();
    EXPECT_EQ(KOVA_check_bios_image(a.data(), HANDLE, 0), 0u) << "a later call acquires afresh";
    EXPECT_EQ(board->memory.unmapped(),
              (std::vector<uint32_t>{0xFFE00000, 0xF0000, 0xFFFF0000, sim::phys::ALLOC_BASE}));
    board->memory.clear_log();
    Bytes bad = a;
    bad[0x1F8000] ^= 1;
    EXPECT_EQ(KOVA_check_bios_image(bad.data(), HANDLE, 0), 0x80000000u);
    EXPECT_TRUE(board->memory.unmapped().empty()) << "a call failing validation releases nothing";
}

}  // namespace
