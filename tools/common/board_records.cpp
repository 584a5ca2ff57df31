#include "board_records.h"

#include <algorithm>
#include <ctime>
#include <filesystem>

#include "atomic_file.h"
#include "file_read.h"
#include "utf8_path.h"

namespace records {

namespace {

constexpr char FLOOR_FORMAT[] = "kova-security-floor 1";
constexpr size_t FLOOR_MAX_FILE_BYTES = 64;

std::string path_in(const std::string& dir, const char* name) { return dir + "/" + name; }

bool file_missing(const std::string& path) {
    std::error_code ec;
    return std::filesystem::symlink_status(u8::path(path), ec).type() ==
           std::filesystem::file_type::not_found;
}

Error damaged(const std::string& path, const std::string& what, const std::string& remedy) {
    return Error{exitcode::USAGE, path + ": damaged (" + what + "); kept as it is. " + remedy};
}

constexpr char HISTORY_REMEDY[] =
    "Move it aside to start a new history; the board's records are never reset by the tool";
constexpr char FLOOR_REMEDY[] =
    "Nothing is installed while the floor is unknown: restore the file, or write it anew "
    "(\"kova-security-floor 1\" and \"floor N\", the highest security version installed)";

bool is_digits(std::string_view t) {
    return !t.empty() && t.find_first_not_of("0123456789") == std::string_view::npos;
}

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
        text += r.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    }
    return text;
}

Status read_history(const std::string& dir, std::vector<Record>& out) {
    out.clear();
    const std::string path = path_in(dir, HISTORY_FILE);
    if (file_missing(path)) {
        return std::nullopt;
    }
    std::string text;
    if (Status err = read_text_file(path, HISTORY_MAX_FILE_BYTES, "a history", text)) {
        return damaged(path, err->text, HISTORY_REMEDY);
    }
    if (Status err = parse_history(text, out)) {
        return damaged(path, err->text, HISTORY_REMEDY);
    }
    return std::nullopt;
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

namespace {

bool is_begun(const Record& r) {
    const std::string event = r.value("event", "");
    return event == EVENT_UPDATE_BEGUN || event == EVENT_RESTORE_BEGUN;
}

}  // namespace

std::optional<Record> unfinished(const std::vector<Record>& history) {
    for (auto r = history.rbegin(); r != history.rend(); ++r) {
        if (!is_begun(*r)) {
            continue;
        }
        uint64_t seq = (*r)["seq"].get<uint64_t>();
        bool ended = std::any_of(r.base(), history.end(), [&](const Record& later) {
            auto b = later.find("begun");
            return b != later.end() && b->is_number_unsigned() && b->get<uint64_t>() == seq;
        });
        return ended ? std::nullopt : std::optional<Record>(*r);
    }
    return std::nullopt;
}

std::optional<Record> last_update_backup(const std::vector<Record>& history) {
    for (auto r = history.rbegin(); r != history.rend(); ++r) {
        const std::string event = r->value("event", "");
        bool update = event == EVENT_UPDATE || event == EVENT_UPDATE_BEGUN;
        auto sha = r->find("backup_sha256");
        if (update && sha != r->end() && sha->is_string()) {
            return *r;
        }
    }
    return std::nullopt;
}

std::optional<Record> backup_taken(const std::vector<Record>& history, const std::string& sha256) {
    for (auto r = history.rbegin(); r != history.rend(); ++r) {
        auto sha = r->find("backup_sha256");
        if (sha != r->end() && sha->is_string() && sha->get<std::string>() == sha256) {
            return *r;
        }
    }
    return std::nullopt;
}

Status parse_floor(std::string_view text, uint32_t& floor) {
    const std::string head = std::string(FLOOR_FORMAT) + "\nfloor ";
    if (text.substr(0, head.size()) != head || text.empty() || text.back() != '\n') {
        return Error{exitcode::USAGE, std::string("not \"") + FLOOR_FORMAT + "\" and a \"floor N\" line"};
    }
    std::string_view number = text.substr(head.size(), text.size() - head.size() - 1);
    constexpr size_t MAX_DIGITS = 10;
    if (!is_digits(number) || number.size() > MAX_DIGITS || (number.size() > 1 && number[0] == '0') ||
        std::stoull(std::string(number)) > UINT32_MAX) {
        return Error{exitcode::USAGE, "the floor is not a whole number from 0 to 4294967295"};
    }
    floor = uint32_t(std::stoull(std::string(number)));
    return std::nullopt;
}

std::string format_floor(uint32_t floor) {
    return std::string(FLOOR_FORMAT) + "\nfloor " + std::to_string(floor) + "\n";
}

Status read_floor(const std::string& dir, uint32_t& floor) {
    floor = 0;
    const std::string path = path_in(dir, FLOOR_FILE);
    if (file_missing(path)) {
        return std::nullopt;
    }
    std::string text;
    if (Status err = read_text_file(path, FLOOR_MAX_FILE_BYTES, "a floor file", text)) {
        return damaged(path, err->text, FLOOR_REMEDY);
    }
    if (Status err = parse_floor(text, floor)) {
        return damaged(path, err->text, FLOOR_REMEDY);
    }
    return std::nullopt;
}

Status write_floor(const std::string& dir, uint32_t floor) {
    const std::string text = format_floor(floor);
    return write_file_atomic(path_in(dir, FLOOR_FILE), reinterpret_cast<const uint8_t*>(text.data()),
                             text.size());
}

std::optional<DatedBackup> parse_dated_backup(const std::string& name) {
    // backup-YYYYMMDD-HHMMSS[-N]-(revR|incomplete).bin, every number decimal
    // digits: a file a person named must never pass for one.
    constexpr size_t DATE_DIGITS = 8, TIME_DIGITS = 6, STAMP = DATE_DIGITS + 1 + TIME_DIGITS;
    const std::string prefix = DATED_BACKUP_PREFIX, suffix = DATED_BACKUP_SUFFIX;
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return std::nullopt;
    }
    std::string middle = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    size_t tag_at = middle.rfind('-');
    if (tag_at == std::string::npos) {
        return std::nullopt;
    }
    std::string tag = middle.substr(tag_at + 1), stamp = middle.substr(0, tag_at), sequence;
    bool revision = tag.size() > 3 && tag.compare(0, 3, "rev") == 0 && is_digits(tag.substr(3));
    if (!revision && tag != INCOMPLETE_TAG) {
        return std::nullopt;
    }
    if (stamp.size() > STAMP) {  // "-<n>" after the time
        sequence = stamp.substr(STAMP);
        if (sequence[0] != '-' || !is_digits(sequence.substr(1)) || sequence.size() > 10) {
            return std::nullopt;
        }
        stamp.resize(STAMP);
    }
    if (stamp.size() != STAMP || stamp[DATE_DIGITS] != '-' || !is_digits(stamp.substr(0, DATE_DIGITS)) ||
        !is_digits(stamp.substr(DATE_DIGITS + 1))) {
        return std::nullopt;
    }
    DatedBackup b;
    b.stamp = stamp;
    if (!sequence.empty()) {
        b.sequence = std::stoul(sequence.substr(1));
    }
    return b;
}

std::string dated_backup_name(const std::string& stamp, unsigned long sequence, const std::string& tag) {
    return DATED_BACKUP_PREFIX + stamp + (sequence > 1 ? "-" + std::to_string(sequence) : std::string()) +
           "-" + tag + DATED_BACKUP_SUFFIX;
}

std::vector<std::string> backups_to_prune(const std::vector<std::string>& names, size_t keep,
                                          const std::set<std::string>& kept) {
    // Oldest first by the name's own time and sequence number: file times
    // may be coarser than the second that two backups share.
    std::vector<std::pair<DatedBackup, std::string>> dated;
    for (const std::string& n : names) {
        if (auto b = parse_dated_backup(n)) {
            dated.emplace_back(*b, n);
        }
    }
    std::sort(dated.begin(), dated.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    std::vector<std::string> removed;
    if (dated.size() <= 2) {
        return removed;
    }
    // Between the oldest and the newest, the newest `keep` of the rest
    // stay; those protected stay whatever their age and count as kept.
    size_t middle = dated.size() - 2;
    size_t keep_rest = keep > 0 ? keep - 1 : 0;  // the newest is one of the `keep`
    size_t removable = middle > keep_rest ? middle - keep_rest : 0;
    for (size_t i = 1; i + 1 < dated.size() && removable > 0; ++i) {
        if (kept.count(dated[i].second)) {
            continue;
        }
        removed.push_back(dated[i].second);
        --removable;
    }
    return removed;
}

}  // namespace records
