// Reading and writing 2 MiB image files, with the reason when it fails.
#ifndef KOVA_TOOLS_IMAGE_FILE_H
#define KOVA_TOOLS_IMAGE_FILE_H

#include <cstdint>
#include <string>
#include <vector>

#include "atomic_file.h"
#include "error.h"
#include "flash_map.h"

constexpr size_t IMAGE_FILE_BYTES = flashmap::FLASH_SIZE;

// Nothing on success, else an input error (exitcode::USAGE) naming the file
// and what is wrong: it is missing, a directory, not a regular file (a FIFO
// or device is never opened), unreadable, or not exactly 2 MiB. Never reads
// more than 2 MiB + 1.
Status read_image_file(const std::string& path, std::vector<uint8_t>& out);
// A small text file (a signature, a key) read whole: a regular file that is
// not a symbolic link, of at most `max_bytes`. Otherwise an input error
// (exitcode::USAGE) naming the file. Never reads more than max_bytes + 1.
Status read_small_file(const std::string& path, size_t max_bytes, std::string& out);

// Written whole or not at all (see atomic_file.h); an existing file only
// with Existing::Replace.
Status write_image_file(const std::string& path, const std::vector<uint8_t>& bytes,
                        Existing existing = Existing::Keep);

// An input error (exitcode::USAGE) when `output` names one of `inputs` (the
// same file by another name or link included): an output never replaces
// what a command reads, --replace or not.
Status refuse_input_as_output(const std::string& output, const std::vector<std::string>& inputs);

#endif
