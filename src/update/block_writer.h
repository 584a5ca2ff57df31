// Brings one flash region into agreement with the image, 4 KiB at a time:
// a block that matches is skipped; one that differs is counted (verify-only
// mode, or no callback handle) or prepared, copied into the transfer buffer,
// written by the firmware and compared again.
#ifndef KOVA_UPDATE_BLOCK_WRITER_H
#define KOVA_UPDATE_BLOCK_WRITER_H

#include <stdint.h>
#include "flash_map.h"

namespace kova {

namespace writer {
constexpr uint32_t BLOCK_BYTES = flashmap::BLOCK_SIZE;
// A block that still reads back different after this many writes will not
// take (write-protected or failing part): the walk stops and reports it.
constexpr uint32_t MAX_BLOCK_WRITES = 4;
constexpr uint32_t MODE_VERIFY_ONLY = 0x01;  // bit 0 of the mode flags
// Record flash address = flash offset - 2 MiB, modulo 2^32.
constexpr uint32_t FLASH_SIZE = flashmap::FLASH_SIZE;
constexpr uint32_t REGION_DONE = 1;
constexpr uint32_t REGION_FAILED = 0;
}  // namespace writer

// The mode flags of the current update call.
void store_mode_flags(uint32_t flags);

// Walks the `length` bytes (a multiple of 4 KiB) at flash offset `offset`
// against `source`. Returns REGION_DONE, or REGION_FAILED when a block would
// not take within MAX_BLOCK_WRITES writes or the firmware left a length in
// the record outside 1 to what the library stored; nothing more is touched
// then. Uses the flash window and transfer buffer of the current call.
uint32_t write_region(uint32_t offset, const uint8_t* source, uint32_t length, uint32_t handle);

}  // namespace kova

#endif
