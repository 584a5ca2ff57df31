#include "frame/port.h"

#include "zunda.h"

namespace kova {

namespace {

constexpr uint32_t PORT_SIZE8 = 1;

}  // namespace

uint8_t port_read8(uint16_t port) {
    uint32_t value = PORT_FLOATING_VALUE;
    GetPortVal(port, &value, PORT_SIZE8);
    return static_cast<uint8_t>(value & 0xFFu);
}

void port_write8(uint16_t port, uint8_t value) { SetPortVal(port, value, PORT_SIZE8); }

}  // namespace kova
