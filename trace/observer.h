// The one procedure by which the recorder decides what memory events a
// trace holds, and by which the replay, running it on its own buffers,
// expects the same events at the same places:
//   before each operation, the small live mappings (and a mapping being
//   released, whatever its size) are compared with the model: what changed
//   is what the library wrote (LibWrite);
//   after it, a new mapping's bytes, then the small live mappings, are
//   compared again: what changed is what the board did (BoardWrite);
//   after a firmware call, the block the record names as well.
// Mappings are compared in the order they were made.
#ifndef KOVA_TRACE_OBSERVER_H
#define KOVA_TRACE_OBSERVER_H

#include <cstdint>
#include <optional>
#include <vector>

#include "format.h"
#include "memory_model.h"

namespace trace {

struct LiveMapping {
    uint32_t ordinal;  // of its Map among the trace's successful ones
    uint32_t physical;
    uint32_t length;
    uint32_t handle;
    uint8_t* linear;
};

// The part of a firmware call's record the board's answer may copy from:
// the block at flash_address is programmed from the transfer buffer.
struct BlockSource {
    uint32_t flash_address;
    uint32_t length;
    uint32_t transfer_address;
};

class Observer {
public:
    // `propagate`: the replay's mappings are separate buffers, so a change
    // seen in one is copied into every other live one over the same bytes;
    // the recorder's alias the board's memory and are never written.
    explicit Observer(bool propagate) : propagate_(propagate) {}

    MemoryModel model;
    std::vector<LiveMapping> live;
    uint32_t next_ordinal = 0;

    // What the library wrote since the last look. `releasing`: the mapping
    // about to be released, compared as well when it is not small.
    std::vector<Run> library_writes(const LiveMapping* releasing);
    // A mapping just made: its bytes where the model did not know them.
    std::vector<Run> mapped(const LiveMapping& m);
    void released(uint32_t ordinal);
    // What changed in the small live mappings during the operation.
    std::vector<Run> board_changes();
    // The live mapping an unmap of (`handle`, `linear`) releases: the
    // newest one that starts at `linear` and was given `handle`, else the
    // newest one that starts at `linear`; none otherwise. Never the one
    // whose range holds the pointer: a maker's library may hand overlapping
    // mappings shared addresses (a table inside the F-segment), and an
    // inner mapping's unmap is not the enclosing one's.
    const LiveMapping* releasing(uint32_t handle, const void* linear) const;
    // Puts `bytes` at `physical` into the model and every live mapping over it.
    void apply(uint32_t physical, const uint8_t* bytes, uint32_t n);

    // BoardWrite events for `runs`; a run that repeats the transfer
    // buffer's bytes for the block `source` names is a copy of them.
    std::vector<Event> board_events(const std::vector<Run>& runs, const std::optional<BlockSource>& source,
                                    uint8_t flags) const;

private:
    std::vector<Run> look(const LiveMapping& m);
    bool propagate_;
};

bool small(const LiveMapping& m);

}  // namespace trace

#endif
