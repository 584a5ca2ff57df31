// Windows build: KOVA.dll is loaded the way a host on the board loads it.
// When the ZUNDA.dll beside it is the board simulator, its control
// interface opens and saves the board directory; a real ZUNDA.dll has no
// such exports and the real hardware is used.
#include <windows.h>

#include "api.h"

namespace {

HMODULE kova = nullptr;
HMODULE zunda = nullptr;

template <typename T>
bool resolve(T& slot, const char* name) {
    slot = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(kova, name)));
    return slot != nullptr;
}

}  // namespace

std::string open_kova(KovaApi& api, const std::string& board_dir) {
    kova = LoadLibraryA("KOVA.dll");
    if (!kova) {
        return "cannot load KOVA.dll (error " + std::to_string(GetLastError()) + ")";
    }
    bool ok = resolve(api.mb, "KOVA_mb") && resolve(api.customer, "KOVA_customer") &&
              resolve(api.major_version, "KOVA_major_version") &&
              resolve(api.minor_version, "KOVA_minor_version") && resolve(api.date, "KOVA_date") &&
              resolve(api.flash_size, "KOVA_flash_size") && resolve(api.message, "KOVA_message") &&
              resolve(api.get_ec_ram, "KOVA_get_ec_ram") && resolve(api.set_ec_ram, "KOVA_set_ec_ram");
    if (!ok) {
        return "KOVA.dll lacks an expected export";
    }
    zunda = GetModuleHandleA("ZUNDA.dll");
    auto open = reinterpret_cast<uint32_t(WINAPI*)(const char*)>(
        reinterpret_cast<void*>(zunda ? GetProcAddress(zunda, "SimOpenBoard") : nullptr));
    if (open && open(board_dir.c_str()) == 0) {
        return "cannot load board from " + board_dir;
    }
    return {};
}

std::string close_kova() {
    auto save = reinterpret_cast<uint32_t(WINAPI*)()>(
        reinterpret_cast<void*>(zunda ? GetProcAddress(zunda, "SimSaveBoard") : nullptr));
    if (save && save() == 0) {
        return "cannot save board";
    }
    return {};
}
