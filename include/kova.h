// KOVA.dll: BIOS flash and board-device library for the K5R board.
//
// This is the host's view of the library. A host on Windows loads KOVA.dll
// with LoadLibrary and resolves every name below with GetProcAddress; the
// data exports are read and written in place through the address returned.
// Every function uses the __stdcall convention and takes and returns
// 32-bit values. In the native (Linux) build the calling-convention macro is
// empty and the names are ordinary C symbols.
#ifndef KOVA_H
#define KOVA_H

#include <stdint.h>

#if defined(_WIN32)
#define KOVA_CALL __stdcall
#else
#define KOVA_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Identity of the board and build, for display only: the library never reads
// them back, so a host that overwrites them changes no behaviour.
extern char KOVA_mb[4];             // board model, "K5R"
extern char KOVA_customer[8];       // vendor, "ZALT"
extern char KOVA_major_version[4];  // "05"
extern char KOVA_minor_version[4];  // "01"
extern char KOVA_date[12];          // build date, month/day/year
extern uint32_t KOVA_flash_size;    // 0x200000, the flash and image size

// Status text of the last update phase, NUL-terminated.
extern char KOVA_message[128];
// Reserved for the host; the library neither reads nor writes it.
extern uint32_t KOVA_caller_id;
// Block tally of the update walk: +1 per differing block in a dry run,
// -1 per block write. Aligned 32-bit, so another thread reads whole values.
extern int32_t KOVA_block_count;

// Reads one byte of embedded-controller RAM (index: low 8 bits).
// Returns the byte (0..255). When the controller does not answer within the
// mailbox's poll limit the result is 0xFF, which is indistinguishable from a
// stored 0xFF: this export has no other way to report a dead controller.
uint32_t KOVA_CALL KOVA_get_ec_ram(uint32_t index);

// Writes one byte of embedded-controller RAM (index and value: low 8 bits).
// When the controller stops answering, nothing further is sent.
void KOVA_CALL KOVA_set_ec_ram(uint32_t index, uint32_t value);

// Kept for hosts that call it; does nothing.
void KOVA_CALL KOVA_INIT_SATA(void);

#ifdef __cplusplus
}
#endif

#endif
