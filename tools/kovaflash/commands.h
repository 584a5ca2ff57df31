// How the command groups meet main.cpp: each registers its subcommands on
// the command line, and the one that is parsed leaves the action to run.
#ifndef KOVAFLASH_COMMANDS_H
#define KOVAFLASH_COMMANDS_H

#include <CLI/CLI.hpp>
#include <functional>

#include "session.h"

// Runs the parsed command on the session; its exit code, or throws Error.
using Action = std::function<int(Session&)>;

void register_board_commands(CLI::App& app, Action& chosen);    // info, board init
void register_update_commands(CLI::App& app, Action& chosen);   // check, update, restore
void register_verify_commands(CLI::App& app, Action& chosen);   // verify, backup
void register_device_commands(CLI::App& app, Action& chosen);   // ec, flash, smbus, acpi
void register_trust_commands(CLI::App& app, Action& chosen);    // trust list, add, remove
void register_history_commands(CLI::App& app, Action& chosen);  // history
void register_kit_commands(CLI::App& app, Action& chosen);      // verify-kit

#endif
