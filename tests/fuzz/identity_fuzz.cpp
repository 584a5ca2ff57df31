// Fuzzes the identity check on the installed firmware's top window. The
// input's first two bytes give where its payload lands in a good window
// (taken from a made image); the window is exactly the 0xFFFF bytes the
// library maps, on the heap, so any read past it is caught. An independent
// reading of the same rules must agree with the library's code.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "builder.h"
#include "update/identity.h"
#include "update/result.h"

namespace {

constexpr uint32_t WINDOW = 0xFFFF;
constexpr size_t POSITION_BYTES = 2;
namespace r = kova::result;

struct State {
    std::vector<uint8_t> base;
    uint8_t* window;
};

State& state() {
    static State s = [] {
        auto img = kimage::make_image({}).bytes;
        State st{std::vector<uint8_t>(img.begin() + kimage::BOOT_BLOCK_OFFSET,
                                      img.begin() + kimage::BOOT_BLOCK_OFFSET + WINDOW),
                 new uint8_t[WINDOW]};
        std::memcpy(st.window, st.base.data(), WINDOW);
        return st;
    }();
    return s;
}

// The rules, read plainly: tag, first "$BOOTSI$", three exact strings that
// end inside the window, revision at most 1.
uint32_t expected_code(const uint8_t* w) {
    std::string_view v(reinterpret_cast<const char*>(w), WINDOW);
    if (v.substr(0xFFE0, 5) != "R2318") {
        return r::PLATFORM_TAG;
    }
    size_t b = v.find("$BOOTSI$");
    if (b == std::string_view::npos) {
        return r::NO_BOOT_INFO;
    }
    size_t at = b + 13;
    const std::pair<std::string_view, uint32_t> strings[] = {
        {"K5R", r::BOARD_MODEL}, {"", r::SECOND_STRING}, {"ZALT", r::VENDOR}};
    for (const auto& [want, code] : strings) {
        size_t nul = at < WINDOW ? v.find('\0', at) : std::string_view::npos;
        if (nul == std::string_view::npos || v.substr(at, nul - at) != want) {
            return code;
        }
        at = nul + 1;
    }
    return w[b + 10] > 1 ? r::REVISION : r::SUCCESS;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < POSITION_BYTES) {
        return 0;
    }
    State& s = state();
    uint32_t at = uint32_t(data[0] | data[1] << 8) % WINDOW;
    size_t n = std::min<size_t>(size - POSITION_BYTES, WINDOW - at);
    std::memcpy(s.window + at, data + POSITION_BYTES, n);

    uint32_t boot_info = 0;
    uint32_t code = kova::check_board_identity(s.window, &boot_info);
    if (code == r::SUCCESS) {
        code = kova::check_revision(s.window, boot_info);
    }
    if (code != expected_code(s.window)) {
        __builtin_trap();
    }
    std::memcpy(s.window + at, s.base.data() + at, n);
    return 0;
}
