// kovaflash: the host tool. It drives KOVA.dll the way a flashing utility
// does, against the simulated board in a board directory (or, on Windows
// with the maker's ZUNDA.dll, the real board). This file only wires the
// command line to the command groups.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "board_cmd.h"
#include "cli.h"
#include "device_cmd.h"
#include "flash_map.h"
#include "session.h"
#include "update_cmd.h"
#include "verify_cmd.h"

namespace {

constexpr char TOOL_VERSION[] = "1.1.0";
constexpr uint32_t EC_INDEX_MAX = 0xFF;
constexpr uint32_t EC_VALUE_MAX = 0xFF;
constexpr uint32_t SPI_ADDRESS_MAX = 0xFFFFFF;
constexpr uint32_t SPI_FLASH_BYTES = flashmap::FLASH_SIZE;
constexpr uint32_t FLASH_DUMP_MAX = 0x1000;
constexpr uint32_t SMBUS_ADDRESS_MAX = 0xFF;
constexpr uint32_t SMBUS_BYTE_MAX = 0xFF;
constexpr uint32_t SMBUS_WORD_MAX = 0xFFFF;
constexpr uint32_t SMBUS_BLOCK_MAX = 32;

constexpr char EXIT_CODES[] =
    "Exit status: 0 success, 1 the operation reported a failure (the library's result code is printed),\n"
    "2 usage or input error, 3 image refused (it would lock the board out of later updates),\n"
    "4 board busy (another writer holds it), 5 verify found differences.";

std::string version_line() {
    KovaApi api;
    Status err = bind_kova(api);
    std::string dll = !err ? std::string("KOVA.dll ") + api.major_version + "." + api.minor_version + ", " +
                                 api.date + ", board " + api.mb
                           : "KOVA.dll not loaded: " + err->text;
    return std::string("kovaflash ") + TOOL_VERSION + " (" + dll + ")";
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"kovaflash: BIOS update and board access for the K5R through KOVA.dll"};
    app.footer(EXIT_CODES);
    // Global options may stand before or after the subcommand.
    app.fallthrough();
    app.option_defaults()->always_capture_default();
    // Paths start with '/' under Wine too: no "/option" forms.
    app.allow_windows_style_options(false);
    GlobalOptions g;
    app.add_option("--board", g.board_dir, "board directory of the simulated board");
    app.add_flag("--json", g.json, "print one JSON object on stdout (info, check, update, verify, backup)");
    app.add_flag("--yes,-y", g.yes, "update: write without asking");
    app.add_flag("--force", g.force,
                 "write an image the board would be locked out by; replace an existing backup or board");
    app.add_option("--wait", g.wait_seconds, "wait up to SECONDS for another writer to let go of the board")
        ->check(CLI::Range(0.0, 86400.0));
    bool show_version = false;
    app.add_flag("--version", show_version, "tool and library version");
    app.require_subcommand(0, 1);

    auto* info = app.add_subcommand("info", "the library's identity and the installed firmware's");

    UpdateOptions upd;
    std::string handle_text = "1";
    auto* check = app.add_subcommand("check", "dry run: validate IMAGE and count the blocks that differ");
    auto* update = app.add_subcommand("update", "back up the flash, rewrite it with IMAGE, verify it");
    for (auto* cmd : {check, update}) {
        cmd->add_option("IMAGE", upd.image_path, "2 MiB firmware image")->required();
        cmd->add_flag("--map", upd.map, "draw the 512-block map of what differs / what changed");
        cmd->add_option("--handle", handle_text,
                        "firmware callback handle (0: no callbacks, nothing written)");
    }
    update->add_option("--backup", upd.backup_path,
                       "backup file (default: backup-<date>-rev<revision>.bin in the board directory)");
    update->add_flag("--no-backup", upd.no_backup, "write without a backup first")->excludes("--backup");

    VerifyOptions ver;
    auto* verify = app.add_subcommand("verify", "compare the installed firmware with IMAGE, byte for byte");
    verify->add_option("IMAGE", ver.image_path, "2 MiB firmware image")->required();
    verify->add_flag("--map", ver.map, "draw the 512-block map of what differs");
    std::string backup_path;
    auto* backup = app.add_subcommand("backup", "save the installed firmware (2 MiB at 0xFFE00000) to FILE");
    backup->add_option("FILE", backup_path, "file to write (an existing one only with --force)")->required();

    auto* board = app.add_subcommand("board", "the simulated board");
    board->require_subcommand(1);
    std::string init_image;
    auto* board_init = board->add_subcommand("init", "make a new simulated board in the board directory");
    board_init->add_option("--image", init_image, "firmware to install (default: generated, revision 0)");

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
    flash_read->add_option("ADDRESS", address_text, "flash address, 0 to the last of the 2 MiB")->required();
    flash_read->add_option("--count", count_text, "bytes to read, 1 to 4096");

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
    if (show_version) {
        std::printf("%s\n", version_line().c_str());
        return exitcode::OK;
    }
    if (app.get_subcommands().empty()) {
        std::fprintf(stderr, "kovaflash: a command is required (--help lists them)\n");
        return exitcode::USAGE;
    }

    Session s(g);
    int status = exitcode::OK;
    try {
        upd.handle = number_argument(handle_text, 0xFFFFFFFF, "--handle");
        if (info->parsed()) {
            status = run_info(s);
        } else if (check->parsed()) {
            status = run_check(s, upd);
        } else if (update->parsed()) {
            status = run_update(s, upd);
        } else if (verify->parsed()) {
            status = run_verify(s, ver);
        } else if (backup->parsed()) {
            status = run_backup(s, backup_path);
        } else if (board_init->parsed()) {
            status = run_board_init(s, init_image);
        } else if (ec_read->parsed()) {
            uint32_t index = number_argument(index_text, EC_INDEX_MAX, "INDEX");
            s.open(Access::Read);
            std::printf("EC[0x%02X] = 0x%02X\n", unsigned(index), unsigned(s.api.get_ec_ram(index)));
        } else if (ec_write->parsed()) {
            uint32_t index = number_argument(index_text, EC_INDEX_MAX, "INDEX");
            uint32_t value = number_argument(value_text, EC_VALUE_MAX, "VALUE");
            s.open(Access::Write);
            s.api.set_ec_ram(index, value);
            s.save();
            std::printf("EC[0x%02X] <- 0x%02X\n", unsigned(index), unsigned(value));
        } else if (flash_read->parsed()) {
            uint32_t address = number_argument(address_text, SPI_ADDRESS_MAX, "ADDRESS");
            uint32_t count = number_argument(count_text, FLASH_DUMP_MAX, "--count");
            if (count == 0) {
                throw Error{exitcode::USAGE, "--count 0 reads nothing: give 1 to 4096 bytes"};
            }
            if (uint64_t(address) + count > SPI_FLASH_BYTES) {
                char text[160];
                std::snprintf(text, sizeof text,
                              "0x%X bytes from 0x%06X run past the end of the 2 MiB flash (last address "
                              "0x%X)",
                              unsigned(count), unsigned(address), unsigned(flashmap::FLASH_LAST));
                throw Error{exitcode::USAGE, text};
            }
            s.open(Access::Read);
            status = run_flash_read(s.api, address, count);
        } else if (acpi_lock->parsed()) {
            s.open(Access::Write);
            status = run_acpi_lock(s.api);
        } else {
            for (const auto& c : smbus_cmds) {
                if (c.app->parsed()) {
                    uint32_t slave = number_argument(slave_text, SMBUS_ADDRESS_MAX, "SLAVE");
                    uint32_t command = number_argument(command_text, SMBUS_BYTE_MAX, "COMMAND");
                    uint32_t value = number_argument(smbus_value_text, c.max, c.what);
                    s.open(Access::Write);
                    status = run_smbus_write(s.api, c.op, slave, command, value);
                    s.save();
                }
            }
        }
    } catch (const Error& f) {
        s.warn(f.text);
        s.report["error"] = f.text;
        status = f.code;
    } catch (const std::exception& e) {
        s.warn(std::string("internal error: ") + e.what());
        s.report["error"] = e.what();
        status = exitcode::FAILED;
    }
    return s.finish(status);
}
