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

#include "builder.h"

namespace ident {

// The top window the library maps (physical 0xFFFF0000, 0xFFFF bytes) is
// the boot block, image offset 0x1F0000 onwards, one byte short of it.
constexpr uint32_t TOP_WINDOW_OFFSET = kimage::BOOT_BLOCK_OFFSET;
constexpr uint32_t TOP_WINDOW_BYTES = kimage::BOOT_BLOCK_SIZE - 1;
constexpr uint32_t PLATFORM_TAG_AT = kimage::PLATFORM_TAG_OFFSET - TOP_WINDOW_OFFSET;
constexpr char PLATFORM_TAG[] = "R2318";
using kimage::BOOT_INFO_REVISION_AT;
using kimage::BOOT_INFO_SIGNATURE;
using kimage::BOOT_INFO_STRINGS_AT;
constexpr uint8_t BOOT_INFO_REVISION_MAX = 1;
constexpr char BOARD_MODEL[] = "K5R";
constexpr char SECOND_STRING[] = "";
constexpr char VENDOR[] = "ZALT";

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
