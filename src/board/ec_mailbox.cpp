#include "board/ec_mailbox.h"

#include "frame/port.h"

namespace kova {

namespace {

// Reads the status port until (status & mask) == want, at most
// EC_WAIT_LIMIT_POLLS times. The delay write comes only between two reads,
// after one that found the controller not ready, never before the first
// read and never after the last.
uint8_t ec_poll_status(uint8_t mask, uint8_t want) {
    uint8_t status = port_read8(ec::EC_SC);
    for (uint32_t polls = 1; (status & mask) != want && polls < ec::EC_WAIT_LIMIT_POLLS; ++polls) {
        port_write8(ec::EC_DELAY_PORT, ec::EC_DELAY_VALUE);
        status = port_read8(ec::EC_SC);
    }
    return status;
}

bool ec_input_empty(uint8_t status) { return (status & ec::EC_STATUS_IBF) == 0; }

bool ec_send(uint16_t port, uint8_t byte) {
    if (!ec_input_empty(ec_wait_input_empty())) {
        return false;
    }
    port_write8(port, byte);
    return ec_input_empty(ec_wait_input_empty());
}

}  // namespace

uint8_t ec_wait_input_empty() { return ec_poll_status(ec::EC_STATUS_IBF, 0); }

uint8_t ec_wait_output_full() { return ec_poll_status(ec::EC_STATUS_OBF, ec::EC_STATUS_OBF); }

bool ec_send_command(uint8_t command) { return ec_send(ec::EC_SC, command); }

bool ec_send_data(uint8_t data) { return ec_send(ec::EC_DATA, data); }

}  // namespace kova
