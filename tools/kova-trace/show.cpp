#include "show.h"

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

}  // namespace

nlohmann::json show_trace(const trace::Trace& t, bool events) {
    nlohmann::json out;
    out["complete"] = t.complete;
    out["header"] = t.header;
    out["board"] = t.board;
    out["events"] = t.events.size();
    out["calls"] = nlohmann::json::array();
    std::vector<std::string> phase = trace::phases(t);
    size_t host_operations = 0;
    nlohmann::json* call = nullptr;
    for (size_t i = 0; i < t.events.size(); ++i) {
        const Event& e = t.events[i];
        if (e.kind == Kind::Note) {
            if (trace::parse_call(e.text())) {
                out["calls"].push_back({{"call", e.text()}, {"phases", nlohmann::json::array()}});
                call = &out["calls"].back();
            } else if (auto o = trace::parse_outcome(e.text()); o && call) {
                (*call)["returned"] = {
                    {"result", trace::hex(o->result, 8)}, {"count", o->count}, {"message", o->message}};
                call = nullptr;
            }
            continue;
        }
        bool operation = e.kind != Kind::LibWrite && e.kind != Kind::BoardWrite && e.kind != Kind::Board &&
                         e.kind != Kind::Header;
        if (!call) {
            host_operations += operation ? 1 : 0;
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
    if (events) {
        out["event_list"] = nlohmann::json::array();
        for (size_t i = 0; i < t.events.size(); ++i) {
            out["event_list"].push_back({{"index", i},
                                         {"phase", phase[i]},
                                         {"event", trace::describe(t.events[i])},
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
    o += "complete  : " + std::string(s["complete"].get<bool>() ? "yes" : "NO: the recording was cut short") +
         "\n";
    o += "recorded  : " + field(s["header"], "time") + " by " + field(s["header"], "tool") + "\n";
    o += "maker     : " + field(s["header"], "maker") + " (SHA-256 " + field(s["header"], "maker-sha256") +
         ")\n";
    if (s["board"].empty()) {
        o += "board     : not seen (the flash's top 64 KiB were never mapped)\n";
    } else {
        o += "board     : model " + field(s["board"], "model") + ", vendor " + field(s["board"], "vendor") +
             ", platform tag " + field(s["board"], "platform-tag") + ", revision " +
             field(s["board"], "revision") + "\n";
    }
    o += "events    : " + std::to_string(s["events"].get<size_t>()) + " (" +
         std::to_string(s["host_operations"].get<size_t>()) + " operations by the host outside its calls)\n";
    for (const auto& c : s["calls"]) {
        o += c["call"].get<std::string>() + "\n";
        for (const auto& p : c["phases"]) {
            std::string line = "  " + p["phase"].get<std::string>();
            line.resize(std::max<size_t>(line.size(), 40), ' ');
            line += std::to_string(p["operations"].get<size_t>()) + " operations";
            size_t written = p["blocks_written"].size();
            if (written > 0) {
                line += ", " + std::to_string(written) + " block writes:";
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
                 std::to_string(r["count"].get<int>()) + ", \"" + r["message"].get<std::string>() + "\"\n";
        } else {
            o += "  (the trace ends inside this call)\n";
        }
    }
    if (s.contains("event_list")) {
        for (const auto& e : s["event_list"]) {
            o += "#" + std::to_string(e["index"].get<size_t>()) + " [" + e["phase"].get<std::string>() +
                 "] " + e["event"].get<std::string>() + "\n";
        }
    }
    return o;
}
