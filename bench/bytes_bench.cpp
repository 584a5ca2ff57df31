// The byte routines over a whole 2 MiB image, beside the C library's memcmp
// and a plain byte-assembled word-sum loop over the same bytes, in one run.
#include <benchmark/benchmark.h>
#include "flash_map.h"

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "frame/bytes.h"

namespace {

constexpr uint32_t IMAGE_SIZE = flashmap::FLASH_SIZE;

// Two equal buffers; the benchmarks read them from offset 0 (aligned) or 1.
struct Buffers {
    std::vector<uint8_t> a, b;
    Buffers() : a(IMAGE_SIZE + 1), b(IMAGE_SIZE + 1) {
        std::mt19937 rng(42);
        for (auto& v : a) {
            v = uint8_t(rng());
        }
        b = a;
    }
};

Buffers& buffers() {
    static Buffers bufs;
    return bufs;
}

// Equal buffers: the whole 2 MiB is read, the worst case of the update's
// compare of a block that already matches.
void BM_block_compare(benchmark::State& state) {
    auto& bufs = buffers();
    uint32_t misalign = uint32_t(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            kova::block_compare(bufs.a.data() + misalign, bufs.b.data() + misalign, IMAGE_SIZE));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * IMAGE_SIZE);
}

void BM_memcmp(benchmark::State& state) {
    auto& bufs = buffers();
    uint32_t misalign = uint32_t(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(std::memcmp(bufs.a.data() + misalign, bufs.b.data() + misalign, IMAGE_SIZE));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * IMAGE_SIZE);
}

void BM_word_sum(benchmark::State& state) {
    auto& bufs = buffers();
    uint32_t misalign = uint32_t(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(kova::word_sum(bufs.a.data() + misalign, IMAGE_SIZE));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * IMAGE_SIZE);
}

// The straightforward loop: each word assembled from its four bytes.
void BM_plain_word_sum(benchmark::State& state) {
    auto& bufs = buffers();
    const uint8_t* p = bufs.a.data() + state.range(0);
    for (auto _ : state) {
        uint32_t s = 0;
        for (uint32_t i = 0; i + 4 <= IMAGE_SIZE; i += 4) {
            s += uint32_t(p[i]) | uint32_t(p[i + 1]) << 8 | uint32_t(p[i + 2]) << 16 |
                 uint32_t(p[i + 3]) << 24;
        }
        benchmark::DoNotOptimize(s);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * IMAGE_SIZE);
}

void BM_find_pattern(benchmark::State& state) {
    auto& bufs = buffers();
    for (auto _ : state) {
        benchmark::DoNotOptimize(kova::find_pattern(bufs.a.data(), IMAGE_SIZE, "AMIBIOSC"));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * IMAGE_SIZE);
}

BENCHMARK(BM_block_compare)->Arg(0)->Arg(1);
BENCHMARK(BM_memcmp)->Arg(0)->Arg(1);
BENCHMARK(BM_word_sum)->Arg(0)->Arg(1);
BENCHMARK(BM_plain_word_sum)->Arg(0)->Arg(1);
BENCHMARK(BM_find_pattern);

}  // namespace

BENCHMARK_MAIN();
