#include "builder.h"

#include <cstring>
#include <random>
#include <stdexcept>

#include "rom_layout.h"

namespace kimage {

namespace {

using namespace rom;
constexpr uint32_t REAL_MODE_IMAGE_BASE = 0x100000;
constexpr uint32_t REAL_MODE_SPAN = 0x100000;
constexpr size_t BOOT_INFO_STRINGS_MAX = 0x100;

uint32_t align_up(uint64_t v, uint32_t a) { return uint32_t((v + a - 1) / a * a); }

void put_string(std::vector<uint8_t>& img, uint32_t at, const std::string& s) {
    std::memcpy(img.data() + at, s.data(), s.size());
}

}  // namespace

uint32_t read32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

void write32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = uint8_t(v >> (8 * i));
    }
}

uint32_t sum_words(const uint8_t* p, size_t n) {
    uint32_t s = 0;
    for (size_t i = 0; i + 4 <= n; i += 4) {
        s += read32(p + i);
    }
    return s;
}

uint32_t encode_link(uint32_t position, bool link32) {
    if (link32) {
        return position;
    }
    uint32_t real = position - REAL_MODE_IMAGE_BASE;
    return (real >> 4) << 16 | (real & 0xF);
}

Image make_image(const ImageOptions& o) {
    if (o.module_sizes.empty()) {
        throw std::invalid_argument("an image needs at least one module");
    }
    if (o.header_only_module && *o.header_only_module >= o.module_sizes.size()) {
        throw std::invalid_argument("header-only module " + std::to_string(*o.header_only_module) +
                                    " does not exist");
    }
    uint32_t h = o.header_offset;
    if (h < HEADER_BEFORE_SIGNATURE || uint64_t(h) + HEADER_END > BOOT_BLOCK_OFFSET) {
        throw std::invalid_argument("the ROM header must lie below the boot block");
    }

    if (o.model.size() + o.second.size() + o.vendor.size() + 3 > BOOT_INFO_STRINGS_MAX) {
        throw std::invalid_argument("boot-info strings are too long");
    }
    if (o.platform_tag.size() > IMAGE_SIZE - PLATFORM_TAG_OFFSET) {
        throw std::invalid_argument("the platform tag is at most 32 bytes");
    }

    Image out;
    std::vector<uint8_t>& img = out.bytes;
    img.resize(IMAGE_SIZE);
    std::mt19937_64 rng(o.seed);
    for (size_t i = 0; i < IMAGE_SIZE; i += 8) {
        uint64_t r = rng();
        std::memcpy(img.data() + i, &r, 8);
    }
    if (o.fill) {
        std::fill(img.begin(), img.end(), *o.fill);
    }
    for (auto [offset, value] : o.pokes) {
        if (offset >= IMAGE_SIZE) {
            throw std::invalid_argument("--poke offset " + std::to_string(offset) + " is outside the image");
        }
        img[offset] = value;
    }

    // Module placement first, so the header's first link is known.
    uint64_t next = align_up(uint64_t(h) + HEADER_END, MODULE_ALIGN);
    for (size_t i = 0; i < o.module_sizes.size(); ++i) {
        uint32_t start = uint32_t(next);
        uint64_t end = uint64_t(start) + MODULE_HEADER_BYTES + o.module_sizes[i];
        if (end > BOOT_BLOCK_OFFSET) {
            throw std::invalid_argument("modules do not fit below the boot block (module " +
                                        std::to_string(i) + " would end at " + std::to_string(end) + ")");
        }
        uint32_t link_position = start + MODULE_BEFORE_LINK;
        if (!o.link32 && (link_position < REAL_MODE_IMAGE_BASE ||
                          link_position - REAL_MODE_IMAGE_BASE >= REAL_MODE_SPAN)) {
            throw std::invalid_argument("segment:offset links reach only the image's upper half");
        }
        out.modules.push_back({link_position, o.module_sizes[i], o.header_only_module == i});
        next = align_up(end, MODULE_ALIGN);
    }

    uint8_t* hdr = img.data() + h - HEADER_BEFORE_SIGNATURE;
    hdr[0] = uint8_t((hdr[0] & ~HEADER_FLAGS_LINK32) | (o.link32 ? HEADER_FLAGS_LINK32 : 0));
    put_string(img, h, "AMIBIOSC0800");
    write32(img.data() + h + HEADER_FIRST_LINK_AT, encode_link(out.modules[0].link_position, o.link32));

    for (size_t i = 0; i < out.modules.size(); ++i) {
        const ModulePlacement& m = out.modules[i];
        uint8_t* start = img.data() + m.link_position - MODULE_BEFORE_LINK;
        write32(start, m.size);
        bool last = i + 1 == out.modules.size();
        write32(start + MODULE_LINK_AT,
                last ? LAST_LINK : encode_link(out.modules[i + 1].link_position, o.link32));
        start[MODULE_FLAGS_AT] = uint8_t(m.header_only ? start[MODULE_FLAGS_AT] | MODULE_FLAG_HEADER_ONLY
                                                       : start[MODULE_FLAGS_AT] & ~MODULE_FLAG_HEADER_ONLY);
        size_t summed = MODULE_HEADER_BYTES + (m.header_only ? 0 : m.size);
        write32(start + MODULE_CHECK_AT, 0);
        write32(start + MODULE_CHECK_AT, 0u - sum_words(start, summed));
    }

    // Boot block: boot-info block, platform tag, then the balancing word.
    uint8_t* info = img.data() + BOOT_INFO_OFFSET;
    put_string(img, BOOT_INFO_OFFSET, BOOT_INFO_SIGNATURE);
    info[BOOT_INFO_REVISION_AT] = o.revision;
    std::string strings = o.model + '\0' + o.second + '\0' + o.vendor + '\0';
    put_string(img, BOOT_INFO_OFFSET + BOOT_INFO_STRINGS_AT, strings);
    put_string(img, PLATFORM_TAG_OFFSET, o.platform_tag);
    write32(img.data() + BOOT_BALANCE_OFFSET, 0);
    write32(img.data() + BOOT_BALANCE_OFFSET,
            0u - sum_words(img.data() + BOOT_BLOCK_OFFSET, BOOT_BLOCK_SIZE));
    return out;
}

}  // namespace kimage
