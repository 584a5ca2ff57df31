#include "image_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "atomic_file.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

Error size_error(const std::string& path, size_t got) {
    std::string size = got > IMAGE_FILE_BYTES ? "more than " + std::to_string(IMAGE_FILE_BYTES) + " bytes"
                                              : std::to_string(got) + " bytes";
    return Error{exitcode::USAGE, path + ": " + size + ", an image is exactly " +
                                      std::to_string(IMAGE_FILE_BYTES) + " (2 MiB)"};
}

}  // namespace

#if defined(_WIN32)

// The C library's stat does not see a FIFO or a device on Windows (nor on
// Wine): the file's attributes tell a missing file and a folder, and
// the kind of the opened handle tells a disk file from a pipe or device
// (opening one does not wait for a writer).
Status read_image_file(const std::string& path, std::vector<uint8_t>& out) {
    if (path.empty()) {
        return Error{exitcode::USAGE, "'': no file named"};
    }
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    if (GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &attributes)) {
        if (attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            return Error{exitcode::USAGE, path + ": is a directory, not an image file"};
        }
    } else if (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND) {
        return Error{exitcode::USAGE, path + ": no such file"};
    }
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        return Error{exitcode::USAGE, path + ": cannot open (" +
                                          (e == ERROR_ACCESS_DENIED ? std::string("Permission denied")
                                                                    : "error " + std::to_string(e)) +
                                          ")"};
    }
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        return Error{exitcode::USAGE,
                     path + ": not a regular file (a FIFO, device or socket is not an image)"};
    }
    // One byte more than an image: enough to tell a longer file.
    out.assign(IMAGE_FILE_BYTES + 1, 0);
    size_t got = 0;
    DWORD n = 0;
    bool ok = true;
    while (got < out.size() && (ok = ReadFile(h, out.data() + got, DWORD(out.size() - got), &n, nullptr)) &&
           n > 0) {
        got += n;
    }
    CloseHandle(h);
    if (!ok) {
        return Error{exitcode::USAGE, path + ": read error"};
    }
    out.resize(got);
    if (got != IMAGE_FILE_BYTES) {
        return size_error(path, got);
    }
    return std::nullopt;
}

#else

Status read_image_file(const std::string& path, std::vector<uint8_t>& out) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::file_status st = fs::status(path, ec);
    if (path.empty()) {
        return Error{exitcode::USAGE, "'': no file named"};
    }
    if (st.type() == fs::file_type::not_found) {
        return Error{exitcode::USAGE, path + ": no such file"};
    }
    if (ec) {
        return Error{exitcode::USAGE, path + ": cannot read (" + ec.message() + ")"};
    }
    if (st.type() == fs::file_type::directory) {
        return Error{exitcode::USAGE, path + ": is a directory, not an image file"};
    }
    if (st.type() != fs::file_type::regular) {
        return Error{exitcode::USAGE,
                     path + ": not a regular file (a FIFO, device or socket is not an image)"};
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return Error{exitcode::USAGE, path + ": cannot open (" + std::strerror(errno) + ")"};
    }
    // One byte more than an image: enough to tell a longer file, and never
    // more than that, whatever the file claims to be.
    out.assign(IMAGE_FILE_BYTES + 1, 0);
    in.read(reinterpret_cast<char*>(out.data()), std::streamsize(out.size()));
    if (in.bad()) {
        return Error{exitcode::USAGE, path + ": read error"};
    }
    out.resize(size_t(in.gcount()));
    if (out.size() != IMAGE_FILE_BYTES) {
        return size_error(path, out.size());
    }
    return std::nullopt;
}

#endif

Status write_image_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    return write_file_atomic(path, bytes.data(), bytes.size());
}
