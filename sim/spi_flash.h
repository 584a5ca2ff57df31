// The serial-flash engine behind the indexed register window: a control
// register (chip select), a data-out register whose write shifts one byte
// to the part and one back, and a data-in register holding the byte
// shifted back. The part behind it is the board's flash, address 0 = flash
// offset 0, and understands the fast-read command.
#ifndef SIM_SPI_FLASH_H
#define SIM_SPI_FLASH_H

#include <cstdint>

#include "devices.h"
#include "memory.h"

namespace sim {

namespace spi {
constexpr uint16_t SPI_DATA_IN = 0xFEAB;
constexpr uint16_t SPI_DATA_OUT = 0xFEAC;
constexpr uint16_t SPI_CONTROL = 0xFEAD;
constexpr uint8_t SPI_CONTROL_CS_LOW = 0x10;  // chip select held low
constexpr uint8_t SPI_CMD_FAST_READ = 0x0B;
constexpr uint8_t SPI_IDLE_LINE = 0xFF;  // what comes back while the part is not driving
constexpr uint32_t SPI_ADDRESS_MASK = 0xFFFFFF;
}  // namespace spi

class SpiFlashEngine {
public:
    SpiFlashEngine(IndexedWindow& window, PhysMemory& memory);

    bool selected() const { return selected_; }
    unsigned bytes_shifted() const { return shifted_; }
    unsigned unknown_commands() const { return unknown_; }

private:
    enum class Phase : uint8_t { Command, Address, Dummy, Data, Ignore };
    void control(uint8_t value);
    void shift(uint8_t out);

    PhysMemory& memory_;
    bool selected_ = false;
    Phase phase_ = Phase::Command;
    unsigned address_bytes_ = 0;
    uint32_t address_ = 0;
    uint8_t data_in_ = spi::SPI_IDLE_LINE;
    unsigned shifted_ = 0;
    unsigned unknown_ = 0;
};

}  // namespace sim

#endif
