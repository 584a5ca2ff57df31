#include "replay.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>

#include "update/identity.h"

namespace trace {

namespace {

struct EntryShape {
    const char* name;
    std::vector<const char*> args;
    bool image;
    bool returns = true;  // false: a void entry, whose result is noted as 0
};
const std::vector<EntryShape>& entries() {
    static const std::vector<EntryShape> list = {
        {"KOVA_update_bios_firmware", {"handle", "flags"}, true},
        {"KOVA_check_bios_image", {"handle", "flags"}, true},
        {"KOVA_get_ec_ram", {"index"}, false},
        {"KOVA_set_ec_ram", {"index", "value"}, false, false},
        {"KOVA_read_flash_byte", {"address"}, false},
        {"KOVA_smbus_write_byte", {"slave", "command", "value"}, false},
        {"KOVA_smbus_write_word", {"slave", "command", "value"}, false},
        {"KOVA_smbus_write_block", {"slave", "command", "value"}, false},
        {"ACPI_require_global_lock", {}, false, false},
        {"ACPI_release_global_lock", {}, false, false},
    };
    return list;
}

const EntryShape* shape_of(const std::string& entry) {
    for (const EntryShape& s : entries()) {
        if (entry == s.name) {
            return &s;
        }
    }
    return nullptr;
}

bool number(const std::string& text, uint32_t& out) {
    if (text.empty() || text.size() > 10) {
        return false;
    }
    char* end = nullptr;
    unsigned long v = std::strtoul(text.c_str(), &end, 10);
    out = uint32_t(v);
    return *end == '\0' && v <= 0xFFFFFFFFul;
}

std::string sha256_hex(const std::vector<uint8_t>& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &n, EVP_sha256(), nullptr);
    std::string out;
    for (unsigned i = 0; i < n; ++i) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        out += two;
    }
    return out;
}

}  // namespace

Status check_replayable(const Trace& t, const std::vector<uint8_t>* image) {
    auto bad = [](const std::string& why) { return Error{exitcode::USAGE, why}; };
    // The board the recorder was made for; what the flash itself said is
    // the trace's to show (an identity refusal is a trace of a foreign flash).
    auto board = t.header.find("board");
    if (board == t.header.end() || board->second != kova::identity::BOARD_MODEL) {
        return bad("the trace was recorded for " +
                   (board == t.header.end() ? std::string("no named board") : "board " + board->second) +
                   ", not " + kova::identity::BOARD_MODEL + ": this library does not replay it");
    }
    size_t calls = 0;
    std::optional<size_t> open_call;  // the index of a call whose outcome is not yet noted
    for (size_t i = 0; i < t.events.size(); ++i) {
        const Event& e = t.events[i];
        if (e.kind != Kind::Note) {
            continue;
        }
        std::optional<Call> c = parse_call(e.text());
        if (!c) {
            if (!parse_outcome(e.text())) {
                return bad("a note the replay does not know: \"" + e.text() + "\"");
            }
            open_call.reset();
            continue;
        }
        if (open_call) {
            return bad("event " + std::to_string(*open_call) + " notes the call \"" +
                       t.events[*open_call].text() +
                       "\" without its outcome, and another call follows: the host's notes are not whole");
        }
        open_call = i;
        ++calls;
        const EntryShape* s = shape_of(c->entry);
        if (!s) {
            return bad("the trace calls " + c->entry + ", which the library does not export");
        }
        for (const char* a : s->args) {
            uint32_t v = 0;
            if (!c->args.count(a) || !number(c->args[a], v)) {
                return bad("the call \"" + e.text() + "\" lacks its " + a);
            }
        }
        if (s->image) {
            if (!image) {
                return bad("the trace calls " + c->entry +
                           " with an image: give that image (its SHA-256 is " + c->args["image-sha256"] +
                           ")");
            }
            if (c->args["image-sha256"] != sha256_hex(*image)) {
                return bad("the image given is not the one the trace's " + c->entry +
                           " was called with (SHA-256 " + c->args["image-sha256"] + ")");
            }
        }
    }
    // A complete trace ends every call it notes; one cut short may stop inside its last.
    if (open_call && t.complete) {
        return bad("event " + std::to_string(*open_call) + " notes the call \"" +
                   t.events[*open_call].text() +
                   "\" without its outcome, in a trace that is whole: the host's notes are not whole");
    }
    if (calls == 0) {
        return bad(
            "the trace holds no call into KOVA.dll noted by its host: nothing to replay (record with "
            "kovaflash, which notes every call)");
    }
    return std::nullopt;
}

ReplayReport replay(const Trace& t, ReplayBoard& board, Library& library, const std::vector<uint8_t>* image) {
    ReplayReport report;
    while (!board.stopped()) {
        size_t at = board.play_host();
        if (at >= t.events.size()) {
            break;
        }
        std::string line = t.events[at].text();
        board.skip();
        std::optional<Call> c = parse_call(line);
        if (!c) {
            continue;  // an outcome whose call came before the trace began
        }
        const EntryShape* s = shape_of(c->entry);
        std::vector<uint32_t> args;
        for (const char* a : s->args) {
            uint32_t v = 0;
            number(c->args[a], v);
            args.push_back(v);
        }
        if (auto n = c->args.find("count"); n != c->args.end() && !n->second.empty()) {
            char* end = nullptr;
            long count = std::strtol(n->second.c_str(), &end, 10);
            if (*end == '\0') {
                library.set_block_count(int32_t(count));
            }
        }
        CallReport call;
        call.line = line;
        uint32_t result = library.call(c->entry, args, s->image && image ? image->data() : nullptr);
        if (!s->returns) {
            result = 0;  // what was left in the result register means nothing
        }
        Outcome came{result, library.block_count(), library.message()};
        const Event* next = board.peek();
        std::optional<Outcome> noted =
            next && next->kind == Kind::Note ? parse_outcome(next->text()) : std::nullopt;
        if (!board.stopped() && !noted && (next || t.complete)) {
            board.differ("the end of " + c->entry, next ? describe(*next) : "nothing more",
                         c->entry + " returned " + describe(came));
        }
        if (noted) {
            call.recorded = *noted;
            board.skip();
        } else {
            // Stopped inside the call: its recorded outcome lies further on.
            for (size_t k = board.position(); k < t.events.size() && !noted; ++k) {
                if (t.events[k].kind == Kind::Note) {
                    noted = parse_outcome(t.events[k].text());
                    if (!noted) {
                        break;
                    }
                }
            }
            if (noted) {
                call.recorded = *noted;
            }
        }
        call.recorded_none = !noted;
        if (!board.stopped()) {
            call.reproduced = came;
            if (noted && (came.result != noted->result || came.count != noted->count ||
                          came.message != noted->message)) {
                board.differ("the outcome of " + c->entry, "the call returned " + describe(*noted),
                             "it returned " + describe(came));
            }
        }
        report.calls.push_back(call);
    }
    report.mismatch = board.mismatch();
    if (!t.complete && !report.mismatch) {
        report.cut = Cut{t.events.size(), board.phase_at(t.events.size() - 1), t.cut};
    }
    return report;
}

namespace {
std::string plural_calls(size_t n) { return std::to_string(n) + (n == 1 ? " call" : " calls"); }
}  // namespace

std::string report_text(const ReplayReport& r) {
    std::string o;
    for (const CallReport& c : r.calls) {
        o += c.line + "\n  recorded  : " +
             (c.recorded_none ? std::string("none: the recording was cut inside this call")
                              : describe(c.recorded)) +
             "\n";
        o += "  replayed  : " +
             (c.reproduced ? describe(*c.reproduced) : std::string("stopped inside the call")) + "\n";
    }
    if (r.mismatch) {
        o += "result    : differs at event " + std::to_string(r.mismatch->event) + " (" + r.mismatch->phase +
             ")\n  recorded  : " + r.mismatch->recorded + "\n  came      : " + r.mismatch->came + "\n";
    } else if (r.cut) {
        o += "result    : reproduced up to the cut: " + plural_calls(r.calls.size()) +
             ", every request as recorded up to there; cut at event " + std::to_string(r.cut->event) +
             ", in phase " + r.cut->phase + " (" + r.cut->why + ")\n";
    } else {
        o += "result    : reproduced: " + plural_calls(r.calls.size()) +
             ", every request as recorded, every outcome the same\n";
    }
    return o;
}

}  // namespace trace
