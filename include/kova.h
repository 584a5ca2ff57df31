/*
 * KOVA.dll: BIOS flash and board-device library for the K5R board.
 *
 * This is the host's view of the library. It compiles as C89, C99 and C++.
 * A host on Windows either links the import library (libKOVA.dll.a for
 * MinGW, KOVA.lib for MSVC) and calls the names below directly, or loads
 * KOVA.dll with LoadLibrary and resolves them with GetProcAddress; the data
 * exports are read and written in place. Every function uses the __stdcall
 * convention and takes and returns 32-bit values; the names are exported
 * undecorated. KOVA.dll's only import is ZUNDA.dll, the board maker's
 * hardware-access library, which must be found beside it.
 *
 * A host defines no macro before including this header. KOVA_BUILD is
 * defined only while the library itself is compiled: it drops the import
 * declarations, so a host that defines it fails an MSVC-style link (MinGW's
 * ld links it anyway by auto-import, unless --disable-auto-import).
 *
 * In the native (Linux) build the calling-convention and import macros are
 * empty and the names are ordinary C symbols.
 */
#ifndef KOVA_H
#define KOVA_H

/*
 * The library's version: KOVA_major_version and KOVA_minor_version hold these
 * numbers as two digits each ("05", "01"), and KOVA.dll's version resource and
 * PE image version say the same.
 */
#define KOVA_VERSION_MAJOR 5
#define KOVA_VERSION_MINOR 1
#define KOVA_VERSION_STRING "05.01"

#if defined(_WIN32)
#define KOVA_CALL __stdcall
#if defined(KOVA_BUILD)
#define KOVA_API
#else
#define KOVA_API __declspec(dllimport)
#endif
#else
#define KOVA_CALL
#define KOVA_API
#endif

/* The interface's 32-bit integers: the C99 names where the compiler has them. */
#if defined(__cplusplus) || (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 199901L) || \
    (defined(_MSC_VER) && _MSC_VER >= 1600)
#include <stdint.h>
typedef uint32_t kova_u32;
typedef int32_t kova_s32;
#else
typedef unsigned int kova_u32; /* 32 bits with every Windows and Linux compiler */
typedef int kova_s32;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Identity of the board and build, for display only: the library never reads
 * them back, so a host that overwrites them changes no behaviour.
 */
KOVA_API extern char KOVA_mb[4];            /* board model, "K5R" */
KOVA_API extern char KOVA_customer[8];      /* vendor, "ZALT" */
KOVA_API extern char KOVA_major_version[4]; /* "05" */
KOVA_API extern char KOVA_minor_version[4]; /* "01" */
KOVA_API extern char KOVA_date[12];         /* build date, month/day/year, "03/24/2009" */
KOVA_API extern kova_u32 KOVA_flash_size;   /* 0x200000, the flash and image size */

/* Status text of the last update phase, NUL-terminated. */
KOVA_API extern char KOVA_message[128];
/* Reserved for the host; the library neither reads nor writes it. */
KOVA_API extern kova_u32 KOVA_caller_id;
/*
 * Block tally of the update walk: +1 per differing block in a dry run, -1
 * per block write. Aligned 32-bit, so another thread reads whole values.
 */
KOVA_API extern kova_s32 KOVA_block_count;

/*
 * Result codes of the two update entries, with the text each leaves in
 * KOVA_message (hosts match these texts; spelling and trailing blanks are
 * part of them):
 *   0x00000000  "BIOS update successfully completed. " (update)
 *               "Image validation sucessfully completed. " (check)
 *   0x80000000  "Image integrity check failed."  boot-block sum, module chain, null image
 *   0x80000001  "Invalid image. "   installed platform tag is not this board's
 *   0x80000002  "Invalid image. "   installed board model differs
 *   0x80000003  "Invalid image. "   installed second identity string differs
 *   0x80000004  "Invalid image. "   installed vendor differs
 *   0x80000005  "Image outdated. "  installed revision above what this library updates
 *   0x80000010  "Invalid image. "   no boot-info block in the installed firmware
 *   0x80000020  "Driver shell error."  a memory window or the transfer buffer was refused
 *   0x80000030  "Flash write failed."  a block would not take, or the firmware misbehaved
 */
#define KOVA_SUCCESS 0x00000000u
#define KOVA_ERR_IMAGE_INTEGRITY 0x80000000u
#define KOVA_ERR_PLATFORM_TAG 0x80000001u
#define KOVA_ERR_BOARD_MODEL 0x80000002u
#define KOVA_ERR_SECOND_STRING 0x80000003u
#define KOVA_ERR_VENDOR 0x80000004u
#define KOVA_ERR_REVISION 0x80000005u
#define KOVA_ERR_NO_BOOT_INFO 0x80000010u
#define KOVA_ERR_DRIVER_SHELL 0x80000020u
#define KOVA_ERR_FLASH_WRITE 0x80000030u

/*
 * Validates the 2 MiB image at `image` (read only), confirms the installed
 * firmware belongs to this board, then rewrites every 4 KiB flash block that
 * differs from the image through the firmware's flash interface (callback
 * `handle`; 0 makes no callbacks and writes nothing). `flags` bit 0 set:
 * verify only, count differing blocks in KOVA_block_count. Each write
 * subtracts one from KOVA_block_count. Returns 0 or a failure code above and
 * leaves the phase's message in KOVA_message.
 */
KOVA_API kova_u32 KOVA_CALL KOVA_update_bios_firmware(const void* image, kova_u32 handle, kova_u32 flags);

/*
 * Sets KOVA_block_count to 0 and runs the update in verify-only mode: the
 * count of differing blocks is left in KOVA_block_count. Same codes.
 */
KOVA_API kova_u32 KOVA_CALL KOVA_check_bios_image(const void* image, kova_u32 handle, kova_u32 flags);

/*
 * Reads one byte of embedded-controller RAM (index: low 8 bits). Returns the
 * byte (0..255). When the controller does not answer within the mailbox's
 * poll limit the result is 0xFF, which is indistinguishable from a stored
 * 0xFF: this export has no other way to report a dead controller.
 */
KOVA_API kova_u32 KOVA_CALL KOVA_get_ec_ram(kova_u32 index);

/*
 * Writes one byte of embedded-controller RAM (index and value: low 8 bits).
 * When the controller stops answering, nothing further is sent.
 */
KOVA_API void KOVA_CALL KOVA_set_ec_ram(kova_u32 index, kova_u32 value);

/*
 * Reads the serial flash through the board's serial-flash engine: sends the
 * fast-read command 0x0B with the 24-bit `address` (bits 31..24 ignored) and
 * a dummy byte, clocks sixteen data bytes and returns the last of them
 * (0..255). On a standard part that is the byte at address + 15. Port 0xB2
 * gets 0x20 before and 0x24 after.
 */
KOVA_API kova_u32 KOVA_CALL KOVA_read_flash_byte(kova_u32 address);

/*
 * One SMBus write transaction on the chipset's host controller (I/O 0x400):
 * byte data, word data (value: low 16 bits) or block (only the byte count is
 * loaded; the controller's block buffer is sent as it stands). `slave` is
 * the 8-bit address form, bit 0 is cleared. Returns final host status * 256
 * + data 0: status bit 1 done, bit 2 device error, bit 3 bus error, bit 4
 * failed. A controller that never goes idle gets no transaction; one that
 * never finishes is stopped with KILL (status bit 4).
 */
KOVA_API kova_u32 KOVA_CALL KOVA_smbus_write_byte(kova_u32 slave, kova_u32 command, kova_u32 value);
KOVA_API kova_u32 KOVA_CALL KOVA_smbus_write_word(kova_u32 slave, kova_u32 command, kova_u32 value);
KOVA_API kova_u32 KOVA_CALL KOVA_smbus_write_block(kova_u32 slave, kova_u32 command, kova_u32 count);

/*
 * Takes the ACPI global lock shared with the firmware and the OS; spins
 * until it is owned. Returns at once, doing nothing, when the ACPI tables
 * name no reachable FACS. Pair every call with one release.
 */
KOVA_API void KOVA_CALL ACPI_require_global_lock(void);
/*
 * Gives the lock back and signals the firmware (port 0x830 bit 7) when it
 * was waiting for it.
 */
KOVA_API void KOVA_CALL ACPI_release_global_lock(void);

/* Kept for hosts that call it; does nothing. */
KOVA_API void KOVA_CALL KOVA_INIT_SATA(void);

#ifdef __cplusplus
}
#endif

#endif
