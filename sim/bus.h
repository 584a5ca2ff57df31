// The simulated I/O port bus: devices claim port ranges, every access is
// recorded in order so tests can state the expected trace as a table.
#ifndef SIM_BUS_H
#define SIM_BUS_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

enum class Dir : uint8_t { Read, Write };

struct Access {
    Dir dir;
    uint16_t port;
    uint8_t width;  // bytes: 1, 2 or 4
    uint32_t value;
    bool operator==(const Access& o) const {
        return dir == o.dir && port == o.port && width == o.width && value == o.value;
    }
};

std::string describe(const Access& a);

// A device behind one or more ports. Values are already masked to `width`.
class PortDevice {
public:
    virtual ~PortDevice() = default;
    virtual uint32_t read(uint16_t port, unsigned width) = 0;
    virtual void write(uint16_t port, unsigned width, uint32_t value) = 0;
};

uint32_t width_mask(unsigned width);

class PortBus {
public:
    // Ports nobody claims read as all ones (an undriven bus) and drop writes.
    void claim(uint16_t first, uint16_t last, PortDevice* device);
    void release(uint16_t first, uint16_t last);
    uint32_t read(uint16_t port, unsigned width);
    void write(uint16_t port, unsigned width, uint32_t value);

    const std::vector<Access>& trace() const { return trace_; }
    void clear_trace() { trace_.clear(); }
    // Writes of `value` to `port` in the trace, in order.
    std::vector<uint32_t> writes_to(uint16_t port) const;
    size_t reads_of(uint16_t port) const;

private:
    std::array<PortDevice*, 0x10000> owners_{};
    std::vector<Access> trace_;
};

}  // namespace sim

#endif
