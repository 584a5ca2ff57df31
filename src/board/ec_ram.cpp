// EC RAM commands on top of the mailbox, and their exports.
#include "board/ec_mailbox.h"
#include "frame/port.h"
#include "kova.h"

namespace kova {

namespace ec {
constexpr uint8_t EC_CMD_READ_RAM = 0x90;   // then index; the EC answers with the byte
constexpr uint8_t EC_CMD_WRITE_RAM = 0x81;  // then index, then value
// What the read export yields when the controller does not answer.
constexpr uint8_t EC_NO_ANSWER = 0xFF;
}  // namespace ec

namespace {

uint8_t low_byte(uint32_t v) { return static_cast<uint8_t>(v & 0xFFu); }

}  // namespace

}  // namespace kova

using namespace kova;

// No read of the data port precedes the command: a byte the controller left
// in its output buffer earlier is not discarded and may answer the wait.
extern "C" uint32_t KOVA_CALL KOVA_get_ec_ram(uint32_t index) {
    if (!ec_send_command(ec::EC_CMD_READ_RAM) || !ec_send_data(low_byte(index))) {
        return ec::EC_NO_ANSWER;
    }
    if ((ec_wait_output_full() & ec::EC_STATUS_OBF) == 0) {
        return ec::EC_NO_ANSWER;
    }
    return port_read8(ec::EC_DATA);
}

extern "C" void KOVA_CALL KOVA_set_ec_ram(uint32_t index, uint32_t value) {
    if (ec_send_command(ec::EC_CMD_WRITE_RAM) && ec_send_data(low_byte(index))) {
        ec_send_data(low_byte(value));
    }
}
