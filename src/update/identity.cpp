#include "update/identity.h"

#include "frame/bytes.h"
#include "update/result.h"

namespace kova {

using namespace identity;

namespace {

// Compares the boot-info string at window offset *at with `name` and, when
// it matches, moves *at past its terminator. A string that runs into the end
// of the window does not match.
bool take_string(const uint8_t* window, uint32_t* at, const char* name) {
    uint32_t available = *at < TOP_WINDOW_LENGTH ? TOP_WINDOW_LENGTH - *at : 0;
    if (string_equals_within(window + *at, available, name) != 0) {
        return false;
    }
    *at += string_length(name) + 1;
    return true;
}

}  // namespace

uint32_t check_board_identity(const uint8_t* window, uint32_t* boot_info) {
    if (find_pattern(window + PLATFORM_TAG_AT, string_length(PLATFORM_TAG), PLATFORM_TAG) != 0) {
        return result::PLATFORM_TAG;
    }
    // The search stays inside the bytes mapped, one short of the full 64 KiB.
    uint32_t b = find_pattern(window, TOP_WINDOW_LENGTH, BOOT_INFO_SIGNATURE);
    if (b == BYTES_NOT_FOUND) {
        return result::NO_BOOT_INFO;
    }
    uint32_t at = b + BOOT_INFO_STRINGS_AT;
    if (!take_string(window, &at, BOARD_MODEL)) {
        return result::BOARD_MODEL;
    }
    if (!take_string(window, &at, SECOND_STRING)) {
        return result::SECOND_STRING;
    }
    if (!take_string(window, &at, VENDOR)) {
        return result::VENDOR;
    }
    *boot_info = b;
    return result::SUCCESS;
}

// The revision byte lies before the strings, which checks 3 to 5 found
// inside the window, so it is inside too.
uint32_t check_revision(const uint8_t* window, uint32_t boot_info) {
    if (window[boot_info + BOOT_INFO_REVISION_AT] > BOOT_INFO_REVISION_MAX) {
        return result::REVISION;
    }
    return result::SUCCESS;
}

}  // namespace kova
