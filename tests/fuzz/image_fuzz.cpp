// Fuzzes image validation. The input is decoded into structure: its first
// three bytes give where the payload lands in a well-formed image whose ROM
// header was wiped, the rest is the payload, so it decides the header's
// place, flags, links and the module chain. The image is exactly 2 MiB on
// the heap, so any read past it is caught. Traps when the library and the
// image tool's own walk disagree.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "builder.h"
#include "frame/bytes.h"
#include "inspect.h"
#include "update/image.h"

namespace {

constexpr size_t POSITION_BYTES = 3;
constexpr uint32_t HEADER_BEFORE = 4;  // header bytes before "AMIBIOSC" (its flags)
constexpr uint32_t MODULE_BEFORE_LINK = 8, MODULE_HEADER_BYTES = 20;

struct State {
    std::vector<uint8_t> base;
    uint8_t* image;
};

State& state() {
    static State s = [] {
        kimage::ImageOptions o;
        o.module_sizes = {0x40, 0x200, 0x10, 0x100};
        kimage::Image made = kimage::make_image(o);
        State st{made.bytes, new uint8_t[kimage::IMAGE_SIZE]};
        std::memset(st.base.data() + o.header_offset, 0, 8);  // no ROM header until the input places one
        // Zero filler everywhere no sum covers: both walks then pass over it
        // at full speed, and every "AMIBIOSC" they meet is one the input put
        // there. The header area, the modules and the boot block stay.
        uint32_t modules_end = o.header_offset;
        for (const auto& m : made.modules) {
            modules_end =
                std::max(modules_end, m.link_position - MODULE_BEFORE_LINK + MODULE_HEADER_BYTES + m.size);
        }
        std::memset(st.base.data(), 0, o.header_offset - HEADER_BEFORE);
        std::memset(st.base.data() + modules_end, 0, kimage::BOOT_BLOCK_OFFSET - modules_end);
        std::memcpy(st.image, st.base.data(), kimage::IMAGE_SIZE);
        return st;
    }();
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < POSITION_BYTES) {
        return 0;
    }
    State& s = state();
    uint32_t at = (data[0] | data[1] << 8 | uint32_t(data[2]) << 16) % kimage::IMAGE_SIZE;
    size_t n = std::min<size_t>(size - POSITION_BYTES, kimage::IMAGE_SIZE - at);
    std::memcpy(s.image + at, data + POSITION_BYTES, n);

    bool library = kova::boot_block_sum(s.image) == 0 && kova::verify_module_chain(s.image) == 1;
    kimage::Inspection r = kimage::inspect_image(s.image);
    if (library != r.valid) {
        __builtin_trap();
    }
    if (r.header && kova::find_rom_header(s.image) != *r.header &&
        kova::find_rom_header(s.image) != kova::BYTES_NOT_FOUND) {
        __builtin_trap();
    }
    std::memcpy(s.image + at, s.base.data() + at, n);  // back to the base image
    return 0;
}
