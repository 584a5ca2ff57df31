// Native build: the library and the simulated board are linked in.
#include <exception>
#include <filesystem>

#include "api.h"
#include "board.h"

namespace {
sim::Board* board = nullptr;
std::filesystem::path board_dir;
}  // namespace

std::string open_kova(KovaApi& api, const std::string& dir) {
    api.mb = KOVA_mb;
    api.customer = KOVA_customer;
    api.major_version = KOVA_major_version;
    api.minor_version = KOVA_minor_version;
    api.date = KOVA_date;
    api.flash_size = &KOVA_flash_size;
    api.message = KOVA_message;
    api.get_ec_ram = KOVA_get_ec_ram;
    api.set_ec_ram = KOVA_set_ec_ram;
    static sim::Board the_board;
    try {
        the_board.load(dir);
    } catch (const std::exception& e) {
        return std::string("cannot load board: ") + e.what();
    }
    board = &the_board;
    board_dir = dir;
    sim::install(board);
    return {};
}

std::string close_kova() {
    if (!board) {
        return {};
    }
    try {
        board->save(board_dir);
    } catch (const std::exception& e) {
        return std::string("cannot save board: ") + e.what();
    }
    return {};
}
