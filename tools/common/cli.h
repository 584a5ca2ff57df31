// What both host tools share on their command lines: number arguments and
// parsing.
#ifndef KOVA_TOOLS_CLI_H
#define KOVA_TOOLS_CLI_H

#include <CLI/CLI.hpp>
#include <cstdint>
#include <optional>
#include <string>

#include "error.h"

// A decimal or 0x hex number from 0 to `max`; throws Error (exitcode::USAGE)
// naming `what` otherwise.
uint32_t number_argument(const std::string& text, uint32_t max, const std::string& what);
// The same from `min` to `max`.
uint32_t number_argument(const std::string& text, uint32_t min, uint32_t max, const std::string& what);

// Parses the command line; an exit status when the run ends here (help, or
// a usage error with status 2), nothing when it goes on. A usage error is
// printed to stderr, or, when `usage` is given, stored there for the
// caller to report.
std::optional<int> parse_command_line(CLI::App& app, int argc, char** argv,
                                      std::optional<Error>* usage = nullptr);

#endif
