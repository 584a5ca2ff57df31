// Test scaffolding: a fresh simulated board per test, and a scripted port
// device that consumes an expected trace one access at a time.
#ifndef TESTS_BOARD_FIXTURE_H
#define TESTS_BOARD_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "board.h"

// Runs `f` on a thread of its own and waits at most `seconds` for it: a wait
// without a bound in the code under test ends the run with a failure that
// names it, within seconds, instead of hanging until the harness gives up.
inline void run_bounded(const std::string& what, double seconds, const std::function<void()>& f) {
    std::packaged_task<void()> task(f);
    std::future<void> done = task.get_future();
    std::thread worker(std::move(task));
    if (done.wait_for(std::chrono::duration<double>(seconds)) != std::future_status::ready) {
        std::fprintf(stderr, "FAILED: %s did not return within %.0f s: a wait without a bound\n",
                     what.c_str(), seconds);
        std::fflush(stderr);
        std::_Exit(1);
    }
    worker.join();
    done.get();
}

// Each test gets its own board, installed for the seven operations.
class BoardTest : public ::testing::Test {
protected:
    void SetUp() override { sim::install(board.get()); }
    void TearDown() override { sim::install(nullptr); }
    std::unique_ptr<sim::Board> board = std::make_unique<sim::Board>();
};

// One expected port access. For a read, `value` is what the device answers;
// for a write, it is the value the library must write.
struct Step {
    sim::Dir dir;
    uint16_t port;
    uint32_t value;
};

inline Step R(uint16_t port, uint32_t answer) { return {sim::Dir::Read, port, answer}; }
inline Step W(uint16_t port, uint32_t value) { return {sim::Dir::Write, port, value}; }

// Claims ports on the bus and checks every access against the script: an
// extra or wrong access fails at once, naming its index; a missing one
// fails at finish().
class ScriptedPorts : public sim::PortDevice {
public:
    explicit ScriptedPorts(std::vector<Step> script) : script_(std::move(script)) {}

    void attach(sim::PortBus& bus, std::initializer_list<uint16_t> ports) {
        for (uint16_t p : ports) {
            bus.claim(p, p, this);
        }
    }

    uint32_t read(uint16_t port, unsigned width) override { return take(sim::Dir::Read, port, width, 0); }
    void write(uint16_t port, unsigned width, uint32_t value) override {
        take(sim::Dir::Write, port, width, value);
    }

    void finish() const {
        EXPECT_EQ(next_, script_.size()) << "script stopped at access #" << next_ << " of " << script_.size();
    }

private:
    uint32_t take(sim::Dir dir, uint16_t port, unsigned width, uint32_t value) {
        sim::Access got{dir, port, uint8_t(width), value};
        if (next_ >= script_.size()) {
            ADD_FAILURE() << "extra access #" << next_ << ": " << sim::describe(got);
            ++next_;
            return 0xFF;
        }
        const Step& s = script_[next_];
        sim::Access want{s.dir, s.port, 1, s.dir == sim::Dir::Write ? s.value : 0};
        EXPECT_EQ(sim::describe(got), sim::describe(want)) << "at access #" << next_;
        ++next_;
        return s.dir == sim::Dir::Read ? s.value : 0;
    }

    std::vector<Step> script_;
    size_t next_ = 0;
};

#endif
