#include "diff.h"

#include "describe.h"

namespace {

using trace::Event;
using trace::Kind;

bool same(const Event& x, const Event& y) {
    if (x.kind != y.kind || x.data != y.data) {
        return false;
    }
    if (x.kind == Kind::Note) {
        return true;  // a note's field is its time, which two sessions never share
    }
    return x.flags == y.flags && x.a == y.a && x.b == y.b && x.c == y.c && x.d == y.d;
}

}  // namespace

nlohmann::json diff_traces(const trace::Trace& a, const trace::Trace& b) {
    std::vector<std::string> phase_a = trace::phases(a), phase_b = trace::phases(b);
    trace::Narrator narrate_a, narrate_b;
    // The header names the session (time, paths), not what it did: from event 1 on.
    size_t i = 1;
    nlohmann::json out = {{"events_a", a.events.size()}, {"events_b", b.events.size()}};
    for (; i < a.events.size() && i < b.events.size(); ++i) {
        trace::Context ca = narrate_a.next(a.events[i]), cb = narrate_b.next(b.events[i]);
        if (!same(a.events[i], b.events[i])) {
            out["parting"] = {{"event", i},
                              {"phase_a", phase_a[i]},
                              {"phase_b", phase_b[i]},
                              {"a", trace::describe(a.events[i], &ca)},
                              {"b", trace::describe(b.events[i], &cb)}};
            return out;
        }
    }
    if (a.events.size() != b.events.size()) {
        const trace::Trace& longer = a.events.size() > b.events.size() ? a : b;
        const std::vector<std::string>& phase = a.events.size() > b.events.size() ? phase_a : phase_b;
        trace::Context none;
        std::string more = trace::describe(longer.events[i], &none);
        out["parting"] = {{"event", i},
                          {"phase_a", i < a.events.size() ? phase[i] : "after its last event"},
                          {"phase_b", i < b.events.size() ? phase[i] : "after its last event"},
                          {"a", i < a.events.size() ? more : "nothing more"},
                          {"b", i < b.events.size() ? more : "nothing more"}};
    }
    return out;
}

std::string diff_text(const nlohmann::json& d) {
    if (!d.contains("parting")) {
        return "same      : both traces hold the same " + std::to_string(d["events_a"].get<size_t>()) +
               " events (their headers and the notes' times aside)\n";
    }
    const nlohmann::json& p = d["parting"];
    std::string phase = p["phase_a"] == p["phase_b"]
                            ? p["phase_a"].get<std::string>()
                            : p["phase_a"].get<std::string>() + " / " + p["phase_b"].get<std::string>();
    return trace::printable("parting   : at event " + std::to_string(p["event"].get<size_t>()) + " (" +
                            phase + "), after " + std::to_string(p["event"].get<size_t>() - 1) +
                            " events alike\n  A       : " + p["a"].get<std::string>() +
                            "\n  B       : " + p["b"].get<std::string>() + "\n");
}
