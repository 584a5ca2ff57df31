#include "show.h"

#include <cstdio>
#include <cstring>

#include "describe.h"
#include "flash_map.h"
#include "zunda.h"

namespace {

using trace::Event;
using trace::Kind;

// The firmware's code that programs a block from the transfer buffer.
constexpr uint8_t CODE_WRITE = 0x23;

nlohmann::json& phase_entry(nlohmann::json& call, const std::string& phase) {
    nlohmann::json& list = call["phases"];
    if (list.empty() || list.back()["phase"] != phase) {
        list.push_back({{"phase", phase}, {"operations", 0}, {"blocks_written", nlohmann::json::array()}});
    }
    return list.back();
}

std::string plural(size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string header_field(const trace::Trace& t, const char* key) {
    auto it = t.header.find(key);
    return it == t.header.end() ? std::string("unknown") : it->second;
}

std::string seconds(uint32_t ms) {
    char s[32];
    std::snprintf(s, sizeof s, "%u.%03u s", ms / 1000, ms % 1000);
    return s;
}

// One line: who made which calls, and how the session ended.
std::string summary(const trace::Trace& t, const nlohmann::json& shown) {
    const nlohmann::json& calls = shown["calls"];
    std::string s =
        header_field(t, "tool") + " made " + plural(calls.size(), "call", "calls") + " into KOVA.dll";
    std::vector<std::string> names;
    for (const auto& c : calls) {
        std::string line = c["call"].get<std::string>().substr(5);
        std::string entry = line.substr(0, line.find(' '));
        if (names.empty() || names.back() != entry) {
            names.push_back(entry);
        }
    }
    for (size_t i = 0; i < names.size(); ++i) {
        s += (i == 0 ? " (" : ", ") + names[i] + (i + 1 == names.size() ? ")" : "");
    }
    if (!calls.empty() && calls.back().contains("returned")) {
        const auto& r = calls.back()["returned"];
        s += "; the last returned " + r["result"].get<std::string>() + " \"" +
             r["message"].get<std::string>() + "\"";
    } else if (!calls.empty()) {
        s += "; the trace ends inside the last";
    }
    s += t.complete ? "; the recording is whole" : "; the recording was cut short (" + t.cut + ")";
    return s;
}

}  // namespace

nlohmann::json show_trace(const trace::Trace& t, bool events) {
    nlohmann::json out;
    out["format"] = t.version;
    out["complete"] = t.complete;
    if (!t.complete) {
        out["cut"] = t.cut;
    }
    out["header"] = t.header;
    out["board"] = t.board;
    out["events"] = t.events.size();
    out["calls"] = nlohmann::json::array();
    std::vector<std::string> phase = trace::phases(t);
    size_t host_operations = 0, library_outside = 0;
    nlohmann::json* call = nullptr;
    for (size_t i = 0; i < t.events.size(); ++i) {
        const Event& e = t.events[i];
        if (e.kind == Kind::Note) {
            // From format 2 a note carries its time: milliseconds since the recording began.
            if (trace::parse_call(e.text())) {
                out["calls"].push_back({{"call", e.text()}, {"phases", nlohmann::json::array()}});
                call = &out["calls"].back();
                if (t.version >= 2) {
                    (*call)["at_ms"] = e.a;
                }
            } else if (auto o = trace::parse_outcome(e.text()); o && call) {
                (*call)["returned"] = {
                    {"result", trace::hex(o->result, 8)}, {"count", o->count}, {"message", o->message}};
                if (t.version >= 2) {
                    (*call)["returned"]["at_ms"] = e.a;
                }
                call = nullptr;
            }
            continue;
        }
        bool operation = e.kind != Kind::LibWrite && e.kind != Kind::BoardWrite && e.kind != Kind::Board &&
                         e.kind != Kind::Header;
        if (!call) {
            // Outside every noted call: the host's own, or the library's
            // when its host noted nothing (the recorder knows the caller).
            if (operation) {
                ++(e.from_library() ? library_outside : host_operations);
            }
            continue;
        }
        if (!operation) {
            continue;
        }
        nlohmann::json& p = phase_entry(*call, phase[i]);
        p["operations"] = p["operations"].get<size_t>() + 1;
        if (e.kind == Kind::Callback) {
            flash_command_record r{};
            std::memcpy(&r, e.data.data(), sizeof r);
            if (r.code == CODE_WRITE) {
                p["blocks_written"].push_back(trace::hex(r.flash_address - flashmap::FLASH_BASE, 6));
            }
        }
    }
    out["host_operations"] = host_operations;
    out["library_operations_outside_calls"] = library_outside;
    out["summary"] = summary(t, out);
    if (events) {
        out["event_list"] = nlohmann::json::array();
        trace::Narrator narrator;
        for (size_t i = 0; i < t.events.size(); ++i) {
            trace::Context c = narrator.next(t.events[i]);
            out["event_list"].push_back({{"index", i},
                                         {"phase", phase[i]},
                                         {"event", trace::describe(t.events[i], &c)},
                                         {"from_library", t.events[i].from_library()}});
        }
    }
    return out;
}

std::string show_text(const nlohmann::json& s) {
    std::string o;
    auto field = [&](const nlohmann::json& m, const char* k) {
        return m.contains(k) ? m[k].get<std::string>() : std::string("unknown");
    };
    const nlohmann::json& h = s["header"];
    o += "summary   : " + s["summary"].get<std::string>() + "\n";
    o += "complete  : " +
         (s["complete"].get<bool>() ? std::string("yes") : "NO: " + s["cut"].get<std::string>()) + "\n";
    o += "recorded  : " + field(h, "time") + " by " + field(h, "tool") +
         (h.contains("tool-version") ? " " + field(h, "tool-version") : std::string()) + " (format " +
         std::to_string(s["format"].get<int>()) + ", recorder " + field(h, "recorder") + ")\n";
    if (h.contains("library")) {
        o += "library   : " + field(h, "library") + " " + field(h, "library-version") + " (SHA-256 " +
             field(h, "library-sha256") + ")\n";
    }
    o += "maker     : " + field(h, "maker") + " (SHA-256 " + field(h, "maker-sha256") + ")\n";
    if (h.contains("blanked")) {
        o += "blanked   : " + field(h, "blanked") + "\n";
    }
    if (s["board"].empty()) {
        o += "board     : not seen (the flash's top 64 KiB were never mapped)\n";
    } else {
        o += "board     : model " + field(s["board"], "model") + ", vendor " + field(s["board"], "vendor") +
             ", platform tag " + field(s["board"], "platform-tag") + ", revision " +
             field(s["board"], "revision") + "\n";
    }
    size_t host = s["host_operations"].get<size_t>(),
           outside = s["library_operations_outside_calls"].get<size_t>();
    o += "events    : " + std::to_string(s["events"].get<size_t>()) + " (" +
         plural(host, "operation", "operations") + " by the host outside its calls" +
         (outside ? ", " + plural(outside, "operation", "operations") + " by KOVA.dll outside any noted call"
                  : std::string()) +
         ")\n";
    for (const auto& c : s["calls"]) {
        o += c["call"].get<std::string>();
        if (c.contains("at_ms")) {
            o += "   [at " + seconds(c["at_ms"].get<uint32_t>()) + "]";
        }
        o += "\n";
        for (const auto& p : c["phases"]) {
            std::string line = "  " + p["phase"].get<std::string>();
            line.resize(std::max<size_t>(line.size(), 40), ' ');
            line += plural(p["operations"].get<size_t>(), "operation", "operations");
            size_t written = p["blocks_written"].size();
            if (written > 0) {
                line += ", " + plural(written, "block write", "block writes") + ":";
                for (size_t i = 0; i < written && i < 8; ++i) {
                    line += " " + p["blocks_written"][i].get<std::string>();
                }
                if (written > 8) {
                    line += " ...";
                }
            }
            o += line + "\n";
        }
        if (c.contains("returned")) {
            const auto& r = c["returned"];
            o += "  returned " + r["result"].get<std::string>() + ", counter " +
                 std::to_string(r["count"].get<int>()) + ", \"" + r["message"].get<std::string>() + "\"";
            if (r.contains("at_ms") && c.contains("at_ms")) {
                o += " after " + seconds(r["at_ms"].get<uint32_t>() - c["at_ms"].get<uint32_t>());
            }
            o += "\n";
        } else {
            o += "  (the trace ends inside this call)\n";
        }
    }
    if (s.contains("event_list")) {
        for (const auto& e : s["event_list"]) {
            o += "#" + std::to_string(e["index"].get<size_t>()) + " [" + e["phase"].get<std::string>() +
                 "] " + (e["from_library"].get<bool>() ? "" : "(host) ") + e["event"].get<std::string>() +
                 "\n";
        }
    }
    return trace::printable(o);
}
