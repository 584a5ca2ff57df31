// The host's binding to the library: the exports it uses, resolved either by
// linking (native build, simulated board linked in) or with
// LoadLibrary/GetProcAddress (Windows build, KOVA.dll and ZUNDA.dll beside
// the program).
#ifndef KOVAFLASH_API_H
#define KOVAFLASH_API_H

#include <cstdint>
#include <string>

#include "kova.h"

struct KovaApi {
    const char* mb = nullptr;
    const char* customer = nullptr;
    const char* major_version = nullptr;
    const char* minor_version = nullptr;
    const char* date = nullptr;
    const uint32_t* flash_size = nullptr;
    const char* message = nullptr;
    uint32_t(KOVA_CALL* get_ec_ram)(uint32_t) = nullptr;
    void(KOVA_CALL* set_ec_ram)(uint32_t, uint32_t) = nullptr;
};

// Binds the library and opens the board: the simulated board in `board_dir`
// (created on first use) where a simulator stands behind the library, the
// real one otherwise. Returns an empty string or the reason it failed.
std::string open_kova(KovaApi& api, const std::string& board_dir);
// Saves the simulated board's state back to its directory. Empty or reason.
std::string close_kova();

#endif
