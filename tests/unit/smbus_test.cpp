// SMBus writes: exact register traces while the controller answers, data
// landing in the slave, and bounded, reported failures when it does not.
#include <gtest/gtest.h>

#include <vector>

#include "board_fixture.h"
#include "kova.h"
#include "smbus/smbus.h"

namespace {

constexpr uint16_t STS = 0x400, CNT = 0x402, CMD = 0x403, SLVA = 0x404, D0 = 0x405, D1 = 0x406, AUX = 0x40D;
using kova::smb::SMB_WAIT_LIMIT_POLLS;

enum class Op { Byte, Word, Block };

uint32_t call(Op op, uint32_t slave, uint32_t command, uint32_t value) {
    switch (op) {
    case Op::Byte:
        return KOVA_smbus_write_byte(slave, command, value);
    case Op::Word:
        return KOVA_smbus_write_word(slave, command, value);
    default:
        return KOVA_smbus_write_block(slave, command, value);
    }
}

struct TraceCase {
    const char* name;
    Op op;
    uint32_t slave, command, value;
    std::vector<Step> script;
    uint32_t result;
};

class Smbus : public BoardTest {};

TEST_F(Smbus, ExactTracesWhileTheControllerAnswers) {
    const TraceCase cases[] = {
        {"byte: low byte, slave bit 0 cleared",
         Op::Byte,
         0xA1,
         0x05,
         0x134,
         {R(AUX, 0x00), W(AUX, 0x02), R(STS, 0x00), W(D0, 0x34), W(D1, 0x00), W(CMD, 0x05), W(SLVA, 0xA0),
          W(CNT, 0x48), R(STS, 0x01), R(STS, 0x03), R(STS, 0x02), R(STS, 0x02), R(D0, 0x34)},
         0x0234},
        {"word: both data bytes",
         Op::Word,
         0xA0,
         0x05,
         0x10102,
         {R(AUX, 0x80), W(AUX, 0x82), R(STS, 0x00), W(D0, 0x02), W(D1, 0x01), W(CMD, 0x05), W(SLVA, 0xA0),
          W(CNT, 0x4C), R(STS, 0x02), R(STS, 0x02), R(STS, 0x02), R(D0, 0x02)},
         0x0202},
        {"block: only the count",
         Op::Block,
         0xA0,
         0x10,
         0x103,
         {R(AUX, 0x02), W(AUX, 0x02), R(STS, 0x00), W(D0, 0x03), W(D1, 0x00), W(CMD, 0x10), W(SLVA, 0xA0),
          W(CNT, 0x54), R(STS, 0x02), R(STS, 0x02), R(STS, 0x02), R(D0, 0x03)},
         0x0203},
        {"status 0x42 after completion",
         Op::Byte,
         0xA0,
         0x00,
         0x00,
         {R(AUX, 0x00), W(AUX, 0x02), R(STS, 0x00), W(D0, 0x00), W(D1, 0x00), W(CMD, 0x00), W(SLVA, 0xA0),
          W(CNT, 0x48), R(STS, 0x41), R(STS, 0x42), R(STS, 0x42), R(STS, 0x42), R(D0, 0x00)},
         0x4200},
        {"leftover status cleared until idle",
         Op::Byte,
         0xA0,
         0x01,
         0x02,
         {R(AUX, 0x00), W(AUX, 0x02), R(STS, 0x02), W(STS, 0xFF), R(STS, 0x04), W(STS, 0xFF), R(STS, 0x00),
          W(D0, 0x02), W(D1, 0x00), W(CMD, 0x01), W(SLVA, 0xA0), W(CNT, 0x48), R(STS, 0x02), R(STS, 0x02),
          R(STS, 0x02), R(D0, 0x02)},
         0x0202},
        {"device error, busy then clear",
         Op::Byte,
         0x30,
         0x01,
         0x02,
         {R(AUX, 0x00), W(AUX, 0x02), R(STS, 0x00), W(D0, 0x02), W(D1, 0x00), W(CMD, 0x01), W(SLVA, 0x30),
          W(CNT, 0x48), R(STS, 0x05), R(STS, 0x05), R(STS, 0x04), R(STS, 0x04), R(D0, 0x02)},
         0x0402},
    };
    for (const TraceCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPorts ports(c.script);
        ports.attach(board->bus, {STS, CNT, CMD, SLVA, D0, D1, AUX});
        EXPECT_EQ(call(c.op, c.slave, c.command, c.value), c.result);
        ports.finish();
    }
}

TEST_F(Smbus, WritesLandInTheEeprom) {
    auto& s = board->smbus;
    s.busy_reads = 5;
    EXPECT_EQ(KOVA_smbus_write_byte(0xA0, 0x10, 0x5A), 0x025Au);
    EXPECT_EQ(KOVA_smbus_write_word(0xA1, 0x20, 0xBEEF), 0x02EFu) << "bit 0 of the slave is cleared";
    s.block_buffer = {1, 2, 3, 4, 5};
    EXPECT_EQ(KOVA_smbus_write_block(0xA0, 0x30, 4), 0x0204u);
    EXPECT_EQ(s.eeprom[0x10], 0x5A);
    EXPECT_EQ(s.eeprom[0x20], 0xEF);
    EXPECT_EQ(s.eeprom[0x21], 0xBE);
    EXPECT_EQ((std::vector<uint8_t>(s.eeprom.begin() + 0x30, s.eeprom.begin() + 0x35)),
              (std::vector<uint8_t>{1, 2, 3, 4, 0}));
    EXPECT_EQ(s.transactions(), 3u);
    EXPECT_TRUE(board->bus.writes_to(0x407).empty()) << "the library never writes the block buffer";
}

struct FailureCase {
    const char* name;
    sim::SmbusController::Mode mode;
    uint32_t slave;
    uint32_t result_status;  // high byte of the result
    bool transaction_started;
    unsigned kills;
};

TEST_F(Smbus, FailuresAreBoundedAndReported) {
    using M = sim::SmbusController::Mode;
    const FailureCase cases[] = {
        {"absent slave", M::Normal, 0x30, 0x04, true, 0},
        {"bus error", M::BusError, 0xA0, 0x08, true, 0},
        {"never completes: killed", M::NeverCompletes, 0xA0, 0x10, true, 1},
        {"stuck busy: nothing started", M::StuckBusy, 0xA0, 0x01, false, 0},
    };
    for (const FailureCase& c : cases) {
        board = std::make_unique<sim::Board>();
        sim::install(board.get());
        board->smbus.mode = c.mode;
        uint32_t r = KOVA_smbus_write_byte(c.slave, 0x10, 0x77);
        EXPECT_EQ(r >> 8, c.result_status) << c.name;
        EXPECT_EQ(board->smbus.transactions(), c.transaction_started ? 1u : 0u) << c.name;
        EXPECT_EQ(board->smbus.kills(), c.kills) << c.name;
        EXPECT_FALSE(board->smbus.running()) << c.name;
        if (!c.transaction_started) {
            for (uint16_t port : {CNT, CMD, SLVA, D0, D1}) {
                EXPECT_TRUE(board->bus.writes_to(port).empty()) << c.name << " port " << port;
            }
        }
        EXPECT_LE(board->bus.reads_of(STS), 2 * size_t(SMB_WAIT_LIMIT_POLLS) + 2) << c.name;
        EXPECT_EQ(board->smbus.eeprom[0x10], 0) << c.name;
    }
}

TEST_F(Smbus, KillSetsThenClearsTheBitAndTheNextTransactionRecovers) {
    board->smbus.mode = sim::SmbusController::Mode::NeverCompletes;
    EXPECT_EQ(KOVA_smbus_write_byte(0xA0, 0x01, 0x11) >> 8, 0x10u);
    auto cnt = board->bus.writes_to(CNT);
    EXPECT_EQ(cnt, (std::vector<uint32_t>{0x48, 0x0A, 0x08})) << "start, KILL set, KILL cleared";
    board->smbus.mode = sim::SmbusController::Mode::Normal;
    EXPECT_EQ(KOVA_smbus_write_byte(0xA0, 0x01, 0x22), 0x0222u) << "FAILED cleared by the idle wait";
    EXPECT_EQ(board->smbus.eeprom[0x01], 0x22);
}

}  // namespace
