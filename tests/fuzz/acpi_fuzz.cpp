// Fuzzes the ACPI walk and the lock: the input decides an RSDP in the
// F-segment and the RSDT (and what follows it) in RAM of a simulated board,
// so table addresses point anywhere, mapped or not. A plain reading of the
// rules must find the same FACS; the lock operations must change only bits
// 0 and 1 of the word they reach, and nothing may stay mapped.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>

#include "acpi/facs.h"
#include "board.h"
#include "kova.h"

namespace {

constexpr size_t HEADER_BYTES = 3;  // F-segment offset (2), F-segment payload length (1)

std::optional<uint32_t> read32(const sim::PhysMemory& m, uint32_t physical) {
    uint32_t v = 0;
    if (!m.read(physical, &v, 4)) {
        return std::nullopt;
    }
    return v;
}

bool backed(const sim::PhysMemory& m, uint32_t physical, uint32_t length) {
    std::vector<uint8_t> tmp(length);
    return m.read(physical, tmp.data(), length);
}

uint32_t expected_facs(const sim::PhysMemory& m) {
    constexpr uint32_t NONE = 0xFFFFFFFF;
    std::vector<uint8_t> fseg(sim::phys::FSEG_SIZE);
    m.read(sim::phys::FSEG_BASE, fseg.data(), fseg.size());
    std::string_view v(reinterpret_cast<const char*>(fseg.data()), fseg.size());
    size_t r = v.find("RSD PTR");
    while (r != std::string_view::npos && r + 20 > fseg.size()) {
        r = v.find("RSD PTR", r + 1);
    }
    if (r == std::string_view::npos) {
        return NONE;
    }
    uint32_t rsdt = fseg[r + 16] | fseg[r + 17] << 8 | fseg[r + 18] << 16 | uint32_t(fseg[r + 19]) << 24;
    if (uint64_t(rsdt) + 68 > 0x100000000ull || !backed(m, rsdt, 68)) {
        return NONE;
    }
    uint32_t length = *read32(m, rsdt + 4);
    uint32_t entries = length < 36 ? 0 : std::min<uint32_t>((length - 36) / 4, 8);
    for (uint32_t i = 0; i < entries; ++i) {
        uint32_t table = *read32(m, rsdt + 36 + 4 * i);
        if (uint64_t(table) + 132 > 0x100000000ull || !backed(m, table, 132)) {
            return NONE;
        }
        char sig[4];
        m.read(table, sig, 4);
        if (std::memcmp(sig, "FACP", 4) == 0) {
            return *read32(m, table + 36);
        }
    }
    return NONE;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < HEADER_BYTES) {
        return 0;
    }
    // One board for the whole run: what an input changed (the F-segment,
    // the RAM from the RSDT on, a lock word anywhere) goes back to the
    // checkpoint after it.
    static std::unique_ptr<sim::Board> board = [] {
        auto b = std::make_unique<sim::Board>();
        b->memory.checkpoint();
        return b;
    }();
    constexpr uint32_t RAM_SPAN = 0x20000;
    sim::PhysMemory& m = board->memory;
    sim::install(board.get());
    board->clear_logs();
    uint32_t at = uint32_t(data[0] | data[1] << 8);
    size_t fseg_n = std::min<size_t>({size_t(data[2]), size - HEADER_BYTES, sim::phys::FSEG_SIZE - at});
    m.write(sim::phys::FSEG_BASE + at, data + HEADER_BYTES, fseg_n);
    size_t rest = std::min<size_t>(size - HEADER_BYTES - fseg_n, RAM_SPAN);
    m.write(sim::acpidev::RSDT_PHYSICAL, data + HEADER_BYTES + fseg_n, rest);

    uint32_t facs = kova::find_facs_address();
    if (facs != expected_facs(m) || m.live_mappings() != 0) {
        __builtin_trap();
    }
    // The lock word the tables name, if it is backed: its address and value.
    auto lock_word = [&m](uint32_t f) -> std::optional<uint32_t> {
        if (f == 0xFFFFFFFF || f == 0 || uint64_t(f) + 24 > 0x100000000ull || !backed(m, f, 24)) {
            return std::nullopt;
        }
        return f + 16;
    };
    std::optional<uint32_t> lock_at = lock_word(facs), before;
    std::optional<uint32_t> released_at = lock_at;  // where the release must act
    if (lock_at) {
        before = read32(m, *lock_at);
    }
    if (before && (*before & 2) == 0) {  // an owned word would keep the acquire spinning, as it should
        ACPI_require_global_lock();
        if (*read32(m, *lock_at) != ((*before & ~1u) | 2u)) {
            __builtin_trap();
        }
        // Each operation reads the tables afresh. A lock word that lies
        // inside the tables themselves has just changed them: the release
        // then acts on the FACS they name now, if any.
        released_at = lock_word(expected_facs(m));
        before = released_at ? read32(m, *released_at) : std::nullopt;
    }
    board->bios_release.writes.clear();
    ACPI_release_global_lock();
    if (before) {
        if (*read32(m, *released_at) != (*before & ~3u) ||
            board->bios_release.writes.empty() != ((*before & 1u) == 0)) {
            __builtin_trap();
        }
    } else if (!board->bios_release.writes.empty()) {
        __builtin_trap();
    }
    if (m.live_mappings() != 0 || m.bad_releases() != 0) {
        __builtin_trap();
    }
    // What the lock operations wrote through their mappings was marked when
    // they released them.
    m.restore_checkpoint();
    return 0;
}
