// history: every write this tool made to the board or its trust, oldest
// first, as the board's records keep it.
#include <memory>

#include "cli.h"
#include "commands.h"

namespace {

constexpr uint32_t MAX_SHOWN = 100000;

std::string field(const records::Record& r, const char* name) {
    auto f = r.find(name);
    if (f == r.end() || f->is_null()) {
        return "";
    }
    return f->is_string() ? f->get<std::string>() : f->dump();
}

// One line a record: when, what, on what, how it ended.
std::string line_of(const records::Record& r) {
    std::string line = field(r, "seq") + "  " + field(r, "time") + "  " + field(r, "event");
    for (const char* name :
         {"image", "name", "index", "release", "security_version", "backup", "exit_code"}) {
        std::string v = field(r, name);
        if (!v.empty()) {
            line += std::string("  ") + name + "=" + v;
        }
    }
    return line;
}

int run_history(Session& s, const std::string& last_text) {
    uint32_t last = last_text.empty() ? MAX_SHOWN : number_argument(last_text, 1, MAX_SHOWN, "--last");
    s.open(Access::Read);
    std::vector<records::Record> h = s.history();
    size_t from = h.size() > last ? h.size() - last : 0;
    nlohmann::json shown = nlohmann::json::array();
    for (size_t i = from; i < h.size(); ++i) {
        s.say("%s", line_of(h[i]).c_str());
        shown.push_back(h[i]);
    }
    if (h.empty()) {
        s.say("no history in %s: this tool has not written to the board", s.records_dir().c_str());
    }
    if (!s.unfinished_text().empty()) {
        s.say("unfinished    : %s", s.unfinished_text().c_str());
    }
    s.report["history"] = s.records_dir() + "/" + records::HISTORY_FILE;
    s.report["records"] = shown;
    return exitcode::OK;
}

}  // namespace

void register_history_commands(CLI::App& app, Action& chosen) {
    auto last = std::make_shared<std::string>();
    auto* history = app.add_subcommand("history", "every write this tool made to the board or its trust");
    history->add_option("--last", *last, "only the last N records");
    history->callback([&chosen, last] { chosen = [last](Session& s) { return run_history(s, *last); }; });
}
