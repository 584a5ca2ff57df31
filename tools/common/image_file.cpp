#include "image_file.h"

#include <fstream>
#include <iterator>

std::string read_image_file(const std::string& path, std::vector<uint8_t>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return path + ": cannot open";
    }
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        return path + ": read error";
    }
    if (out.size() != IMAGE_FILE_BYTES) {
        return path + ": " + std::to_string(out.size()) + " bytes, an image is exactly " +
               std::to_string(IMAGE_FILE_BYTES) + " (2 MiB)";
    }
    return {};
}

std::string write_image_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    out.close();
    if (!out) {
        return path + ": cannot write";
    }
    return {};
}
