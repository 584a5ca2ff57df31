#include "firmware_files.h"

#include <cstdio>
#include <filesystem>

#include "atomic_file.h"
#include "backups.h"
#include "block_map.h"
#include "board_lock.h"
#include "image_identity.h"
#include "signing.h"
#include "utf8_path.h"

namespace fs = std::filesystem;

namespace {

std::string hex(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%06X", unsigned(v));
    return text;
}

constexpr size_t BLOCKS_LISTED = 16;

}  // namespace

std::string blocks_text(size_t n) { return std::to_string(n) + (n == 1 ? " block" : " blocks"); }

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
        s.say("%s of 4 KiB differ%s from the image: %s", blocks_text(c.differing.size()).c_str(),
              c.differing.size() == 1 ? "s" : "", list.c_str());
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

namespace {

// backup-<stamp>[-<n>]-<tag>.bin in the board directory, n one more than
// any backup of this second has; the tag is rev<installed revision>, or
// "incomplete" for a flash whose identity an update cut short.
std::string dated_backup_path(Session& s, const std::vector<uint8_t>& flash) {
    const std::string stamp = records::utc_stamp();
    unsigned long sequence = 1;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(u8::path(s.options.board_dir), ec)) {
        auto b = records::parse_dated_backup(u8::text(entry.path().filename()));
        if (b && b->stamp == stamp) {
            sequence = std::max(sequence, b->sequence + 1);
        }
    }
    ident::Identity id = ident::read_identity(flash.data());
    std::string tag =
        ident::refusal(id) ? std::string(records::INCOMPLETE_TAG) : "rev" + std::to_string(id.revision);
    return s.options.board_dir + "/" + records::dated_backup_name(stamp, sequence, tag);
}

}  // namespace

// Where a backup never goes: over the image it is taken for, or over a file
// of the board directory.
void check_backup_target(Session& s, const std::string& path, const std::string& image_path) {
    std::error_code ec;
    if (fs::is_directory(u8::path(path), ec)) {
        throw Error{exitcode::USAGE, path + ": is a directory; name the backup file"};
    }
    auto same = [&](const std::string& other) {
        std::error_code e1, e2;
        return !other.empty() &&
               fs::weakly_canonical(u8::path(path), e1) == fs::weakly_canonical(u8::path(other), e2) && !e1 &&
               !e2;
    };
    if (same(image_path)) {
        throw Error{exitcode::USAGE, path + ": is the image to be written; a backup never replaces it"};
    }
    std::vector<std::string> board_files = {BOARD_LOCK_FILE, records::HISTORY_FILE, records::FLOOR_FILE,
                                            records::STATE_FILE};
    for (const BoardFile& f : BOARD_FILES) {
        board_files.push_back(f.name);
    }
    for (const std::string& name : board_files) {
        if (same(s.options.board_dir + "/" + name) || same(s.records_dir() + "/" + name)) {
            throw Error{exitcode::USAGE, path + ": is a file of the board; a backup never replaces it"};
        }
    }
}

Backup write_backup(Session& s, const std::vector<uint8_t>& flash, const std::string& named,
                    const std::string& image_path) {
    Backup b{named, "", ""};
    Status err;
    if (named.empty()) {
        // A dated name of its own: two backups in one second get two files
        // (the board's lock is held, so no other process picks the same).
        b.path = dated_backup_path(s, flash);
        err = write_file_atomic(b.path, flash.data(), flash.size(), Existing::Keep);
    } else {
        check_backup_target(s, b.path, image_path);
        err = write_file_atomic(b.path, flash.data(), flash.size(),
                                s.options.replace ? Existing::Replace : Existing::Keep);
        // Keep refuses an existing file as an input error; any other failure is the machine's.
        if (err && err->code == exitcode::USAGE && !s.options.replace) {
            err->text += " (--replace replaces it)";
        }
    }
    if (err) {
        if (err->code == exitcode::ENVIRONMENT) {
            err->text += "; no backup was kept, and the flash was not touched";
        }
        throw *err;
    }
    sigfile::Hash h = signing::sha256(flash.data(), flash.size());
    b.sha256 = sigfile::hex(h.data(), h.size());
    b.absolute = absolute_path(b.path);
    ident::Identity id = ident::read_identity(flash.data());
    if (ident::refusal(id)) {
        s.say("backup        : %s (2 MiB of installed firmware, cut short by an interrupted update)",
              b.path.c_str());
    } else {
        s.say("backup        : %s (2 MiB of installed firmware, boot-info revision %u)", b.path.c_str(),
              unsigned(id.revision));
    }
    s.report["backup"] = b.path;
    s.report["backup_sha256"] = b.sha256;
    return b;
}

std::string absolute_path(const std::string& path) {
#if defined(_WIN32)
    // A path from the root of the drive ("\\dir\\file", or "/tmp/x" as Wine
    // shows a Unix folder) names one file from any folder: kept as given.
    if (!path.empty() && (path[0] == '/' || path[0] == '\\')) {
        return path;
    }
#endif
    std::error_code ec;
    fs::path p = fs::absolute(u8::path(path), ec);
    return ec ? path : u8::text(p.lexically_normal());
}

std::vector<std::string> prune_dated_backups(Session& s, uint32_t keep, const std::set<std::string>& kept) {
    std::error_code ec;
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(u8::path(s.options.board_dir), ec)) {
        std::error_code e;
        if (entry.symlink_status(e).type() == fs::file_type::regular) {
            names.push_back(u8::text(entry.path().filename()));
        }
    }
    std::set<std::string> kept_names;
    for (const std::string& k : kept) {
        kept_names.insert(u8::text(u8::path(k).filename()));
    }
    std::vector<std::string> removed;
    for (const std::string& name : records::backups_to_prune(names, keep, kept_names)) {
        std::error_code e;
        // Only a file of the board directory that the name still holds.
        if (fs::remove(u8::path(s.options.board_dir) / u8::path(name), e)) {
            removed.push_back(name);
        }
    }
    if (!removed.empty()) {
        std::string list;
        for (const std::string& name : removed) {
            list += (list.empty() ? "" : ", ") + name;
        }
        s.say(
            "old backups   : removed %s (kept the oldest, the newest %u and the last update's; "
            "--keep-backups)",
            list.c_str(), unsigned(keep));
        s.report["backups_removed"] = removed;
    }
    std::vector<std::string> paths;
    for (const std::string& name : removed) {
        paths.push_back(absolute_path(s.options.board_dir + "/" + name));
    }
    return paths;
}
