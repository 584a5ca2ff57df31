// verify and backup: the installed firmware against an image, byte for
// byte, and a copy of it kept as a way back.
#ifndef KOVAFLASH_VERIFY_CMD_H
#define KOVAFLASH_VERIFY_CMD_H

#include <cstdint>
#include <string>
#include <vector>

#include "commands.h"
#include "firmware_files.h"

struct VerifyOptions {
    std::string image_path;
    bool map = false;
};
int run_verify(Session& s, const VerifyOptions& o);
int run_backup(Session& s, const std::string& path);

#endif
