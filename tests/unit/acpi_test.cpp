// FACS location through the ACPI tables, the global-lock protocol on the
// lock word, and mutual exclusion against a second party on another thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include "acpi/facs.h"
#include "board_fixture.h"
#include "kova.h"

namespace {

using kova::acpi::FACS_NOT_FOUND;
using namespace sim::acpidev;

class Acpi : public BoardTest {
protected:
    void expect_nothing_mapped() const { EXPECT_EQ(board->memory.live_mappings(), 0u); }
    bool was_mapped(uint32_t physical) const {
        for (const auto& c : board->memory.map_calls()) {
            if (c.physical == physical) {
                return true;
            }
        }
        return false;
    }
};

sim::AcpiLayout layout(std::function<void(sim::AcpiLayout&)> f) {
    sim::AcpiLayout l;
    f(l);
    return l;
}

struct FacsCase {
    const char* name;
    sim::AcpiLayout tables;
    std::function<void(sim::Board&)> also;
    uint32_t want;
};

TEST_F(Acpi, FindsTheFacsThroughTheTables) {
    const std::vector<std::string> nine{"APIC", "HPET", "SSDT", "SSDT", "SSDT",
                                        "SSDT", "SSDT", "MCFG", "FACP"};
    const FacsCase cases[] = {
        {"default tables", {}, nullptr, FACS_PHYSICAL},
        {"RSDP at an unaligned offset", layout([](auto& l) { l.rsdp_offset = 0x1233; }), nullptr,
         FACS_PHYSICAL},
        {"FACP third", layout([](auto& l) {
             l.entries = {"APIC", "HPET", "FACP", "SSDT"};
         }),
         nullptr, FACS_PHYSICAL},
        {"FACP ninth is not found", layout([&](auto& l) { l.entries = nine; }), nullptr, FACS_NOT_FOUND},
        {"FIRMWARE_CTRL 0", layout([](auto& l) { l.firmware_ctrl = 0; }), nullptr, 0},
        {"no FACP", layout([](auto& l) {
             l.entries = {"APIC", "HPET"};
         }),
         nullptr, FACS_NOT_FOUND},
        {"fewer entries, a FACP address right after the table", layout([](auto& l) {
             l.entries = {"APIC", "FACP"};
             l.rsdt_length = 36 + 4;  // only APIC counts
         }),
         nullptr, FACS_NOT_FOUND},
        {"RSDT length below its header", layout([](auto& l) { l.rsdt_length = 20; }), nullptr,
         FACS_NOT_FOUND},
        {"RSDP 19 bytes before the window's end", layout([](auto& l) { l.rsdp_offset = 0x10000 - 19; }),
         nullptr, FACS_NOT_FOUND},
        {"RSDP 20 bytes before the window's end", layout([](auto& l) { l.rsdp_offset = 0x10000 - 20; }),
         nullptr, FACS_PHYSICAL},
        {"no RSDP", {}, [](sim::Board& b) { b.acpi.remove(); }, FACS_NOT_FOUND},
        {"F-segment refused",
         {},
         [](sim::Board& b) { b.memory.map_fault = [](uint32_t p, uint32_t) { return p == 0xF0000; }; },
         FACS_NOT_FOUND},
        {"RSDT refused",
         {},
         [](sim::Board& b) { b.memory.map_fault = [](uint32_t p, uint32_t) { return p == RSDT_PHYSICAL; }; },
         FACS_NOT_FOUND},
        {"entry table refused",
         {},
         [](sim::Board& b) {
             b.memory.map_fault = [](uint32_t p, uint32_t) { return p == TABLES_PHYSICAL; };
         },
         FACS_NOT_FOUND},
    };
    for (const FacsCase& c : cases) {
        board = std::make_unique<sim::Board>();
        sim::install(board.get());
        board->acpi.install(c.tables);
        if (c.also) {
            c.also(*board);
        }
        EXPECT_EQ(kova::find_facs_address(), c.want) << c.name;
        expect_nothing_mapped();
    }
}

TEST_F(Acpi, StopsAtTheFacpAndMapsNothingAfterIt) {
    board->acpi.install(layout([](auto& l) { l.entries = {"APIC", "HPET", "FACP", "SSDT"}; }));
    board->memory.clear_log();
    EXPECT_EQ(kova::find_facs_address(), FACS_PHYSICAL);
    EXPECT_TRUE(was_mapped(board->acpi.table_physical(2)));
    EXPECT_FALSE(was_mapped(board->acpi.table_physical(3)));
    EXPECT_EQ(board->memory.map_calls().size(), 5u) << "F-segment, RSDT, three tables";
}

struct LockCase {
    const char* name;
    uint32_t before;
    bool acquire;  // acquire first (only on a word the library can own)
    uint32_t after_acquire;
    uint32_t after_release;
    std::vector<uint8_t> port_writes;  // BIOS_RLS writes of the release (port reads 0x01)
};

TEST_F(Acpi, LockWordThroughAcquireAndRelease) {
    const LockCase cases[] = {
        {"free", 0x0, true, 0x2, 0x0, {}},
        {"pending left by another party", 0x1, true, 0x2, 0x0, {}},
        {"reserved bits pass through", 0xFFFFFFF0, true, 0xFFFFFFF2, 0xFFFFFFF0, {}},
        {"reserved bits and pending", 0xA5A5A5A5, true, 0xA5A5A5A6, 0xA5A5A5A4, {}},
        {"release, owned and pending: signals", 0x3, false, 0, 0x0, {0x81}},
        {"release, owned", 0x2, false, 0, 0x0, {}},
        {"release, reserved bits, owned and pending", 0x0F000003, false, 0, 0x0F000000, {0x81}},
    };
    for (const LockCase& c : cases) {
        board->acpi.set_lock_word(c.before);
        board->bios_release.value = 0x01;
        board->bios_release.writes.clear();
        if (c.acquire) {
            ACPI_require_global_lock();
            EXPECT_EQ(board->acpi.lock_word(), c.after_acquire) << c.name;
        }
        ACPI_release_global_lock();
        EXPECT_EQ(board->acpi.lock_word(), c.after_release) << c.name;
        EXPECT_EQ(board->bios_release.writes, c.port_writes) << c.name;
        expect_nothing_mapped();
    }
}

struct NoFacsCase {
    const char* name;
    std::function<void(sim::Board&)> setup;
};

TEST_F(Acpi, WithoutAReachableFacsNothingIsTouched) {
    const NoFacsCase cases[] = {
        {"no tables", [](sim::Board& b) { b.acpi.remove(); }},
        {"FIRMWARE_CTRL 0",
         [](sim::Board& b) { b.acpi.install(layout([](auto& l) { l.firmware_ctrl = 0; })); }},
        {"FACS refused",
         [](sim::Board& b) { b.memory.map_fault = [](uint32_t p, uint32_t) { return p == FACS_PHYSICAL; }; }},
    };
    for (const NoFacsCase& c : cases) {
        board = std::make_unique<sim::Board>();
        sim::install(board.get());
        c.setup(*board);
        board->acpi.set_lock_word(0x2);  // held by another party: an acquire that reached it would spin
        ACPI_require_global_lock();
        ACPI_release_global_lock();
        EXPECT_EQ(board->acpi.lock_word(), 0x2u) << c.name;
        EXPECT_TRUE(board->bus.trace().empty()) << c.name;
        expect_nothing_mapped();
    }
}

// Waits until `ready` holds, at most `seconds`; false when it never did.
bool wait_until(const std::function<bool()>& ready, double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

TEST_F(Acpi, AcquireWaitsForTheOwnerToGiveUp) {
    board->acpi.set_lock_word(0x2);
    sim::LockParty owner(board->memory);
    std::thread other([&owner] {
        EXPECT_TRUE(wait_until([&] { return owner.word() == 0x3; }, 10)) << "the library never set pending";
        owner.release();  // also when it did not: the library's acquire then returns
    });
    run_bounded("ACPI_require_global_lock against an owner that gives up", 20,
                [] { ACPI_require_global_lock(); });
    other.join();
    EXPECT_EQ(owner.word(), 0x2u) << "owned by the library now, pending cleared";
    ACPI_release_global_lock();
    EXPECT_EQ(owner.word(), 0x0u);
}

// The library against a second holder on another thread that follows the
// firmware's side of the protocol: it sets pending when it finds the lock
// owned and then waits for the release signal (BIOS_RLS) before it tries
// again. Every round checks that at most one side holds the lock; at the
// end every pending the firmware set was answered by exactly one signal.
// KOVA_LOCK_ROUNDS sets the rounds (./run stress runs 100,000).
TEST_F(Acpi, MutualExclusionUnderContention) {
    const char* env = std::getenv("KOVA_LOCK_ROUNDS");
    const long rounds = env && *env ? std::atol(env) : 3000;
    constexpr double STALL_SECONDS = 10;
    sim::LockParty party(board->memory);
    std::atomic<int> inside{0};
    std::atomic<long> violations{0}, pendings{0}, progress{0};
    std::atomic<bool> stalled{false}, library_done{false};
    std::atomic<long> firmware_rounds{0};
    // Each side holds the lock a moment, the library longer (its acquire
    // and release walk the ACPI tables each time), so each often finds it owned.
    auto critical = [&](int hold) {
        if (inside.fetch_add(1) != 0) {
            ++violations;
        }
        for (volatile int spin = 0; spin < hold; spin = spin + 1) {
        }
        inside.fetch_sub(1);
        ++progress;
    };
    std::thread firmware([&] {
        // The firmware keeps taking the lock for as long as the library does.
        for (long i = 0; !library_done && !stalled; ++i) {
            for (;;) {
                bool set_pending = false;
                unsigned signals = board->bios_release.signals.load();
                if (party.try_acquire(&set_pending)) {
                    break;
                }
                if (set_pending) {
                    ++pendings;
                    // The owner must signal its release.
                    if (!wait_until([&] { return board->bios_release.signals.load() != signals; },
                                    STALL_SECONDS)) {
                        ADD_FAILURE() << "round " << i << ": no release signal after pending was set";
                        stalled = true;
                        break;
                    }
                }
            }
            if (stalled) {
                break;
            }
            critical(20000);
            party.release();
            ++firmware_rounds;
        }
    });
    // No round may take seconds: a stall fails by name instead of hanging.
    std::thread watchdog([&] {
        long seen = -1;
        while (!library_done && !stalled) {
            if (!wait_until([&] { return progress.load() != seen || library_done; }, STALL_SECONDS)) {
                std::fprintf(stderr, "FAILED: the global lock made no progress for %.0f s after %ld rounds\n",
                             STALL_SECONDS, progress.load());
                std::_Exit(1);
            }
            seen = progress.load();
        }
    });
    for (long i = 0; i < rounds && !stalled; ++i) {
        ACPI_require_global_lock();
        critical(20000);
        ACPI_release_global_lock();
    }
    library_done = true;
    firmware.join();
    stalled = true;
    watchdog.join();
    unsigned signals = board->bios_release.signals.load();
    std::printf(
        "[ lock ] %ld library rounds against %ld firmware rounds; firmware set pending %ld times, %u "
        "release signals; %ld violations\n",
        rounds, firmware_rounds.load(), pendings.load(), signals, violations.load());
    EXPECT_EQ(violations.load(), 0);
    EXPECT_EQ(long(signals), pendings.load()) << "every release with pending set signals, and only those";
    EXPECT_EQ(party.word() & 3u, 0u);
}

}  // namespace
