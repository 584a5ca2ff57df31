// Native build: the library and the simulated board are linked in.
#include <filesystem>

#include "api.h"
#include "board.h"
#include "trust_store.h"
#include "zunda.h"

namespace {
sim::Board* board = nullptr;
std::filesystem::path board_dir;
constexpr uint32_t FLASH_PHYSICAL = flashmap::FLASH_BASE;
constexpr uint32_t FLASH_BYTES = flashmap::FLASH_SIZE;
}  // namespace

Status bind_kova(KovaApi& api) {
    api.mb = KOVA_mb;
    api.customer = KOVA_customer;
    api.major_version = KOVA_major_version;
    api.minor_version = KOVA_minor_version;
    api.date = KOVA_date;
    api.flash_size = &KOVA_flash_size;
    api.message = KOVA_message;
    api.block_count = &KOVA_block_count;
    api.update_bios_firmware = KOVA_update_bios_firmware;
    api.check_bios_image = KOVA_check_bios_image;
    api.get_ec_ram = KOVA_get_ec_ram;
    api.set_ec_ram = KOVA_set_ec_ram;
    api.read_flash_byte = KOVA_read_flash_byte;
    api.smbus_write_byte = KOVA_smbus_write_byte;
    api.smbus_write_word = KOVA_smbus_write_word;
    api.smbus_write_block = KOVA_smbus_write_block;
    api.acquire_global_lock = ACPI_require_global_lock;
    api.release_global_lock = ACPI_release_global_lock;
    api.simulated = true;
    static sim::Board the_board;
    board = &the_board;
    sim::install(board);
    return {};
}

Status load_board(const std::string& dir) {
    if (Status err = board->load(dir)) {
        return err;
    }
    board_dir = dir;
    return std::nullopt;
}

Status create_board(const std::string& dir) {
    board_dir = dir;
    return {};
}

Status save_board() {
    if (!board || board_dir.empty()) {
        return Error{exitcode::FAILED, "no board to save"};
    }
    return board->save(board_dir);
}

Status read_physical(uint32_t physical, uint32_t length, std::vector<uint8_t>& out) {
    uint32_t handle = 0;
    auto* p = static_cast<const uint8_t*>(MapPhysToLin(physical, length, &handle));
    if (!p) {
        return Error{exitcode::FAILED, "cannot map physical memory"};
    }
    out.assign(p, p + length);
    UnmapPhysicalMemory(handle, const_cast<uint8_t*>(p));
    return {};
}

Status read_flash(std::vector<uint8_t>& out) { return read_physical(FLASH_PHYSICAL, FLASH_BYTES, out); }

Status install_firmware(const std::vector<uint8_t>& image) {
    if (!board || image.size() != FLASH_BYTES ||
        !board->memory.write(FLASH_PHYSICAL, image.data(), image.size())) {
        return Error{exitcode::FAILED, "cannot install firmware on the board"};
    }
    return {};
}

void unbind_kova() {}

std::string default_trusted_keys(const std::string& dir, bool) { return dir + "/" + trust::DIR_NAME; }

std::string default_records_dir(const std::string& dir, bool) { return dir; }
