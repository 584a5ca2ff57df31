// ZUNDA.dll standing for the real board: no control interface, so a host
// drives it exactly as it drives the maker's library on the board. A real
// board keeps what was written to it; this one keeps it in the directory
// ZUNDA_SIM_BOARD names, saved when the process ends (a process killed
// before that leaves the board as it was). Without a board it refuses
// every mapping, as the maker's library does without its driver.
#include <windows.h>

#include "board.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        sim::refuse_memory_without_board();
    }
    if (reason == DLL_PROCESS_DETACH) {
        sim::save_environment_board();
    }
    return TRUE;
}
