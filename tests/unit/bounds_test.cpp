// Every wait bound, pinned: against a device that never answers, each wait
// makes exactly its number of status reads (or writes) and gives up. The
// counts are written out, not taken from the headers, so a change of a
// bound shows here.
#include <gtest/gtest.h>

#include <functional>

#include "board_fixture.h"
#include "builder.h"
#include "kova.h"

namespace {

constexpr uint16_t EC_SC = 0x66, EC_DATA = 0x62, EC_DELAY = 0xE1, SMB_HST_STS = 0x400;
constexpr uint32_t FLASH_BASE = 0xFFE00000;
constexpr uint8_t CODE_WRITE = 0x23;

struct BoundCase {
    const char* name;
    std::function<void(sim::Board&)> fault;
    std::function<uint32_t()> call;
    uint32_t result;
    std::function<size_t(sim::Board&)> count;  // what the bound limits
    size_t expected;
};

class Bounds : public BoardTest {};

std::vector<uint8_t> image(uint64_t seed, uint8_t revision) {
    kimage::ImageOptions o;
    o.seed = seed;
    o.revision = revision;
    return kimage::make_image(o).bytes;
}

TEST_F(Bounds, EachWaitGivesUpAtItsExactCount) {
    using Ec = sim::EmbeddedController::Mode;
    using Smb = sim::SmbusController::Mode;
    auto status_reads = [](uint16_t port) { return [port](sim::Board& b) { return b.bus.reads_of(port); }; };
    const std::vector<uint8_t> installed = image(1, 0), next = image(2, 1);
    const BoundCase cases[] = {
        // Dead: the input buffer never empties; the first wait gives up.
        {"EC input wait", [](sim::Board& b) { b.ec.mode = Ec::Dead; }, [] { return KOVA_get_ec_ram(0x10); },
         0xFF, status_reads(EC_SC), 262144},
        {"EC delay writes between the reads", [](sim::Board& b) { b.ec.mode = Ec::Dead; },
         [] { return KOVA_get_ec_ram(0x10); }, 0xFF,
         [](sim::Board& b) { return b.bus.writes_to(EC_DELAY).size(); }, 262143},
        // Mute: takes the command and index (two reads around each), never
        // fills the output buffer.
        {"EC output wait", [](sim::Board& b) { b.ec.mode = Ec::Mute; }, [] { return KOVA_get_ec_ram(0x10); },
         0xFF, status_reads(EC_SC), 4 + 262144},
        // Busy forever: the idle wait gives up, then the status is read once.
        {"SMBus idle wait", [](sim::Board& b) { b.smbus.mode = Smb::StuckBusy; },
         [] { return KOVA_smbus_write_byte(0xA0, 0, 0) >> 8; }, 0x01, status_reads(SMB_HST_STS), 262144 + 1},
        // Started, never done: one idle read, the done wait, KILL, the final read.
        {"SMBus done wait", [](sim::Board& b) { b.smbus.mode = Smb::NeverCompletes; },
         [] { return KOVA_smbus_write_byte(0xA0, 0, 0) >> 8; }, 0x10, status_reads(SMB_HST_STS),
         1 + 262144 + 1},
        // Done at once but busy forever: idle, done, the not-busy wait, final.
        {"SMBus not-busy wait", [](sim::Board& b) { b.smbus.mode = Smb::DoneButBusy; },
         [] { return KOVA_smbus_write_byte(0xA0, 0, 0) >> 8; }, 0x12, status_reads(SMB_HST_STS),
         1 + 1 + 262144 + 1},
        // A block that never takes is written four times, then the walk stops.
        {"block rewrite bound",
         [&](sim::Board& b) {
             b.memory.write(FLASH_BASE, installed.data(), installed.size());
             b.firmware.ignore_writes = true;
         },
         [&] { return KOVA_update_bios_firmware(next.data(), 1, 0); }, 0x80000030,
         [](sim::Board& b) {
             size_t n = 0;
             for (const sim::FirmwareEvent& e : b.firmware.callbacks()) {
                 n += e.code == CODE_WRITE;
             }
             return n;
         },
         4},
    };
    for (const BoundCase& c : cases) {
        SCOPED_TRACE(c.name);
        board = std::make_unique<sim::Board>();
        sim::install(board.get());
        c.fault(*board);
        uint32_t got = 0;
        run_bounded(c.name, 10, [&] { got = c.call(); });
        EXPECT_EQ(got, c.result);
        EXPECT_EQ(c.count(*board), c.expected);
    }
}

// A hardware-access library that stores nothing on a port read: the port
// layer yields all ones, so the EC reads as busy and the read gives 0xFF,
// bounded, with nothing sent to the controller.
TEST_F(Bounds, PortReadThatStoresNothingYieldsAllOnes) {
    board->port_reads_store_nothing = true;
    uint32_t got = 0;
    run_bounded("EC read with ports that store nothing", 10, [&] { got = KOVA_get_ec_ram(0x10); });
    EXPECT_EQ(got, 0xFFu);
    EXPECT_TRUE(board->bus.writes_to(EC_SC).empty()) << "no command without an empty input buffer";
    EXPECT_TRUE(board->bus.writes_to(EC_DATA).empty());
    EXPECT_EQ(board->bus.writes_to(EC_DELAY).size(), 262143u) << "the wait ran to its bound";
}

}  // namespace
