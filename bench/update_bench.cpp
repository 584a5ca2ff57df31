// Check and update of a whole image on the simulated board, uninstrumented:
// the library's own cost plus the simulated firmware's erase and program.
#include <benchmark/benchmark.h>

#include <vector>

#include "board.h"
#include "builder.h"
#include "kova.h"

namespace {

constexpr uint32_t HANDLE = 1;
constexpr uint32_t FLASH_BASE = 0xFFE00000;

std::vector<uint8_t> image(uint64_t seed, uint8_t revision) {
    kimage::ImageOptions o;
    o.seed = seed;
    o.revision = revision;
    return kimage::make_image(o).bytes;
}

// Arg 0: B shares A's filler (a later revision, a few blocks differ);
// arg 1: B differs in every block.
void BM_check(benchmark::State& state) {
    sim::Board board;
    sim::install(&board);
    auto a = image(1, 0), b = image(state.range(0) ? 2 : 1, 1);
    board.memory.write(FLASH_BASE, a.data(), a.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(KOVA_check_bios_image(b.data(), HANDLE, 0));
    }
    state.counters["differing"] = KOVA_block_count;
    sim::install(nullptr);
}

void BM_update(benchmark::State& state) {
    sim::Board board;
    sim::install(&board);
    auto a = image(1, 0), b = image(state.range(0) ? 2 : 1, 1);
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
    state.counters["callbacks"] = double(callbacks);
    sim::install(nullptr);
}

BENCHMARK(BM_check)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_update)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
