// Replays a trace: for every call the host noted, plays what the host did
// before it, makes the same call into the library (the native one, or the
// real KOVA.dll in an emulator) against the replay board, and compares the
// outcome (result, KOVA_block_count, KOVA_message) with the one noted. It
// stops at the first difference. A trace cut short is replayed up to its
// cut: every event before it is checked, and the report says where it was
// cut.
#ifndef KOVA_TRACE_REPLAY_H
#define KOVA_TRACE_REPLAY_H

#include <optional>
#include <string>
#include <vector>

#include "describe.h"
#include "error.h"
#include "replay_board.h"

namespace trace {

// The library a replay drives.
class Library {
public:
    virtual ~Library() = default;
    // `args` in the entry's order; `image` for the update and check entries.
    virtual uint32_t call(const std::string& entry, const std::vector<uint32_t>& args,
                          const uint8_t* image) = 0;
    virtual int32_t block_count() = 0;
    virtual void set_block_count(int32_t count) = 0;
    virtual std::string message() = 0;
};

struct CallReport {
    std::string line;  // the call as noted
    Outcome recorded;
    bool recorded_none = false;         // the trace was cut before its outcome
    std::optional<Outcome> reproduced;  // none when the replay stopped inside it
};

// Where a trace that was cut short ends, when every event before matched.
struct Cut {
    size_t event;  // the number of whole events: the first that is missing
    std::string phase;
    std::string why;
};

struct ReplayReport {
    std::vector<CallReport> calls;
    std::optional<Mismatch> mismatch;
    std::optional<Cut> cut;
};

// The board a trace was recorded on must be this library's; the calls it
// notes must be ones the library has, each with its outcome noted (but the
// last of a trace cut short), and an image given must be the one the calls
// were made with (SHA-256). Anything else is an input error
// (exitcode::USAGE) saying why, before any call is made.
Status check_replayable(const Trace& t, const std::vector<uint8_t>* image);
ReplayReport replay(const Trace& t, ReplayBoard& board, Library& library, const std::vector<uint8_t>* image);
// The report as text: each call with its recorded and replayed outcome,
// then the result (reproduced, or the first difference).
std::string report_text(const ReplayReport& r);

}  // namespace trace

#endif
