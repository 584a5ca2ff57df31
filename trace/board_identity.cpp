#include "board_identity.h"

#include <algorithm>
#include <cstring>

#include "update/identity.h"

namespace trace {

namespace {

using namespace kova::identity;

std::string printable(const uint8_t* p, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += p[i] >= 0x20 && p[i] < 0x7F ? char(p[i]) : '?';
    }
    return s;
}

}  // namespace

std::string board_identity(const uint8_t* window, uint32_t length) {
    std::string out;
    constexpr size_t TAG_BYTES = sizeof PLATFORM_TAG - 1;
    if (length >= PLATFORM_TAG_AT + TAG_BYTES) {
        out += "platform-tag: " + printable(window + PLATFORM_TAG_AT, TAG_BYTES) + "\n";
    }
    const uint8_t* end = window + length;
    const uint8_t* b =
        std::search(window, end, BOOT_INFO_SIGNATURE, BOOT_INFO_SIGNATURE + sizeof BOOT_INFO_SIGNATURE - 1);
    if (b == end || size_t(end - b) <= BOOT_INFO_STRINGS_AT) {
        return out;
    }
    out += "revision: " + std::to_string(b[BOOT_INFO_REVISION_AT]) + "\n";
    const uint8_t* at = b + BOOT_INFO_STRINGS_AT;
    for (const char* key : {"model", "second", "vendor"}) {
        const uint8_t* nul = std::find(at, end, uint8_t(0));
        if (nul == end) {
            break;
        }
        out += std::string(key) + ": " + printable(at, size_t(nul - at)) + "\n";
        at = nul + 1;
    }
    return out;
}

}  // namespace trace
