#include "cli.h"

#include "numbers.h"

uint32_t number_argument(const std::string& text, uint32_t min, uint32_t max, const std::string& what) {
    auto v = parse_number(text, max);
    if (!v || *v < min) {
        throw Error{exitcode::USAGE, what + " '" + text + "' is not a number from " + std::to_string(min) +
                                         " to " + std::to_string(max) + " (decimal or 0x hex)"};
    }
    return *v;
}

uint32_t number_argument(const std::string& text, uint32_t max, const std::string& what) {
    return number_argument(text, 0, max, what);
}

std::optional<int> parse_command_line(CLI::App& app, int argc, char** argv, std::optional<Error>* usage) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        if (usage) {
            *usage = Error{exitcode::USAGE, e.what()};
        } else {
            app.exit(e);
        }
        return exitcode::USAGE;
    }
    return std::nullopt;
}
