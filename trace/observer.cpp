#include "observer.h"

#include <algorithm>
#include <cstring>

namespace trace {

bool small(const LiveMapping& m) { return m.length <= SMALL_MAPPING_MAX_BYTES; }

std::vector<Run> Observer::look(const LiveMapping& m) {
    std::vector<Run> runs = model.observe(m.physical, m.linear, m.length);
    if (propagate_) {
        for (const Run& r : runs) {
            for (const LiveMapping& other : live) {
                if (other.ordinal == m.ordinal) {
                    continue;
                }
                uint64_t begin = std::max<uint64_t>(r.physical, other.physical);
                uint64_t end = std::min<uint64_t>(uint64_t(r.physical) + r.bytes.size(),
                                                  uint64_t(other.physical) + other.length);
                if (begin < end) {
                    std::memcpy(other.linear + (begin - other.physical),
                                r.bytes.data() + (begin - r.physical), size_t(end - begin));
                }
            }
        }
    }
    return runs;
}

std::vector<Run> Observer::library_writes(const LiveMapping* releasing) {
    std::vector<Run> all;
    for (const LiveMapping& m : live) {
        if (small(m) || (releasing && releasing->ordinal == m.ordinal)) {
            std::vector<Run> runs = look(m);
            all.insert(all.end(), runs.begin(), runs.end());
        }
    }
    return all;
}

std::vector<Run> Observer::mapped(const LiveMapping& m) {
    live.push_back(m);
    ++next_ordinal;
    return model.observe(m.physical, m.linear, m.length);
}

void Observer::released(uint32_t ordinal) {
    live.erase(
        std::remove_if(live.begin(), live.end(), [&](const LiveMapping& m) { return m.ordinal == ordinal; }),
        live.end());
}

std::vector<Run> Observer::board_changes() {
    std::vector<Run> all;
    for (const LiveMapping& m : live) {
        if (small(m)) {
            std::vector<Run> runs = look(m);
            all.insert(all.end(), runs.begin(), runs.end());
        }
    }
    return all;
}

const LiveMapping* Observer::releasing(uint32_t handle, const void* linear) const {
    const LiveMapping* at_pointer = nullptr;
    for (auto m = live.rbegin(); m != live.rend(); ++m) {
        if (m->linear != linear) {
            continue;
        }
        if (m->handle == handle) {
            return &*m;
        }
        if (!at_pointer) {
            at_pointer = &*m;
        }
    }
    return at_pointer;
}

void Observer::apply(uint32_t physical, const uint8_t* bytes, uint32_t n) {
    model.store(physical, bytes, n);
    for (const LiveMapping& m : live) {
        uint64_t begin = std::max<uint64_t>(physical, m.physical);
        uint64_t end = std::min<uint64_t>(uint64_t(physical) + n, uint64_t(m.physical) + m.length);
        if (begin < end) {
            std::memcpy(m.linear + (begin - m.physical), bytes + (begin - physical), size_t(end - begin));
        }
    }
}

std::vector<Event> Observer::board_events(const std::vector<Run>& runs,
                                          const std::optional<BlockSource>& source, uint8_t flags) const {
    std::vector<Event> out;
    for (const Run& r : runs) {
        Event e{Kind::BoardWrite, flags};
        e.a = r.physical;
        e.b = uint32_t(r.bytes.size());
        if (source && r.physical >= source->flash_address &&
            uint64_t(r.physical) + r.bytes.size() <= uint64_t(source->flash_address) + source->length) {
            uint32_t from = source->transfer_address + (r.physical - source->flash_address);
            std::vector<uint8_t> held(r.bytes.size());
            if (model.load(from, held.data(), uint32_t(held.size())) && held == r.bytes) {
                e.flags |= FLAG_COPY;
                e.c = from;
                out.push_back(e);
                continue;
            }
        }
        e.data = r.bytes;
        out.push_back(std::move(e));
    }
    return out;
}

}  // namespace trace
