// Control interface of the simulated ZUNDA.dll: what a test program or the
// host tool under Wine uses to open a board directory and look inside the
// board. A real ZUNDA.dll has none of these, so callers treat them as
// optional.
#ifndef SIM_CONTROL_H
#define SIM_CONTROL_H

#include <stdint.h>

#include "zunda.h"

#ifdef __cplusplus
extern "C" {
#endif

// Loads the board directory, whose three files must all be there and
// whole, and remembers it for SimSaveBoard. 1 on success, 0 on a missing
// or bad board file (and then nothing is loaded).
ZUNDA_API uint32_t ZUNDA_CALL SimOpenBoard(const char* dir);
// Remembers `dir` for SimSaveBoard without loading anything: the board
// keeps the state it has (at power-on, a new board). 1 on success.
ZUNDA_API uint32_t ZUNDA_CALL SimCreateBoard(const char* dir);
// Saves the board to the directory opened last. 1 on success.
ZUNDA_API uint32_t ZUNDA_CALL SimSaveBoard(void);
ZUNDA_API uint32_t ZUNDA_CALL SimTraceCount(void);
ZUNDA_API void ZUNDA_CALL SimTraceClear(void);
// Writes of the trace to `port`: returns how many; stores up to `max` values.
ZUNDA_API uint32_t ZUNDA_CALL SimTraceWrites(uint32_t port, uint32_t* values, uint32_t max);
ZUNDA_API uint32_t ZUNDA_CALL SimLiveMappings(void);
ZUNDA_API uint32_t ZUNDA_CALL SimLiveAllocations(void);
ZUNDA_API uint32_t ZUNDA_CALL SimEcRamPeek(uint32_t index);
// 0: a working controller, 1: dead (never takes a byte), 2: mute.
ZUNDA_API void ZUNDA_CALL SimEcSetMode(uint32_t mode);
ZUNDA_API void ZUNDA_CALL SimEcSetBusyReads(uint32_t reads);

// Makes `data` (exactly 2 MiB) the flash contents, i.e. the installed
// firmware. 1 on success.
ZUNDA_API uint32_t ZUNDA_CALL SimWriteFlash(const void* data, uint32_t length);
// Copies `length` bytes of physical memory at `physical` to `out`, past any
// mapping. 1 on success, 0 when the range is not backed by memory.
ZUNDA_API uint32_t ZUNDA_CALL SimReadPhys(uint32_t physical, void* out, uint32_t length);
// Firmware fault modes: SIM_FAULT_NONE clears them all; the others set one,
// with `value` where the mode takes one.
enum {
    SIM_FAULT_NONE = 0,
    SIM_FAULT_WRITE_PROTECT = 1,
    SIM_FAULT_IGNORE_WRITES = 2,
    SIM_FAULT_PARTIAL_WRITE = 3,  // value: bytes programmed per write
    SIM_FAULT_RECORD_LENGTH = 4,  // value: length written into the record on prepare
    SIM_FAULT_POWER_LOSS = 5,     // value: writes before the flash stops changing
};
ZUNDA_API void ZUNDA_CALL SimFirmwareFault(uint32_t fault, uint32_t value);
// SEG32_CALLBACK calls seen with this code (0xFFFFFFFF: all of them).
ZUNDA_API uint32_t ZUNDA_CALL SimFirmwareCallbacks(uint32_t code);
ZUNDA_API void ZUNDA_CALL SimFirmwareClearLog(void);
// Register of the indexed window (0xFEA1: bit 7 skips the update's pass c).
ZUNDA_API void ZUNDA_CALL SimSetRegister(uint32_t reg, uint32_t value);
// A byte of the SMBus EEPROM on the simulated bus.
ZUNDA_API uint32_t ZUNDA_CALL SimSmbusPeek(uint32_t index);
// Makes every MapPhysToLin of `physical` fail (0: none fail).
ZUNDA_API void ZUNDA_CALL SimFailMapping(uint32_t physical);

#ifdef __cplusplus
}
#endif

#endif
