// kova-trace: field traces of KOVA.dll and a board, recorded by the
// recording ZUNDA.dll. `show` reads one as a person would; `replay` plays
// it back as the board, against the library linked into this program, and
// says whether the library makes the same requests in the same order and
// ends with the same outcome, or where it first differs; `board` makes a
// simulated board of what the trace saw, for every command and test.
// `diff` shows where two traces of the same operation part.
// Exit status: 0 reproduced (or shown, or alike), 1 the replay differs (or
// the traces part), 2 a bad trace, image or command line.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "atomic_file.h"
#include "captured_state.h"
#include "cli.h"
#include "diff.h"
#include "file_read.h"
#include "image_file.h"
#include "native_library.h"
#include "reader.h"
#include "replay.h"
#include "show.h"
#include "utf8_path.h"

namespace {

bool json_output = false;

trace::Trace load(const std::string& path, bool allow_incomplete) {
    std::vector<uint8_t> bytes;
    if (Status err = read_bounded(path, trace::MAX_FILE_BYTES + 1, Links::Follow, "trace", bytes)) {
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
        std::string text = show_text(report);
        size_t first = text.find('\n') + 1;  // the summary line, then the trace's name
        std::printf("%strace     : %s\n%s", text.substr(0, first).c_str(), path.c_str(),
                    text.substr(first).c_str());
    }
    return exitcode::OK;
}

int diff(const std::string& path_a, const std::string& path_b, nlohmann::json& report) {
    trace::Trace a = load(path_a, true), b = load(path_b, true);
    report = diff_traces(a, b);
    report["a"] = path_a;
    report["b"] = path_b;
    if (!json_output) {
        std::printf("A         : %s\nB         : %s\n%s", path_a.c_str(), path_b.c_str(),
                    diff_text(report).c_str());
    }
    return report.contains("parting") ? exitcode::FAILED : exitcode::OK;
}

nlohmann::json outcome_json(const trace::Outcome& o) {
    return {{"result", trace::hex(o.result, 8)}, {"count", o.count}, {"message", o.message}};
}

int replay(const std::string& path, const std::string& image_path, nlohmann::json& report) {
    trace::Trace t = load(path, true);  // one cut short replays up to its cut
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
    if (r.cut) {
        report["cut"] = {{"event", r.cut->event}, {"phase", r.cut->phase}, {"why", r.cut->why}};
    }
    if (r.mismatch) {
        report["difference"] = {{"event", r.mismatch->event},
                                {"phase", r.mismatch->phase},
                                {"recorded", r.mismatch->recorded},
                                {"came", r.mismatch->came}};
    }
    if (!json_output) {
        std::printf("trace     : %s\n%s", path.c_str(), trace::printable(trace::report_text(r)).c_str());
    }
    return r.mismatch ? exitcode::FAILED : exitcode::OK;
}

// The board directory of what the trace saw: flash.bin, fseg.bin and
// registers.txt as the trace saw them, ec-ram.bin with the bytes it read
// (0 elsewhere), smbus-eeprom.bin erased (a trace sees no EEPROM byte).
int board(const std::string& path, const std::string& dir, bool at_end, bool replace,
          nlohmann::json& report) {
    trace::Trace t = load(path, true);
    trace::CapturedState s = trace::captured_state(t, at_end);
    if (!s.flash) {
        throw Error{exitcode::USAGE,
                    path +
                        ": the trace never saw the whole flash (it holds no update, check or "
                        "backup): no board can start from it"};
    }
    std::error_code ec;
    std::filesystem::create_directories(u8::path(dir), ec);
    const Existing existing = replace ? Existing::Replace : Existing::Keep;
    auto put = [&](const char* name, const std::vector<uint8_t>& bytes) {
        if (Status err = write_file_atomic(dir + "/" + name, bytes.data(), bytes.size(), existing)) {
            throw Error{err->code,
                        err->text + (err->code == exitcode::USAGE ? " (--replace writes over it)" : "")};
        }
    };
    std::vector<uint8_t> ram(256, 0), eeprom(256, 0xFF);
    size_t ram_known = 0;
    for (size_t i = 0; i < ram.size(); ++i) {
        if (s.ec_ram[i]) {
            ram[i] = *s.ec_ram[i];
            ++ram_known;
        }
    }
    std::string registers;
    for (auto [reg, value] : s.registers) {
        registers += trace::hex(reg, 4) + " " + trace::hex(value, 2) + "\n";
    }
    put("ec-ram.bin", ram);
    put("smbus-eeprom.bin", eeprom);
    if (s.fseg) {
        put("fseg.bin", *s.fseg);
    }
    if (!registers.empty()) {
        put("registers.txt", std::vector<uint8_t>(registers.begin(), registers.end()));
    }
    put("flash.bin", *s.flash);  // last: a board is whole once its firmware is there
    report = {{"trace", path},
              {"board", dir},
              {"state", at_end ? "as the recording left it" : "as the recording found it"},
              {"fseg", s.fseg.has_value()},
              {"registers", s.registers.size()},
              {"ec_ram_bytes_read", ram_known}};
    if (!json_output) {
        std::printf("board %s: made from %s, %s\n", dir.c_str(), path.c_str(),
                    at_end ? "as the recording left it" : "as the recording found it");
        std::printf("flash         : the 2 MiB as the trace saw them\n");
        std::printf("F-segment     : %s\n",
                    s.fseg ? "the board's own, with its flash interface" : "not seen: the simulator's");
        std::printf("registers     : %s\n", registers.empty()
                                                ? "none read: the simulator's (0)"
                                                : (std::to_string(s.registers.size()) + " as read").c_str());
        std::printf("EC RAM        : %zu of 256 bytes read in the trace; the others 0\n", ram_known);
        std::printf("SMBus EEPROM  : not seen: erased (0xFF)\n");
    }
    return exitcode::OK;
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
    std::string other;
    CLI::App* diff_cmd =
        app.add_subcommand("diff", "where two traces of the same operation part; exit 1 when they do");
    diff_cmd->add_option("A", path, "a trace (.kvt), say the good board's")->required();
    diff_cmd->add_option("B", other, "another trace of the same operation")->required();
    std::string dir;
    bool at_end = false, replace = false;
    CLI::App* board_cmd = app.add_subcommand(
        "board", "make a simulated board (a kovaflash --board folder) of what the trace saw");
    board_cmd->add_option("TRACE", path, "the trace (.kvt)")->required();
    board_cmd->add_option("DIR", dir, "the board folder to write")->required();
    board_cmd->add_flag("--end", at_end, "the board as the recording left it (default: as it found it)");
    board_cmd->add_flag("--replace", replace, "write over the files of a board already there");

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
        code = show_cmd->parsed()    ? show(path, events, report)
               : board_cmd->parsed() ? board(path, dir, at_end, replace, report)
               : diff_cmd->parsed()  ? diff(path, other, report)
                                     : replay(path, image, report);
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
