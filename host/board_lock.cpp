#include "board_lock.h"

#include "utf8_path.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

constexpr auto RETRY_INTERVAL = std::chrono::milliseconds(50);

constexpr char SYMLINK_REFUSED[] =
    ": is a symbolic link; refused (the lock file is never opened through one)";

// Who holds the board, from the pid its holder wrote; a lock file that is
// a link is not read.
std::string holder(const std::string& dir) {
    std::string pid;
    std::error_code ec;
    std::string path = dir + "/" + BOARD_LOCK_FILE;
    if (!std::filesystem::is_symlink(u8::path(path), ec)) {
        std::ifstream(u8::path(path)) >> pid;
    }
    return "board busy (held by pid " + (pid.empty() ? std::string("unknown") : pid) + ")";
}

}  // namespace

#if defined(_WIN32)

// The hardware belongs to the machine, not to a board directory: one mutex
// for every host process on it.
Status BoardLock::acquire(const std::string& dir, double wait_seconds, bool reader,
                          const std::function<void(const std::string&)>& waiting) {
    HANDLE m = CreateMutexA(nullptr, FALSE, "Global\\KOVA-K5R-firmware");
    if (!m) {
        return Error{exitcode::ENVIRONMENT,
                     "cannot create the board mutex (" + u8::error_text(GetLastError()) + ")"};
    }
    DWORD waited = WaitForSingleObject(m, 0);
    if (waited == WAIT_TIMEOUT && wait_seconds > 0) {
        if (waiting) {
            waiting(holder(dir));
        }
        waited = WaitForSingleObject(m, DWORD(wait_seconds * 1000));
    }
    // WAIT_ABANDONED: its last holder ended without letting go (killed);
    // the mutex is this process's now, and the board is as that one left it.
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        CloseHandle(m);
        return Error{exitcode::BUSY, holder(dir)};
    }
    mutex_ = m;
    abandoned_ = waited == WAIT_ABANDONED;
    // The pid, for a second writer to name; never through a link.
    std::string path = dir + "/" + BOARD_LOCK_FILE;
    DWORD attributes = GetFileAttributesW(u8::os(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        release();
        return Error{exitcode::USAGE, path + SYMLINK_REFUSED};
    }
    (void)reader;  // the mutex needs no file: a reader of a read-only folder is locked too
    HANDLE f = CreateFileW(u8::os(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (f != INVALID_HANDLE_VALUE) {
        std::string pid = std::to_string(GetCurrentProcessId()) + "\n";
        DWORD written = 0;
        WriteFile(f, pid.data(), DWORD(pid.size()), &written, nullptr);
        CloseHandle(f);
    }
    return std::nullopt;
}

void BoardLock::release() {
    if (mutex_) {
        ReleaseMutex(mutex_);
        CloseHandle(mutex_);
        mutex_ = nullptr;
    }
}

bool BoardLock::held() const { return mutex_ != nullptr; }

#else

namespace {

// Whether the open lock file `fd` is still the file `path` names: a lock
// file deleted (or replaced) while a holder held it is another file from
// then on, and a lock on the deleted one keeps no one out.
bool still_named(int fd, const std::string& path) {
    struct stat held {}, named {};
    return fstat(fd, &held) == 0 && lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

}  // namespace

Status BoardLock::acquire(const std::string& dir, double wait_seconds, bool reader,
                          const std::function<void(const std::string&)>& waiting) {
    std::string path = dir + "/" + BOARD_LOCK_FILE;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(wait_seconds);
    bool told = false;
    for (;;) {
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0 && errno == ELOOP) {
            return Error{exitcode::USAGE, path + SYMLINK_REFUSED};
        }
        if (fd < 0 && reader && (errno == EACCES || errno == EROFS || errno == EPERM)) {
            // A folder this process cannot write: a lock file there opens
            // for reading and flock works on it, so a writer that holds it
            // keeps this reader out; without one, no writer can be there.
            fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
            if (fd < 0 && errno == ENOENT) {
                return std::nullopt;
            }
        }
        if (fd < 0) {
            return Error{exitcode::ENVIRONMENT,
                         path + ": cannot open the lock file (" + std::strerror(errno) + "); nothing written"};
        }
        while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                Error e{exitcode::ENVIRONMENT,
                        path + ": cannot lock (" + std::strerror(errno) + "); nothing written"};
                close(fd);
                return e;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                close(fd);
                return Error{exitcode::BUSY, holder(dir)};
            }
            if (!told && waiting) {
                waiting(holder(dir));
            }
            told = true;
            std::this_thread::sleep_for(RETRY_INTERVAL);
        }
        if (!still_named(fd, path)) {
            close(fd);  // deleted or replaced under its holder: lock the file the name holds now
            continue;
        }
        fd_ = fd;
        break;
    }
    // The pid, for a second one to name, written through the locked file
    // (not by a reader that could only open it for reading).
    std::string pid = std::to_string(getpid()) + "\n";
    // Should this fail, only the holder's name is lost; the lock is held.
    bool named = ftruncate(fd_, 0) == 0 && pwrite(fd_, pid.data(), pid.size(), 0) == ssize_t(pid.size());
    (void)named;
    return std::nullopt;
}

void BoardLock::release() {
    if (fd_ >= 0) {
        close(fd_);  // ends the flock
        fd_ = -1;
    }
}

bool BoardLock::held() const { return fd_ >= 0; }

#endif
