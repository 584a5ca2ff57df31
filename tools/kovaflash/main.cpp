// kovaflash: the host tool. It drives KOVA.dll the way a flashing utility
// does, against the simulated board in a board directory (or, on Windows
// with the maker's ZUNDA.dll, the real board).
#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "api.h"
#include "builder.h"
#include "cli.h"
#include "device_cmd.h"
#include "image_file.h"
#include "update_cmd.h"

namespace {

constexpr int EXIT_FAILED = 1;
constexpr uint32_t EC_INDEX_MAX = 0xFF;
constexpr uint32_t EC_VALUE_MAX = 0xFF;
constexpr uint32_t SPI_ADDRESS_MAX = 0xFFFFFF;
constexpr uint32_t FLASH_DUMP_MAX = 0x1000;
constexpr uint32_t SMBUS_ADDRESS_MAX = 0xFF;
constexpr uint32_t SMBUS_BYTE_MAX = 0xFF;
constexpr uint32_t SMBUS_WORD_MAX = 0xFFFF;
constexpr uint32_t SMBUS_BLOCK_MAX = 32;
constexpr uint8_t FRESH_BOARD_REVISION = 0;
constexpr const char FLASH_FILE[] = "flash.bin";

void print_info(const KovaApi& api) {
    std::printf("board model  : %s\n", api.mb);
    std::printf("customer     : %s\n", api.customer);
    std::printf("version      : %s.%s\n", api.major_version, api.minor_version);
    std::printf("date         : %s\n", api.date);
    std::printf("flash size   : %u bytes (0x%X)\n", unsigned(*api.flash_size), unsigned(*api.flash_size));
}

// The firmware a new simulated board comes with: a well-formed image for
// this board, revision 0, so that an update to a later image is accepted.
std::vector<uint8_t> factory_firmware() {
    kimage::ImageOptions o;
    o.revision = FRESH_BOARD_REVISION;
    o.seed = 0;
    return kimage::make_image(o).bytes;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"kovaflash: BIOS update and board access for the K5R through KOVA.dll"};
    app.require_subcommand(1);
    // Paths start with '/' under Wine too: no "/option" forms.
    app.allow_windows_style_options(false);
    std::string board_dir = "./kova-board";
    app.add_option("--board", board_dir, "board directory of the simulated board (created on first use)");

    auto* info = app.add_subcommand("info", "show the library's identity");

    UpdateOptions upd;
    std::string handle_text = "1";
    auto* check = app.add_subcommand("check", "dry run: validate IMAGE and count the blocks that differ");
    auto* update = app.add_subcommand("update", "rewrite the BIOS flash with IMAGE");
    for (auto* cmd : {check, update}) {
        cmd->add_option("IMAGE", upd.image_path, "2 MiB firmware image")->required();
        cmd->add_flag("--map", upd.map, "draw the 512-block map of what differs / what changed");
        cmd->add_option("--handle", handle_text, "firmware callback handle (0: no callbacks, no writes)");
    }
    update->add_flag("--yes,-y", upd.yes, "do not ask before writing");

    auto* board = app.add_subcommand("board", "the simulated board");
    board->require_subcommand(1);
    std::string init_image;
    auto* board_init = board->add_subcommand("init", "set the installed firmware");
    board_init->add_option("--image", init_image,
                           "image to install (default: a generated image of revision 0)");

    auto* ec = app.add_subcommand("ec", "embedded-controller RAM");
    ec->require_subcommand(1);
    std::string index_text, value_text;
    auto* ec_read = ec->add_subcommand("read", "read one byte of EC RAM");
    ec_read->add_option("INDEX", index_text, "RAM index, 0 to 255")->required();
    auto* ec_write = ec->add_subcommand("write", "write one byte of EC RAM");
    ec_write->add_option("INDEX", index_text, "RAM index, 0 to 255")->required();
    ec_write->add_option("VALUE", value_text, "byte value, 0 to 255")->required();

    auto* flash = app.add_subcommand("flash", "the serial flash, through the board's serial-flash engine");
    flash->require_subcommand(1);
    std::string address_text, count_text = "16";
    auto* flash_read = flash->add_subcommand("read", "hex dump of the serial flash from ADDRESS");
    flash_read->add_option("ADDRESS", address_text, "24-bit flash address")->required();
    flash_read->add_option("--count", count_text, "bytes to read, 1 to 4096 (default 16)");

    auto* smbus = app.add_subcommand("smbus", "one SMBus write transaction");
    smbus->require_subcommand(1);
    std::string slave_text, command_text, smbus_value_text;
    struct SmbusCmd {
        CLI::App* app;
        SmbusOp op;
        uint32_t max;
        const char* what;
    };
    std::vector<SmbusCmd> smbus_cmds = {
        {smbus->add_subcommand("write-byte", "byte-data write"), SmbusOp::Byte, SMBUS_BYTE_MAX, "VALUE"},
        {smbus->add_subcommand("write-word", "word-data write"), SmbusOp::Word, SMBUS_WORD_MAX, "VALUE"},
        {smbus->add_subcommand("write-block", "block write of the controller's buffer"), SmbusOp::Block,
         SMBUS_BLOCK_MAX, "COUNT"},
    };
    for (auto& c : smbus_cmds) {
        c.app->add_option("SLAVE", slave_text, "8-bit slave address (bit 0 is cleared)")->required();
        c.app->add_option("COMMAND", command_text, "command byte")->required();
        c.app->add_option(c.what, smbus_value_text, c.op == SmbusOp::Block ? "byte count, 0 to 32" : "data")
            ->required();
    }

    auto* acpi = app.add_subcommand("acpi", "the ACPI global lock");
    acpi->require_subcommand(1);
    auto* acpi_lock = acpi->add_subcommand("lock", "acquire, show the FACS and lock word, release");

    if (auto status = parse_command_line(app, argc, argv)) {
        return *status;
    }

    KovaApi api;
    int status = 0;
    try {
        uint32_t index = 0, value = 0;
        if (ec_read->parsed() || ec_write->parsed()) {
            index = number_argument(index_text, EC_INDEX_MAX, "INDEX");
        }
        if (ec_write->parsed()) {
            value = number_argument(value_text, EC_VALUE_MAX, "VALUE");
        }
        upd.handle = number_argument(handle_text, 0xFFFFFFFF, "--handle");
        uint32_t address = 0, count = 0, slave = 0, command = 0, smbus_value = 0;
        const SmbusCmd* smbus_cmd = nullptr;
        if (flash_read->parsed()) {
            address = number_argument(address_text, SPI_ADDRESS_MAX, "ADDRESS");
            count = number_argument(count_text, FLASH_DUMP_MAX, "--count");
            if (count == 0) {
                throw UsageError{"--count must be at least 1"};
            }
        }
        for (const auto& c : smbus_cmds) {
            if (c.app->parsed()) {
                smbus_cmd = &c;
                slave = number_argument(slave_text, SMBUS_ADDRESS_MAX, "SLAVE");
                command = number_argument(command_text, SMBUS_BYTE_MAX, "COMMAND");
                smbus_value = number_argument(smbus_value_text, c.max, c.what);
            }
        }
        std::vector<uint8_t> init_bytes;
        if (board_init->parsed() && !init_image.empty()) {
            std::string err = read_image_file(init_image, init_bytes);
            if (!err.empty()) {
                throw UsageError{err};
            }
        }

        bool fresh = !std::filesystem::exists(std::filesystem::path(board_dir) / FLASH_FILE);
        std::string err = open_kova(api, board_dir);
        if (err.empty() && api.simulated && (fresh || board_init->parsed())) {
            err = install_firmware(init_bytes.empty() ? factory_firmware() : init_bytes);
        }
        if (!err.empty()) {
            std::fprintf(stderr, "kovaflash: %s\n", err.c_str());
            return EXIT_FAILED;
        }
        if (info->parsed()) {
            print_info(api);
        } else if (check->parsed()) {
            status = run_check(api, upd);
        } else if (update->parsed()) {
            status = run_update(api, upd);
        } else if (board_init->parsed()) {
            std::printf("board %s: installed firmware %s\n", board_dir.c_str(),
                        init_image.empty() ? "generated, revision 0" : init_image.c_str());
        } else if (flash_read->parsed()) {
            status = run_flash_read(api, address, count);
        } else if (smbus_cmd) {
            status = run_smbus_write(api, smbus_cmd->op, slave, command, smbus_value);
        } else if (acpi_lock->parsed()) {
            status = run_acpi_lock(api);
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
    return status;
}
