#include "smbus/smbus.h"

#include "frame/port.h"
#include "kova.h"

namespace kova {

using namespace smb;

namespace {

// Clears leftover status until the controller reads idle (status 0).
// False when it never does within the poll limit.
bool wait_idle() {
    uint8_t status = port_read8(SMB_HST_STS);
    for (uint32_t polls = 1; status != 0 && polls < SMB_WAIT_LIMIT_POLLS; ++polls) {
        port_write8(SMB_HST_STS, SMB_HST_STS_CLEAR_ALL);
        status = port_read8(SMB_HST_STS);
    }
    return status == 0;
}

// Reads the status until a completion or error bit is set; false at the
// poll limit.
bool wait_done() {
    for (uint32_t polls = 0; polls < SMB_WAIT_LIMIT_POLLS; ++polls) {
        if ((port_read8(SMB_HST_STS) & SMB_HST_STS_DONE) != 0) {
            return true;
        }
    }
    return false;
}

// Reads the status until the busy bit is clear; false at the poll limit.
bool wait_not_busy() {
    for (uint32_t polls = 0; polls < SMB_WAIT_LIMIT_POLLS; ++polls) {
        if ((port_read8(SMB_HST_STS) & SMB_HST_STS_HOST_BUSY) == 0) {
            return true;
        }
    }
    return false;
}

// Stops a transaction the controller does not finish: KILL set, then
// cleared, as the controller defines it; it ends with FAILED set.
void kill_transaction() {
    uint8_t cnt = port_read8(SMB_HST_CNT);
    port_write8(SMB_HST_CNT, static_cast<uint8_t>(cnt | SMB_HST_CNT_KILL));
    cnt = port_read8(SMB_HST_CNT);
    port_write8(SMB_HST_CNT, static_cast<uint8_t>(cnt & ~SMB_HST_CNT_KILL));
}

void setup(uint8_t slave, uint8_t command, uint16_t data16) {
    port_write8(SMB_HST_D0, static_cast<uint8_t>(data16 & 0xFFu));
    port_write8(SMB_HST_D1, static_cast<uint8_t>(data16 >> 8));
    port_write8(SMB_HST_CMD, command);
    port_write8(SMB_XMIT_SLVA, slave);
}

// Starts the transaction and waits for it to end: a completion or error
// bit, then the busy bit clear.
void execute(uint8_t control) {
    port_write8(SMB_HST_CNT, control);
    if (!wait_done() || !wait_not_busy()) {
        kill_transaction();
    }
}

uint32_t complete() {
    uint32_t status = port_read8(SMB_HST_STS);
    uint32_t data0 = port_read8(SMB_HST_D0);
    return status * 256 + data0;
}

}  // namespace

// The status is left as the controller set it; the next transaction's idle
// wait clears it.
uint32_t smbus_transaction(uint8_t control, uint8_t slave, uint8_t command, uint16_t data16) {
    uint8_t aux = port_read8(SMB_AUX_CTL);
    port_write8(SMB_AUX_CTL, static_cast<uint8_t>(aux | SMB_AUX_CTL_E32B));
    if (wait_idle()) {
        setup(slave, command, data16);
        execute(control);
    }
    return complete();
}

}  // namespace kova

using namespace kova;

namespace {
uint8_t write_address(uint32_t slave) { return static_cast<uint8_t>(slave & smb::SMB_XMIT_SLVA_WRITE_MASK); }
uint8_t low_byte(uint32_t v) { return static_cast<uint8_t>(v & 0xFFu); }
}  // namespace

extern "C" uint32_t KOVA_CALL KOVA_smbus_write_byte(uint32_t slave, uint32_t command, uint32_t value) {
    return smbus_transaction(smb::SMB_HST_CNT_START | smb::SMB_HST_CNT_BYTE_DATA, write_address(slave),
                             low_byte(command), low_byte(value));
}

extern "C" uint32_t KOVA_CALL KOVA_smbus_write_word(uint32_t slave, uint32_t command, uint32_t value) {
    return smbus_transaction(smb::SMB_HST_CNT_START | smb::SMB_HST_CNT_WORD_DATA, write_address(slave),
                             low_byte(command), static_cast<uint16_t>(value & 0xFFFFu));
}

// Sends whatever the controller's block buffer holds; only the byte count
// goes to data 0.
extern "C" uint32_t KOVA_CALL KOVA_smbus_write_block(uint32_t slave, uint32_t command, uint32_t count) {
    return smbus_transaction(smb::SMB_HST_CNT_START | smb::SMB_HST_CNT_BLOCK, write_address(slave),
                             low_byte(command), low_byte(count));
}
