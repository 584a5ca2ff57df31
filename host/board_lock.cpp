#include "board_lock.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace {

constexpr auto RETRY_INTERVAL = std::chrono::milliseconds(50);

std::string holder(const std::string& dir) {
    std::ifstream in(dir + "/" + BOARD_LOCK_FILE);
    std::string pid;
    in >> pid;
    return "board busy (held by pid " + (pid.empty() ? std::string("unknown") : pid) + ")";
}

void record_pid(const std::string& dir) {
#if defined(_WIN32)
    unsigned long pid = GetCurrentProcessId();
#else
    unsigned long pid = static_cast<unsigned long>(getpid());
#endif
    std::ofstream(dir + "/" + BOARD_LOCK_FILE, std::ios::trunc) << pid << "\n";
}

}  // namespace

#if defined(_WIN32)

// The hardware belongs to the machine, not to a board directory: one mutex
// for every host process on it.
Status BoardLock::acquire(const std::string& dir, double wait_seconds) {
    HANDLE m = CreateMutexA(nullptr, FALSE, "Global\\KOVA-K5R-firmware");
    if (!m) {
        return Error{exitcode::FAILED,
                     "cannot create the board mutex (error " + std::to_string(GetLastError()) + ")"};
    }
    DWORD waited = WaitForSingleObject(m, DWORD(wait_seconds * 1000));
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        CloseHandle(m);
        return Error{exitcode::BUSY, holder(dir)};
    }
    mutex_ = m;
    record_pid(dir);
    return std::nullopt;
}

void BoardLock::release() {
    if (mutex_) {
        ReleaseMutex(mutex_);
        CloseHandle(mutex_);
        mutex_ = nullptr;
    }
}

#else

Status BoardLock::acquire(const std::string& dir, double wait_seconds) {
    std::string path = dir + "/" + BOARD_LOCK_FILE;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return Error{exitcode::FAILED, path + ": cannot open the lock file (" + std::strerror(errno) + ")"};
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(wait_seconds);
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            Error e{exitcode::FAILED, path + ": cannot lock (" + std::strerror(errno) + ")"};
            close(fd);
            return e;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            close(fd);
            return Error{exitcode::BUSY, holder(dir)};
        }
        std::this_thread::sleep_for(RETRY_INTERVAL);
    }
    fd_ = fd;
    record_pid(dir);
    return std::nullopt;
}

void BoardLock::release() {
    if (fd_ >= 0) {
        close(fd_);  // ends the flock
        fd_ = -1;
    }
}

#endif
