#include "file_read.h"

#include "utf8_path.h"

#include <cerrno>
#include <cstring>
#include <optional>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#if defined(_WIN32)

// The C library's stat does not see a FIFO or a device on Windows (nor on
// Wine): the file's attributes tell a missing file, a folder and a link,
// and the kind of the opened handle tells a disk file from a pipe or device
// (opening one does not wait for a writer).
Status read_bounded(const std::string& path, size_t limit, Links links, const std::string& what,
                    std::vector<uint8_t>& out) {
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    if (GetFileAttributesExW(u8::os(path).c_str(), GetFileExInfoStandard, &attributes)) {
        if (attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            return Error{exitcode::USAGE, path + ": is a directory, not " + what};
        }
        if (links == Links::Refuse && (attributes.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            return Error{exitcode::USAGE, path + ": is a symbolic link; not read"};
        }
    } else if (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND) {
        return Error{exitcode::USAGE, path + ": no such file"};
    }
    DWORD flags = FILE_ATTRIBUTE_NORMAL | (links == Links::Refuse ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    HANDLE h = CreateFileW(u8::os(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, flags,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        return Error{exitcode::USAGE,
                     path + ": cannot open (" +
                         (e == ERROR_ACCESS_DENIED ? std::string("Permission denied") : u8::error_text(e)) +
                         ")"};
    }
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        return Error{exitcode::USAGE,
                     path + ": not a regular file (a FIFO, device or socket is not " + what + ")"};
    }
    out.assign(limit, 0);
    size_t got = 0;
    DWORD n = 0;
    bool ok = true;
    while (got < out.size() && (ok = ReadFile(h, out.data() + got, DWORD(out.size() - got), &n, nullptr)) &&
           n > 0) {
        got += n;
    }
    CloseHandle(h);
    out.resize(got);
    return ok ? Status() : Error{exitcode::USAGE, path + ": read error"};
}

#else

// Opened without waiting (a FIFO opens at once) and judged by what was
// opened, so the file read is the file checked.
Status read_bounded(const std::string& path, size_t limit, Links links, const std::string& what,
                    std::vector<uint8_t>& out) {
    int fd =
        ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (links == Links::Refuse ? O_NOFOLLOW : 0));
    if (fd < 0) {
        int e = errno;
        if (e == ENOENT) {
            return Error{exitcode::USAGE, path + ": no such file"};
        }
        if (e == ELOOP && links == Links::Refuse) {
            return Error{exitcode::USAGE, path + ": is a symbolic link; not read"};
        }
        return Error{exitcode::USAGE, path + ": cannot open (" + std::strerror(e) + ")"};
    }
    struct stat st {};
    std::optional<Error> wrong;
    if (fstat(fd, &st) != 0) {
        wrong = Error{exitcode::USAGE, path + ": cannot read (" + std::strerror(errno) + ")"};
    } else if (S_ISDIR(st.st_mode)) {
        wrong = Error{exitcode::USAGE, path + ": is a directory, not " + what};
    } else if (!S_ISREG(st.st_mode)) {
        wrong = Error{exitcode::USAGE,
                      path + ": not a regular file (a FIFO, device or socket is not " + what + ")"};
    }
    if (wrong) {
        ::close(fd);
        return wrong;
    }
    out.assign(limit, 0);
    size_t got = 0;
    ssize_t n = 0;
    while (got < out.size() && (n = ::read(fd, out.data() + got, out.size() - got)) > 0) {
        got += size_t(n);
    }
    ::close(fd);
    out.resize(got);
    return n < 0 ? Error{exitcode::USAGE, path + ": read error"} : Status();
}

#endif

Status read_text_file(const std::string& path, size_t max_bytes, const std::string& what, std::string& out) {
    std::vector<uint8_t> bytes;
    if (Status err = read_bounded(path, max_bytes + 1, Links::Refuse, what, bytes)) {
        return err;
    }
    if (bytes.size() > max_bytes) {
        return Error{exitcode::USAGE, path + ": more than " + std::to_string(max_bytes) + " bytes"};
    }
    out.assign(bytes.begin(), bytes.end());
    return std::nullopt;
}
