// One writer at a time per board. Natively an flock on a lock file in the
// board directory; in the Windows build a named mutex in the "Global"
// namespace, so two host processes on one machine never interleave their
// firmware calls. The holder writes its pid into the lock file, so a second
// writer can say who holds the board.
#ifndef KOVA_HOST_BOARD_LOCK_H
#define KOVA_HOST_BOARD_LOCK_H

#include <string>

#include "error.h"

constexpr char BOARD_LOCK_FILE[] = "kovaflash.lock";

class BoardLock {
public:
    BoardLock() = default;
    ~BoardLock() { release(); }
    BoardLock(const BoardLock&) = delete;
    BoardLock& operator=(const BoardLock&) = delete;

    // Takes the lock of the board in `dir` (which must exist), waiting up to
    // `wait_seconds` for another holder to let go: nothing once it is held,
    // exitcode::BUSY while another holds it ("board busy (held by pid N)"),
    // exitcode::ENVIRONMENT when it cannot be taken at all.
    Status acquire(const std::string& dir, double wait_seconds);
    void release();

private:
#if defined(_WIN32)
    void* mutex_ = nullptr;
#else
    int fd_ = -1;
#endif
};

#endif
