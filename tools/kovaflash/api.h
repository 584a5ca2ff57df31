// The host's binding to the library: the exports it uses, resolved either by
// linking (native build, simulated board linked in) or with
// LoadLibrary/GetProcAddress (Windows build, KOVA.dll and ZUNDA.dll beside
// the program).
#ifndef KOVAFLASH_API_H
#define KOVAFLASH_API_H

#include <cstdint>
#include <string>
#include <vector>
#include "error.h"
#include "flash_map.h"
#include "kova.h"

struct KovaApi {
    const char* mb = nullptr;
    const char* customer = nullptr;
    const char* major_version = nullptr;
    const char* minor_version = nullptr;
    const char* date = nullptr;
    const uint32_t* flash_size = nullptr;
    const char* message = nullptr;
    int32_t* block_count = nullptr;
    uint32_t(KOVA_CALL* update_bios_firmware)(const void*, uint32_t, uint32_t) = nullptr;
    uint32_t(KOVA_CALL* check_bios_image)(const void*, uint32_t, uint32_t) = nullptr;
    uint32_t(KOVA_CALL* get_ec_ram)(uint32_t) = nullptr;
    void(KOVA_CALL* set_ec_ram)(uint32_t, uint32_t) = nullptr;
    uint32_t(KOVA_CALL* read_flash_byte)(uint32_t) = nullptr;
    uint32_t(KOVA_CALL* smbus_write_byte)(uint32_t, uint32_t, uint32_t) = nullptr;
    uint32_t(KOVA_CALL* smbus_write_word)(uint32_t, uint32_t, uint32_t) = nullptr;
    uint32_t(KOVA_CALL* smbus_write_block)(uint32_t, uint32_t, uint32_t) = nullptr;
    void(KOVA_CALL* acquire_global_lock)() = nullptr;
    void(KOVA_CALL* release_global_lock)() = nullptr;
    bool simulated = false;  // a simulated board in a board directory stands behind the library
    // Set when the ZUNDA.dll beside the program is the recording one: where
    // its trace goes, or why it cannot write one.
    std::string recording;
};

// The simulated board's state files in its board directory.
struct BoardFile {
    const char* name;
    size_t bytes;
};
constexpr BoardFile BOARD_FILES[] = {
    {"flash.bin", flashmap::FLASH_SIZE}, {"ec-ram.bin", 256}, {"smbus-eeprom.bin", 256}};

// Binds the library: linked in natively, KOVA.dll beside the program on
// Windows. Sets api.simulated when a simulated board stands behind it.
// Nothing, or why it failed (exitcode::FAILED).
Status bind_kova(KovaApi& api);
// Lets the library go (on Windows KOVA.dll and, with it, ZUNDA.dll, which
// finishes its work with the board as it unloads): before the board's lock
// is released, so the next holder finds the board as this one left it.
void unbind_kova();
// Simulated board only: takes the board's state from `board_dir`, whose
// files must all be there and whole; a bad one is exitcode::USAGE.
Status load_board(const std::string& board_dir);
// Simulated board only: a new board at power-on state, saved to
// `board_dir` by save_board.
Status create_board(const std::string& board_dir);
// Simulated board only: saves the board's state, each file whole or not at
// all.
Status save_board();
// Reads `length` bytes of physical memory through the hardware-access
// library's mapping of them, as any host may.
Status read_physical(uint32_t physical, uint32_t length, std::vector<uint8_t>& out);
// The installed firmware, as the board maps it below 4 GiB (physical
// 0xFFE00000, 2 MiB), read the same way.
Status read_flash(std::vector<uint8_t>& out);
// Simulated board only: makes `image` the installed firmware.
Status install_firmware(const std::vector<uint8_t>& image);
// The folder of keys an update trusts when --trusted-keys names none: a
// simulated board's own (BOARD/trusted-keys); on Windows beside the maker's
// ZUNDA.dll, the trusted-keys folder beside the program.
std::string default_trusted_keys(const std::string& board_dir, bool simulated);
// The folder of the board's records (history, rollback floor): a simulated
// board's directory; on Windows beside the maker's ZUNDA.dll, the
// board-records folder beside the program, next to trusted-keys.
constexpr char RECORDS_DIR_NAME[] = "board-records";
std::string default_records_dir(const std::string& board_dir, bool simulated);

#endif
