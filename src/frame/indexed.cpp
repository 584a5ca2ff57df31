#include "frame/indexed.h"

#include "frame/port.h"

namespace kova {

namespace {

// The high address byte is written on every access, even when unchanged: the
// window latches nothing the library could rely on between calls.
void select_register(uint16_t reg) {
    port_write8(idx::IDX_ADDR_HIGH, static_cast<uint8_t>(reg >> 8));
    port_write8(idx::IDX_ADDR_LOW, static_cast<uint8_t>(reg & 0xFFu));
}

}  // namespace

uint8_t indexed_reg_read(uint16_t reg) {
    select_register(reg);
    return port_read8(idx::IDX_DATA);
}

void indexed_reg_write(uint16_t reg, uint8_t value) {
    select_register(reg);
    port_write8(idx::IDX_DATA, value);
}

}  // namespace kova
