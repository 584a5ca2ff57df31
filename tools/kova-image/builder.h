// Builds well-formed 2 MiB firmware images for the K5R: a ROM header and a
// module chain with correct sums, the boot-info block and platform tag in
// the top 64 KiB, and a boot block that sums to zero. Everything else is
// filled from a seed, so two seeds give different images and the same
// options always give the same bytes.
#ifndef KOVA_IMAGE_BUILDER_H
#define KOVA_IMAGE_BUILDER_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "flash_map.h"
#include "update/identity.h"

namespace kimage {

constexpr uint32_t IMAGE_SIZE = flashmap::FLASH_SIZE;
constexpr uint32_t BOOT_BLOCK_OFFSET = flashmap::BOOT_BLOCK_OFFSET;
constexpr uint32_t BOOT_BLOCK_SIZE = flashmap::BOOT_BLOCK_SIZE;
// Where the builder puts the word that balances the boot block's sum.
constexpr uint32_t BOOT_BALANCE_OFFSET = BOOT_BLOCK_OFFSET;
// Boot-info block: "$BOOTSI$", two bytes, the revision byte, two bytes, then
// the board model, an empty string and the vendor, each NUL-terminated.
constexpr uint32_t BOOT_INFO_OFFSET = flashmap::BOOT_BLOCK_OFFSET + 0x100;
using kova::identity::BOOT_INFO_REVISION_AT;
using kova::identity::BOOT_INFO_SIGNATURE;
using kova::identity::BOOT_INFO_STRINGS_AT;
// The platform tag sits 32 bytes below the top of the flash.
constexpr uint32_t PLATFORM_TAG_OFFSET = flashmap::BOOT_BLOCK_OFFSET + kova::identity::PLATFORM_TAG_AT;
constexpr uint32_t DEFAULT_HEADER_OFFSET = 0x100040;
// Modules start on 16-byte boundaries, as the firmware lays them out.
constexpr uint32_t MODULE_ALIGN = 16;

struct ImageOptions {
    bool link32 = true;                              // false: segment:offset links
    uint32_t header_offset = DEFAULT_HEADER_OFFSET;  // image offset of "AMIBIOSC"
    std::vector<uint32_t> module_sizes{0x6000, 0x1800, 0x10000, 0x3000, 0x800, 0x9000};
    std::optional<uint32_t> header_only_module;  // this module gets flag bit 6
    uint8_t revision = 1;
    uint64_t seed = 1;
    std::optional<uint8_t> fill;  // the filler's one byte, instead of bytes from the seed
    std::string model = "K5R";
    std::string second = "";
    std::string vendor = "ZALT";
    std::string platform_tag = "R2318";
    // Filler bytes set before the sums are made (the image stays whole): an
    // image that differs from another in one chosen byte.
    std::vector<std::pair<uint32_t, uint8_t>> pokes;
};

struct ModulePlacement {
    uint32_t link_position;  // L: the header is L - 8 .. L + 11
    uint32_t size;
    bool header_only;
};

struct Image {
    std::vector<uint8_t> bytes;  // exactly IMAGE_SIZE
    std::vector<ModulePlacement> modules;
};

// Throws std::invalid_argument when the options cannot be laid out (modules
// that run into the boot block, a header outside the range the link form
// reaches, too few modules).
Image make_image(const ImageOptions& options);

// Link value that resolves to image offset `position` in the given form.
uint32_t encode_link(uint32_t position, bool link32);
// Word sum modulo 2^32 of the whole little-endian words of `n` bytes.
uint32_t sum_words(const uint8_t* p, size_t n);
uint32_t read32(const uint8_t* p);
void write32(uint8_t* p, uint32_t v);

}  // namespace kimage

#endif
