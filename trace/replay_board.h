// A board made of a trace: it answers the seven operations as the trace
// says the board answered them, serves the memory the trace saw and the
// firmware's recorded effects, and checks every request of the library
// against the trace in strict order. The first request that differs (the
// operation, an argument, a value written, a command record, bytes the
// library wrote through a mapping) stops the replay: that request fails
// and every later one too, and mismatch() says where and how.
#ifndef KOVA_TRACE_REPLAY_BOARD_H
#define KOVA_TRACE_REPLAY_BOARD_H

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "describe.h"
#include "observer.h"
#include "reader.h"
#include "zunda.h"

namespace trace {

struct Mismatch {
    size_t event;  // index of the recorded event that was not met
    std::string phase;
    std::string recorded;
    std::string came;
};

class ReplayBoard {
public:
    explicit ReplayBoard(const Trace& t);
    ~ReplayBoard();
    ReplayBoard(const ReplayBoard&) = delete;
    ReplayBoard& operator=(const ReplayBoard&) = delete;

    // The seven operations, as the library calls them.
    uint32_t get_port(uint32_t port, uint32_t* value, uint32_t size);
    uint32_t set_port(uint32_t port, uint32_t value, uint32_t size);
    void* map(uint32_t physical, uint32_t length, uint32_t* handle);
    uint32_t unmap(uint32_t handle, void* linear);
    uint32_t allocate(uint32_t length, uint32_t* handle);
    uint32_t free(uint32_t handle);
    void callback(uint32_t handle, const flash_command_record& record);

    // Plays what the host did up to the next note and returns that note's
    // index, or the number of events at the end. Host events are played,
    // not checked: the host is not what is replayed.
    size_t play_host();
    // The next event, if any; then moves past it.
    const Event* peek() const { return next_ < trace_.events.size() ? &trace_.events[next_] : nullptr; }
    size_t position() const { return next_; }
    void skip() { ++next_; }
    // Records a difference found outside the seven operations (an outcome),
    // unless one was found before.
    void differ(const std::string& phase, const std::string& recorded, const std::string& came);

    const std::optional<Mismatch>& mismatch() const { return mismatch_; }
    // The library went past the end of a trace that was cut short: every
    // request before was as recorded, and nothing after can be checked.
    bool reached_cut() const { return cut_; }
    bool stopped() const { return mismatch_.has_value() || cut_; }
    // The phase of event `index` (the last one's for the end).
    std::string phase_at(size_t index) const {
        return phases_.empty() ? "host" : phases_[index < phases_.size() ? index : phases_.size() - 1];
    }
    size_t live_mappings() const { return observer_.live.size(); }
    const MemoryModel& memory() const { return observer_.model; }
    // Each buffer of a mapping the library made (whole pages), for a runner
    // that shows it in its own address space: called as it is made, and as
    // it is released. The host's own mappings are the replay's alone.
    std::function<void(uint8_t* page_base, uint32_t page_bytes, bool made)> on_mapping;

private:
    bool library_writes(const LiveMapping* releasing);
    const Event* expect(const Event& came);
    void apply_board();
    LiveMapping make_mapping(uint32_t physical, uint32_t length, uint32_t handle, bool library);
    bool same_range(uint32_t ordinal_a, uint32_t ordinal_b) const;
    void drop_mapping(uint32_t ordinal);
    void fail(const std::string& came);
    Context context() const;

    const Trace& trace_;
    std::vector<std::string> phases_;
    size_t next_ = 0;
    Observer observer_{true};
    struct Buffer {
        uint8_t* base;
        uint32_t bytes;
        bool shown = false;  // handed to on_mapping
    };
    std::map<uint32_t, Buffer> buffers_;                      // live ones, by mapping ordinal
    std::map<uint32_t, std::pair<uint32_t, uint32_t>> made_;  // every one's physical and length
    std::optional<Mismatch> mismatch_;
    bool cut_ = false;
};

// The board the seven operations act on in a native replay.
void install(ReplayBoard* board);

}  // namespace trace

#endif
