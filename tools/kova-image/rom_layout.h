// The layout of the firmware's ROM header and module chain, as the image
// tool both writes (builder) and walks (inspect) it.
#ifndef KOVA_IMAGE_ROM_LAYOUT_H
#define KOVA_IMAGE_ROM_LAYOUT_H

#include <cstdint>

namespace kimage::rom {

// The ROM header: a flags byte 4 bytes before its signature, the first
// module's link 18 bytes after it, 22 bytes in all from the signature.
constexpr uint32_t HEADER_BEFORE_SIGNATURE = 4;
constexpr uint32_t HEADER_FIRST_LINK_AT = 18;
constexpr uint32_t HEADER_END = 22;
constexpr uint32_t HEADER_FLAGS_LINK32 = 0x01;

// A module: a 20-byte header whose link to the next module is its third
// word; offsets are from the header's start.
constexpr uint32_t MODULE_HEADER_BYTES = 20;
constexpr uint32_t MODULE_CHECK_AT = 4;  // a free word that balances the sum
constexpr uint32_t MODULE_LINK_AT = 8;
constexpr uint32_t MODULE_BEFORE_LINK = MODULE_LINK_AT;  // a link points at the link word
constexpr uint32_t MODULE_FLAGS_AT = 15;
constexpr uint8_t MODULE_FLAG_HEADER_ONLY = 0x40;
constexpr uint32_t LAST_LINK = 0xFFFFFFFF;

}  // namespace kimage::rom

#endif
