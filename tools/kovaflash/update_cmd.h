// check and update: the library's dry run and write, behind the host tool's
// own refusal of images that would lock the board out, with a backup
// before and a verify after every write.
#ifndef KOVAFLASH_UPDATE_CMD_H
#define KOVAFLASH_UPDATE_CMD_H

#include <cstdint>
#include <string>

#include "commands.h"

struct UpdateOptions {
    std::string image_path;
    uint32_t handle = 1;  // firmware callback handle passed to the library
    bool map = false;
    std::string backup_path;  // empty: a dated file in the board directory
    bool no_backup = false;
    std::string keep_backups = "3";  // dated backups kept besides the oldest
};

int run_check(Session& s, const UpdateOptions& options);
int run_update(Session& s, const UpdateOptions& options);

#endif
