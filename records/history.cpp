#include "history.h"

#include <algorithm>
#include <ctime>

#include "atomic_file.h"
#include "record_file.h"

namespace records {

namespace {

constexpr char HISTORY_REMEDY[] =
    "Move it aside to start a new history; the board's records are never reset by the tool";

std::string path_in(const std::string& dir, const char* name) { return dir + "/" + name; }

std::string utc(const char* format) {
    std::time_t now = std::time(nullptr);
    std::tm t{};
#if defined(_WIN32)
    gmtime_s(&t, &now);
#else
    gmtime_r(&now, &t);
#endif
    char text[32];
    std::strftime(text, sizeof text, format, &t);
    return text;
}

}  // namespace

std::string utc_now() { return utc("%Y-%m-%dT%H:%M:%SZ"); }
std::string utc_stamp() { return utc("%Y%m%d-%H%M%S"); }

Status parse_history(std::string_view text, std::vector<Record>& out) {
    out.clear();
    size_t line_number = 0;
    while (!text.empty()) {
        ++line_number;
        size_t end = text.find('\n');
        if (end == std::string_view::npos) {
            return Error{exitcode::USAGE,
                         "line " + std::to_string(line_number) + " has no end (a record cut short)"};
        }
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        auto wrong = [&](const std::string& what) {
            return Error{exitcode::USAGE, "line " + std::to_string(line_number) + " " + what};
        };
        if (line.size() > HISTORY_MAX_LINE_BYTES) {
            return wrong("is longer than " + std::to_string(HISTORY_MAX_LINE_BYTES) + " bytes");
        }
        Record r = Record::parse(line, nullptr, false);
        if (r.is_discarded() || !r.is_object()) {
            return wrong("is not a JSON object");
        }
        auto seq = r.find("seq");
        if (seq == r.end() || !seq->is_number_unsigned()) {
            return wrong("has no \"seq\" number");
        }
        if (!out.empty() && seq->get<uint64_t>() != out.back()["seq"].get<uint64_t>() + 1) {
            return wrong("has \"seq\" " + std::to_string(seq->get<uint64_t>()) + " after " +
                         std::to_string(out.back()["seq"].get<uint64_t>()) + " (a record lost or edited)");
        }
        for (const char* field : {"time", "event"}) {
            auto f = r.find(field);
            if (f == r.end() || !f->is_string()) {
                return wrong(std::string("has no \"") + field + "\" text");
            }
        }
        out.push_back(std::move(r));
    }
    return std::nullopt;
}

std::string format_history(const std::vector<Record>& history) {
    std::string text;
    for (const Record& r : history) {
        text += history_line(r) + "\n";
    }
    return text;
}

std::string history_line(const Record& record) {
    auto line_of = [](const Record& r) {
        return r.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    };
    std::string line = line_of(record);
    if (line.size() <= HISTORY_MAX_LINE_BYTES) {
        return line;
    }
    Record r = record;
    std::vector<std::string> cut;
    while (line.size() > HISTORY_MAX_LINE_BYTES) {
        // The longest text of the record, at the top level or one list deep.
        std::string* longest = nullptr;
        std::string name;
        for (auto& [key, value] : r.items()) {
            std::vector<Record*> texts = {&value};
            if (value.is_array()) {
                texts.clear();
                for (Record& v : value) {
                    texts.push_back(&v);
                }
            }
            for (Record* t : texts) {
                if (t->is_string() && t->get_ref<std::string&>().size() > HISTORY_SHORTENED_BYTES &&
                    (!longest || t->get_ref<std::string&>().size() > longest->size())) {
                    longest = &t->get_ref<std::string&>();
                    name = key;
                }
            }
        }
        if (!longest) {
            break;  // nothing left to shorten: the tool's own fields are short
        }
        constexpr char MARK[] = "...";
        size_t at = HISTORY_SHORTENED_BYTES - (sizeof MARK - 1);
        constexpr unsigned char CONTINUATION_MASK = 0xC0, CONTINUATION = 0x80;
        while (at > 0 && (static_cast<unsigned char>((*longest)[at]) & CONTINUATION_MASK) == CONTINUATION) {
            --at;  // a character's first byte
        }
        longest->resize(at);
        *longest += MARK;
        if (std::find(cut.begin(), cut.end(), name) == cut.end()) {
            cut.push_back(name);
        }
        r["shortened"] = cut;
        line = line_of(r);
    }
    return line;
}

Status read_history(const std::string& dir, std::vector<Record>& out) {
    out.clear();
    bool exists = false;
    return read_record_file(
        path_in(dir, HISTORY_FILE), HISTORY_MAX_FILE_BYTES, "a history", HISTORY_REMEDY,
        [&](std::string_view text) { return parse_history(text, out); }, exists);
}

Status append_history(const std::string& dir, Record& record, const std::string& time, size_t* dropped,
                      size_t limit) {
    std::vector<Record> history;
    if (Status err = read_history(dir, history)) {
        return err;
    }
    uint64_t seq = history.empty() ? 1 : history.back()["seq"].get<uint64_t>() + 1;
    Record stamped = {{"seq", seq}, {"time", time}};
    stamped.update(record);
    stamped["seq"] = seq;
    stamped["time"] = time;
    history.push_back(stamped);
    size_t excess = history.size() > limit ? history.size() - limit : 0;
    history.erase(history.begin(), history.begin() + long(excess));
    if (dropped) {
        *dropped = excess;
    }
    const std::string text = format_history(history);
    if (Status err = write_file_atomic(path_in(dir, HISTORY_FILE),
                                       reinterpret_cast<const uint8_t*>(text.data()), text.size())) {
        return err;
    }
    record = stamped;
    return std::nullopt;
}

}  // namespace records
