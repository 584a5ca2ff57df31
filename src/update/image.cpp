#include "update/image.h"

#include "frame/bytes.h"

namespace kova {

using namespace image;

namespace {

// The module header for link position `link_at`, or null when the header
// would reach outside the image.
const module_header* module_at(const uint8_t* image, uint32_t link_at) {
    uint64_t start = uint64_t(link_at) - MODULE_HEADER_BEFORE_LINK;
    if (link_at < MODULE_HEADER_BEFORE_LINK || start + MODULE_HEADER_BYTES > IMAGE_SIZE) {
        return nullptr;
    }
    return reinterpret_cast<const module_header*>(image + start);
}

// Checks one module: it lies inside the image and its summed bytes (the
// header alone with flag bit 6, else header and data) add up to zero.
bool module_sums_to_zero(const uint8_t* image, const module_header* m) {
    uint64_t length = MODULE_HEADER_BYTES;
    if ((m->flags & MODULE_FLAG_HEADER_ONLY) == 0) {
        length += m->size;  // 64-bit: a huge size must not wrap to a short one
    }
    uint64_t start = uint64_t(reinterpret_cast<const uint8_t*>(m) - image);
    if (start + length > IMAGE_SIZE) {
        return false;
    }
    return word_sum(m, static_cast<uint32_t>(length)) == 0;
}

}  // namespace

uint32_t boot_block_sum(const uint8_t* image) { return word_sum(image + BOOT_BLOCK_OFFSET, BOOT_BLOCK_SIZE); }

uint32_t find_rom_header(const uint8_t* image) {
    uint32_t i = 0;
    while (i < IMAGE_SIZE) {
        uint32_t b = find_pattern(image + i, IMAGE_SIZE - i, ROM_SIGNATURE);
        if (b == BYTES_NOT_FOUND) {
            return BYTES_NOT_FOUND;
        }
        i += b;
        // A signature so close to the end that its revision bytes would lie
        // past it cannot start a header, and neither can any later one.
        if (uint64_t(i) + ROM_SIGNATURE_BYTES + ROM_REVISION_BYTES > IMAGE_SIZE) {
            return BYTES_NOT_FOUND;
        }
        if (find_pattern(image + i + ROM_SIGNATURE_BYTES, ROM_REVISION_BYTES, ROM_REVISION) == 0) {
            // The header runs from the flags byte before the signature to
            // the end of the first link; it must lie wholly in the image.
            if (i < ROM_HEADER_BEFORE_SIGNATURE ||
                uint64_t(i) - ROM_HEADER_BEFORE_SIGNATURE + sizeof(rom_header) > IMAGE_SIZE) {
                return BYTES_NOT_FOUND;
            }
            return i;
        }
        i += 1;  // search again from the byte after the rejected signature
    }
    return BYTES_NOT_FOUND;
}

uint32_t resolve_link(uint32_t link, bool link32) {
    if (link32) {
        return link;
    }
    uint32_t offset = link & 0xFFFFu;
    uint32_t segment = link >> 16;
    return (segment << SEGMENT_SHIFT) + offset + REAL_MODE_IMAGE_BASE;
}

// The walk detects a loop with Brent's method: a saved position is compared
// with every step and moved up at each power of two, so a loop is found
// within a few passes over it, with no memory beyond two positions. The
// chain limit bounds the walk whatever the links say.
uint32_t verify_module_chain(const uint8_t* image) {
    uint32_t h = find_rom_header(image);
    if (h == BYTES_NOT_FOUND) {
        return 0;
    }
    const rom_header* header = reinterpret_cast<const rom_header*>(image + h - ROM_HEADER_BEFORE_SIGNATURE);
    bool link32 = (header->flags & ROM_FLAGS_LINK32) != 0;
    uint32_t at = resolve_link(header->first_link, link32);

    uint32_t saved = at;
    uint32_t power = 1, since_saved = 0;
    for (uint32_t steps = 0; steps < MODULE_CHAIN_LIMIT; ++steps) {
        const module_header* m = module_at(image, at);
        if (m == nullptr || !module_sums_to_zero(image, m)) {
            return 0;
        }
        if (m->link == MODULE_LAST_LINK) {
            return 1;
        }
        at = resolve_link(m->link, link32);
        if (at == saved) {
            return 0;  // the chain loops
        }
        if (++since_saved == power) {
            saved = at;
            power *= 2;
            since_saved = 0;
        }
    }
    return 0;
}

}  // namespace kova
