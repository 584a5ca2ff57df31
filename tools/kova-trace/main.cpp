// kova-trace: field traces of KOVA.dll and a board, recorded by the
// recording ZUNDA.dll. `show` reads one as a person would; `replay` plays
// it back as the board, against the library linked into this program, and
// says whether the library makes the same requests in the same order and
// ends with the same outcome, or where it first differs.
// Exit status: 0 reproduced (or shown), 1 the replay differs, 2 a bad
// trace, image or command line.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli.h"
#include "file_read.h"
#include "image_file.h"
#include "native_library.h"
#include "reader.h"
#include "replay.h"
#include "show.h"

namespace {

bool json_output = false;

trace::Trace load(const std::string& path, bool allow_incomplete) {
    std::vector<uint8_t> bytes;
    if (Status err = read_bounded(path, trace::MAX_TRACE_BYTES + 1, Links::Follow, "trace", bytes)) {
        throw *err;
    }
    trace::Trace t;
    if (Status err = trace::read_trace(bytes, path, allow_incomplete, t)) {
        throw *err;
    }
    return t;
}

int show(const std::string& path, bool events, nlohmann::json& report) {
    trace::Trace t = load(path, true);
    report = show_trace(t, events);
    report["trace"] = path;
    if (!json_output) {
        std::printf("trace     : %s\n%s", path.c_str(), show_text(report).c_str());
    }
    return exitcode::OK;
}

nlohmann::json outcome_json(const trace::Outcome& o) {
    return {{"result", trace::hex(o.result, 8)}, {"count", o.count}, {"message", o.message}};
}

int replay(const std::string& path, const std::string& image_path, nlohmann::json& report) {
    trace::Trace t = load(path, false);
    std::vector<uint8_t> image;
    if (!image_path.empty()) {
        if (Status err = read_image_file(image_path, image)) {
            throw *err;
        }
    }
    if (Status err = trace::check_replayable(t, image_path.empty() ? nullptr : &image)) {
        throw Error{err->code, path + ": " + err->text};
    }
    trace::ReplayBoard board(t);
    trace::install(&board);
    NativeLibrary library;
    trace::ReplayReport r = trace::replay(t, board, library, image_path.empty() ? nullptr : &image);
    trace::install(nullptr);

    report["trace"] = path;
    report["calls"] = nlohmann::json::array();
    for (const trace::CallReport& c : r.calls) {
        nlohmann::json j = {{"call", c.line}, {"recorded", outcome_json(c.recorded)}};
        if (c.reproduced) {
            j["reproduced"] = outcome_json(*c.reproduced);
        }
        report["calls"].push_back(j);
    }
    report["reproduced"] = !r.mismatch.has_value();
    if (r.mismatch) {
        report["difference"] = {{"event", r.mismatch->event},
                                {"phase", r.mismatch->phase},
                                {"recorded", r.mismatch->recorded},
                                {"came", r.mismatch->came}};
    }
    if (!json_output) {
        std::printf("trace     : %s\n%s", path.c_str(), trace::report_text(r).c_str());
    }
    return r.mismatch ? exitcode::FAILED : exitcode::OK;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"kova-trace: show and replay field traces of KOVA.dll and a K5R board"};
    app.require_subcommand(1);
    app.add_flag("--json", json_output, "print one JSON object instead of text");
    std::string path, image;
    bool events = false;
    CLI::App* show_cmd = app.add_subcommand("show", "the trace as a person reads it, phase by phase");
    show_cmd->add_option("TRACE", path, "the trace (.kvt)")->required();
    show_cmd->add_flag("--events", events, "every event too, with its index and phase");
    CLI::App* replay_cmd = app.add_subcommand(
        "replay", "play the trace back as the board against this library; exit 1 at the first difference");
    replay_cmd->add_option("TRACE", path, "the trace (.kvt)")->required();
    replay_cmd->add_option("IMAGE", image, "the image the trace's update or check was called with");

    std::optional<Error> usage;
    if (std::optional<int> done = parse_command_line(app, argc, argv, json_output ? &usage : nullptr)) {
        if (!usage) {
            return *done;
        }
    }
    nlohmann::json report;
    int code = exitcode::OK;
    try {
        if (usage) {
            throw *usage;
        }
        code = show_cmd->parsed() ? show(path, events, report) : replay(path, image, report);
    } catch (const Error& e) {
        std::fprintf(stderr, "kova-trace: %s\n", e.text.c_str());
        report["error"] = e.text;
        code = e.code;
    }
    if (json_output) {
        std::printf("%s\n", report.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    }
    return code;
}
