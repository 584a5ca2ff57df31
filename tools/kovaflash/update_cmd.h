// kovaflash check and update: the library's two update entries driven as a
// flashing utility drives them.
#ifndef KOVAFLASH_UPDATE_CMD_H
#define KOVAFLASH_UPDATE_CMD_H

#include <cstdint>
#include <string>

#include "api.h"

struct UpdateOptions {
    std::string image_path;
    uint32_t handle = 1;  // firmware callback handle passed to the library
    bool map = false;
    bool yes = false;
};

// Both return the process exit status: 0 only when the library reports
// success, 1 on a library failure, 2 on a bad image file.
int run_check(const KovaApi& api, const UpdateOptions& options);
int run_update(const KovaApi& api, const UpdateOptions& options);

#endif
