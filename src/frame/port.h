// Port access on top of ZUNDA.dll's GetPortVal/SetPortVal. The success flag
// of the underlying call is not examined: the board's ports do not fail.
#ifndef KOVA_FRAME_PORT_H
#define KOVA_FRAME_PORT_H

#include <stdint.h>

namespace kova {

// Value assumed when GetPortVal stores nothing: an undriven ISA bus reads as
// all ones, so a failed read looks like an absent device, not like data 0.
constexpr uint32_t PORT_FLOATING_VALUE = 0xFFFFFFFF;

// Every register the library touches is a byte wide.
uint8_t port_read8(uint16_t port);
void port_write8(uint16_t port, uint8_t value);

}  // namespace kova

#endif
