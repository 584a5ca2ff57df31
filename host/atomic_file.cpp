#include "atomic_file.h"

#include "utf8_path.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>

#if defined(_WIN32)
#include <windows.h>

#include <random>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

std::string folder_of(const std::string& path) {
    std::filesystem::path parent = u8::path(path).parent_path();
    return parent.empty() ? "." : u8::text(parent);
}

// The temporary names a write of the file `name` uses, in its folder:
// ".<name>." and six characters (mkstemp's), on every system, so the
// leftovers of a killed write look the same wherever the tool ran.
constexpr char MKSTEMP_SUFFIX[] = "XXXXXX";
std::string temporary_prefix(const std::string& name) { return "." + name + "."; }

// The name a temporary file `candidate` stood in for, or nothing.
std::optional<std::string> temporary_target(const std::string& candidate) {
    constexpr size_t SUFFIX = sizeof MKSTEMP_SUFFIX - 1;
    if (candidate.size() < 3 + SUFFIX || candidate[0] != '.' ||
        candidate[candidate.size() - SUFFIX - 1] != '.') {
        return std::nullopt;
    }
    return candidate.substr(1, candidate.size() - SUFFIX - 2);
}

}  // namespace

size_t remove_stale_temporaries_in(const std::string& dir,
                                   const std::function<bool(const std::string&)>& target) {
    std::error_code ec;
    size_t removed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(u8::path(dir), ec)) {
        std::error_code entry_ec;
        std::optional<std::string> of = temporary_target(u8::text(entry.path().filename()));
        if (!of || !target(*of)) {
            continue;
        }
        auto type = entry.symlink_status(entry_ec).type();
        if ((type == std::filesystem::file_type::regular &&
             std::filesystem::remove(entry.path(), entry_ec)) ||
            (type == std::filesystem::file_type::directory &&
             std::filesystem::remove_all(entry.path(), entry_ec) != static_cast<std::uintmax_t>(-1) &&
             !entry_ec)) {
            ++removed;
        }
    }
    return removed;
}

namespace {

// A name beside `target` for a folder of its own: ".<name>." and six
// letters, as a temporary file's.
std::string aside_name(const std::string& target) {
    static constexpr char LETTERS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    std::string name = folder_of(target) + "/" + temporary_prefix(u8::text(u8::path(target).filename()));
    for (size_t i = 0; i + 1 < sizeof MKSTEMP_SUFFIX; ++i) {
        name += LETTERS[random() % (sizeof LETTERS - 1)];
    }
    return name;
}

}  // namespace

Status make_folder_aside(const std::string& target, std::string& fresh) {
    constexpr int ATTEMPTS = 100;
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        fresh = aside_name(target);
        std::error_code ec;
        if (std::filesystem::create_directory(u8::path(fresh), ec)) {
            return std::nullopt;
        }
        if (ec) {
            return Error{exitcode::ENVIRONMENT,
                         folder_of(target) + ": cannot make a folder there (" + ec.message() + ")"};
        }
    }
    return Error{exitcode::ENVIRONMENT, folder_of(target) + ": no free name for a folder there"};
}

Status put_folder_in_place(const std::string& fresh, const std::string& target) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::file_type there = fs::symlink_status(u8::path(target), ec).type();
    ec.clear();  // a target not there is no error
    std::string old;
    if (there == fs::file_type::symlink || there == fs::file_type::regular) {
        fs::remove(u8::path(target), ec);  // the link itself, never what it names
    } else if (there != fs::file_type::not_found) {
        old = aside_name(target);
        fs::rename(u8::path(target), u8::path(old), ec);
    }
    if (!ec) {
        fs::rename(u8::path(fresh), u8::path(target), ec);
    }
    if (ec) {
        return Error{exitcode::ENVIRONMENT, target + ": cannot be put in place (" + ec.message() + ")"};
    }
    if (!old.empty()) {
        fs::remove_all(u8::path(old), ec);
    }
    return std::nullopt;
}

size_t remove_stale_temporaries(const std::string& path) {
    std::string name = u8::text(u8::path(path).filename());
    return remove_stale_temporaries_in(folder_of(path), [&](const std::string& of) { return of == name; });
}

#if defined(_WIN32)

namespace {

// Creates a new file ".<name>.XXXXXX" beside `path`, the X's random, as
// mkstemp does: a name taken already is tried again with others.
HANDLE create_temporary(const std::string& path, std::string& tmp) {
    static constexpr char LETTERS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    constexpr int ATTEMPTS = 100;
    static std::mt19937 pick(std::random_device{}() ^ GetCurrentProcessId() ^ GetTickCount());
    std::uniform_int_distribution<size_t> letter(0, sizeof LETTERS - 2);
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        tmp = folder_of(path) + "/" + temporary_prefix(u8::text(u8::path(path).filename()));
        for (size_t i = 0; i + 1 < sizeof MKSTEMP_SUFFIX; ++i) {
            tmp += LETTERS[letter(pick)];
        }
        HANDLE h = CreateFileW(u8::os(tmp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) {
            return h;
        }
    }
    return INVALID_HANDLE_VALUE;
}

}  // namespace

Status write_file_atomic(const std::string& path, const uint8_t* data, size_t size, Existing existing) {
    DWORD attributes = GetFileAttributesW(u8::os(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return Error{exitcode::USAGE,
                     path + ": is a symbolic link; refused (nothing is written through one)"};
    }
    std::string tmp;
    HANDLE h = create_temporary(path, tmp);
    if (h == INVALID_HANDLE_VALUE) {
        return Error{exitcode::ENVIRONMENT, folder_of(path) + ": cannot create a file there (" +
                                                u8::error_text(GetLastError()) + ")"};
    }
    DWORD written = 0;
    bool ok = size == 0 || (WriteFile(h, data, DWORD(size), &written, nullptr) && written == size);
    ok = FlushFileBuffers(h) && ok;
    CloseHandle(h);
    // The new file takes the name in one rename that replaces the old one
    // (MoveFileEx with MOVEFILE_REPLACE_EXISTING: one rename on NTFS, rename(2)
    // under Wine), so a kill leaves the old file or the new one. ReplaceFile
    // would also carry the old file's access control over, but it takes
    // several steps (under Wine a kill between them left no file at all).
    // The old file's attributes are given to the new one first; its access
    // control is the folder's, as for any new file.
    bool replacing = existing == Existing::Replace && attributes != INVALID_FILE_ATTRIBUTES;
    constexpr DWORD KEPT_ATTRIBUTES = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    if (ok && replacing && (attributes & KEPT_ATTRIBUTES)) {
        SetFileAttributesW(u8::os(tmp).c_str(), attributes & KEPT_ATTRIBUTES);
    }
    DWORD flags = MOVEFILE_WRITE_THROUGH | (replacing ? MOVEFILE_REPLACE_EXISTING : 0);
    bool moved = ok && MoveFileExW(u8::os(tmp).c_str(), u8::os(path).c_str(), flags) != 0;
    if (!moved) {
        DWORD e = GetLastError();
        DeleteFileW(u8::os(tmp).c_str());
        if (e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS) {
            return Error{exitcode::USAGE, path + ": exists"};
        }
        return Error{exitcode::ENVIRONMENT, path + ": write failed (" + u8::error_text(e) + ")"};
    }
    return std::nullopt;
}

#else

Status write_file_atomic(const std::string& path, const uint8_t* data, size_t size, Existing existing) {
    std::string dir = folder_of(path);
    // A replaced file keeps its mode and owner; a new one gets what the
    // umask leaves of rw for everyone, as any file a program creates.
    struct stat old {};
    bool replacing = lstat(path.c_str(), &old) == 0;
    if (replacing && S_ISLNK(old.st_mode)) {
        return Error{exitcode::USAGE,
                     path + ": is a symbolic link; refused (nothing is written through one)"};
    }
    mode_t mask = umask(0);
    umask(mask);
    mode_t mode = replacing ? (old.st_mode & 07777) : (0666 & ~mask);
    std::string tmp = dir + "/" + temporary_prefix(u8::text(u8::path(path).filename())) + MKSTEMP_SUFFIX;
    int fd = mkstemp(tmp.data());
    if (fd < 0) {
        return Error{exitcode::ENVIRONMENT,
                     dir + ": cannot create a file there (" + std::strerror(errno) + ")"};
    }
    auto fail = [&](const std::string& what) {
        int e = errno;
        if (fd >= 0) {
            close(fd);
        }
        unlink(tmp.c_str());
        return Error{exitcode::ENVIRONMENT, path + ": " + what + " (" + std::strerror(e) + ")"};
    };
    for (size_t done = 0; done < size;) {
        ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return fail("write failed");
        }
        done += size_t(n);
    }
    if (replacing && (old.st_uid != geteuid() || old.st_gid != getegid()) &&
        fchown(fd, old.st_uid, old.st_gid) != 0 && errno != EPERM) {
        return fail("write failed");
    }
    if (fchmod(fd, mode) != 0 || fsync(fd) != 0) {
        return fail("write failed");
    }
    int closed = close(fd);
    fd = -1;
    if (closed != 0) {
        return fail("write failed");
    }
    if (existing == Existing::Keep) {
        // link() refuses an existing name, so no file is ever replaced.
        if (link(tmp.c_str(), path.c_str()) != 0) {
            int e = errno;
            unlink(tmp.c_str());
            if (e == EEXIST) {
                return Error{exitcode::USAGE, path + ": exists"};
            }
            return Error{exitcode::ENVIRONMENT, path + ": cannot create (" + std::strerror(e) + ")"};
        }
        unlink(tmp.c_str());
    } else if (rename(tmp.c_str(), path.c_str()) != 0) {
        return fail("cannot replace");
    }
    // The new name itself must reach the disk: sync the folder.
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return {};
}

#endif
