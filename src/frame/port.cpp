#include "frame/port.h"

#include "zunda.h"

namespace kova {

namespace {

constexpr uint32_t PORT_SIZE8 = 1;
constexpr uint32_t PORT_SIZE16 = 2;
constexpr uint32_t PORT_SIZE32 = 4;

uint32_t port_read(uint16_t port, uint32_t size) {
    uint32_t value = PORT_FLOATING_VALUE;
    GetPortVal(port, &value, size);
    return value;
}

}  // namespace

uint8_t port_read8(uint16_t port) { return static_cast<uint8_t>(port_read(port, PORT_SIZE8) & 0xFFu); }

uint16_t port_read16(uint16_t port) { return static_cast<uint16_t>(port_read(port, PORT_SIZE16) & 0xFFFFu); }

uint32_t port_read32(uint16_t port) { return port_read(port, PORT_SIZE32); }

void port_write8(uint16_t port, uint8_t value) { SetPortVal(port, value, PORT_SIZE8); }

void port_write16(uint16_t port, uint16_t value) { SetPortVal(port, value, PORT_SIZE16); }

void port_write32(uint16_t port, uint32_t value) { SetPortVal(port, value, PORT_SIZE32); }

}  // namespace kova
