// The floor a check of an image identical to the flash is measured against:
// the work no implementation of the check can avoid, done by the C
// library's own routines. Shared by the native benchmark and the one that
// times the real DLL under Wine.
#ifndef KOVA_BENCH_CHECK_FLOOR_H
#define KOVA_BENCH_CHECK_FLOOR_H

#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>
#include "flash_map.h"

#include "builder.h"

namespace floorwork {

constexpr uint32_t BLOCK = 0x1000;
constexpr uint32_t MODULE_HEADER_BYTES = 20;
constexpr uint32_t MODULE_BEFORE_LINK = 8;
constexpr char ROM_SIGNATURE[] = "AMIBIOSC";

using Pass = flashmap::RegionPass;
constexpr const auto& PASSES = flashmap::REGION_PASSES;

inline kimage::Image image(uint64_t seed, uint8_t revision) {
    kimage::ImageOptions o;
    o.seed = seed;
    o.revision = revision;
    return kimage::make_image(o);
}

inline uint32_t sum(const uint8_t* p, size_t n) {
    uint32_t s = 0;
    for (size_t i = 0; i + 4 <= n; i += 4) {
        uint32_t w;
        std::memcpy(&w, p + i, 4);
        s += w;
    }
    return s;
}

inline volatile uint64_t sink;

// Every byte the search for the ROM header passes over (`search` stops at
// the first "AMIBIOSC", as the check's search does), every block pair the
// walk compares (a differing pair stops at its first difference, as memcmp
// does) and every byte the validation sums. `search(data, size, pattern,
// length)` is the C library's substring search where it has one.
template <typename Search>
int floor_work(const std::vector<uint8_t>& flash, const kimage::Image& img, Search search) {
    sink = search(img.bytes.data(), img.bytes.size(), ROM_SIGNATURE, sizeof ROM_SIGNATURE - 1);
    int differing = 0;
    for (const Pass& p : PASSES) {
        for (uint32_t off = 0; off < p.length; off += BLOCK) {
            differing +=
                std::memcmp(&flash[p.flash_offset + off], &img.bytes[p.image_offset + off], BLOCK) != 0;
        }
    }
    uint32_t s = sum(&img.bytes[kimage::BOOT_BLOCK_OFFSET], kimage::BOOT_BLOCK_SIZE);
    for (const auto& m : img.modules) {
        s += sum(&img.bytes[m.link_position - MODULE_BEFORE_LINK],
                 MODULE_HEADER_BYTES + (m.header_only ? 0 : m.size));
    }
    sink = s;
    return differing;
}

// Mean seconds of one call of `f` over `calls` calls.
template <typename F>
double seconds_per_call(F f, int calls) {
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) {
        f();
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / calls;
}

}  // namespace floorwork

#endif
