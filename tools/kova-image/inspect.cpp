#include "inspect.h"

#include <algorithm>
#include <set>
#include <string_view>

#include "builder.h"
#include "image_identity.h"
#include "rom_layout.h"

namespace kimage {

namespace {

constexpr std::string_view ROM_SIGNATURE = "AMIBIOSC";
constexpr std::string_view ROM_REVISION = "0800";
using namespace rom;
constexpr uint32_t CHAIN_LIMIT = IMAGE_SIZE / MODULE_HEADER_BYTES;
constexpr size_t PLATFORM_TAG_BYTES = 5;

std::string printable(const uint8_t* p, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += (p[i] >= 0x20 && p[i] < 0x7F) ? char(p[i]) : '.';
    }
    return s;
}

uint32_t resolve(uint32_t link, bool link32) {
    if (link32) {
        return link;
    }
    return ((link >> 16) << 4) + (link & 0xFFFF) + 0x100000;
}

void walk_chain(const uint8_t* base, Inspection& r) {
    uint32_t h = *r.header;
    r.header_flags = base[h - HEADER_BEFORE_SIGNATURE];
    r.link32 = (r.header_flags & 1) != 0;
    uint32_t at = resolve(read32(base + h + HEADER_FIRST_LINK_AT), r.link32);
    std::set<uint32_t> seen;
    while (true) {
        if (r.modules.size() >= CHAIN_LIMIT) {
            r.chain_reason = "chain longer than the image can hold";
            return;
        }
        if (!seen.insert(at).second) {
            r.chain_reason = "chain loops back to a module already walked";
            return;
        }
        ModuleInfo m{at, 0, 0, 0, 0, false, ""};
        if (at < MODULE_BEFORE_LINK || uint64_t(at) - MODULE_BEFORE_LINK + MODULE_HEADER_BYTES > IMAGE_SIZE) {
            m.note = "header outside the image";
            r.modules.push_back(m);
            r.chain_reason = "link points outside the image";
            return;
        }
        const uint8_t* start = base + at - MODULE_BEFORE_LINK;
        m.size = read32(start);
        m.flags = start[MODULE_FLAGS_AT];
        uint64_t summed = MODULE_HEADER_BYTES + ((m.flags & MODULE_FLAG_HEADER_ONLY) ? 0 : uint64_t(m.size));
        if (uint64_t(at) - MODULE_BEFORE_LINK + summed > IMAGE_SIZE) {
            m.note = "data run past the end of the image";
            r.modules.push_back(m);
            r.chain_reason = "module crosses the end of the image";
            return;
        }
        m.summed = uint32_t(summed);
        m.sum = sum_words(start, m.summed);
        m.ok = m.sum == 0;
        uint32_t link = read32(base + at);
        if (!m.ok) {
            m.note = "sum not zero";
            r.modules.push_back(m);
            r.chain_reason = "module sum not zero";
            return;
        }
        r.modules.push_back(m);
        if (link == LAST_LINK) {
            r.chain_valid = true;
            r.chain_reason = "chain ends";
            return;
        }
        at = resolve(link, r.link32);
    }
}

// The boot-info block as the host tools read it for the identity checks,
// so inspect shows exactly what kovaflash and the verdict below judge.
void find_boot_info(const uint8_t* img, Inspection& r) {
    ident::Identity id = ident::read_identity(img);
    if (!id.boot_info) {
        return;
    }
    BootInfo b{*id.boot_info, id.revision, {}, false};
    for (const std::optional<std::string>* s : {&id.model, &id.second, &id.vendor}) {
        if (!*s) {
            b.truncated = true;
            break;
        }
        b.strings.push_back(**s);
    }
    r.boot_info = b;
}

}  // namespace

Inspection inspect_image(const uint8_t* img) {
    Inspection r;
    r.boot_block_sum = sum_words(img + BOOT_BLOCK_OFFSET, BOOT_BLOCK_SIZE);
    std::string_view text(reinterpret_cast<const char*>(img), IMAGE_SIZE);
    for (const uint8_t* it = img;;) {
        size_t found = text.find(ROM_SIGNATURE, size_t(it - img));
        if (found == std::string_view::npos) {
            break;
        }
        it = img + found;
        uint32_t off = uint32_t(it - img);
        size_t avail = std::min<size_t>(ROM_REVISION.size(), IMAGE_SIZE - off - ROM_SIGNATURE.size());
        std::string rev(it + ROM_SIGNATURE.size(), it + ROM_SIGNATURE.size() + avail);
        bool is_header = !r.header && rev == ROM_REVISION;
        r.candidates.push_back({off, printable(it + ROM_SIGNATURE.size(), avail), is_header});
        if (is_header) {
            r.header = off;
        }
        ++it;
    }
    if (!r.header) {
        r.chain_reason = "no \"AMIBIOSC\" followed by \"0800\"";
    } else if (*r.header < HEADER_BEFORE_SIGNATURE || uint64_t(*r.header) + HEADER_END > IMAGE_SIZE) {
        r.chain_reason = "ROM header runs past the edge of the image";
    } else {
        walk_chain(img, r);
    }
    find_boot_info(img, r);
    r.platform_tag = printable(img + PLATFORM_TAG_OFFSET, PLATFORM_TAG_BYTES);
    r.valid = r.boot_block_sum == 0 && r.chain_valid;
    return r;
}

}  // namespace kimage
