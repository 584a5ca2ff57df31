#include "image_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "atomic_file.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
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

#if defined(_WIN32)

Status read_small_file(const std::string& path, size_t max_bytes, std::string& out) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return Error{exitcode::USAGE, path + ": no such file"};
    }
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
        return Error{exitcode::USAGE, path + ": not a regular file (a folder or a link is not read)"};
    }
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return Error{exitcode::USAGE, path + ": cannot open (error " + std::to_string(GetLastError()) + ")"};
    }
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        return Error{exitcode::USAGE, path + ": not a regular file"};
    }
    out.assign(max_bytes + 1, '\0');
    size_t got = 0;
    DWORD n = 0;
    bool ok = true;
    while (got < out.size() && (ok = ReadFile(h, &out[got], DWORD(out.size() - got), &n, nullptr)) && n > 0) {
        got += n;
    }
    CloseHandle(h);
    out.resize(got);
    if (!ok) {
        return Error{exitcode::USAGE, path + ": read error"};
    }
    if (got > max_bytes) {
        return Error{exitcode::USAGE, path + ": more than " + std::to_string(max_bytes) + " bytes"};
    }
    return std::nullopt;
}

#else

Status read_small_file(const std::string& path, size_t max_bytes, std::string& out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        return Error{exitcode::USAGE,
                     path + (e == ENOENT  ? std::string(": no such file")
                             : e == ELOOP ? std::string(": is a symbolic link; not read")
                                          : ": cannot open (" + std::string(std::strerror(e)) + ")")};
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Error{exitcode::USAGE, path + ": not a regular file"};
    }
    out.assign(max_bytes + 1, '\0');
    size_t got = 0;
    ssize_t n = 0;
    while (got < out.size() && (n = ::read(fd, &out[got], out.size() - got)) > 0) {
        got += size_t(n);
    }
    ::close(fd);
    out.resize(got);
    if (n < 0) {
        return Error{exitcode::USAGE, path + ": read error"};
    }
    if (got > max_bytes) {
        return Error{exitcode::USAGE, path + ": more than " + std::to_string(max_bytes) + " bytes"};
    }
    return std::nullopt;
}

#endif

Status write_image_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    return write_file_atomic(path, bytes.data(), bytes.size());
}
