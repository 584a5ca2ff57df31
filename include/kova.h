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

// Validates the 2 MiB image at `image` (read only), confirms the installed
// firmware belongs to this board, then rewrites every 4 KiB flash block that
// differs from the image through the firmware's flash interface (callback
// `handle`; 0 makes no callbacks and writes nothing). `flags` bit 0 set:
// verify only, count differing blocks in KOVA_block_count. Each write
// subtracts one from KOVA_block_count. Returns 0 or a failure code:
//   0x80000000 image integrity   0x80000001 platform tag   0x80000002 board model
//   0x80000003 second string     0x80000004 vendor          0x80000005 revision
//   0x80000010 no boot-info      0x80000020 driver shell    0x80000030 flash write
// and leaves the phase's message in KOVA_message.
uint32_t KOVA_CALL KOVA_update_bios_firmware(const void* image, uint32_t handle, uint32_t flags);

// Sets KOVA_block_count to 0 and runs the update in verify-only mode: the
// count of differing blocks is left in KOVA_block_count. Same codes.
uint32_t KOVA_CALL KOVA_check_bios_image(const void* image, uint32_t handle, uint32_t flags);

// Reads one byte of embedded-controller RAM (index: low 8 bits).
// Returns the byte (0..255). When the controller does not answer within the
// mailbox's poll limit the result is 0xFF, which is indistinguishable from a
// stored 0xFF: this export has no other way to report a dead controller.
uint32_t KOVA_CALL KOVA_get_ec_ram(uint32_t index);

// Writes one byte of embedded-controller RAM (index and value: low 8 bits).
// When the controller stops answering, nothing further is sent.
void KOVA_CALL KOVA_set_ec_ram(uint32_t index, uint32_t value);

// Reads the serial flash through the board's serial-flash engine: sends the
// fast-read command 0x0B with the 24-bit `address` (bits 31..24 ignored) and
// a dummy byte, clocks sixteen data bytes and returns the last of them
// (0..255). On a standard part that is the byte at address + 15. Port 0xB2
// gets 0x20 before and 0x24 after.
uint32_t KOVA_CALL KOVA_read_flash_byte(uint32_t address);

// One SMBus write transaction on the chipset's host controller (I/O 0x400):
// byte data, word data (value: low 16 bits) or block (only the byte count is
// loaded; the controller's block buffer is sent as it stands). `slave` is
// the 8-bit address form, bit 0 is cleared. Returns final host status * 256
// + data 0: status bit 1 done, bit 2 device error, bit 3 bus error, bit 4
// failed. A controller that never goes idle gets no transaction; one that
// never finishes is stopped with KILL (status bit 4).
uint32_t KOVA_CALL KOVA_smbus_write_byte(uint32_t slave, uint32_t command, uint32_t value);
uint32_t KOVA_CALL KOVA_smbus_write_word(uint32_t slave, uint32_t command, uint32_t value);
uint32_t KOVA_CALL KOVA_smbus_write_block(uint32_t slave, uint32_t command, uint32_t count);

// Takes the ACPI global lock shared with the firmware and the OS; spins
// until it is owned. Returns at once, doing nothing, when the ACPI tables
// name no reachable FACS. Pair every call with one release.
void KOVA_CALL ACPI_require_global_lock(void);
// Gives the lock back and signals the firmware (port 0x830 bit 7) when it
// was waiting for it.
void KOVA_CALL ACPI_release_global_lock(void);

// Kept for hosts that call it; does nothing.
void KOVA_CALL KOVA_INIT_SATA(void);

#ifdef __cplusplus
}
#endif

#endif
