// The simulator has to behave like the board for the library's tests to mean
// anything: memory aliasing and accounting, fault hooks, poisoning, the EC
// state machine, and board files.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "board.h"
#include "board_fixture.h"
#include "zunda.h"

namespace {

namespace fs = std::filesystem;
using namespace sim::phys;

class SimMemory : public BoardTest {};

TEST_F(SimMemory, MappingsAliasAndAreCounted) {
    uint32_t h1 = 0, h2 = 0;
    auto* a = static_cast<uint8_t*>(MapPhysToLin(FLASH_BASE + 0x1000, 0x100, &h1));
    auto* b = static_cast<uint8_t*>(MapPhysToLin(FLASH_BASE + 0x1080, 0x10, &h2));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(h1, h2);
    EXPECT_EQ(board->memory.live_mappings(), 2u);
    a[0x80] = 0x12;
    EXPECT_EQ(b[0], 0x12);
    EXPECT_EQ(board->memory.byte(FLASH_BASE + 0x1080), 0x12);
    EXPECT_EQ(a[0], 0xFF) << "flash starts erased";
    UnmapPhysicalMemory(h1, a);
    UnmapPhysicalMemory(h2, b);
    EXPECT_EQ(board->memory.live_mappings(), 0u);
    EXPECT_EQ(board->memory.bad_releases(), 0u);
}

// A page straddled by a write, a fill at the end of the flash, a byte
// changed through a mapping and marked: the restore puts back exactly those
// pages, and only bytes that were written change back.
TEST_F(SimMemory, CheckpointRestoresOnlyTheDirtyPages) {
    sim::PhysMemory& m = board->memory;
    const uint8_t ram_before = m.byte(RAM_BASE + 0x2FFF), fseg_before = m.byte(FSEG_BASE + 0x100);
    const uint8_t flash_before = m.byte(FLASH_BASE + FLASH_SIZE - 1);
    m.checkpoint();
    const uint8_t bytes[2] = {0x5A, 0xA5};
    m.write(RAM_BASE + 0x2FFF, bytes, 2);                            // pages RAM+0x2000 and RAM+0x3000
    m.fill(FLASH_BASE + FLASH_SIZE - 1, uint8_t(~flash_before), 1);  // the last flash page
    m.fill(FLASH_BASE + FLASH_SIZE - 1, 0x00, 2);  // reaches past the flash: refused, marks nothing
    // Through a mapping: a written page is marked when the mapping goes,
    // one only read is not.
    uint32_t h = 0, h2 = 0;
    auto* fseg = static_cast<uint8_t*>(MapPhysToLin(FSEG_BASE + 0x100, 0x2000, &h));
    ASSERT_NE(fseg, nullptr);
    fseg[0] = uint8_t(~fseg_before);
    EXPECT_TRUE(m.dirty_pages(FSEG_BASE, FSEG_SIZE).empty()) << "marked while still mapped";
    UnmapPhysicalMemory(h, fseg);
    auto* read_only = static_cast<uint8_t*>(MapPhysToLin(FSEG_BASE + 0x8000, 0x10, &h2));
    ASSERT_NE(read_only, nullptr);
    UnmapPhysicalMemory(h2, read_only);
    EXPECT_EQ(m.dirty_pages(0, size_t(1) << 32),
              (std::vector<uint32_t>{FLASH_BASE + FLASH_SIZE - 0x1000, FSEG_BASE, RAM_BASE + 0x2000,
                                     RAM_BASE + 0x3000}));
    EXPECT_EQ(m.restore_checkpoint(), 4u);
    EXPECT_EQ(m.byte(RAM_BASE + 0x2FFF), ram_before);
    EXPECT_EQ(m.byte(FLASH_BASE + FLASH_SIZE - 1), flash_before);
    EXPECT_EQ(m.byte(FSEG_BASE + 0x100), fseg_before);
    EXPECT_TRUE(m.dirty_pages(0, size_t(1) << 32).empty());
    EXPECT_EQ(m.restore_checkpoint(), 0u);
}

struct MapCase {
    const char* name;
    uint32_t physical, length;
    bool ok;
};

TEST_F(SimMemory, OnlyBackedRangesMap) {
    const MapCase cases[] = {
        {"whole flash", FLASH_BASE, FLASH_SIZE, true},
        {"top window, one byte short", 0xFFFF0000, 0xFFFF, true},
        {"last flash byte", 0xFFFFFFFF, 1, true},
        {"F-segment", FSEG_BASE, FSEG_SIZE, true},
        {"past the F-segment", FSEG_BASE + 1, FSEG_SIZE, false},
        {"wraps the address space", 0xFFFFFFF0, 0x20, false},
        {"unbacked", 0x80000000, 0x10, false},
        {"zero length", FSEG_BASE, 0, false},
    };
    for (const MapCase& c : cases) {
        uint32_t h = 0;
        void* p = MapPhysToLin(c.physical, c.length, &h);
        EXPECT_EQ(p != nullptr, c.ok) << c.name;
        if (p) {
            UnmapPhysicalMemory(h, p);
        }
    }
    EXPECT_EQ(board->memory.live_mappings(), 0u);
}

TEST_F(SimMemory, FaultHooksFailChosenCalls) {
    board->memory.map_fault = [](uint32_t physical, uint32_t) { return physical == FSEG_BASE; };
    board->memory.alloc_fault = [](uint32_t length) { return length == 0x1000; };
    uint32_t h = 0;
    EXPECT_EQ(MapPhysToLin(FSEG_BASE, FSEG_SIZE, &h), nullptr);
    EXPECT_EQ(AllocatePhysMemory(0x1000, &h), 0u);
    void* p = MapPhysToLin(FLASH_BASE, 16, &h);
    EXPECT_NE(p, nullptr);
    UnmapPhysicalMemory(h, p);
    EXPECT_EQ(board->memory.live_allocations(), 0u);
}

TEST_F(SimMemory, AllocationsAreMappableAndFreed) {
    uint32_t ha = 0, hm = 0, hb = 0;
    uint32_t pa = AllocatePhysMemory(0x1000, &ha);
    uint32_t pb = AllocatePhysMemory(0x1000, &hb);
    ASSERT_NE(pa, 0u);
    EXPECT_EQ(pa % 0x1000, 0u);
    EXPECT_GE(pb, pa + 0x1000) << "allocations must not overlap";
    auto* m = static_cast<uint8_t*>(MapPhysToLin(pa, 0x1000, &hm));
    ASSERT_NE(m, nullptr);
    m[0xFFF] = 0x5A;
    EXPECT_EQ(board->memory.byte(pa + 0xFFF), 0x5A);
    EXPECT_EQ(board->memory.live_allocations(), 2u);
    UnmapPhysicalMemory(hm, m);
    FreePhysMemory(ha);
    FreePhysMemory(hb);
    EXPECT_EQ(board->memory.live_allocations(), 0u);
    FreePhysMemory(ha);
    EXPECT_EQ(board->memory.bad_releases(), 1u) << "double free is recorded";
}

TEST_F(SimMemory, UnmapWithAWrongPointerIsRecorded) {
    uint32_t h = 0;
    auto* p = static_cast<uint8_t*>(MapPhysToLin(FSEG_BASE, 16, &h));
    UnmapPhysicalMemory(h, p + 1);
    EXPECT_EQ(board->memory.bad_releases(), 1u);
    EXPECT_EQ(board->memory.live_mappings(), 1u);
    UnmapPhysicalMemory(h, p);
    EXPECT_EQ(board->memory.live_mappings(), 0u);
}

#if defined(__SANITIZE_ADDRESS__)
TEST_F(SimMemory, ReadingPastAMappingIsCaught) {
    uint32_t h = 0;
    auto* p = static_cast<volatile uint8_t*>(MapPhysToLin(0xFFFF0000, 0xFFFF, &h));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[0xFFFE], 0xFF);
    EXPECT_DEATH((void)p[0xFFFF], "AddressSanitizer");
    UnmapPhysicalMemory(h, const_cast<uint8_t*>(p));
    EXPECT_DEATH((void)p[0], "AddressSanitizer: use-after-poison")
        << "an unmapped window must be poisoned again";
}
#endif

class SimEc : public BoardTest {};

TEST_F(SimEc, BusyReadsHoldIbfThenTheByteIsTaken) {
    board->ec.busy_reads = 2;
    SetPortVal(0x66, 0x90, 1);
    uint32_t s = 0;
    for (int i = 0; i < 2; ++i) {
        GetPortVal(0x66, &s, 1);
        EXPECT_TRUE(s & 0x02) << "read " << i;
    }
    GetPortVal(0x66, &s, 1);
    EXPECT_FALSE(s & 0x02);
    EXPECT_FALSE(s & 0x01);
}

TEST_F(SimEc, ReadCommandAnswersThroughTheOutputBuffer) {
    board->ec.ram[7] = 0xC3;
    uint32_t s = 0, d = 0;
    SetPortVal(0x66, 0x90, 1);
    GetPortVal(0x66, &s, 1);
    SetPortVal(0x62, 7, 1);
    GetPortVal(0x66, &s, 1);
    EXPECT_EQ(s & 0x03, 0x01u) << "index taken, answer waiting";
    GetPortVal(0x62, &d, 1);
    EXPECT_EQ(d & 0xFF, 0xC3u);
    GetPortVal(0x66, &s, 1);
    EXPECT_EQ(s & 0x01, 0u) << "reading the data port empties the output buffer";
}

TEST_F(SimEc, StaleByteHoldsTheAnswerBack) {
    board->ec.ram[1] = 0x11;
    board->ec.leave_stale_output(0xEE);
    uint32_t s = 0, d = 0;
    SetPortVal(0x66, 0x90, 1);
    GetPortVal(0x66, &s, 1);
    SetPortVal(0x62, 1, 1);
    GetPortVal(0x66, &s, 1);
    GetPortVal(0x62, &d, 1);
    EXPECT_EQ(d & 0xFF, 0xEEu);
    GetPortVal(0x62, &d, 1);
    EXPECT_EQ(d & 0xFF, 0x11u);
}

class SimBoardFiles : public ::testing::Test {
protected:
    fs::path dir = fs::temp_directory_path() / ("kova-board-test-" + std::to_string(::getpid()));
    void TearDown() override { fs::remove_all(dir); }
};

TEST_F(SimBoardFiles, SaveThenLoadRestoresFlashAndEcRam) {
    {
        sim::Board b;
        uint8_t bytes[] = {1, 2, 3, 4};
        b.memory.write(FLASH_BASE + FLASH_SIZE - 4, bytes, 4);
        b.ec.ram[0x80] = 0x42;
        b.smbus.eeprom[0x7F] = 0x24;
        ASSERT_FALSE(b.save(dir));
    }
    sim::Board c;
    ASSERT_FALSE(c.load(dir));
    EXPECT_EQ(c.memory.byte(0xFFFFFFFF), 4);
    EXPECT_EQ(c.memory.byte(FLASH_BASE), 0xFF);
    EXPECT_EQ(c.ec.ram[0x80], 0x42);
    EXPECT_EQ(c.smbus.eeprom[0x7F], 0x24);
}

TEST_F(SimBoardFiles, MissingOrWrongSizeFileIsAnErrorAndLoadsNothing) {
    {
        sim::Board saved;
        saved.ec.ram[1] = 0x11;
        ASSERT_FALSE(saved.save(dir));
    }
    sim::Board b;
    std::ofstream(dir / "flash.bin", std::ios::trunc) << "short";
    Status err = b.load(dir);
    ASSERT_TRUE(err);
    EXPECT_EQ(err->code, exitcode::USAGE);
    EXPECT_NE(err->text.find("flash.bin: expected exactly 2097152 bytes"), std::string::npos) << err->text;
    fs::remove(dir / "flash.bin");
    err = b.load(dir);
    ASSERT_TRUE(err);
    EXPECT_NE(err->text.find("flash.bin: missing"), std::string::npos) << err->text;
    EXPECT_EQ(b.ec.ram[1], 0) << "nothing taken from a board with a bad file";
}

}  // namespace

namespace {

// The simulated firmware behind SEG32_CALLBACK: erase, NOR programming,
// the check field, and its fault switches.
class SimFirmware : public BoardTest {
protected:
    static constexpr uint32_t BLOCK_ADDR = FLASH_BASE + 0x5000;
    uint32_t transfer = 0, handle = 0;
    void SetUp() override { fresh(); }
    void fresh() {
        board = std::make_unique<sim::Board>();
        sim::install(board.get());
        transfer = board->memory.allocate(0x1000, &handle);
        board->memory.fill(BLOCK_ADDR, 0x0F, 0x1000);  // programmed, not erased
    }
    flash_command_record record(uint8_t code, uint8_t fill, uint32_t length = 0x1000) {
        board->memory.fill(transfer, fill, 0x1000);
        uint32_t sum = 0;
        for (uint32_t i = 0; i + 4 <= length; i += 4) {
            sum += uint32_t(fill) * 0x01010101u;
        }
        return {transfer, BLOCK_ADDR, length, ~sum, code};
    }
};

struct FirmwareCase {
    const char* name;
    std::function<void(sim::Firmware&)> arm;
    bool prepare;
    uint8_t data;
    uint8_t want_first, want_last;  // flash bytes of the block afterwards
};

TEST_F(SimFirmware, EraseAndProgram) {
    const FirmwareCase cases[] = {
        {"erase then program", [](auto&) {}, true, 0x5A, 0x5A, 0x5A},
        {"program without erase ANDs the bits", [](auto&) {}, false, 0x3C, 0x0C, 0x0C},
        {"write-protected", [](auto& f) { f.write_protected = true; }, true, 0x5A, 0x0F, 0x0F},
        {"writes ignored: left erased", [](auto& f) { f.ignore_writes = true; }, true, 0x5A, 0xFF, 0xFF},
        {"partial write", [](auto& f) { f.partial_write_bytes = 0x800; }, true, 0x5A, 0x5A, 0xFF},
        {"power already lost", [](auto& f) { f.power_lost_after_writes = 0; }, true, 0x5A, 0x0F, 0x0F},
        {"block failing its first write",
         [](auto& f) {
             f.failing_block = 0x5000;
             f.failing_block_writes = 1;
         },
         true, 0x5A, 0xFF, 0xFF},
    };
    for (const FirmwareCase& c : cases) {
        fresh();
        c.arm(board->firmware);
        if (c.prepare) {
            SEG32_CALLBACK(1, record(0x22, c.data));
        }
        SEG32_CALLBACK(1, record(0x23, c.data));
        EXPECT_EQ(board->memory.byte(BLOCK_ADDR), c.want_first) << c.name;
        EXPECT_EQ(board->memory.byte(BLOCK_ADDR + 0xFFF), c.want_last) << c.name;
        EXPECT_EQ(board->memory.byte(BLOCK_ADDR + 0x1000), 0xFF) << c.name << ": next block untouched";
        EXPECT_EQ(board->firmware.callbacks().size(), c.prepare ? 2u : 1u) << c.name;
    }
}

TEST_F(SimFirmware, WrongCheckIsRefusedAndRecorded) {
    auto r = record(0x23, 0x11);
    r.check ^= 1;
    SEG32_CALLBACK(1, r);
    EXPECT_EQ(board->firmware.refused_checks, 1u);
    EXPECT_EQ(board->memory.byte(BLOCK_ADDR), 0x0F);
}

TEST_F(SimFirmware, RecordsPortWritesWithTheRecord) {
    board->firmware.install_interface(0x100, 0x20, 0xB2);
    flash_command_record r{0x1234, 0xFFE00000, 0x1000, 0, 0x21};
    board->memory.write(FSEG_BASE + 0x120, &r, sizeof r);
    SetPortVal(0xB2, 0x22, 1);
    ASSERT_EQ(board->firmware.events.size(), 1u);
    EXPECT_EQ(board->firmware.events[0].code, 0x22);
    EXPECT_EQ(board->firmware.events[0].record.transfer_address, 0x1234u);
    board->firmware.remove_interface();
    SetPortVal(0xB2, 0x24, 1);
    EXPECT_EQ(board->firmware.events.size(), 1u) << "no interface, nobody listens on 0xB2";
}

}  // namespace
