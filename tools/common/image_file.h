// Reading and writing 2 MiB image files, with the reason when it fails.
#ifndef KOVA_TOOLS_IMAGE_FILE_H
#define KOVA_TOOLS_IMAGE_FILE_H

#include <cstdint>
#include <string>
#include <vector>

constexpr size_t IMAGE_FILE_BYTES = 0x200000;

// Empty on success, else a message naming the file and what is wrong
// (missing, unreadable, not exactly 2 MiB).
std::string read_image_file(const std::string& path, std::vector<uint8_t>& out);
std::string write_image_file(const std::string& path, const std::vector<uint8_t>& bytes);

#endif
