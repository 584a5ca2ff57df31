#include "smbus.h"

namespace sim {

using namespace smbdev;

uint32_t SmbusController::read(uint16_t port, unsigned) {
    switch (port) {
    case SMB_HST_STS:
        if (mode == Mode::StuckBusy) {
            return status_ | SMB_HST_STS_HOST_BUSY;
        }
        if (running_ && mode == Mode::Normal) {
            if (busy_left_ > 0) {
                --busy_left_;
            } else {
                finish();
            }
        } else if (running_ && mode == Mode::DoneButBusy) {
            status_ |= SMB_HST_STS_INTR;
        } else if (running_ && mode == Mode::BusError) {
            running_ = false;
            status_ |= SMB_HST_STS_BUS_ERR;
        }
        return status_ | (running_ ? SMB_HST_STS_HOST_BUSY : 0);
    case SMB_HST_CNT:
        return control_ & ~SMB_HST_CNT_START;  // START reads back as 0
    case SMB_HST_CMD:
        return command_;
    case SMB_XMIT_SLVA:
        return slave_;
    case SMB_HST_D0:
        return data0_;
    case SMB_HST_D1:
        return data1_;
    case SMB_HOST_BLOCK_DB:
        return block_buffer[block_index_++ % BLOCK_BUFFER_BYTES];
    case SMB_AUX_CTL:
        return aux_;
    default:
        return 0xFF;
    }
}

void SmbusController::write(uint16_t port, unsigned, uint32_t value) {
    uint8_t v = uint8_t(value);
    switch (port) {
    case SMB_HST_STS:
        status_ &= uint8_t(~(v & SMB_HST_STS_W1C));  // write 1 to clear; busy is read-only
        break;
    case SMB_HST_CNT:
        if ((v & SMB_HST_CNT_KILL) && running_) {
            running_ = false;
            status_ |= SMB_HST_STS_FAILED;
            ++kills_;
        }
        control_ = v & ~SMB_HST_CNT_START;
        if ((v & SMB_HST_CNT_START) && !running_ && !(v & SMB_HST_CNT_KILL)) {
            start();
        }
        break;
    case SMB_HST_CMD:
        command_ = v;
        break;
    case SMB_XMIT_SLVA:
        slave_ = v;
        break;
    case SMB_HST_D0:
        data0_ = v;
        break;
    case SMB_HST_D1:
        data1_ = v;
        break;
    case SMB_HOST_BLOCK_DB:
        block_buffer[block_index_++ % BLOCK_BUFFER_BYTES] = v;
        break;
    case SMB_AUX_CTL:
        aux_ = v;
        break;
    default:
        break;
    }
}

void SmbusController::start() {
    running_ = true;
    busy_left_ = busy_reads;
    block_index_ = 0;
    ++transactions_;
}

// The slave acknowledges and stores the data, or nobody answers.
void SmbusController::finish() {
    running_ = false;
    bool present = (slave_ >> 1) == EEPROM_ADDRESS && (slave_ & SMB_XMIT_SLVA_READ) == 0;
    if (!present) {
        status_ |= SMB_HST_STS_DEV_ERR;
        return;
    }
    switch (control_ & SMB_HST_CNT_PROTOCOL) {
    case SMB_PROTOCOL_BYTE_DATA:
        eeprom[command_] = data0_;
        break;
    case SMB_PROTOCOL_WORD_DATA:
        eeprom[command_] = data0_;
        eeprom[uint8_t(command_ + 1)] = data1_;
        break;
    case SMB_PROTOCOL_BLOCK:
        for (size_t i = 0; i < data0_ && i < BLOCK_BUFFER_BYTES; ++i) {
            eeprom[uint8_t(command_ + i)] = block_buffer[i];
        }
        break;
    default:
        break;
    }
    status_ |= SMB_HST_STS_INTR;
}

}  // namespace sim
