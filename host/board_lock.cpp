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
                          const std::function<void(const std::string&)>& waiting,
                          const std::function<bool()>& give_up) {
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
        // In slices, so that Ctrl-C (whose handler runs on a thread of its
        // own) ends the wait at once.
        constexpr DWORD SLICE_MS = 50;
        ULONGLONG deadline = GetTickCount64() + ULONGLONG(wait_seconds * 1000);
        while (waited == WAIT_TIMEOUT && GetTickCount64() < deadline && !(give_up && give_up())) {
            waited = WaitForSingleObject(m, SLICE_MS);
        }
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

Status BoardLock::acquire(const std::string& dir, double wait_seconds, bool reader,
                          const std::function<void(const std::string&)>& waiting,
                          const std::function<bool()>& give_up) {
    std::string path = dir + "/" + BOARD_LOCK_FILE;
    // The lock is the board folder's own: a process that deletes or
    // replaces the lock file cannot let a second one in, and a reader that
    // may not write the folder still opens it, so it waits for a writer.
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return Error{exitcode::ENVIRONMENT, dir + ": cannot open the board's folder (" +
                                                std::strerror(errno) + "); nothing written"};
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(wait_seconds);
    bool told = false;
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            Error e{exitcode::ENVIRONMENT,
                    dir + ": cannot lock (" + std::strerror(errno) + "); nothing written"};
            close(fd);
            return e;
        }
        if (std::chrono::steady_clock::now() >= deadline || (give_up && give_up())) {
            close(fd);
            return Error{exitcode::BUSY, holder(dir)};
        }
        if (!told && waiting) {
            waiting(holder(dir));
        }
        told = true;
        std::this_thread::sleep_for(RETRY_INTERVAL);
    }
    fd_ = fd;
    // The holder's pid, for a second one to name: in the lock file, never
    // through a link. A reader of a folder it may not write leaves it.
    int note = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (note < 0 && errno == ELOOP) {
        release();
        return Error{exitcode::USAGE, path + SYMLINK_REFUSED};
    }
    (void)reader;
    if (note >= 0) {
        std::string pid = std::to_string(getpid()) + "\n";
        // Should this fail, only the holder's name is lost; the lock is held.
        bool named =
            ftruncate(note, 0) == 0 && pwrite(note, pid.data(), pid.size(), 0) == ssize_t(pid.size());
        (void)named;
        close(note);
    }
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
