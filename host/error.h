// The host side's one error value: the exit code a failing command ends
// with and one line saying what happened. The host support, the simulator
// and every host tool report failures with it; the exit codes are defined
// here once, and what failed is told by the code, never read from the text.
#ifndef KOVA_HOST_ERROR_H
#define KOVA_HOST_ERROR_H

#include <optional>
#include <string>

namespace exitcode {
constexpr int OK = 0;
constexpr int FAILED = 1;  // the operation reported a failure (kovaflash: the library's code is printed)
constexpr int USAGE = 2;   // usage or input error
// kovaflash
constexpr int REFUSED = 3;  // image refused: it would lock the board out of later updates
constexpr int BUSY = 4;     // another writer holds the board
constexpr int DIFFERS = 5;  // verify found differences
// The machine failed the tool (a full disk, a folder it may not write); the
// message says what was and was not written.
constexpr int ENVIRONMENT = 6;
// Ended by a signal: 128 + its number (SIGINT 130, SIGTERM 143, SIGHUP 129).
constexpr int SIGNALLED = 128;
// kova-image
constexpr int INVALID = 1;  // inspect: not a valid image; diff: the images differ; verify-signature: not good
constexpr int WALKS_DISAGREE = 3;  // inspect: its own walk and the library's decision differ
}  // namespace exitcode

struct Error {
    int code = exitcode::FAILED;
    std::string text;
};

// The outcome of a step that gives nothing back: nothing, or its error.
using Status = std::optional<Error>;

#endif
