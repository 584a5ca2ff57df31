// What several commands share about the installed firmware: its comparison
// with an image, and the copy of it kept as a way back (a backup file, named
// or dated in the board directory, and the pruning of old dated ones).
#ifndef KOVAFLASH_FIRMWARE_FILES_H
#define KOVAFLASH_FIRMWARE_FILES_H

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "flash_map.h"
#include "session.h"

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

// "1 block", "2 blocks".
std::string blocks_text(size_t n);

// Throws Error (exitcode::USAGE) when `path` is a folder, the image or a
// file of the board directory: where a backup never goes.
void check_backup_target(Session& s, const std::string& path, const std::string& image_path);

struct Backup {
    std::string path;      // as given, or made in the board directory
    std::string absolute;  // the same file from anywhere
    std::string sha256;    // hex
};
// `path` from the root, as the board's state names a file (the working
// folder changes from run to run).
std::string absolute_path(const std::string& path);
// The installed firmware `flash` saved whole to `path` (an existing file
// only with --replace, never the image `image_path` or a board file), or,
// with no path, to a dated file of its own in the board directory, named
// -incomplete when the flash holds an update cut short. A file that cannot
// be written is exitcode::ENVIRONMENT, saying the flash was not touched.
// Throws Error.
Backup write_backup(Session& s, const std::vector<uint8_t>& flash, const std::string& path,
                    const std::string& image_path);

// Removes the dated backups of the board directory past `keep` (see
// records::backups_to_prune), never one of `kept`, and says which. Gives
// the absolute paths of those removed.
std::vector<std::string> prune_dated_backups(Session& s, uint32_t keep, const std::set<std::string>& kept);

#endif
