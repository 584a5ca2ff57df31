#include "image_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "atomic_file.h"

std::string read_image_file(const std::string& path, std::vector<uint8_t>& out) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::file_status st = fs::status(path, ec);
    if (path.empty()) {
        return "'': no file named";
    }
    if (st.type() == fs::file_type::not_found) {
        return path + ": no such file";
    }
    if (ec) {
        return path + ": cannot read (" + ec.message() + ")";
    }
    if (st.type() == fs::file_type::directory) {
        return path + ": is a directory, not an image file";
    }
    if (st.type() != fs::file_type::regular) {
        return path + ": not a regular file (a FIFO, device or socket is not an image)";
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return path + ": cannot open (" + std::strerror(errno) + ")";
    }
    // One byte more than an image: enough to tell a longer file, and never
    // more than that, whatever the file claims to be.
    out.assign(IMAGE_FILE_BYTES + 1, 0);
    in.read(reinterpret_cast<char*>(out.data()), std::streamsize(out.size()));
    if (in.bad()) {
        return path + ": read error";
    }
    out.resize(size_t(in.gcount()));
    if (out.size() != IMAGE_FILE_BYTES) {
        std::string size =
            out.size() > IMAGE_FILE_BYTES ? "more than 2097152 bytes" : std::to_string(out.size()) + " bytes";
        return path + ": " + size + ", an image is exactly " + std::to_string(IMAGE_FILE_BYTES) + " (2 MiB)";
    }
    return {};
}

std::string write_image_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    return write_file_atomic(path, bytes.data(), bytes.size());
}
