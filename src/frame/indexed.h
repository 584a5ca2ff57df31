// The board's indexed register window: a 16-bit register address written a
// byte at a time to two address ports, then one data port.
#ifndef KOVA_FRAME_INDEXED_H
#define KOVA_FRAME_INDEXED_H

#include <stdint.h>

namespace kova {

namespace idx {
constexpr uint16_t IDX_ADDR_HIGH = 0x381;  // register address bits 15..8
constexpr uint16_t IDX_ADDR_LOW = 0x382;   // register address bits 7..0
constexpr uint16_t IDX_DATA = 0x383;       // register data byte
}  // namespace idx

uint8_t indexed_reg_read(uint16_t reg);
void indexed_reg_write(uint16_t reg, uint8_t value);

}  // namespace kova

#endif
