#include "update/flash_interface.h"

#include "frame/bytes.h"
#include "frame/port.h"

namespace kova {

using namespace fwif;

namespace {

constexpr uint32_t RECORD_BYTES = sizeof(flash_command_record);

// The stand-in interface: zero at load; the record keeps its values from one
// update call to the next, as the firmware's own record would.
flash_interface_block default_block;
flash_command_record default_record;

// The choice of the current update call.
flash_interface_block* chosen_block = &default_block;
flash_command_record* chosen_record = &default_record;

// A candidate is usable only when its fields and its record both lie inside
// the window, so that nothing is read or written past it.
bool fits_in_window(const uint8_t* fseg_window, uint32_t k) {
    if (uint64_t(k) + sizeof(flash_interface_block) > FSEG_LENGTH) {
        return false;
    }
    uint32_t record_offset = reinterpret_cast<const flash_interface_block*>(fseg_window + k)->record_offset;
    return uint64_t(k) + record_offset + RECORD_BYTES <= FSEG_LENGTH;
}

void write_notify_port(uint8_t code) { port_write8(chosen_block->notify_port, code); }

}  // namespace

void locate_flash_interface(uint8_t* fseg_window) {
    uint32_t from = 0;
    while (from < FSEG_LENGTH) {
        uint32_t k = find_pattern(fseg_window + from, FSEG_LENGTH - from, INTERFACE_SIGNATURE);
        if (k == BYTES_NOT_FOUND) {
            break;
        }
        k += from;
        if (fits_in_window(fseg_window, k)) {
            chosen_block = reinterpret_cast<flash_interface_block*>(fseg_window + k);
            chosen_record =
                reinterpret_cast<flash_command_record*>(fseg_window + k + chosen_block->record_offset);
            return;
        }
        from = k + 1;  // passed over: search on after it
    }
    chosen_block = &default_block;
    chosen_record = &default_record;
    default_block.notify_port = DEFAULT_NOTIFY_PORT;
}

flash_command_record* command_record() { return chosen_record; }

void notify(uint8_t code, uint32_t handle) {
    if (code == CODE_BEGIN) {
        write_notify_port(code);
    }
    chosen_record->code = code;
    if (handle != 0) {
        SEG32_CALLBACK(handle, *chosen_record);
    }
    if (code != CODE_BEGIN) {
        write_notify_port(code);
    }
}

}  // namespace kova
