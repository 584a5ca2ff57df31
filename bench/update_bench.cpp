// Check and update of a whole image on the simulated board, uninstrumented,
// each beside its floor measured in the same run:
// - a check of an image identical to the flash against memcmp over the same
//   block pairs the walk compares, a word sum over the same bytes the
//   validation sums, and the C library's memmem over the bytes the search
//   for the ROM header covers (counter check_to_floor);
// - an update against the fewest writes the pass order allows (counters
//   writes and minimum_writes, which must be equal).
#include <benchmark/benchmark.h>
#include "flash_map.h"

#include <cstring>
#include <vector>

#include "board.h"
#include "builder.h"
#include "check_floor.h"
#include "kova.h"

namespace {

using namespace floorwork;

constexpr uint32_t HANDLE = 1;
constexpr uint32_t FLASH_BASE = flashmap::FLASH_BASE;

// The C library's search, as fast as a plain search for a fixed pattern gets.
size_t search(const uint8_t* data, size_t size, const char* pattern, size_t length) {
    const void* at = memmem(data, size, pattern, length);
    return at ? size_t(static_cast<const uint8_t*>(at) - data) : size;
}

void BM_check_identical(benchmark::State& state) {
    sim::Board board;
    sim::install(&board);
    kimage::Image a = image(1, 1);
    board.memory.write(FLASH_BASE, a.bytes.data(), a.bytes.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(KOVA_check_bios_image(a.bytes.data(), HANDLE, 0));
    }
    constexpr int CALLS = 200;
    double check = seconds_per_call([&] { KOVA_check_bios_image(a.bytes.data(), HANDLE, 0); }, CALLS);
    double floor = seconds_per_call([&] { benchmark::DoNotOptimize(floor_work(a.bytes, a, search)); }, CALLS);
    state.counters["check_to_floor"] = check / floor;
    state.counters["check_us"] = check * 1e6;
    state.counters["floor_us"] = floor * 1e6;
    sim::install(nullptr);
}

// The fewest block writes the pass order allows.
int minimum_writes(std::vector<uint8_t> flash, const std::vector<uint8_t>& img, bool pass_c) {
    int n = 0;
    for (size_t i = 0; i < std::size(PASSES); ++i) {
        if (i == 2 && !pass_c) {
            continue;
        }
        for (uint32_t off = 0; off < PASSES[i].length; off += BLOCK) {
            uint8_t* at = &flash[PASSES[i].flash_offset + off];
            const uint8_t* want = &img[PASSES[i].image_offset + off];
            if (std::memcmp(at, want, BLOCK) != 0) {
                std::memcpy(at, want, BLOCK);
                ++n;
            }
        }
    }
    return n;
}

// Arg 0: B shares A's filler (a later revision); arg 1: every block differs.
void BM_update(benchmark::State& state) {
    sim::Board board;
    sim::install(&board);
    auto a = image(1, 0).bytes, b = image(state.range(0) ? 2 : 1, 1).bytes;
    size_t callbacks = 0;
    int32_t writes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        board.memory.write(FLASH_BASE, a.data(), a.size());
        board.firmware.events.clear();
        KOVA_block_count = 0;
        state.ResumeTiming();
        benchmark::DoNotOptimize(KOVA_update_bios_firmware(b.data(), HANDLE, 0));
        callbacks = board.firmware.callbacks().size();
        writes = -KOVA_block_count;
    }
    state.counters["writes"] = writes;
    state.counters["minimum_writes"] = minimum_writes(a, b, true);
    state.counters["callbacks"] = double(callbacks);
    sim::install(nullptr);
}

BENCHMARK(BM_check_identical)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_update)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
