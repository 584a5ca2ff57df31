// One process at a time on a board: every exchange with its hardware takes
// several steps, and a flash read during a write is neither image, so
// readers hold it as writers do. Natively an flock on a lock file in the
// board directory (the folder's own flock; the lock file beside it only
// names the holder); in the Windows build a named mutex in the "Global"
// namespace, so two host processes on one machine never interleave their
// calls into the library. The holder writes its pid into the lock file, so
// a second one can say who holds the board. Deleting the lock file lets no
// one in.
#ifndef KOVA_HOST_BOARD_LOCK_H
#define KOVA_HOST_BOARD_LOCK_H

#include <functional>
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
    // exitcode::ENVIRONMENT when it cannot be taken at all. `waiting` is
    // told once, with who holds it, when the wait begins.
    //
    // `reader`: the command only reads; the lock is taken all the same (a
    // folder this process may not write is locked too), and the holder's
    // note is left when it cannot be written.
    // `give_up` is asked while waiting: true ends the wait (exitcode::BUSY).
    Status acquire(const std::string& dir, double wait_seconds, bool reader = false,
                   const std::function<void(const std::string&)>& waiting = nullptr,
                   const std::function<bool()>& give_up = nullptr);
    void release();
    // Whether the lock is held (false for a reader of a read-only directory).
    bool held() const;
    // Whether the last holder ended without letting go (Windows: an
    // abandoned mutex, taken over); natively a killed holder's flock simply ends.
    bool abandoned() const { return abandoned_; }

private:
    bool abandoned_ = false;
#if defined(_WIN32)
    void* mutex_ = nullptr;
#else
    int fd_ = -1;
#endif
};

#endif
