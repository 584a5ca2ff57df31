// kovaflash: the host tool. It drives KOVA.dll the way a flashing utility
// does, against the simulated board in a board directory (or, on Windows
// with the maker's ZUNDA.dll, the real board). This file only wires the
// command line to the command groups, and every outcome to the session's
// one output.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "board_cmd.h"
#include "cli.h"
#include "commands.h"
#include "device_cmd.h"
#include "interrupt.h"
#include "session.h"
#include "update_cmd.h"
#include "utf8_path.h"
#include "verify_cmd.h"

#if defined(_WIN32)
#include <windows.h>
// windows.h first: shellapi.h needs its types.
#include <shellapi.h>
#endif

namespace {

constexpr char TOOL_VERSION[] = KOVAFLASH_VERSION;
constexpr double MAX_WAIT_SECONDS = 86400.0;

constexpr char EXIT_CODES[] =
    "Exit status: 0 success, 1 the operation reported a failure (the library's result code is printed),\n"
    "2 usage or input error, 3 image refused (it would lock the board out of later updates, its signature\n"
    "does not check out, the board trusts no key, or it is older than the board's floor; verify-kit: a kit\n"
    "file differs, is missing or is extra, or the list's signature does not check out),\n"
    "4 board busy (another process holds it), 5 verify found differences,\n"
    "6 the machine failed the tool (disk full, folder not writable; the message says what was written),\n"
    "130/143/129 interrupted (SIGINT/SIGTERM/SIGHUP): before the flash is written it cancels, once the\n"
    "library writes it finishes and verifies first.";

int run_version(Session& s) {
    KovaApi api;
    Status err = bind_kova(api);
    std::string dll = !err ? std::string("KOVA.dll ") + api.major_version + "." + api.minor_version + ", " +
                                 api.date + ", board " + api.mb
                           : "KOVA.dll not loaded: " + err->text;
    s.say("kovaflash %s (%s)", TOOL_VERSION, dll.c_str());
    s.report["version"] = TOOL_VERSION;
    s.report["library"] = dll;
    return exitcode::OK;
}

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
    // The command line as Windows holds it, UTF-16, taken as UTF-8 text: a
    // path in any script arrives whole, whatever the ANSI code page.
    int wide_count = 0;
    wchar_t** wide_args = CommandLineToArgvW(GetCommandLineW(), &wide_count);
    std::vector<std::string> utf8_args;
    std::vector<char*> utf8_argv;
    if (wide_args) {
        for (int i = 0; i < wide_count; ++i) {
            utf8_args.push_back(u8::from_wide(wide_args[i]));
        }
        LocalFree(wide_args);
        for (std::string& a : utf8_args) {
            utf8_argv.push_back(a.data());
        }
        utf8_argv.push_back(nullptr);
        argc = wide_count;
        argv = utf8_argv.data();
    }
    // What the tool prints is UTF-8: a console shows it as such.
    SetConsoleOutputCP(CP_UTF8);
#endif
    // Every line reaches a log or a pipe when it is printed, not when the
    // buffer fills: what was said before an interruption stays said.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    // Named, not taken from argv[0]: the help reads the same wherever the
    // program lies, and the kit's README holds it word for word.
    CLI::App app{"kovaflash: BIOS update and board access for the K5R through KOVA.dll", "kovaflash"};
    app.footer(EXIT_CODES);
    // Global options may stand before or after the subcommand.
    app.fallthrough();
    app.option_defaults()->always_capture_default();
    // Paths start with '/' under Wine too: no "/option" forms.
    app.allow_windows_style_options(false);
    GlobalOptions g;
    app.add_option("--board", g.board_dir, "board directory of the simulated board");
    app.add_flag("--json", g.json, "print one JSON object on stdout, for every command and every error");
    app.add_flag("--yes,-y", g.yes, "update: write without asking");
    app.add_flag("--force", g.force, "write an image the board would be locked out by (and nothing else)");
    app.add_flag("--replace", g.replace, "replace an existing backup file, or the board (board init)");
    app.add_option("--wait", g.wait_seconds, "wait up to SECONDS for another writer to let go of the board")
        ->check(CLI::Range(0.0, MAX_WAIT_SECONDS));
    app.add_option("--signature", g.signature, "the image's signature file (default: IMAGE.sig)");
    app.add_option("--trusted-keys", g.trusted_keys,
                   "folder of trusted public keys, NAME.pub (default: BOARD/trusted-keys; kovaflash.exe on a "
                   "board: trusted-keys beside the program)");
    app.add_flag("--allow-unsigned", g.allow_unsigned,
                 "write an image whose signature is missing or does not check out (and nothing else)");
    app.add_flag("--allow-older", g.allow_older,
                 "write an image whose security version is below the board's floor (and nothing else)");
    g.tool_version = TOOL_VERSION;
    bool show_version = false;
    app.add_flag("--version", show_version, "tool and library version");
    app.require_subcommand(0, 1);

    Action chosen;
    register_board_commands(app, chosen);
    register_update_commands(app, chosen);
    register_verify_commands(app, chosen);
    register_device_commands(app, chosen);
    register_trust_commands(app, chosen);
    register_history_commands(app, chosen);
    register_kit_commands(app, chosen);

    // The output form is known before the command line is: a line that
    // does not parse is reported as JSON too when --json is on it.
    for (int i = 1; i < argc; ++i) {
        g.json = g.json || std::strcmp(argv[i], "--json") == 0;
    }
    Session s(g);
    std::optional<Error> usage;
    if (auto status = parse_command_line(app, argc, argv, g.json ? &usage : nullptr)) {
        return usage ? s.finish(s.fail(*usage)) : *status;
    }
    if (!(g.wait_seconds >= 0.0 && g.wait_seconds <= MAX_WAIT_SECONDS)) {  // NaN included
        return s.finish(s.fail(Error{exitcode::USAGE, "--wait: give 0 to 86400 seconds"}));
    }
    if (show_version) {
        chosen = run_version;
    }
    if (!chosen) {
        return s.finish(s.fail(Error{exitcode::USAGE, "a command is required (--help lists them)"}));
    }
    int status = exitcode::OK;
    try {
        status = chosen(s);
    } catch (const Error& e) {
        status = s.fail(e);
    } catch (const std::exception& e) {
        status = s.fail(Error{exitcode::FAILED, std::string("internal error: ") + e.what()});
    }
    if (int sig = interrupt::received(); sig != 0 && status < exitcode::SIGNALLED) {
        status = s.fail(
            Error{exitcode::SIGNALLED + sig, "interrupted: what had begun was finished first (status " +
                                                 std::to_string(status) + "), so nothing was cut short"});
    }
    return s.finish(status);
}
