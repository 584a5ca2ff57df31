#include "verify_cmd.h"

#include "signature_check.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>

#include "atomic_file.h"
#include "block_map.h"
#include "board_lock.h"
#include "image_file.h"
#include "image_identity.h"

namespace {

std::string hex(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%06X", unsigned(v));
    return text;
}

}  // namespace

Comparison compare_firmware(const std::vector<uint8_t>& flash, const std::vector<uint8_t>& image) {
    Comparison c;
    c.blocks = differing_blocks(flash.data(), image.data());
    for (uint32_t i = 0; i < c.blocks.size(); ++i) {
        uint32_t at = i * MAP_BLOCK_BYTES;
        if (!c.blocks[i]) {
            continue;
        }
        if (at >= KEPT_REGION_OFFSET && at < KEPT_REGION_OFFSET + KEPT_REGION_BYTES) {
            c.kept_region_differs = true;
        } else {
            c.differing.push_back(at);
        }
    }
    return c;
}

constexpr size_t BLOCKS_LISTED = 16;

void report_comparison(Session& s, const Comparison& c, bool map, const char* equal_word) {
    if (c.up_to_date()) {
        s.say("%s", equal_word);
    } else {
        // A line a person reads: the first few blocks, the count of the rest
        // (the report and --map have them all).
        std::string list;
        for (size_t i = 0; i < c.differing.size() && i < BLOCKS_LISTED; ++i) {
            list += (list.empty() ? "" : " ") + hex(c.differing[i]);
        }
        if (c.differing.size() > BLOCKS_LISTED) {
            list +=
                " and " + std::to_string(c.differing.size() - BLOCKS_LISTED) + " more (--map shows them all)";
        }
        s.say("%u blocks of 4 KiB differ from the image: %s", unsigned(c.differing.size()), list.c_str());
    }
    s.say("0x%X-0x%X (kept by every update): %s", unsigned(flashmap::KEPT_OFFSET),
          unsigned(flashmap::KEPT_OFFSET + flashmap::KEPT_SIZE - 1),
          c.kept_region_differs ? "differs from the image, as an update leaves it" : "same as the image");
    if (map) {
        s.say("flash vs image, 4 KiB blocks ('X' differs):\n%s", draw_block_map(c.blocks).c_str());
    }
    s.report["up_to_date"] = c.up_to_date();
    s.report["differing_blocks"] = c.differing;
    s.report["kept_region_differs"] = c.kept_region_differs;
}

int run_verify(Session& s, const VerifyOptions& o) {
    std::vector<uint8_t> image = load_image(o.image_path);
    s.open(Access::Read);
    check_signature(s, image, o.image_path, SignaturePolicy::Report);
    Comparison c = compare_firmware(s.installed_firmware(), image);
    report_comparison(s, c, o.map, "up to date");
    return c.up_to_date() ? exitcode::OK : exitcode::DIFFERS;
}

namespace {

// backup-<UTC date and time>-rev<installed revision>.bin in the board directory.
// backup-<stamp>[-<n>]-rev<r>.bin, n one more than any backup of this second has.
std::string dated_backup_path(Session& s, const std::vector<uint8_t>& flash) {
    std::time_t now = std::time(nullptr);
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &now);
#else
    gmtime_r(&now, &utc);
#endif
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &utc);
    unsigned long sequence = 1;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(s.options.board_dir, ec)) {
        auto b = parse_dated_backup(entry.path().filename().string());
        if (b && b->stamp == stamp) {
            sequence = std::max(sequence, b->sequence + 1);
        }
    }
    return s.options.board_dir + "/" + DATED_BACKUP_PREFIX + stamp +
           (sequence > 1 ? "-" + std::to_string(sequence) : std::string()) + "-rev" +
           std::to_string(ident::read_identity(flash.data()).revision) + DATED_BACKUP_SUFFIX;
}

}  // namespace

// Where a backup never goes: over the image it is taken for, or over a file
// of the board directory.
void check_backup_target(Session& s, const std::string& path, const std::string& image_path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        throw Error{exitcode::USAGE, path + ": is a directory; name the backup file"};
    }
    auto same = [&](const std::string& other) {
        std::error_code e1, e2;
        return !other.empty() && fs::weakly_canonical(path, e1) == fs::weakly_canonical(other, e2) && !e1 &&
               !e2;
    };
    if (same(image_path)) {
        throw Error{exitcode::USAGE, path + ": is the image to be written; a backup never replaces it"};
    }
    for (const char* name : {"flash.bin", "ec-ram.bin", "smbus-eeprom.bin", BOARD_LOCK_FILE}) {
        if (same(s.options.board_dir + "/" + name)) {
            throw Error{exitcode::USAGE, path + ": is a file of the board; a backup never replaces it"};
        }
    }
}

void write_backup(Session& s, const std::vector<uint8_t>& flash, const std::string& named,
                  const std::string& image_path) {
    std::string path = named;
    if (named.empty()) {
        // A dated name of its own: two backups in one second get two files
        // (the writer holds the board's lock, so no other picks the same).
        path = dated_backup_path(s, flash);
        if (Status err = write_file_atomic(path, flash.data(), flash.size(), Existing::Keep)) {
            throw *err;
        }
    } else {
        check_backup_target(s, path, image_path);
        if (Status err = write_file_atomic(path, flash.data(), flash.size(),
                                           s.options.replace ? Existing::Replace : Existing::Keep)) {
            // Keep refuses an existing file as an input error; any other failure is the disk's.
            if (err->code == exitcode::USAGE && !s.options.replace) {
                err->text += " (--replace replaces it)";
            }
            throw *err;
        }
    }
    ident::Identity id = ident::read_identity(flash.data());
    s.say("backup        : %s (2 MiB of installed firmware, boot-info revision %u)", path.c_str(),
          unsigned(id.revision));
    s.report["backup"] = path;
}

int run_backup(Session& s, const std::string& path) {
    s.open(Access::Read);
    write_backup(s, s.installed_firmware(), path, "");
    s.report["bytes"] = IMAGE_FILE_BYTES;
    return exitcode::OK;
}

void register_verify_commands(CLI::App& app, Action& chosen) {
    auto o = std::make_shared<VerifyOptions>();
    auto* verify = app.add_subcommand("verify", "compare the installed firmware with IMAGE, byte for byte");
    verify->add_option("IMAGE", o->image_path, "2 MiB firmware image")->required();
    verify->add_flag("--map", o->map, "draw the 512-block map of what differs");
    verify->callback([&chosen, o] { chosen = [o](Session& s) { return run_verify(s, *o); }; });
    auto path = std::make_shared<std::string>();
    auto* backup =
        app.add_subcommand("backup", "save the installed firmware (the 2 MiB the board maps) to FILE");
    backup->add_option("FILE", *path, "file to write (an existing one only with --replace)")->required();
    backup->callback([&chosen, path] { chosen = [path](Session& s) { return run_backup(s, *path); }; });
}
