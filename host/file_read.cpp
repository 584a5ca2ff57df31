#include "file_read.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>

#include "utf8_path.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Reads until the end or `limit` bytes, whichever comes first. The buffer
// starts at the size the file gives (plus one, to see it grow) and doubles
// when full: a large bound costs nothing for a small file.
template <typename ReadSome>
bool read_up_to(size_t limit, size_t size_hint, std::vector<uint8_t>& out, ReadSome read_some) {
    constexpr size_t FIRST_BUFFER = 64 * 1024;
    out.assign(std::min(limit, std::max(size_hint + 1, FIRST_BUFFER)), 0);
    size_t got = 0;
    for (;;) {
        if (got == out.size()) {
            if (out.size() == limit) {
                break;
            }
            out.resize(std::min(limit, out.size() * 2), 0);
        }
        long n = read_some(out.data() + got, out.size() - got);
        if (n < 0) {
            out.resize(got);
            return false;
        }
        if (n == 0) {
            break;
        }
        got += size_t(n);
    }
    out.resize(got);
    return true;
}

}  // namespace

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
    LARGE_INTEGER size{};
    const size_t hint =
        GetFileSizeEx(h, &size) && size.QuadPart >= 0 && uint64_t(size.QuadPart) < uint64_t(limit)
            ? size_t(size.QuadPart)
            : limit;
    bool ok = read_up_to(limit, hint, out, [h](uint8_t* at, size_t room) {
        DWORD n = 0;
        constexpr size_t MAX_READ = size_t(1) << 30;
        return ReadFile(h, at, DWORD(std::min(room, MAX_READ)), &n, nullptr) ? long(n) : -1L;
    });
    CloseHandle(h);
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
    const size_t hint = st.st_size > 0 && uint64_t(st.st_size) < uint64_t(limit) ? size_t(st.st_size) : limit;
    bool ok = read_up_to(limit, hint, out, [fd](uint8_t* at, size_t room) {
        constexpr size_t MAX_READ = size_t(1) << 30;
        ssize_t n = ::read(fd, at, std::min(room, MAX_READ));
        return n < 0 ? -1L : long(n);
    });
    ::close(fd);
    return ok ? Status() : Error{exitcode::USAGE, path + ": read error"};
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
