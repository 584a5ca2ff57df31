#include "update/resources.h"

#include "update/flash_interface.h"
#include "update/identity.h"
#include "zunda.h"

namespace kova {

namespace {

update_resources slots;

bool map_into(mapping_slot* slot, uint32_t physical, uint32_t length) {
    uint32_t handle = 0;
    void* linear = MapPhysToLin(physical, length, &handle);
    if (linear == nullptr) {
        return false;
    }
    slot->linear = static_cast<uint8_t*>(linear);
    slot->handle = handle;
    return true;
}

void unmap(mapping_slot* slot) {
    if (slot->linear != nullptr) {
        UnmapPhysicalMemory(slot->handle, slot->linear);
        slot->linear = nullptr;
        slot->handle = 0;
    }
}

bool allocate_transfer() {
    uint32_t handle = 0;
    uint32_t physical = AllocatePhysMemory(res::TRANSFER_LENGTH, &handle);
    if (physical == 0) {
        return false;
    }
    slots.transfer_physical = physical;
    slots.transfer_handle = handle;
    slots.transfer_allocated = true;
    return true;
}

}  // namespace

bool acquire_update_resources() {
    return map_into(&slots.flash_window, res::FLASH_PHYSICAL, res::FLASH_LENGTH) &&
           map_into(&slots.fseg_window, fwif::FSEG_PHYSICAL, fwif::FSEG_LENGTH) &&
           map_into(&slots.top_window, identity::TOP_WINDOW_PHYSICAL, identity::TOP_WINDOW_LENGTH) &&
           allocate_transfer() &&
           map_into(&slots.transfer_mapping, slots.transfer_physical, res::TRANSFER_LENGTH);
}

void release_update_resources() {
    unmap(&slots.flash_window);
    unmap(&slots.fseg_window);
    unmap(&slots.top_window);
    unmap(&slots.transfer_mapping);
    if (slots.transfer_allocated) {
        FreePhysMemory(slots.transfer_handle);
        slots.transfer_allocated = false;
        slots.transfer_handle = 0;
        slots.transfer_physical = 0;
    }
}

const update_resources& held_resources() { return slots; }

}  // namespace kova
