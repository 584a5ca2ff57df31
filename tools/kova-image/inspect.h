// Reads an image the way the library does, but records what it finds so a
// firmware engineer can see why an image passes or fails.
#ifndef KOVA_IMAGE_INSPECT_H
#define KOVA_IMAGE_INSPECT_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kimage {

struct RomCandidate {
    uint32_t offset;       // of "AMIBIOSC"
    std::string revision;  // the four bytes after it, printable
    bool is_header;
};

struct ModuleInfo {
    uint32_t position;  // link position L
    uint32_t size;      // size field
    uint8_t flags;
    uint32_t summed;  // bytes summed (whole words only are added)
    uint32_t sum;
    bool ok;
    std::string note;  // why the walk stopped here, if it did
};

struct BootInfo {
    uint32_t offset;  // image offset of "$BOOTSI$"
    uint8_t revision;
    std::vector<std::string> strings;  // up to three, as found
    bool truncated;                    // a string ran into the end of the image
};

struct Inspection {
    uint32_t boot_block_sum = 0;
    std::vector<RomCandidate> candidates;
    std::optional<uint32_t> header;
    bool link32 = false;
    uint8_t header_flags = 0;
    std::vector<ModuleInfo> modules;
    bool chain_valid = false;
    std::string chain_reason;
    std::optional<BootInfo> boot_info;
    std::optional<std::string> platform_tag;  // the 5 bytes at 0x1FFFE0
    bool valid = false;                       // boot-block sum zero and chain valid
};

// Reads the IMAGE_SIZE bytes at `image`.
Inspection inspect_image(const uint8_t* image);

}  // namespace kimage

#endif
