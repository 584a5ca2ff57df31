#include "board_state.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <random>

#include "atomic_file.h"
#include "path_text.h"
#include "record_file.h"
#include "signing.h"

namespace records {

using nlohmann::json;

namespace {

constexpr char CHECKSUM_FIELD[] = "sha256";
constexpr size_t FLOOR_MAX_FILE_BYTES = 64;
constexpr size_t BOARD_ID_BYTES = 8;

constexpr char STATE_REMEDY[] =
    "Nothing is written while the board's state is unknown: put the file back from a copy, or move "
    "it aside together with history.jsonl to start the board's records anew (the floor starts at "
    "the older floor file's, or 0)";
constexpr char FLOOR_REMEDY[] =
    "Nothing is installed while the floor is unknown: restore the file, or write it anew "
    "(\"kova-security-floor 1\" and \"floor N\", the highest security version installed)";

std::string digest_hex(const std::string& text) {
    sigfile::Hash h = signing::sha256(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    return sigfile::hex(h.data(), h.size());
}

// The body the checksum covers: the object without its checksum, in the
// one form nlohmann writes (keys sorted, two-space indent).
std::string canonical(const json& body) { return body.dump(2); }

json firmware_json(const Firmware& f) {
    json j = {{"sha256", f.sha256},
              {"origin", f.origin},
              {"security_version", f.security_version},
              {"safeties", f.safeties}};
    for (const auto& [name, value] : {std::pair{"release", &f.release},
                                      {"key_id", &f.key_id},
                                      {"signer", &f.signer},
                                      {"trusted_keys", &f.trusted_keys}}) {
        if (!value->empty()) {
            j[name] = path_json(*value);
        }
    }
    return j;
}

json backup_json(const Backup& b) {
    return {{"path", path_json(b.path)},
            {"sha256", b.sha256},
            {"taken", b.taken},
            {"by", b.by},
            {"firmware", firmware_json(b.firmware)}};
}

json write_json(const Write& w) {
    return {{"command", w.command},
            {"image", path_json(w.image)},
            {"image_sha256", w.image_sha256},
            {"time", w.time},
            {"seq", w.seq},
            {"backup", w.backup ? backup_json(*w.backup) : json(nullptr)},
            {"firmware", firmware_json(w.firmware)}};
}

// Reading: each field of the type it must have, or the error naming it.
struct Reader {
    std::string error;

    const json* field(const json& j, const char* name, const std::string& where) {
        if (!error.empty()) {
            return nullptr;
        }
        auto f = j.find(name);
        if (f == j.end()) {
            error = where + "has no \"" + name + "\"";
            return nullptr;
        }
        return &*f;
    }
    std::string text(const json& j, const char* name, const std::string& where, bool optional = false) {
        if (optional && j.find(name) == j.end()) {
            return "";
        }
        const json* f = field(j, name, where);
        std::string out;
        if (f && !path_from_json(*f, out)) {
            error = where + "\"" + name + "\" is not text";
        }
        return out;
    }
    std::string hex(const json& j, const char* name, const std::string& where) {
        std::string t = text(j, name, where);
        if (error.empty() && (t.size() != 2 * sigfile::HASH_BYTES ||
                              t.find_first_not_of("0123456789abcdef") != std::string::npos)) {
            error = where + "\"" + name + "\" is not a SHA-256";
        }
        return t;
    }
    uint64_t number(const json& j, const char* name, const std::string& where, uint64_t max) {
        const json* f = field(j, name, where);
        if (f && (!f->is_number_unsigned() || f->get<uint64_t>() > max)) {
            error = where + "\"" + name + "\" is not a whole number up to " + std::to_string(max);
            return 0;
        }
        return f ? f->get<uint64_t>() : 0;
    }
    const json* object(const json& j, const char* name, const std::string& where, bool nullable) {
        const json* f = field(j, name, where);
        if (f && nullable && f->is_null()) {
            return nullptr;
        }
        if (f && !f->is_object()) {
            error = where + "\"" + name + "\" is not an object";
            return nullptr;
        }
        return f;
    }

    Firmware firmware(const json& j, const std::string& where) {
        Firmware f;
        f.sha256 = hex(j, "sha256", where);
        f.origin = text(j, "origin", where);
        f.release = text(j, "release", where, true);
        f.security_version = uint32_t(number(j, "security_version", where, UINT32_MAX));
        f.key_id = text(j, "key_id", where, true);
        f.signer = text(j, "signer", where, true);
        f.trusted_keys = text(j, "trusted_keys", where, true);
        const json* s = field(j, "safeties", where);
        if (s && !s->is_array()) {
            error = where + "\"safeties\" is not a list";
        }
        for (const json& one : s && s->is_array() ? *s : json::array()) {
            bool known = one == SAFETY_UNSIGNED || one == SAFETY_OLDER || one == SAFETY_FORCE;
            if (!known && error.empty()) {
                error = where + "\"safeties\" holds " + one.dump() + ", not a safety";
            }
            if (known) {
                f.safeties.push_back(one.get<std::string>());
            }
        }
        const std::string origins[] = {ORIGIN_AS_FOUND, ORIGIN_SIGNED, ORIGIN_OTHER_KEYS, ORIGIN_UNSIGNED,
                                       ORIGIN_INCOMPLETE};
        if (error.empty() &&
            std::find(std::begin(origins), std::end(origins), f.origin) == std::end(origins)) {
            error = where + "\"origin\" is \"" + f.origin + "\", not one the tool writes";
        }
        // Only a signature by the board's own keys vouches for a security version.
        if (error.empty() && f.origin != ORIGIN_SIGNED && f.security_version != 0) {
            error = where + "a security version " + std::to_string(f.security_version) +
                    " that no signature by the board's keys vouches for";
        }
        return f;
    }
    Backup backup(const json& j, const std::string& where) {
        Backup b;
        b.path = text(j, "path", where);
        b.sha256 = hex(j, "sha256", where);
        b.taken = text(j, "taken", where);
        b.by = text(j, "by", where);
        // From the root: "/..." or "\\..." (Windows: of the drive), or "X:\\...".
        bool rooted = !b.path.empty() &&
                      (b.path[0] == '/' || b.path[0] == '\\' ||
                       (b.path.size() > 2 && b.path[1] == ':' && (b.path[2] == '\\' || b.path[2] == '/')));
        if (error.empty() && !rooted) {
            error = where + "\"path\" is not absolute";
        }
        if (const json* f = object(j, "firmware", where, false)) {
            b.firmware = firmware(*f, where + "its firmware ");
        }
        return b;
    }
    Write write(const json& j, const std::string& where) {
        Write w;
        w.command = text(j, "command", where);
        if (error.empty() && w.command != "update" && w.command != "restore") {
            error = where + "\"command\" is \"" + w.command + "\"";
        }
        w.image = text(j, "image", where);
        w.image_sha256 = hex(j, "image_sha256", where);
        w.time = text(j, "time", where);
        w.seq = number(j, "seq", where, UINT64_MAX);
        if (const json* b = object(j, "backup", where, true)) {
            w.backup = backup(*b, where + "its backup: ");
        }
        if (const json* f = object(j, "firmware", where, false)) {
            w.firmware = firmware(*f, where + "its firmware: ");
        }
        return w;
    }
};

}  // namespace

bool Firmware::operator==(const Firmware& o) const {
    return sha256 == o.sha256 && origin == o.origin && release == o.release &&
           security_version == o.security_version && key_id == o.key_id && signer == o.signer &&
           trusted_keys == o.trusted_keys && safeties == o.safeties;
}
bool Backup::operator==(const Backup& o) const {
    return path == o.path && sha256 == o.sha256 && taken == o.taken && by == o.by && firmware == o.firmware;
}
bool Write::operator==(const Write& o) const {
    return command == o.command && image == o.image && image_sha256 == o.image_sha256 && time == o.time &&
           seq == o.seq && backup == o.backup && firmware == o.firmware;
}
bool BoardState::operator==(const BoardState& o) const {
    return board == o.board && created == o.created && floor == o.floor && installed == o.installed &&
           last_write == o.last_write && unfinished == o.unfinished && backups == o.backups;
}

std::string format_state(const BoardState& s) {
    json backups = json::array();
    for (const Backup& b : s.backups) {
        backups.push_back(backup_json(b));
    }
    json body = {{"format", STATE_FORMAT},
                 {"board", s.board},
                 {"created", s.created},
                 {"floor", s.floor},
                 {"installed", s.installed ? firmware_json(*s.installed) : json(nullptr)},
                 {"last_write", s.last_write ? write_json(*s.last_write) : json(nullptr)},
                 {"unfinished", s.unfinished ? write_json(*s.unfinished) : json(nullptr)},
                 {"backups", backups}};
    body[CHECKSUM_FIELD] = digest_hex(canonical(body));
    return body.dump(2) + "\n";
}

Status parse_state(std::string_view text, BoardState& out) {
    out = BoardState{};
    json j = json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        return Error{exitcode::USAGE, "not a JSON object"};
    }
    if (j.value("format", json()) != STATE_FORMAT) {
        return Error{exitcode::USAGE, std::string("not \"") + STATE_FORMAT + "\""};
    }
    auto sum = j.find(CHECKSUM_FIELD);
    if (sum == j.end() || !sum->is_string()) {
        return Error{exitcode::USAGE, "no \"sha256\" of its content"};
    }
    const std::string claimed = sum->get<std::string>();
    j.erase(CHECKSUM_FIELD);
    if (digest_hex(canonical(j)) != claimed) {
        return Error{exitcode::USAGE, "its content does not match its \"sha256\": edited by hand, or torn"};
    }
    Reader r;
    BoardState s;
    s.board = r.text(j, "board", "");
    s.created = r.text(j, "created", "");
    s.floor = uint32_t(r.number(j, "floor", "", UINT32_MAX));
    if (const json* f = r.object(j, "installed", "", true)) {
        s.installed = r.firmware(*f, "the installed firmware: ");
    }
    if (const json* w = r.object(j, "last_write", "", true)) {
        s.last_write = r.write(*w, "the last write: ");
    }
    if (const json* w = r.object(j, "unfinished", "", true)) {
        s.unfinished = r.write(*w, "the unfinished write: ");
    }
    const json* b = r.field(j, "backups", "");
    if (b && (!b->is_array() || b->size() > STATE_MAX_BACKUPS)) {
        r.error = "\"backups\" is not a list of at most " + std::to_string(STATE_MAX_BACKUPS);
    }
    for (size_t i = 0; b && b->is_array() && i < b->size() && r.error.empty(); ++i) {
        if (!(*b)[i].is_object()) {
            r.error = "backup " + std::to_string(i + 1) + " is not an object";
            break;
        }
        s.backups.push_back(r.backup((*b)[i], "backup " + std::to_string(i + 1) + ": "));
    }
    if (!r.error.empty()) {
        return Error{exitcode::USAGE, r.error};
    }
    out = std::move(s);
    return std::nullopt;
}

Status parse_floor(std::string_view text, uint32_t& floor) {
    // Either line end, and the last one optional: a file written by hand.
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    const std::string_view prefix = "floor ";
    if (lines.size() != 2 || lines[0] != "kova-security-floor 1" ||
        lines[1].substr(0, prefix.size()) != prefix) {
        return Error{exitcode::USAGE, "not \"kova-security-floor 1\" and a \"floor N\" line"};
    }
    std::string_view number = lines[1].substr(prefix.size());
    constexpr size_t MAX_DIGITS = 10;
    if (number.empty() || number.size() > MAX_DIGITS ||
        number.find_first_not_of("0123456789") != std::string_view::npos ||
        (number.size() > 1 && number[0] == '0') || std::stoull(std::string(number)) > UINT32_MAX) {
        return Error{exitcode::USAGE, "the floor is not a whole number from 0 to 4294967295"};
    }
    floor = uint32_t(std::stoull(std::string(number)));
    return std::nullopt;
}

BoardState new_state(const std::string& time) {
    BoardState s;
    std::random_device random;
    uint8_t id[BOARD_ID_BYTES];
    for (uint8_t& b : id) {
        b = uint8_t(random());
    }
    s.board = sigfile::hex(id, sizeof id);
    s.created = time;
    return s;
}

Status read_state(const std::string& dir, BoardState& out, bool& exists) {
    Status err = read_record_file(
        dir + "/" + STATE_FILE, STATE_MAX_FILE_BYTES, "a board state", STATE_REMEDY,
        [&](std::string_view text) { return parse_state(text, out); }, exists);
    if (err || exists) {
        return err;
    }
    out = new_state("");
    bool floor_file = false;
    return read_record_file(
        dir + "/" + FLOOR_FILE, FLOOR_MAX_FILE_BYTES, "a floor file", FLOOR_REMEDY,
        [&](std::string_view text) { return parse_floor(text, out.floor); }, floor_file);
}

Status write_state(const std::string& dir, const BoardState& state) {
    const std::string text = format_state(state);
    return write_file_atomic(dir + "/" + STATE_FILE, reinterpret_cast<const uint8_t*>(text.data()),
                             text.size());
}

const Backup* find_backup(const BoardState& state, const std::string& path, const std::string& sha256) {
    for (auto b = state.backups.rbegin(); b != state.backups.rend(); ++b) {
        if (b->path == path && b->sha256 == sha256) {
            return &*b;
        }
    }
    return nullptr;
}

}  // namespace records
