#include "bus.h"

#include <cstdio>

namespace sim {

std::string describe(const Access& a) {
    char text[64];
    std::snprintf(text, sizeof text, "%s%u port 0x%X value 0x%X", a.dir == Dir::Read ? "read" : "write",
                  unsigned(a.width) * 8, unsigned(a.port), unsigned(a.value));
    return text;
}

uint32_t width_mask(unsigned width) { return width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1; }

void PortBus::claim(uint16_t first, uint16_t last, PortDevice* device) {
    for (uint32_t p = first; p <= last; ++p) {
        owners_[p] = device;
    }
}

void PortBus::release(uint16_t first, uint16_t last) { claim(first, last, nullptr); }

uint32_t PortBus::read(uint16_t port, unsigned width) {
    PortDevice* d = owners_[port];
    uint32_t v = (d ? d->read(port, width) : 0xFFFFFFFFu) & width_mask(width);
    trace_.push_back({Dir::Read, port, uint8_t(width), v});
    return v;
}

void PortBus::write(uint16_t port, unsigned width, uint32_t value) {
    value &= width_mask(width);
    trace_.push_back({Dir::Write, port, uint8_t(width), value});
    if (PortDevice* d = owners_[port]) {
        d->write(port, width, value);
    }
}

std::vector<uint32_t> PortBus::writes_to(uint16_t port) const {
    std::vector<uint32_t> out;
    for (const Access& a : trace_) {
        if (a.dir == Dir::Write && a.port == port) {
            out.push_back(a.value);
        }
    }
    return out;
}

size_t PortBus::reads_of(uint16_t port) const {
    size_t n = 0;
    for (const Access& a : trace_) {
        n += a.dir == Dir::Read && a.port == port;
    }
    return n;
}

}  // namespace sim
