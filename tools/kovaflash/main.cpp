// kovaflash: the host tool. It drives KOVA.dll the way a flashing utility
// does, against the simulated board in a board directory (or, on Windows
// with the maker's ZUNDA.dll, the real board).
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "api.h"
#include "numbers.h"

namespace {

constexpr int EXIT_USAGE = 2;
constexpr int EXIT_FAILED = 1;
constexpr uint32_t EC_INDEX_MAX = 0xFF;
constexpr uint32_t EC_VALUE_MAX = 0xFF;

struct UsageError {
    std::string text;
};

uint32_t number(const std::string& text, uint32_t max, const char* what) {
    auto v = parse_number(text, max);
    if (!v) {
        throw UsageError{std::string(what) + " '" + text + "' is not a number from 0 to " +
                         std::to_string(max) + " (decimal or 0x hex)"};
    }
    return *v;
}

void print_info(const KovaApi& api) {
    std::printf("board model  : %s\n", api.mb);
    std::printf("customer     : %s\n", api.customer);
    std::printf("version      : %s.%s\n", api.major_version, api.minor_version);
    std::printf("date         : %s\n", api.date);
    std::printf("flash size   : %u bytes (0x%X)\n", unsigned(*api.flash_size), unsigned(*api.flash_size));
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"kovaflash: BIOS update and board access for the K5R through KOVA.dll"};
    app.require_subcommand(1);
    std::string board_dir = "./kova-board";
    app.add_option("--board", board_dir, "board directory of the simulated board (created on first use)");

    auto* info = app.add_subcommand("info", "show the library's identity");
    auto* ec = app.add_subcommand("ec", "embedded-controller RAM");
    ec->require_subcommand(1);
    std::string index_text, value_text;
    auto* ec_read = ec->add_subcommand("read", "read one byte of EC RAM");
    ec_read->add_option("INDEX", index_text, "RAM index, 0 to 255")->required();
    auto* ec_write = ec->add_subcommand("write", "write one byte of EC RAM");
    ec_write->add_option("INDEX", index_text, "RAM index, 0 to 255")->required();
    ec_write->add_option("VALUE", value_text, "byte value, 0 to 255")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return EXIT_USAGE;
    }

    KovaApi api;
    try {
        uint32_t index = 0, value = 0;
        if (ec_read->parsed() || ec_write->parsed()) {
            index = number(index_text, EC_INDEX_MAX, "INDEX");
        }
        if (ec_write->parsed()) {
            value = number(value_text, EC_VALUE_MAX, "VALUE");
        }
        std::string err = open_kova(api, board_dir);
        if (!err.empty()) {
            std::fprintf(stderr, "kovaflash: %s\n", err.c_str());
            return EXIT_FAILED;
        }
        if (info->parsed()) {
            print_info(api);
        } else if (ec_read->parsed()) {
            std::printf("EC[0x%02X] = 0x%02X\n", unsigned(index), unsigned(api.get_ec_ram(index)));
        } else if (ec_write->parsed()) {
            api.set_ec_ram(index, value);
            std::printf("EC[0x%02X] <- 0x%02X\n", unsigned(index), unsigned(value));
        }
    } catch (const UsageError& e) {
        std::fprintf(stderr, "kovaflash: %s\n", e.text.c_str());
        return EXIT_USAGE;
    }
    std::string err = close_kova();
    if (!err.empty()) {
        std::fprintf(stderr, "kovaflash: %s\n", err.c_str());
        return EXIT_FAILED;
    }
    return 0;
}
