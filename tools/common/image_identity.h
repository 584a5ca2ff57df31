// The identity a firmware image carries in its top 64 KiB, read by the rules
// the library applies to the installed firmware before every update. Once
// an image is installed these bytes are what the library checks, so an
// image that fails here would make the library refuse every later update:
// the host tool refuses to install it.
#ifndef KOVA_TOOLS_IMAGE_IDENTITY_H
#define KOVA_TOOLS_IMAGE_IDENTITY_H

#include <cstdint>
#include <optional>
#include <string>

#include "flash_map.h"
#include "update/identity.h"

namespace ident {

// The top window the library maps is the boot block, one byte short of it;
// the rules and the board's strings are the library's own.
constexpr uint32_t TOP_WINDOW_OFFSET = kova::identity::TOP_WINDOW_PHYSICAL - flashmap::FLASH_BASE;
static_assert(TOP_WINDOW_OFFSET == flashmap::BOOT_BLOCK_OFFSET, "the top window is the boot block");
constexpr uint32_t TOP_WINDOW_BYTES = kova::identity::TOP_WINDOW_LENGTH;
using kova::identity::BOARD_MODEL;
using kova::identity::BOOT_INFO_REVISION_AT;
using kova::identity::BOOT_INFO_REVISION_MAX;
using kova::identity::BOOT_INFO_SIGNATURE;
using kova::identity::BOOT_INFO_STRINGS_AT;
using kova::identity::PLATFORM_TAG;
using kova::identity::PLATFORM_TAG_AT;
using kova::identity::SECOND_STRING;
using kova::identity::VENDOR;

struct Identity {
    std::string platform_tag;  // the five tag bytes, printable
    bool tag_ok = false;
    std::optional<uint32_t> boot_info;  // image offset of the first "$BOOTSI$" in the window
    uint8_t revision = 0;
    // The three boot-info strings; nullopt where one runs past the window.
    std::optional<std::string> model, second, vendor;
};

// The first check the library would fail, in its order: the field, what
// this board wants, what the image holds, and one line saying so.
struct Refusal {
    std::string field;
    std::string expected;
    std::string found;
    std::string text;
};

// Reads the identity of the 2 MiB image (or flash contents) at `image`.
Identity read_identity(const uint8_t* image);
std::optional<Refusal> refusal(const Identity& id);

// Text with anything unprintable as \xNN.
std::string printable(const std::string& bytes);

}  // namespace ident

#endif
