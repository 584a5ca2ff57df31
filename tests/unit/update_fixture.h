// Scaffolding for the update tests: a simulated board whose flash holds an
// installed image, images made by the image builder, and a reference model
// of what a dry run counts.
#ifndef TESTS_UPDATE_FIXTURE_H
#define TESTS_UPDATE_FIXTURE_H

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "board_fixture.h"
#include "builder.h"
#include "flash_map.h"
#include "kova.h"

namespace upd {

using flashmap::FLASH_BASE;
using flashmap::FLASH_SIZE;
constexpr uint32_t BLOCK = flashmap::BLOCK_SIZE;
constexpr uint32_t HANDLE = 0x5EC;  // any non-zero firmware callback handle
constexpr uint16_t REG_FEA1 = 0xFEA1;

using Bytes = std::vector<uint8_t>;

inline Bytes make(uint64_t seed, uint8_t revision = 1, const char* vendor = "ZALT") {
    kimage::ImageOptions o;
    o.seed = seed;
    o.revision = revision;
    o.vendor = vendor;
    return kimage::make_image(o).bytes;
}

struct Pass {
    uint32_t flash_offset, image_offset, length;
};
constexpr Pass PASS_A{0x030000, 0x1F0000, 0x10000}, PASS_B{0x1F0000, 0x1F0000, 0x10000},
    PASS_C{0x010000, 0x000000, 0x10000}, PASS_D{0x000000, 0x000000, 0x10000},
    PASS_E{0x010000, 0x010000, 0x1D0000};

// Blocks of a pass where `flash` and `image` differ.
inline int differing_blocks(const Bytes& flash, const Bytes& image, const Pass& p) {
    int n = 0;
    for (uint32_t off = 0; off < p.length; off += BLOCK) {
        n += std::memcmp(&flash[p.flash_offset + off], &image[p.image_offset + off], BLOCK) != 0;
    }
    return n;
}

// What a dry run leaves in KOVA_block_count: every pass compares against the
// unchanged flash, so a block is counted once per pass that finds it different.
inline int dry_run_count(const Bytes& flash, const Bytes& image, bool pass_c) {
    int n = differing_blocks(flash, image, PASS_A) + differing_blocks(flash, image, PASS_B) +
            differing_blocks(flash, image, PASS_D) + differing_blocks(flash, image, PASS_E);
    return pass_c ? n + differing_blocks(flash, image, PASS_C) : n;
}

// The fewest block writes the pass order allows: each pass, in order, writes
// every block where the flash as the earlier passes left it differs.
inline int minimum_writes(Bytes flash, const Bytes& image, bool pass_c) {
    int n = 0;
    const Pass passes[] = {PASS_A, PASS_B, PASS_C, PASS_D, PASS_E};
    for (size_t i = 0; i < std::size(passes); ++i) {
        const Pass& p = passes[i];
        if (i == 2 && !pass_c) {  // pass c
            continue;
        }
        for (uint32_t off = 0; off < p.length; off += BLOCK) {
            uint8_t* at = &flash[p.flash_offset + off];
            const uint8_t* want = &image[p.image_offset + off];
            if (std::memcmp(at, want, BLOCK) != 0) {
                std::memcpy(at, want, BLOCK);
                ++n;
            }
        }
    }
    return n;
}

class UpdateTest : public BoardTest {
protected:
    void install(const Bytes& image) { board->memory.write(FLASH_BASE, image.data(), image.size()); }
    Bytes flash() const {
        Bytes out(FLASH_SIZE);
        board->memory.read(FLASH_BASE, out.data(), out.size());
        return out;
    }
    Bytes fseg() const {
        Bytes out(sim::phys::FSEG_SIZE);
        board->memory.read(sim::phys::FSEG_BASE, out.data(), out.size());
        return out;
    }
    void expect_nothing_held() const {
        EXPECT_EQ(board->memory.live_mappings(), 0u) << "a window is still mapped";
        EXPECT_EQ(board->memory.live_allocations(), 0u) << "the transfer buffer is still allocated";
        EXPECT_EQ(board->memory.bad_releases(), 0u) << "a release named nothing held";
    }
};

}  // namespace upd

#endif
