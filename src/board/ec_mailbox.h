// Embedded-controller mailbox: a status/command port and a data port with
// input-buffer-full (host -> EC byte not yet taken) and output-buffer-full
// (EC -> host byte waiting) handshake bits.
#ifndef KOVA_BOARD_EC_MAILBOX_H
#define KOVA_BOARD_EC_MAILBOX_H

#include <stdint.h>

namespace kova {

namespace ec {
constexpr uint16_t EC_DATA = 0x62;       // data byte, both directions
constexpr uint16_t EC_SC = 0x66;         // read: status; write: command
constexpr uint8_t EC_STATUS_OBF = 0x01;  // output buffer full: a byte for the host
constexpr uint8_t EC_STATUS_IBF = 0x02;  // input buffer full: the EC has not taken the last byte
// Writing to this unused port takes about a microsecond on the LPC bus; the
// polls use it as a short delay between status reads.
constexpr uint16_t EC_DELAY_PORT = 0xE1;
constexpr uint8_t EC_DELAY_VALUE = 0xFF;
// Status reads a wait makes before it gives up. At about 2 us a poll this is
// about half a second, the order operating-system EC drivers allow.
constexpr uint32_t EC_WAIT_LIMIT_POLLS = 0x40000;
}  // namespace ec

// Polls until the EC has taken the last byte sent (IBF clear) or the poll
// limit is reached. Yields the last status read: IBF still set means the
// wait gave up.
uint8_t ec_wait_input_empty();
// Polls until the EC has a byte for the host (OBF set) or the poll limit is
// reached. Yields the last status read: OBF still clear means it gave up.
uint8_t ec_wait_output_full();
// Sends a command byte, waiting for an empty input buffer before and after.
// False when a wait gave up; nothing more is sent then.
bool ec_send_command(uint8_t command);
// Sends a data byte, waiting for an empty input buffer before and after.
// False when a wait gave up; nothing more is sent then.
bool ec_send_data(uint8_t data);

}  // namespace kova

#endif
