#include "image_identity.h"

#include <cstdio>
#include <string_view>

namespace ident {

namespace {

constexpr size_t TAG_BYTES = sizeof PLATFORM_TAG - 1;

// A NUL-terminated string starting at window offset `at`; nullopt when no
// terminator comes before the window ends (the library reads no further).
std::optional<std::string> string_at(std::string_view window, size_t at) {
    if (at >= window.size()) {
        return std::nullopt;
    }
    size_t end = window.find('\0', at);
    if (end == std::string_view::npos) {
        return std::nullopt;
    }
    return std::string(window.substr(at, end - at));
}

std::string quoted(const std::optional<std::string>& s) {
    return s ? "\"" + printable(*s) + "\"" : "a string that runs past the top 64 KiB";
}

}  // namespace

std::string printable(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out += char(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

Identity read_identity(const uint8_t* image) {
    std::string_view window(reinterpret_cast<const char*>(image) + TOP_WINDOW_OFFSET, TOP_WINDOW_BYTES);
    Identity id;
    std::string_view tag = window.substr(PLATFORM_TAG_AT, TAG_BYTES);
    id.platform_tag = printable(std::string(tag));
    id.tag_ok = tag == PLATFORM_TAG;
    size_t b = window.find(BOOT_INFO_SIGNATURE);
    if (b == std::string_view::npos) {
        return id;
    }
    id.boot_info = TOP_WINDOW_OFFSET + uint32_t(b);
    if (b + BOOT_INFO_REVISION_AT < window.size()) {
        id.revision = uint8_t(window[b + BOOT_INFO_REVISION_AT]);
    }
    size_t at = b + BOOT_INFO_STRINGS_AT;
    id.model = string_at(window, at);
    if (id.model) {
        at += id.model->size() + 1;
        id.second = string_at(window, at);
    }
    if (id.second) {
        at += id.second->size() + 1;
        id.vendor = string_at(window, at);
    }
    return id;
}

std::optional<Refusal> refusal(const Identity& id) {
    if (!id.tag_ok) {
        return Refusal{
            "platform tag", PLATFORM_TAG, id.platform_tag,
            "image has platform tag \"" + id.platform_tag + "\", this board's is \"" + PLATFORM_TAG + "\""};
    }
    if (!id.boot_info) {
        return Refusal{
            "boot-info block", BOOT_INFO_SIGNATURE, "none",
            std::string("image has no boot-info block (\"") + BOOT_INFO_SIGNATURE + "\") in its top 64 KiB"};
    }
    if (id.model != std::optional<std::string>(BOARD_MODEL)) {
        return Refusal{"board model", BOARD_MODEL, id.model.value_or(""),
                       "image is for board " + quoted(id.model) + ", this board is \"" + BOARD_MODEL + "\""};
    }
    if (id.second != std::optional<std::string>(SECOND_STRING)) {
        return Refusal{"second boot-info string", SECOND_STRING, id.second.value_or(""),
                       "image's second boot-info string is " + quoted(id.second) + ", this board's is empty"};
    }
    if (id.vendor != std::optional<std::string>(VENDOR)) {
        return Refusal{"vendor", VENDOR, id.vendor.value_or(""),
                       "image is from vendor " + quoted(id.vendor) + ", this board's is \"" + VENDOR + "\""};
    }
    if (id.revision > BOOT_INFO_REVISION_MAX) {
        return Refusal{"revision", "0 or 1", std::to_string(id.revision),
                       "image has boot-info revision " + std::to_string(id.revision) +
                           ", this library accepts at most " + std::to_string(BOOT_INFO_REVISION_MAX)};
    }
    return std::nullopt;
}

}  // namespace ident
