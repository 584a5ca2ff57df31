// Small devices of the board: port sinks and the indexed register window.
#ifndef SIM_DEVICES_H
#define SIM_DEVICES_H

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "bus.h"

namespace sim {

// A port that only takes writes (the POST code port, the EC delay port, the
// SMI command port): it keeps what was written and reads as all ones.
class PortSink : public PortDevice {
public:
    std::vector<uint32_t> written;
    uint32_t read(uint16_t, unsigned) override { return 0xFFFFFFFFu; }
    void write(uint16_t, unsigned, uint32_t value) override { written.push_back(value); }
};

namespace window {
constexpr uint16_t IDX_ADDR_HIGH = 0x381;
constexpr uint16_t IDX_ADDR_LOW = 0x382;
constexpr uint16_t IDX_DATA = 0x383;
}  // namespace window

// The indexed register window at 0x381..0x383: two address latches and a data
// port onto a 64K register space. Registers are plain storage unless a
// device hooks them (the serial-flash engine does).
class IndexedWindow : public PortDevice {
public:
    std::array<uint8_t, 0x10000> regs{};
    std::function<bool(uint16_t reg, uint8_t& value)> read_hook;  // true: handled
    std::function<bool(uint16_t reg, uint8_t value)> write_hook;

    uint16_t selected() const { return uint16_t((high_ << 8) | low_); }
    uint32_t read(uint16_t port, unsigned width) override;
    void write(uint16_t port, unsigned width, uint32_t value) override;

private:
    uint8_t high_ = 0;
    uint8_t low_ = 0;
};

}  // namespace sim

#endif
