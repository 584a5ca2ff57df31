// The installed firmware's side of the flash interface: its "$QRF" block and
// command record in the F-segment, its notification port, and the handler
// SEG32_CALLBACK reaches, which erases and programs the flash part as the
// record asks. The installed firmware is whatever the flash part holds, so
// its platform tag and boot-info block come from the last image written.
#ifndef SIM_FIRMWARE_H
#define SIM_FIRMWARE_H

#include <cstdint>
#include <optional>
#include <vector>

#include "bus.h"
#include "memory.h"
#include "zunda.h"

namespace sim {

namespace fw {
constexpr uint8_t CODE_BEGIN = 0x20;
constexpr uint8_t CODE_COMPARE = 0x21;
constexpr uint8_t CODE_PREPARE = 0x22;
constexpr uint8_t CODE_WRITE = 0x23;
constexpr uint8_t CODE_END = 0x24;
constexpr uint16_t SMI_COMMAND_PORT = 0xB2;
constexpr uint32_t DEFAULT_BLOCK_OFFSET = 0x4A10;  // in the F-segment
constexpr uint8_t DEFAULT_RECORD_OFFSET = 0x20;
constexpr uint32_t ERASE_BLOCK_BYTES = 0x1000;
constexpr uint32_t INTERFACE_NOTIFY_PORT_AT = 12;
constexpr uint32_t INTERFACE_RECORD_OFFSET_AT = 4;
}  // namespace fw

struct FirmwareEvent {
    enum class Kind : uint8_t { Callback, Port };
    Kind kind;
    uint8_t code;                 // the record's code for a callback, the byte for a port write
    uint32_t handle;              // callbacks only
    flash_command_record record;  // as passed (callback) or as it stood in memory (port write)
};

class Firmware : public PortDevice {
public:
    Firmware(PortBus& bus, PhysMemory& memory);

    // Puts a "$QRF" block at `block_offset` in the F-segment with its record
    // `record_offset` bytes further on and its notification port; the
    // previous block, if any, is wiped.
    void install_interface(uint32_t block_offset = fw::DEFAULT_BLOCK_OFFSET,
                           uint8_t record_offset = fw::DEFAULT_RECORD_OFFSET,
                           uint16_t notify_port = fw::SMI_COMMAND_PORT);
    void remove_interface();
    // Takes the first "$QRF" block the F-segment holds as the interface
    // (a real board's F-segment, loaded whole); false when there is none.
    bool adopt_interface();
    bool has_interface() const { return interface_.has_value(); }
    uint32_t record_physical() const;  // of the firmware's record; interface required
    flash_command_record record() const;

    // SEG32_CALLBACK lands here.
    void callback(uint32_t handle, const flash_command_record& record);

    // The notification port: records the byte and the record as it stands.
    uint32_t read(uint16_t port, unsigned width) override;
    void write(uint16_t port, unsigned width, uint32_t value) override;

    // Fault modes; each does nothing until a test sets it.
    bool write_protected = false;                         // erase and program change nothing
    std::optional<uint32_t> failing_block;                // flash offset of a block whose first
    unsigned failing_block_writes = 0;                    //   this many writes change nothing
    bool ignore_writes = false;                           // CODE_WRITE changes nothing (erase still does)
    std::optional<uint32_t> partial_write_bytes;          // only this many bytes of a block are programmed
    std::optional<uint32_t> length_after_prepare;         // the firmware rewrites the record's length
    std::optional<unsigned> power_lost_after_writes;      // after this many writes the flash never changes
    std::optional<unsigned> power_lost_after_operations;  // the same, counting erases and writes
    std::optional<uint32_t> disturb_after_end;            // flash offset whose bit 0 CODE_END flips,
                                                          //   after the walk compared it

    // What happened, in order.
    std::vector<FirmwareEvent> events;
    unsigned erases = 0;
    unsigned operations() const { return erases + writes_programmed; }
    unsigned writes_programmed = 0;
    unsigned refused_checks = 0;  // CODE_WRITE whose check field did not match the transfer buffer
    unsigned rejected_calls = 0;  // addresses or lengths outside the flash or RAM

    std::vector<FirmwareEvent> callbacks() const;
    std::vector<uint8_t> port_codes() const;

private:
    struct Interface {
        uint32_t block_offset;
        uint8_t record_offset;
        uint16_t notify_port;
    };
    bool powered() const;
    void erase(uint32_t flash_address);
    void program(const flash_command_record& record);

    PortBus& bus_;
    PhysMemory& memory_;
    std::optional<Interface> interface_;
    std::vector<uint32_t> failed_writes_per_block_;
};

}  // namespace sim

#endif
