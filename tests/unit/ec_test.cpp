// The EC mailbox: exact port traces while the controller answers, bounded
// waits and no further access once it stops answering.
#include <gtest/gtest.h>

#include <vector>

#include "board/ec_mailbox.h"
#include "board_fixture.h"
#include "kova.h"

namespace {

using kova::ec::EC_WAIT_LIMIT_POLLS;

constexpr uint16_t DATA = 0x62, SC = 0x66, DELAY = 0xE1;

class EcTrace : public BoardTest {};

struct TraceCase {
    const char* name;
    bool is_read;
    uint32_t index, value;  // value: written, or expected result of the read
    std::vector<Step> script;
};

TEST_F(EcTrace, ExactSequencesWhileTheControllerAnswers) {
    const TraceCase cases[] = {
        {"read, status always 0x01",
         true,
         0x10,
         0x5A,
         {R(SC, 0x01), W(SC, 0x90), R(SC, 0x01), R(SC, 0x01), W(DATA, 0x10), R(SC, 0x01), R(SC, 0x01),
          R(DATA, 0x5A)}},
        {"write, IBF never set",
         false,
         0x10,
         0x55,
         {R(SC, 0x00), W(SC, 0x81), R(SC, 0x00), R(SC, 0x00), W(DATA, 0x10), R(SC, 0x00), R(SC, 0x00),
          W(DATA, 0x55), R(SC, 0x00)}},
        {"read, index only low byte, waits with delays",
         true,
         0x1AB,
         0x33,
         {R(SC, 0x02), W(DELAY, 0xFF), R(SC, 0x02), W(DELAY, 0xFF), R(SC, 0x00),  // before command
          W(SC, 0x90), R(SC, 0x02), W(DELAY, 0xFF), R(SC, 0x00),                  // after command
          R(SC, 0x00), W(DATA, 0xAB), R(SC, 0x00),                                // index
          R(SC, 0x00), W(DELAY, 0xFF), R(SC, 0x00), W(DELAY, 0xFF), R(SC, 0x01),  // output full
          R(DATA, 0x33)}},
        {"write, value only low byte",
         false,
         0x20,
         0x1FF,
         {R(SC, 0x00), W(SC, 0x81), R(SC, 0x00), R(SC, 0x00), W(DATA, 0x20), R(SC, 0x00), R(SC, 0x02),
          W(DELAY, 0xFF), R(SC, 0x00), W(DATA, 0xFF), R(SC, 0x00)}},
    };
    for (const TraceCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPorts ports(c.script);
        ports.attach(board->bus, {DATA, SC, DELAY});
        if (c.is_read) {
            EXPECT_EQ(KOVA_get_ec_ram(c.index), c.value);
        } else {
            KOVA_set_ec_ram(c.index, c.value);
        }
        ports.finish();
        board->bus.claim(DATA, DATA, nullptr);
        board->bus.claim(SC, SC, nullptr);
        board->bus.claim(DELAY, DELAY, nullptr);
    }
}

TEST_F(EcTrace, OneWaitForEmptyInputReadsThriceAndDelaysTwice) {
    ScriptedPorts ports({R(SC, 0x02), W(DELAY, 0xFF), R(SC, 0x02), W(DELAY, 0xFF), R(SC, 0x00)});
    ports.attach(board->bus, {SC, DELAY});
    EXPECT_EQ(kova::ec_wait_input_empty(), 0x00);
    ports.finish();
}

// Against the simulated controller: round trips, a busy controller, a stale
// output byte, and controllers that stop answering.
class EcController : public BoardTest {
protected:
    size_t writes(uint16_t port) const { return board->bus.writes_to(port).size(); }
};

TEST_F(EcController, RoundTripsAcrossBusyTimes) {
    for (unsigned busy : {0u, 1u, 5u, 1000u}) {
        SCOPED_TRACE(busy);
        board->ec.busy_reads = busy;
        KOVA_set_ec_ram(0x42, busy & 0xFF ? busy & 0xFF : 0xA7);
        EXPECT_EQ(board->ec.ram[0x42], busy & 0xFF ? busy & 0xFF : 0xA7);
        EXPECT_EQ(KOVA_get_ec_ram(0x42), busy & 0xFF ? busy & 0xFF : 0xA7);
        EXPECT_EQ(board->ec.unexpected_bytes(), 0u) << "library overran the mailbox";
    }
}

TEST_F(EcController, StaleOutputByteAnswersTheRead) {
    board->ec.ram[0x10] = 0x55;
    board->ec.leave_stale_output(0xAB);
    EXPECT_EQ(KOVA_get_ec_ram(0x10), 0xABu);  // no drain before the command
    EXPECT_EQ(writes(SC), 1u);
}

struct GiveUpCase {
    const char* name;
    sim::EmbeddedController::Mode mode;
    unsigned busy_reads;
    bool is_write;
    uint32_t result;  // of the read
    size_t sc_writes, data_writes, data_reads;
};

TEST_F(EcController, WaitsAreBoundedAndNothingFollowsAGiveUp) {
    using M = sim::EmbeddedController::Mode;
    const GiveUpCase cases[] = {
        // Never takes a byte: the first wait gives up before the command.
        {"dead, read", M::Dead, 0, false, 0xFF, 0, 0, 0},
        {"dead, write", M::Dead, 0, true, 0, 0, 0, 0},
        // Takes the command but stays busy past the limit: no index sent.
        {"busy past limit, read", M::Answer, EC_WAIT_LIMIT_POLLS, false, 0xFF, 1, 0, 0},
        {"busy past limit, write", M::Answer, EC_WAIT_LIMIT_POLLS, true, 0, 1, 0, 0},
        // One poll short of the limit still succeeds.
        {"busy just inside limit, read", M::Answer, EC_WAIT_LIMIT_POLLS - 1, false, 0x77, 1, 1, 1},
        {"busy just inside limit, write", M::Answer, EC_WAIT_LIMIT_POLLS - 1, true, 0, 1, 2, 0},
        // Takes bytes but never answers: the output wait gives up, no data read.
        {"mute, read", M::Mute, 0, false, 0xFF, 1, 1, 0},
    };
    for (const GiveUpCase& c : cases) {
        SCOPED_TRACE(c.name);
        board = std::make_unique<sim::Board>();
        sim::install(board.get());
        board->ec.mode = c.mode;
        board->ec.busy_reads = c.busy_reads;
        board->ec.ram[0x30] = 0x77;
        if (c.is_write) {
            KOVA_set_ec_ram(0x30, 0x99);
        } else {
            EXPECT_EQ(KOVA_get_ec_ram(0x30), c.result);
        }
        EXPECT_EQ(writes(SC), c.sc_writes);
        EXPECT_EQ(writes(DATA), c.data_writes);
        EXPECT_EQ(board->bus.reads_of(DATA), c.data_reads);
        // No wait makes more than the limit of status reads; the wait after
        // one byte and the wait before the next are adjacent in the trace.
        size_t run = 0, longest = 0;
        for (const sim::Access& a : board->bus.trace()) {
            if (a.port == SC && a.dir == sim::Dir::Read) {
                longest = std::max(longest, ++run);
            } else if (a.port != DELAY) {
                run = 0;
            }
        }
        EXPECT_LE(longest, 2 * size_t(EC_WAIT_LIMIT_POLLS));
    }
}

TEST_F(EcController, AGiveUpEndsOnAStatusReadNotADelay) {
    board->ec.mode = sim::EmbeddedController::Mode::Dead;
    EXPECT_EQ(KOVA_get_ec_ram(0), 0xFFu);
    const auto& t = board->bus.trace();
    ASSERT_EQ(t.size(), 2 * size_t(EC_WAIT_LIMIT_POLLS) - 1);
    EXPECT_EQ(board->bus.reads_of(SC), size_t(EC_WAIT_LIMIT_POLLS));
    EXPECT_EQ(writes(DELAY), size_t(EC_WAIT_LIMIT_POLLS) - 1);
    EXPECT_EQ(t.back().port, SC);
    EXPECT_EQ(t.back().dir, sim::Dir::Read);
}

}  // namespace
