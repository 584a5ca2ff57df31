#include "devices.h"

namespace sim {

uint32_t IndexedWindow::read(uint16_t port, unsigned) {
    switch (port) {
    case window::IDX_ADDR_HIGH:
        return high_;
    case window::IDX_ADDR_LOW:
        return low_;
    default: {
        uint8_t v = regs[selected()];
        if (read_hook) {
            read_hook(selected(), v);
        }
        return v;
    }
    }
}

void IndexedWindow::write(uint16_t port, unsigned, uint32_t value) {
    uint8_t v = uint8_t(value);
    switch (port) {
    case window::IDX_ADDR_HIGH:
        high_ = v;
        break;
    case window::IDX_ADDR_LOW:
        low_ = v;
        break;
    default:
        if (!(write_hook && write_hook(selected(), v))) {
            regs[selected()] = v;
        }
        break;
    }
}

}  // namespace sim
