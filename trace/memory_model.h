// What the recorder (and the replay, in step with it) knows of the board's
// physical memory: the bytes seen there last, page by page, each byte known
// or not. Looking at a mapping through the model gives the runs of bytes
// that are new to it or changed since, and makes them known.
#ifndef KOVA_TRACE_MEMORY_MODEL_H
#define KOVA_TRACE_MEMORY_MODEL_H

#include <bitset>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace trace {

struct Run {
    uint32_t physical;
    std::vector<uint8_t> bytes;
};

class MemoryModel {
public:
    static constexpr uint32_t PAGE_BYTES = 0x1000;
    // Changed bytes closer than this are one run: fewer, larger events.
    static constexpr uint32_t RUN_GAP_BYTES = 16;
    // No run is longer: a 2 MiB window first seen is two events, not one.
    static constexpr uint32_t MAX_RUN_BYTES = 0x100000;

    // The runs of [physical, physical + n) whose bytes are unknown or differ
    // from `bytes`, lowest first; afterwards the model holds `bytes` there.
    std::vector<Run> observe(uint32_t physical, const uint8_t* bytes, uint32_t n);
    void store(uint32_t physical, const uint8_t* bytes, uint32_t n);
    // Takes `bytes` only where the model knows nothing yet: what was there first.
    void learn(uint32_t physical, const uint8_t* bytes, uint32_t n);
    // Copies what is known of [physical, physical + n) into `out`; true when
    // every byte was known (unknown bytes are left as they were).
    bool load(uint32_t physical, uint8_t* out, uint32_t n) const;
    // Every page with a known byte: its base and the bytes (unknown ones 0).
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> known_pages() const;

private:
    struct Page {
        uint8_t bytes[PAGE_BYTES] = {};
        std::bitset<PAGE_BYTES> known;
    };
    Page& page(uint32_t number);
    std::map<uint32_t, std::unique_ptr<Page>> pages_;
};

}  // namespace trace

#endif
