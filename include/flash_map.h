// The K5R's BIOS flash as the update walks it: the part, where the board
// decodes it, the regions an update treats apart, and the order of its
// region passes. The library, the simulator, the host tools and the
// benchmarks all take the layout from here. Freestanding: constants only.
#ifndef KOVA_FLASH_MAP_H
#define KOVA_FLASH_MAP_H

#include <stdint.h>

namespace flashmap {

// The flash part, and every image: image offset x belongs at flash offset x.
constexpr uint32_t FLASH_SIZE = 0x200000;
constexpr uint32_t FLASH_LAST = FLASH_SIZE - 1;
// The part is decoded at the top of the 32-bit physical space.
constexpr uint32_t FLASH_BASE = 0xFFE00000;
static_assert(FLASH_BASE + FLASH_LAST == 0xFFFFFFFF, "the flash ends at 4 GiB");

// The update writes 4 KiB blocks and treats 64 KiB regions apart.
constexpr uint32_t BLOCK_SIZE = 0x1000;
constexpr uint32_t BLOCK_COUNT = FLASH_SIZE / BLOCK_SIZE;
constexpr uint32_t REGION_SIZE = 0x10000;

// The boot block: the top 64 KiB, with the boot-info block and platform tag.
constexpr uint32_t BOOT_BLOCK_OFFSET = FLASH_SIZE - REGION_SIZE;
constexpr uint32_t BOOT_BLOCK_SIZE = REGION_SIZE;
// The 64 KiB below it are never written by an update.
constexpr uint32_t KEPT_OFFSET = BOOT_BLOCK_OFFSET - REGION_SIZE;
constexpr uint32_t KEPT_SIZE = REGION_SIZE;
// During an update: a copy of the new boot block, and (unless the board
// says otherwise) a copy of the image's first 64 KiB.
constexpr uint32_t BOOT_COPY_OFFSET = 0x30000;
constexpr uint32_t FIRST_COPY_OFFSET = 0x10000;
constexpr uint32_t FIRST_REGION_OFFSET = 0;

struct RegionPass {
    uint32_t flash_offset;
    uint32_t image_offset;
    uint32_t length;
    bool only_without_skip_bit;  // pass c: left out when the board register says so
};

// The order matters: passes a and c place copies of the new boot block and
// of the image's first 64 KiB before b and d replace the originals; pass e
// gives the copy areas their own contents last. The kept 64 KiB are in none.
constexpr RegionPass REGION_PASSES[] = {
    {BOOT_COPY_OFFSET, BOOT_BLOCK_OFFSET, BOOT_BLOCK_SIZE, false},                   // a
    {BOOT_BLOCK_OFFSET, BOOT_BLOCK_OFFSET, BOOT_BLOCK_SIZE, false},                  // b
    {FIRST_COPY_OFFSET, FIRST_REGION_OFFSET, REGION_SIZE, true},                     // c
    {FIRST_REGION_OFFSET, FIRST_REGION_OFFSET, REGION_SIZE, false},                  // d
    {FIRST_COPY_OFFSET, FIRST_COPY_OFFSET, KEPT_OFFSET - FIRST_COPY_OFFSET, false},  // e
};

}  // namespace flashmap

#endif
