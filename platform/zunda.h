// ZUNDA.dll: the board maker's hardware-access library, KOVA.dll's only
// import. It performs privileged port I/O, maps physical memory into the
// process, allocates physically contiguous memory and calls into the
// installed firmware. On a real board the maker's DLL provides these; in
// this repository the board simulator does.
#ifndef ZUNDA_H
#define ZUNDA_H

#include <stdint.h>

#if defined(_WIN32)
#define ZUNDA_CALL __stdcall
#if defined(ZUNDA_BUILD)
#define ZUNDA_API
#else
#define ZUNDA_API __declspec(dllimport)
#endif
#else
#define ZUNDA_CALL
#define ZUNDA_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Command record exchanged with the firmware's flash interface: 17 bytes,
// packed, little-endian, passed to SEG32_CALLBACK by value.
typedef struct __attribute__((packed)) flash_command_record {
    uint32_t transfer_address;  // physical address of the transfer buffer
    uint32_t flash_address;     // physical address of the flash block
    uint32_t length;            // block length in bytes
    uint32_t check;             // ~word_sum of the block in the transfer buffer
    uint8_t code;               // function code
} flash_command_record;

#ifdef __cplusplus
static_assert(sizeof(flash_command_record) == 17, "command record is 17 bytes");
#else
_Static_assert(sizeof(flash_command_record) == 17, "command record is 17 bytes");
#endif

// Reads `size` bytes (1, 2 or 4) from an I/O port into the low bytes of
// *value. Returns a success flag.
ZUNDA_API uint32_t ZUNDA_CALL GetPortVal(uint32_t port, uint32_t* value, uint32_t size);
// Writes the low `size` bytes of `value` to an I/O port. Returns a success flag.
ZUNDA_API uint32_t ZUNDA_CALL SetPortVal(uint32_t port, uint32_t value, uint32_t size);
// Maps `length` bytes of physical memory; null on failure. *handle names the
// mapping for UnmapPhysicalMemory.
ZUNDA_API void* ZUNDA_CALL MapPhysToLin(uint32_t physical, uint32_t length, uint32_t* handle);
ZUNDA_API uint32_t ZUNDA_CALL UnmapPhysicalMemory(uint32_t handle, void* linear);
// Allocates physically contiguous memory; returns its physical address, 0 on
// failure. *handle names the block for FreePhysMemory.
ZUNDA_API uint32_t ZUNDA_CALL AllocatePhysMemory(uint32_t length, uint32_t* handle);
ZUNDA_API uint32_t ZUNDA_CALL FreePhysMemory(uint32_t handle);
// Hands the command record to the firmware; returns once it has acted.
ZUNDA_API void ZUNDA_CALL SEG32_CALLBACK(uint32_t handle, flash_command_record record);

#ifdef __cplusplus
}
#endif

#endif
