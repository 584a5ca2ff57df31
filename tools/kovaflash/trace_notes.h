// With a recording ZUNDA.dll in place, every call into KOVA.dll is told to
// it before it is made (the entry and its arguments; an image by its
// SHA-256, and KOVA_block_count as it stands) and after it returns (the result, KOVA_block_count and
// KOVA_message), so that a replay of the trace makes the same calls and
// compares the same outcome. The notes are lines of text:
//   call KOVA_update_bios_firmware image-sha256=HEX handle=1 flags=0 count=0
//   return 0x00000000 count=-528 message=BIOS update successfully completed.
#ifndef KOVAFLASH_TRACE_NOTES_H
#define KOVAFLASH_TRACE_NOTES_H

#include "api.h"

// Routes `api`'s calls through the notes, told with `note`.
void add_trace_notes(KovaApi& api, void(KOVA_CALL* note)(const char*));

#endif
