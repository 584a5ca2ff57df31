// The embedded controller's host mailbox (ports 0x62/0x66) and its 256 bytes
// of RAM. It behaves like a real ACPI-style EC: a byte the host writes sets
// IBF until the controller takes it; a read command puts the answer in the
// output buffer and sets OBF until the host reads the data port.
#ifndef SIM_EC_H
#define SIM_EC_H

#include <array>
#include <cstdint>
#include <optional>

#include "bus.h"

namespace sim {

namespace ecdev {
constexpr uint16_t EC_DATA = 0x62;
constexpr uint16_t EC_SC = 0x66;
constexpr uint8_t EC_STATUS_OBF = 0x01;
constexpr uint8_t EC_STATUS_IBF = 0x02;
constexpr uint8_t EC_STATUS_CMD = 0x08;  // last byte written went to the command port
constexpr uint8_t EC_CMD_READ_RAM = 0x90;
constexpr uint8_t EC_CMD_WRITE_RAM = 0x81;
constexpr size_t EC_RAM_SIZE = 256;
}  // namespace ecdev

class EmbeddedController : public PortDevice {
public:
    enum class Mode : uint8_t {
        Answer,  // a working controller
        Dead,    // never takes a byte: IBF stays set for ever
        Mute,    // takes every byte but never produces an answer
    };

    std::array<uint8_t, ecdev::EC_RAM_SIZE> ram{};
    Mode mode = Mode::Answer;
    // Status reads that still show IBF set after each byte the host writes.
    unsigned busy_reads = 0;

    // A byte the controller left in its output buffer before the host came.
    void leave_stale_output(uint8_t byte);

    uint32_t read(uint16_t port, unsigned width) override;
    void write(uint16_t port, unsigned width, uint32_t value) override;

    // Bytes the controller took that fit no command (a protocol fault).
    unsigned unexpected_bytes() const { return unexpected_; }

private:
    enum class Phase : uint8_t { Idle, ReadIndex, WriteIndex, WriteValue };

    void take_input();
    void answer(uint8_t byte);

    Phase phase_ = Phase::Idle;
    bool ibf_ = false;
    bool input_is_command_ = false;
    uint8_t input_ = 0;
    unsigned busy_left_ = 0;
    bool obf_ = false;
    uint8_t output_ = 0;
    std::optional<uint8_t> pending_;  // answer waiting for the output buffer
    uint8_t index_ = 0;
    unsigned unexpected_ = 0;
};

}  // namespace sim

#endif
