#include "kova.h"

// Hosts of this library family call KOVA_INIT_SATA before other work; on this
// board there is nothing to set up, so it returns at once without touching
// any state or hardware.
extern "C" void KOVA_CALL KOVA_INIT_SATA(void) {}
