// Windows build: KOVA.dll is loaded the way a host on the board loads it.
// When the ZUNDA.dll beside it is the board simulator, its control
// interface opens and saves the board directory; a real ZUNDA.dll has no
// such exports and the real hardware is used.
#include <windows.h>

#include <cstdio>

#include "api.h"
#include "trace_notes.h"
#include "trust_store.h"
#include "utf8_path.h"

namespace {

HMODULE kova = nullptr;
HMODULE zunda = nullptr;
bool api_simulated = false;
constexpr uint32_t FLASH_PHYSICAL = flashmap::FLASH_BASE;
constexpr uint32_t FLASH_BYTES = flashmap::FLASH_SIZE;

template <typename T>
bool resolve(HMODULE module, T& slot, const char* name) {
    slot = module ? reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
    return slot != nullptr;
}

}  // namespace

Status bind_kova(KovaApi& api) {
    if (!kova) {  // once a run: one FreeLibrary lets it go
        kova = LoadLibraryA("KOVA.dll");
    }
    if (!kova) {
        return Error{exitcode::FAILED, "cannot load KOVA.dll (" + u8::error_text(GetLastError()) + ")"};
    }
    bool ok = resolve(kova, api.mb, "KOVA_mb") && resolve(kova, api.customer, "KOVA_customer") &&
              resolve(kova, api.major_version, "KOVA_major_version") &&
              resolve(kova, api.minor_version, "KOVA_minor_version") &&
              resolve(kova, api.date, "KOVA_date") && resolve(kova, api.flash_size, "KOVA_flash_size") &&
              resolve(kova, api.message, "KOVA_message") &&
              resolve(kova, api.block_count, "KOVA_block_count") &&
              resolve(kova, api.update_bios_firmware, "KOVA_update_bios_firmware") &&
              resolve(kova, api.check_bios_image, "KOVA_check_bios_image") &&
              resolve(kova, api.get_ec_ram, "KOVA_get_ec_ram") &&
              resolve(kova, api.set_ec_ram, "KOVA_set_ec_ram") &&
              resolve(kova, api.read_flash_byte, "KOVA_read_flash_byte") &&
              resolve(kova, api.smbus_write_byte, "KOVA_smbus_write_byte") &&
              resolve(kova, api.smbus_write_word, "KOVA_smbus_write_word") &&
              resolve(kova, api.smbus_write_block, "KOVA_smbus_write_block") &&
              resolve(kova, api.acquire_global_lock, "ACPI_require_global_lock") &&
              resolve(kova, api.release_global_lock, "ACPI_release_global_lock");
    if (!ok) {
        return Error{exitcode::FAILED, "KOVA.dll lacks an expected export"};
    }
    // The simulator's ZUNDA.dll has a control interface; the board maker's
    // has only the seven operations.
    zunda = GetModuleHandleA("ZUNDA.dll");
    api.simulated = zunda != nullptr && GetProcAddress(zunda, "SimOpenBoard") != nullptr;
    api_simulated = api.simulated;
    // The recording ZUNDA.dll (diagnostics): it is told of every call.
    uint32_t(KOVA_CALL * status)(char*, uint32_t) = nullptr;
    void(KOVA_CALL * note)(const char*) = nullptr;
    if (zunda && resolve(zunda, status, "KovaTraceStatus") && resolve(zunda, note, "KovaTraceNote")) {
        char said[1024] = {};
        status(said, sizeof said);
        api.recording = said;
        add_trace_notes(api, note);
    }
    return std::nullopt;
}

Status load_board(const std::string& board_dir) {
    uint32_t(WINAPI * open)(const char*) = nullptr;
    if (!resolve(zunda, open, "SimOpenBoard") || open(board_dir.c_str()) == 0) {
        return Error{exitcode::USAGE, "cannot load board from " + board_dir};
    }
    return std::nullopt;
}

Status create_board(const std::string& board_dir) {
    uint32_t(WINAPI * create)(const char*) = nullptr;
    if (!resolve(zunda, create, "SimCreateBoard") || create(board_dir.c_str()) == 0) {
        return Error{exitcode::USAGE, "cannot create a board in " + board_dir};
    }
    return std::nullopt;
}

Status save_board() {
    uint32_t(WINAPI * save)() = nullptr;
    if (!resolve(zunda, save, "SimSaveBoard") || save() == 0) {
        return Error{exitcode::ENVIRONMENT, "the simulator could not write the board's files"};
    }
    return std::nullopt;
}

Status read_physical(uint32_t physical, uint32_t length, std::vector<uint8_t>& out) {
    void*(WINAPI * map)(uint32_t, uint32_t, uint32_t*) = nullptr;
    uint32_t(WINAPI * unmap)(uint32_t, void*) = nullptr;
    if (!resolve(zunda, map, "MapPhysToLin") || !resolve(zunda, unmap, "UnmapPhysicalMemory")) {
        return Error{exitcode::FAILED, "ZUNDA.dll lacks MapPhysToLin"};
    }
    uint32_t handle = 0;
    auto* p = static_cast<const uint8_t*>(map(physical, length, &handle));
    if (!p) {
        char at[16];
        std::snprintf(at, sizeof at, "0x%08X", unsigned(physical));
        if (!api_simulated) {
            // What the maker's library does when its kernel driver is not
            // loaded or the process lacks the rights to reach it.
            return Error{exitcode::ENVIRONMENT,
                         std::string("ZUNDA.dll cannot map physical memory at ") + at +
                             ": its hardware-access driver is not loaded, or kovaflash.exe does not run as "
                             "administrator; install the board maker's ZUNDA driver and start kovaflash.exe "
                             "from an elevated prompt (Run as administrator)"};
        }
        return Error{exitcode::FAILED, std::string("cannot map physical memory at ") + at};
    }
    out.assign(p, p + length);
    unmap(handle, const_cast<uint8_t*>(p));
    return std::nullopt;
}

Status read_flash(std::vector<uint8_t>& out) { return read_physical(FLASH_PHYSICAL, FLASH_BYTES, out); }

Status install_firmware(const std::vector<uint8_t>& image) {
    uint32_t(WINAPI * write)(const void*, uint32_t) = nullptr;
    if (!resolve(zunda, write, "SimWriteFlash")) {
        return Error{exitcode::FAILED, "only a simulated board can be initialised"};
    }
    if (write(image.data(), uint32_t(image.size())) == 0) {
        return Error{exitcode::FAILED, "cannot install firmware on the board"};
    }
    return std::nullopt;
}

void unbind_kova() {
    void(KOVA_CALL * close)() = nullptr;
    if (zunda && resolve(zunda, close, "KovaTraceClose")) {
        close();  // the trace ends whole, and the maker's library lets the board go
    }
    if (kova) {
        FreeLibrary(kova);
        kova = nullptr;
        zunda = nullptr;
    }
}

namespace {

// The folder of kovaflash.exe itself, in UTF-8 (its name may be in any script).
std::string program_folder() {
    constexpr DWORD LONGEST_PATH = 32768;
    std::wstring program(LONGEST_PATH, L'\0');
    DWORD n = GetModuleFileNameW(nullptr, program.data(), LONGEST_PATH);
    program.resize(n > 0 && n < LONGEST_PATH ? n : 0);
    std::string folder = u8::from_wide(program);
    size_t slash = folder.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : folder.substr(0, slash);
}

}  // namespace

std::string default_trusted_keys(const std::string& board_dir, bool simulated) {
    return simulated ? board_dir + "/" + trust::DIR_NAME : program_folder() + "\\" + trust::DIR_NAME;
}

std::string default_records_dir(const std::string& board_dir, bool simulated) {
    return simulated ? board_dir : program_folder() + "\\" + RECORDS_DIR_NAME;
}
