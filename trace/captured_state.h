// What a trace saw of the board, as a simulated board can start from it:
// the flash, the F-segment, the registers read through the indexed window,
// and the EC RAM bytes read, as they were first seen (the board as the
// recording found it) or as they were last (as the recording left it).
#ifndef KOVA_TRACE_CAPTURED_STATE_H
#define KOVA_TRACE_CAPTURED_STATE_H

#include <array>
#include <map>
#include <optional>
#include <vector>

#include "reader.h"

namespace trace {

struct CapturedState {
    std::optional<std::vector<uint8_t>> flash;  // the whole 2 MiB, when the trace saw it all
    std::optional<std::vector<uint8_t>> fseg;   // the whole F-segment, likewise
    std::map<uint16_t, uint8_t> registers;      // indexed-window register, value read
    std::array<std::optional<uint8_t>, 256> ec_ram{};
};

CapturedState captured_state(const Trace& t, bool at_end);

}  // namespace trace

#endif
