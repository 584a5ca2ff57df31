// The board maker's ZUNDA.dll, renamed ZUNDA-maker.dll and loaded from the
// recorder's own folder: its seven operations, forwarded to unchanged.
#ifndef KOVA_TRACE_RECORDER_MAKER_H
#define KOVA_TRACE_RECORDER_MAKER_H

#include <windows.h>

#include <string>

#include "zunda.h"

namespace recorder {

constexpr wchar_t MAKER_DLL_NAME[] = L"ZUNDA-maker.dll";

struct Maker {
    uint32_t(ZUNDA_CALL* get_port)(uint32_t, uint32_t*, uint32_t) = nullptr;
    uint32_t(ZUNDA_CALL* set_port)(uint32_t, uint32_t, uint32_t) = nullptr;
    void*(ZUNDA_CALL* map)(uint32_t, uint32_t, uint32_t*) = nullptr;
    uint32_t(ZUNDA_CALL* unmap)(uint32_t, void*) = nullptr;
    uint32_t(ZUNDA_CALL* allocate)(uint32_t, uint32_t*) = nullptr;
    uint32_t(ZUNDA_CALL* free)(uint32_t) = nullptr;
    void(ZUNDA_CALL* callback)(uint32_t, flash_command_record) = nullptr;
    HMODULE module = nullptr;
    std::wstring path;  // where it was looked for
    std::string error;  // why it is not loaded; empty when it is
};

// Loads the maker's library once; later calls return the same, until
// release_maker lets it go (it then finishes its work with the board as it
// unloads, as when it was ZUNDA.dll itself).
const Maker& maker();
void release_maker();
// The folder of the module holding `address`, with its trailing separator.
std::wstring module_folder(const void* address);

}  // namespace recorder

#endif
