#include "spi_flash.h"

namespace sim {

using namespace spi;

namespace {
constexpr unsigned ADDRESS_BYTES = 3;
}

SpiFlashEngine::SpiFlashEngine(IndexedWindow& window, PhysMemory& memory) : memory_(memory) {
    window.write_hook = [this](uint16_t reg, uint8_t value) {
        if (reg == SPI_CONTROL) {
            control(value);
            return false;  // the register keeps what was written
        }
        if (reg == SPI_DATA_OUT) {
            shift(value);
            return false;
        }
        return false;
    };
    window.read_hook = [this](uint16_t reg, uint8_t& value) {
        if (reg == SPI_DATA_IN) {
            value = data_in_;
            return true;
        }
        return false;
    };
}

// Raising chip select ends the command; the part waits for a new one.
void SpiFlashEngine::control(uint8_t value) {
    bool select = (value & SPI_CONTROL_CS_LOW) != 0;
    if (!select || !selected_) {
        phase_ = Phase::Command;
        address_bytes_ = 0;
        address_ = 0;
    }
    selected_ = select;
}

void SpiFlashEngine::shift(uint8_t out) {
    if (!selected_) {
        return;  // nothing on the bus hears it
    }
    ++shifted_;
    data_in_ = SPI_IDLE_LINE;
    switch (phase_) {
    case Phase::Command:
        if (out == SPI_CMD_FAST_READ) {
            phase_ = Phase::Address;
        } else {
            ++unknown_;
            phase_ = Phase::Ignore;
        }
        break;
    case Phase::Address:
        address_ = (address_ << 8) | out;
        if (++address_bytes_ == ADDRESS_BYTES) {
            phase_ = Phase::Dummy;
        }
        break;
    case Phase::Dummy:
        phase_ = Phase::Data;
        break;
    case Phase::Data:
        data_in_ = memory_.byte(phys::FLASH_BASE + (address_ & (phys::FLASH_SIZE - 1)));
        address_ = (address_ + 1) & SPI_ADDRESS_MASK;
        break;
    case Phase::Ignore:
        break;
    }
}

}  // namespace sim
