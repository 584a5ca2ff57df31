// What an update call holds from the hardware-access library: three
// physical windows and the 4 KiB transfer buffer. Acquired in a fixed order,
// released in a fixed order when the exported entry returns, whatever the
// outcome.
#ifndef KOVA_UPDATE_RESOURCES_H
#define KOVA_UPDATE_RESOURCES_H

#include <stdint.h>
#include "flash_map.h"

namespace kova {

namespace res {
constexpr uint32_t FLASH_PHYSICAL = flashmap::FLASH_BASE;  // flash offset 0
constexpr uint32_t FLASH_LENGTH = flashmap::FLASH_SIZE;
constexpr uint32_t TRANSFER_LENGTH = 0x1000;
}  // namespace res

struct mapping_slot {
    uint8_t* linear;  // null when not held
    uint32_t handle;
};

struct update_resources {
    mapping_slot flash_window;
    mapping_slot fseg_window;
    mapping_slot top_window;
    mapping_slot transfer_mapping;
    uint32_t transfer_physical;
    uint32_t transfer_handle;
    bool transfer_allocated;  // held: a handle of 0 may be valid
};

// Acquires, in order, the flash window, the F-segment window, the top
// window, the transfer buffer and its mapping. Stops at the first that
// fails and returns false; what was acquired stays held until
// release_update_resources.
bool acquire_update_resources();
// Releases what is held, in order: flash window, F-segment window, top
// window, transfer mapping, transfer allocation; empties every slot.
void release_update_resources();
// The slots of the current call.
const update_resources& held_resources();

}  // namespace kova

#endif
