// Exported state, the message buffer, the port layer and the indexed window.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "board_fixture.h"
#include "frame/indexed.h"
#include "frame/message.h"
#include "frame/port.h"
#include "kova.h"

namespace {

struct ExportedString {
    const char* name;
    const char* data;
    size_t size;
    const char* text;
};

TEST(ExportedState, IdentityStringsAtLoadAreTerminatedAndZeroPadded) {
    const ExportedString table[] = {
        {"KOVA_mb", KOVA_mb, sizeof KOVA_mb, "K5R"},
        {"KOVA_customer", KOVA_customer, sizeof KOVA_customer, "ZALT"},
        {"KOVA_major_version", KOVA_major_version, sizeof KOVA_major_version, "05"},
        {"KOVA_minor_version", KOVA_minor_version, sizeof KOVA_minor_version, "01"},
        {"KOVA_date", KOVA_date, sizeof KOVA_date, "03/24/2009"},
    };
    const size_t sizes[] = {4, 8, 4, 4, 12};
    for (size_t i = 0; i < std::size(table); ++i) {
        const ExportedString& e = table[i];
        EXPECT_EQ(e.size, sizes[i]) << e.name;
        EXPECT_EQ(std::string(e.data), e.text) << e.name;
        for (size_t b = std::strlen(e.text); b < e.size; ++b) {
            EXPECT_EQ(e.data[b], 0) << e.name << " byte " << b;
        }
    }
    EXPECT_EQ(KOVA_flash_size, 0x200000u);
    EXPECT_EQ(KOVA_caller_id, 0u);
}

TEST(ExportedState, VariablesLieInTheirOrder) {
    const void* order[] = {KOVA_mb,          KOVA_customer, KOVA_major_version, KOVA_minor_version, KOVA_date,
                           &KOVA_flash_size, KOVA_message,  &KOVA_caller_id,    &KOVA_block_count};
    for (size_t i = 1; i < std::size(order); ++i) {
        EXPECT_LT(reinterpret_cast<uintptr_t>(order[i - 1]), reinterpret_cast<uintptr_t>(order[i])) << i;
    }
    EXPECT_EQ(reinterpret_cast<uintptr_t>(&KOVA_block_count) % 4, 0u) << "counter must be an aligned word";
}

TEST(SetMessage, OverwritesOnlyAsFarAsTheNewTextReaches) {
    char before[sizeof KOVA_message];
    std::memcpy(before, KOVA_message, sizeof before);
    kova::set_message("BIOS update successfully completed. ");
    kova::set_message("Driver shell error.");
    EXPECT_STREQ(KOVA_message, "Driver shell error.");
    // The tail of the longer message is still there past the terminator.
    EXPECT_STREQ(KOVA_message + 20, "ully completed. ");
    kova::set_message("");
    EXPECT_STREQ(KOVA_message, "");
    EXPECT_EQ(KOVA_message[1], 'r');
    std::memcpy(KOVA_message, before, sizeof before);
}

class PortLayer : public BoardTest {};

// A device that answers every read with all 32 bits set in a pattern, so a
// layer that forgets to mask shows it.
class PatternDevice : public sim::PortDevice {
public:
    uint32_t read(uint16_t, unsigned) override { return 0xA5C3E187u; }
    void write(uint16_t, unsigned, uint32_t) override {}
};

TEST_F(PortLayer, ByteWideAccessesAndMasking) {
    PatternDevice dev;
    board->bus.claim(0x400, 0x40F, &dev);
    EXPECT_EQ(kova::port_read8(0x400), 0x87u);
    kova::port_write8(0x401, 0x5A);
    const sim::Access want[] = {{sim::Dir::Read, 0x400, 1, 0x87}, {sim::Dir::Write, 0x401, 1, 0x5A}};
    ASSERT_EQ(board->bus.trace().size(), std::size(want));
    for (size_t i = 0; i < std::size(want); ++i) {
        EXPECT_EQ(sim::describe(board->bus.trace()[i]), sim::describe(want[i])) << "access #" << i;
    }
}

TEST_F(PortLayer, UndrivenPortReadsAllOnes) { EXPECT_EQ(kova::port_read8(0x1234), 0xFFu); }

TEST_F(PortLayer, IndexedWindowWritesHighThenLowThenData) {
    ScriptedPorts ports({
        W(0x381, 0xFE), W(0x382, 0xA1), R(0x383, 0x80),  // read 0xFEA1
        W(0x381, 0xFE), W(0x382, 0xAC), W(0x383, 0x0B),  // write 0xFEAC: high byte again
        W(0x381, 0x00), W(0x382, 0x12), R(0x383, 0x34),  // read 0x0012
    });
    ports.attach(board->bus, {0x381, 0x382, 0x383});
    EXPECT_EQ(kova::indexed_reg_read(0xFEA1), 0x80u);
    kova::indexed_reg_write(0xFEAC, 0x0B);
    EXPECT_EQ(kova::indexed_reg_read(0x0012), 0x34u);
    ports.finish();
}

TEST_F(PortLayer, InitSataTouchesNothing) {
    char message[sizeof KOVA_message];
    std::memcpy(message, KOVA_message, sizeof message);
    int32_t count = KOVA_block_count;
    KOVA_INIT_SATA();
    EXPECT_TRUE(board->bus.trace().empty());
    EXPECT_EQ(board->memory.map_calls().size(), 0u);
    EXPECT_EQ(std::memcmp(message, KOVA_message, sizeof message), 0);
    EXPECT_EQ(KOVA_block_count, count);
}

}  // namespace
