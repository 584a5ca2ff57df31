#include "ec.h"

namespace sim {

using namespace ecdev;

void EmbeddedController::leave_stale_output(uint8_t byte) {
    obf_ = true;
    output_ = byte;
}

void EmbeddedController::answer(uint8_t byte) {
    if (obf_) {
        pending_ = byte;  // the host has not read the previous byte yet
    } else {
        obf_ = true;
        output_ = byte;
    }
}

void EmbeddedController::take_input() {
    ibf_ = false;
    if (input_is_command_) {
        switch (input_) {
        case EC_CMD_READ_RAM:
            phase_ = Phase::ReadIndex;
            break;
        case EC_CMD_WRITE_RAM:
            phase_ = Phase::WriteIndex;
            break;
        default:
            phase_ = Phase::Idle;
            ++unexpected_;
            break;
        }
        return;
    }
    switch (phase_) {
    case Phase::ReadIndex:
        phase_ = Phase::Idle;
        if (mode == Mode::Answer) {
            answer(ram[input_]);
        }
        break;
    case Phase::WriteIndex:
        index_ = input_;
        phase_ = Phase::WriteValue;
        break;
    case Phase::WriteValue:
        ram[index_] = input_;
        phase_ = Phase::Idle;
        break;
    case Phase::Idle:
        ++unexpected_;
        break;
    }
}

uint32_t EmbeddedController::read(uint16_t port, unsigned) {
    if (port == EC_SC) {
        if (mode == Mode::Dead) {
            return EC_STATUS_IBF;
        }
        // The controller firmware services its input buffer between host
        // status reads: the first `busy_reads` reads after a write still see
        // IBF, the next one finds the byte taken.
        if (ibf_) {
            if (busy_left_ > 0) {
                --busy_left_;
            } else {
                take_input();
            }
        }
        uint8_t status = uint8_t((ibf_ ? EC_STATUS_IBF : 0) | (obf_ ? EC_STATUS_OBF : 0) |
                                 (input_is_command_ ? EC_STATUS_CMD : 0));
        return status;
    }
    // Data port: reading empties the output buffer; a held answer moves in.
    uint8_t v = output_;
    obf_ = false;
    if (pending_) {
        obf_ = true;
        output_ = *pending_;
        pending_.reset();
    }
    return v;
}

void EmbeddedController::write(uint16_t port, unsigned, uint32_t value) {
    if (mode == Mode::Dead) {
        return;
    }
    if (ibf_) {
        ++unexpected_;  // the host overran a byte the controller had not taken
    }
    ibf_ = true;
    input_is_command_ = port == EC_SC;
    input_ = uint8_t(value);
    busy_left_ = busy_reads;
}

}  // namespace sim
