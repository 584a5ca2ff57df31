// Files read with a bound: never more than asked, whatever the file claims
// to be, and only regular files (a FIFO or device is never waited on).
#ifndef KOVA_HOST_FILE_READ_H
#define KOVA_HOST_FILE_READ_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "error.h"

enum class Links { Follow, Refuse };

// At most `limit` bytes of the regular file at `path` (Links::Refuse: not
// through a symbolic link). An input error (exitcode::USAGE) naming the file
// otherwise: missing, a directory ("is a directory, not WHAT"), not a
// regular file, unreadable.
Status read_bounded(const std::string& path, size_t limit, Links links, const std::string& what,
                    std::vector<uint8_t>& out);
// A small text file read whole, never through a link, of at most `max_bytes`.
Status read_text_file(const std::string& path, size_t max_bytes, const std::string& what, std::string& out);

#endif
