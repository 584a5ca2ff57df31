// One byte of the serial flash part, read through the serial-flash engine
// in the board's indexed register window rather than the memory-mapped
// flash. The firmware is told through the SMI command port that a flash
// access begins and ends, so it keeps its own flash traffic off the part.
#include "frame/indexed.h"
#include "frame/port.h"
#include "kova.h"

namespace kova {

namespace spi {
constexpr uint16_t SMI_CMD_PORT = 0xB2;
constexpr uint8_t SMI_FLASH_ACCESS_BEGIN = 0x20;
constexpr uint8_t SMI_FLASH_ACCESS_END = 0x24;

constexpr uint16_t SPI_DATA_IN = 0xFEAB;   // byte shifted in by the last transfer
constexpr uint16_t SPI_DATA_OUT = 0xFEAC;  // writing it shifts one byte out (and one in)
constexpr uint16_t SPI_CONTROL = 0xFEAD;
constexpr uint8_t SPI_CONTROL_SELECT = 0x18;  // chip select held low, command writes enabled
constexpr uint8_t SPI_CONTROL_IDLE = 0x00;

constexpr uint8_t SPI_CMD_FAST_READ = 0x0B;  // then 24-bit address, one dummy byte, data
constexpr uint8_t SPI_DUMMY = 0x00;
constexpr uint32_t DATA_SHIFTS = 16;
}  // namespace spi

}  // namespace kova

using namespace kova;

// The engine is driven blind: no status is polled. Sixteen data bytes are
// clocked and the last one kept; on a standard part in fast-read mode that
// is the byte 15 places after `address`.
extern "C" uint32_t KOVA_CALL KOVA_read_flash_byte(uint32_t address) {
    port_write8(spi::SMI_CMD_PORT, spi::SMI_FLASH_ACCESS_BEGIN);
    indexed_reg_write(spi::SPI_CONTROL, spi::SPI_CONTROL_SELECT);
    const uint8_t header[] = {spi::SPI_CMD_FAST_READ, static_cast<uint8_t>(address >> 16),
                              static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                              spi::SPI_DUMMY};
    for (uint8_t byte : header) {
        indexed_reg_write(spi::SPI_DATA_OUT, byte);
    }
    uint8_t value = 0;
    for (uint32_t i = 0; i < spi::DATA_SHIFTS; ++i) {
        indexed_reg_write(spi::SPI_DATA_OUT, spi::SPI_DUMMY);
        value = indexed_reg_read(spi::SPI_DATA_IN);
    }
    indexed_reg_write(spi::SPI_CONTROL, spi::SPI_CONTROL_IDLE);
    port_write8(spi::SMI_CMD_PORT, spi::SMI_FLASH_ACCESS_END);
    return value;
}
