// Firmware image layout and its validation: the boot block's word sum and
// the module chain behind the ROM header. Only the image buffer is read.
#ifndef KOVA_UPDATE_IMAGE_H
#define KOVA_UPDATE_IMAGE_H

#include <stdint.h>
#include "flash_map.h"

namespace kova {

namespace image {
// The image covers the whole 2 MiB flash part; image offset x belongs at
// flash offset x.
constexpr uint32_t IMAGE_SIZE = flashmap::FLASH_SIZE;
// The boot block is the top 64 KiB; its 32-bit words sum to zero.
constexpr uint32_t BOOT_BLOCK_OFFSET = flashmap::BOOT_BLOCK_OFFSET;
constexpr uint32_t BOOT_BLOCK_SIZE = flashmap::BOOT_BLOCK_SIZE;

// ROM header: its signature, then the header revision the library accepts.
constexpr const char ROM_SIGNATURE[] = "AMIBIOSC";
constexpr const char ROM_REVISION[] = "0800";
constexpr uint32_t ROM_SIGNATURE_BYTES = 8;
constexpr uint32_t ROM_REVISION_BYTES = 4;
// Header flags byte; bit 0 picks the link form of the whole chain.
constexpr uint8_t ROM_FLAGS_LINK32 = 0x01;

// A module's header: 20 bytes starting 8 bytes before its link position.
constexpr uint32_t MODULE_HEADER_BYTES = 20;
constexpr uint8_t MODULE_FLAG_HEADER_ONLY = 0x40;  // only the header is summed
constexpr uint32_t MODULE_LAST_LINK = 0xFFFFFFFF;  // link of the last module

// Segment:offset links address the real-mode first megabyte, which the
// image's upper half holds: real-mode 0xF0000 is image offset 0x1F0000.
constexpr uint32_t REAL_MODE_IMAGE_BASE = 0x100000;
constexpr uint32_t SEGMENT_SHIFT = 4;

// A chain that stays in the image and never loops has at most this many
// modules: each takes at least its 20-byte header.
constexpr uint32_t MODULE_CHAIN_LIMIT = IMAGE_SIZE / MODULE_HEADER_BYTES;
}  // namespace image

// The ROM header, from the flags byte 4 bytes before the signature (H - 4)
// through the first link (H + 21). Packed: it sits at any byte offset.
struct __attribute__((packed)) rom_header {
    uint8_t flags;
    uint8_t reserved0[3];
    char signature[image::ROM_SIGNATURE_BYTES];
    char revision[image::ROM_REVISION_BYTES];
    uint8_t reserved1[6];
    uint32_t first_link;  // 32-bit offset, or 16-bit offset then 16-bit segment
};
static_assert(sizeof(rom_header) == 26, "ROM header runs from H - 4 to H + 21");
constexpr uint32_t ROM_HEADER_BEFORE_SIGNATURE = 4;

// A module's header, from L - 8 to L + 11, where L is its link position.
struct __attribute__((packed)) module_header {
    uint32_t size;  // bytes of data after the header
    uint8_t reserved0[4];
    uint32_t link;  // to the next module, in the ROM header's form
    uint8_t reserved1[3];
    uint8_t flags;
    uint8_t reserved2[4];
};
static_assert(sizeof(module_header) == image::MODULE_HEADER_BYTES, "module header is 20 bytes");
constexpr uint32_t MODULE_HEADER_BEFORE_LINK = 8;

// Word sum of the image's boot block; the image is sound only when it is 0.
uint32_t boot_block_sum(const uint8_t* image);

// Image offset of the ROM header's signature: the first "AMIBIOSC" followed
// by "0800". BYTES_NOT_FOUND when there is none, or when the header it
// starts would reach outside the image.
uint32_t find_rom_header(const uint8_t* image);

// Resolves a link to an image offset (modulo 2^32): the value itself in
// 32-bit form, segment * 16 + offset + 1 MiB in segment:offset form.
uint32_t resolve_link(uint32_t link, bool link32);

// 1 when every module of the chain behind the ROM header sums to zero and
// the chain ends, 0 otherwise. Reads only inside the 2 MiB at `image`: a
// header or module that would reach outside it, or a chain that loops,
// makes the image invalid.
uint32_t verify_module_chain(const uint8_t* image);

}  // namespace kova

#endif
