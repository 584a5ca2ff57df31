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

// Loads the board directory (missing files keep power-on defaults) and
// remembers it for SimSaveBoard. 1 on success, 0 on a bad board file.
ZUNDA_API uint32_t ZUNDA_CALL SimOpenBoard(const char* dir);
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

#ifdef __cplusplus
}
#endif

#endif
