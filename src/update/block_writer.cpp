#include "update/block_writer.h"

#include "frame/bytes.h"
#include "kova.h"
#include "update/flash_interface.h"
#include "update/resources.h"

namespace kova {

using namespace writer;

namespace {

uint32_t mode_flags;

bool counting_only(uint32_t handle) { return handle == 0 || (mode_flags & MODE_VERIFY_ONLY) != 0; }

// The length the firmware left in the record, if the library can use it:
// at least one byte and no more than it stored, so the copy stays inside the
// transfer buffer and the walk inside its region.
bool record_length_sane(const flash_command_record* record, uint32_t stored) {
    uint32_t n = record->length;
    return n >= 1 && n <= stored;
}

// Prepares and writes one block through the firmware: the record carries its
// flash address and length already.
bool write_block(const uint8_t* source, uint32_t stored, uint32_t handle) {
    flash_command_record* record = command_record();
    const update_resources& r = held_resources();
    notify(fwif::CODE_PREPARE, handle);
    if (!record_length_sane(record, stored)) {
        return false;
    }
    uint32_t n = record->length;
    copy_bytes(r.transfer_mapping.linear, source, n);
    record->check = ~word_sum(r.transfer_mapping.linear, n);
    notify(fwif::CODE_WRITE, handle);
    KOVA_block_count -= 1;
    return true;
}

}  // namespace

void store_mode_flags(uint32_t flags) { mode_flags = flags; }

uint32_t write_region(uint32_t offset, const uint8_t* source, uint32_t length, uint32_t handle) {
    flash_command_record* record = command_record();
    const uint8_t* flash = held_resources().flash_window.linear;
    uint32_t writes = 0;  // of the block at `offset`
    while (length != 0) {
        uint32_t stored = length < BLOCK_BYTES ? length : BLOCK_BYTES;
        record->flash_address = offset - FLASH_SIZE;
        record->length = stored;
        record->code = fwif::CODE_COMPARE;
        bool differs = block_compare(flash + offset, source, stored) != 0;
        if (differs && counting_only(handle)) {
            KOVA_block_count += 1;
        } else if (differs) {
            // Not advancing: the block is compared again after the write.
            if (writes == MAX_BLOCK_WRITES || !write_block(source, stored, handle)) {
                return REGION_FAILED;
            }
            ++writes;
            continue;
        }
        if (!record_length_sane(record, stored)) {
            return REGION_FAILED;
        }
        uint32_t n = record->length;
        offset += n;
        source += n;
        length -= n;
        writes = 0;
    }
    return REGION_DONE;
}

}  // namespace kova
