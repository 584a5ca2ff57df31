// The installed firmware's flash interface. The firmware publishes, in its
// F-segment, an interface block naming a command record and a notification
// port; the library fills the record and notifies the firmware by calling
// SEG32_CALLBACK (when the host gave a callback handle) and by writing the
// step's function code to the port. Without such a block a library-owned
// block and record stand in, notifying the POST code port.
#ifndef KOVA_UPDATE_FLASH_INTERFACE_H
#define KOVA_UPDATE_FLASH_INTERFACE_H

#include <stdint.h>

#include "zunda.h"

namespace kova {

namespace fwif {
constexpr uint32_t FSEG_PHYSICAL = 0xF0000;
constexpr uint32_t FSEG_LENGTH = 0x10000;
constexpr const char INTERFACE_SIGNATURE[] = "$QRF";
constexpr uint16_t DEFAULT_NOTIFY_PORT = 0x80;  // POST code port

// Function codes, in the record's code field and on the notification port.
constexpr uint8_t CODE_BEGIN = 0x20;    // before the first block of a walk
constexpr uint8_t CODE_COMPARE = 0x21;  // stored while a block is compared; never sent
constexpr uint8_t CODE_PREPARE = 0x22;  // the firmware erases the block
constexpr uint8_t CODE_WRITE = 0x23;    // the firmware programs the block from the transfer buffer
constexpr uint8_t CODE_END = 0x24;      // after the last region
}  // namespace fwif

// The interface block as the firmware lays it out; packed, at any offset.
struct __attribute__((packed)) flash_interface_block {
    char signature[4];
    uint8_t record_offset;  // from the start of the block
    uint8_t reserved[7];
    uint16_t notify_port;
};
static_assert(sizeof(flash_interface_block) == 14, "interface fields run to block + 13");

// Chooses the interface for this update call: the first "$QRF" in the
// F-segment window whose fields and record lie wholly inside the window, or
// the default interface (notify port 0x80).
void locate_flash_interface(uint8_t* fseg_window);
// The command record chosen by locate_flash_interface.
flash_command_record* command_record();
// Sends a function code: for CODE_BEGIN the port first, then the record and
// the callback; for the others the record and the callback, then the port.
// SEG32_CALLBACK is called only when `handle` is not 0.
void notify(uint8_t code, uint32_t handle);

}  // namespace kova

#endif
