// The serial-flash byte read: the exact engine sequence, and the byte the
// simulated part clocks out against the flash contents.
#include <gtest/gtest.h>

#include <vector>

#include "board_fixture.h"
#include "kova.h"

namespace {

constexpr uint16_t HIGH = 0x381, LOW = 0x382, DATA = 0x383, SMI = 0xB2;

std::vector<Step> reg_write(uint16_t reg, uint8_t v) {
    return {W(HIGH, reg >> 8), W(LOW, reg & 0xFF), W(DATA, v)};
}

void append(std::vector<Step>& to, const std::vector<Step>& more) {
    to.insert(to.end(), more.begin(), more.end());
}

class FlashByte : public BoardTest {};

TEST_F(FlashByte, ExactSequenceAndTheLastOfSixteen) {
    std::vector<Step> script{W(SMI, 0x20)};
    append(script, reg_write(0xFEAD, 0x18));
    for (uint8_t b : {0x0B, 0x00, 0x0A, 0xBC, 0x00}) {
        append(script, reg_write(0xFEAC, b));
    }
    for (uint8_t i = 1; i <= 16; ++i) {
        append(script, reg_write(0xFEAC, 0x00));
        append(script, {W(HIGH, 0xFE), W(LOW, 0xAB), R(DATA, 0x10 + i)});
    }
    append(script, reg_write(0xFEAD, 0x00));
    script.push_back(W(SMI, 0x24));
    ScriptedPorts ports(script);
    ports.attach(board->bus, {HIGH, LOW, DATA, SMI});
    EXPECT_EQ(KOVA_read_flash_byte(0xABC), 0x20u) << "the sixteenth value, not the first";
    ports.finish();
}

struct ReadCase {
    uint32_t address;
    uint32_t flash_offset;  // of the byte the sixteenth shift clocks in
};

TEST_F(FlashByte, ReadsWhatTheFlashHolds) {
    std::vector<uint8_t> contents(0x200000);
    for (size_t i = 0; i < contents.size(); ++i) {
        contents[i] = uint8_t(i * 7 + (i >> 8) * 13 + 1);
    }
    board->memory.write(0xFFE00000, contents.data(), contents.size());
    const ReadCase cases[] = {
        {0x000000, 0x00000F},   {0x000ABC, 0x000ACB},
        {0x1FFFF8, 0x000007},    // the part's address wraps at its 2 MiB
        {0x3FFFF0, 0x1FFFFF},    // bits above the part's size are not decoded
        {0xFF1234, 0x1F1243},    // 24 address bits are sent
        {0xAB001234, 0x001243},  // bits 31..24 are not sent
    };
    for (const ReadCase& c : cases) {
        board->bus.clear_trace();
        EXPECT_EQ(KOVA_read_flash_byte(c.address), contents[c.flash_offset]) << std::hex << c.address;
        EXPECT_EQ(board->bus.writes_to(SMI), (std::vector<uint32_t>{0x20, 0x24}));
        EXPECT_FALSE(board->spi.selected()) << "chip select released";
    }
    EXPECT_EQ(board->spi.unknown_commands(), 0u);
}

}  // namespace
