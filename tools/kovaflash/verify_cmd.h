// The installed firmware against an image, byte for byte, and a copy of it
// kept as a way back.
#ifndef KOVAFLASH_VERIFY_CMD_H
#define KOVAFLASH_VERIFY_CMD_H

#include <cstdint>
#include <string>
#include <vector>
#include "flash_map.h"

#include "commands.h"

// The 64 KiB an update never writes: it is reported on its own.
constexpr uint32_t KEPT_REGION_OFFSET = flashmap::KEPT_OFFSET;
constexpr uint32_t KEPT_REGION_BYTES = flashmap::KEPT_SIZE;

struct Comparison {
    std::vector<bool> blocks;         // every 4 KiB block: differs
    std::vector<uint32_t> differing;  // offsets of differing blocks outside the kept region
    bool kept_region_differs = false;
    bool up_to_date() const { return differing.empty(); }
};
Comparison compare_firmware(const std::vector<uint8_t>& flash, const std::vector<uint8_t>& image);
// Lines (and report fields) for a comparison: "up to date" or the blocks.
void report_comparison(Session& s, const Comparison& c, bool map, const char* equal_word);

struct VerifyOptions {
    std::string image_path;
    bool map = false;
};
int run_verify(Session& s, const VerifyOptions& o);
int run_backup(Session& s, const std::string& path);

// Throws Error (exitcode::USAGE) when `path` is a folder, the image or a
// file of the board directory: where a backup never goes.
void check_backup_target(Session& s, const std::string& path, const std::string& image_path);
// The installed firmware `flash` saved whole to `path` (an existing file
// only with --replace, never the image `image_path` or a board file), or,
// with no path, to a dated file of its own in the board directory. Throws Error.
void write_backup(Session& s, const std::vector<uint8_t>& flash, const std::string& path,
                  const std::string& image_path);

#endif
