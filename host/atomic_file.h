// Files written whole or not at all: the bytes go to a unique temporary
// file in the same folder, reach the disk, and then take the target's name
// in one rename, so a kill or power loss at any moment leaves either the old
// file or the new one, never a mix.
#ifndef KOVA_HOST_ATOMIC_FILE_H
#define KOVA_HOST_ATOMIC_FILE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "error.h"

enum class Existing { Replace, Keep };

// Writes `size` bytes to `path`. With Existing::Keep an existing file is left
// alone and the write fails with exitcode::USAGE ("PATH: exists"); a path
// that is a symbolic link is refused the same way, and nothing is written
// through it. A replaced file keeps its mode and owner; a new one honours
// the umask. Any other failure is the machine's (exitcode::ENVIRONMENT), its
// text naming the file.
Status write_file_atomic(const std::string& path, const uint8_t* data, size_t size,
                         Existing existing = Existing::Replace);

// A folder replaced whole: made aside under a temporary name beside
// `target` (make_folder_aside), filled, then put in place in one rename
// (put_folder_in_place), after which what `target` held is removed. A kill
// between the two renames leaves no folder at `target`, never a mix; a
// `target` that is a symbolic link is replaced as a link, nothing written
// through it.
Status make_folder_aside(const std::string& target, std::string& fresh);
Status put_folder_in_place(const std::string& fresh, const std::string& target);

// Removes the temporary files that writes of `path` killed before their
// rename left in its folder. Only for a caller that holds the lock every
// writer of that folder takes, so no write is under way. Returns how many.
size_t remove_stale_temporaries(const std::string& path);
// The same in `dir` for every file name that `target` accepts (folders made
// aside too).
size_t remove_stale_temporaries_in(const std::string& dir,
                                   const std::function<bool(const std::string&)>& target);

#endif
