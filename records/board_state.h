// The board's state: the one small file every security decision reads. It
// holds the rollback floor, the firmware installed as far as the tool knows
// and how it came, the last completed write and its backup, every backup the
// tool took that it still offers, and a write begun and not ended. It is
// written whole or not at all and read whole or refused; it carries the
// SHA-256 of its own content, so an edit of any one line is damage, not a
// new state. The history beside it is the audit log and decides nothing.
#ifndef KOVA_RECORDS_BOARD_STATE_H
#define KOVA_RECORDS_BOARD_STATE_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"

namespace records {

constexpr char STATE_FILE[] = "board-state.json";
constexpr char STATE_FORMAT[] = "kova-board-state 1";
// The file of an older kit that held only the floor; read once when there
// is no state yet, never written.
constexpr char FLOOR_FILE[] = "security-floor";
// Bounds: a state larger than this, or with more backups, is not one the
// tool wrote.
constexpr size_t STATE_MAX_FILE_BYTES = 4u << 20;
constexpr size_t STATE_MAX_BACKUPS = 1000;

// How a firmware came onto the board.
constexpr char ORIGIN_AS_FOUND[] = "as-found";      // there before the tool knew the board
constexpr char ORIGIN_SIGNED[] = "signed";          // a good signature by a key of the board's own store
constexpr char ORIGIN_OTHER_KEYS[] = "other-keys";  // a good signature by a key of another folder
constexpr char ORIGIN_UNSIGNED[] = "unsigned";      // accepted with --allow-unsigned
constexpr char ORIGIN_INCOMPLETE[] = "incomplete";  // a flash a write was cut short in

// The safeties a write may pass with, by their option names.
constexpr char SAFETY_UNSIGNED[] = "--allow-unsigned";
constexpr char SAFETY_OLDER[] = "--allow-older";
constexpr char SAFETY_FORCE[] = "--force";

struct Firmware {
    std::string sha256;  // hex
    std::string origin = ORIGIN_AS_FOUND;
    std::string release;                // the signed release, when a signature said it
    uint32_t security_version = 0;      // vouched for by the board's own keys; 0 otherwise
    std::string key_id, signer;         // the key that signed it
    std::string trusted_keys;           // the folder that key was found in
    std::vector<std::string> safeties;  // what it needed to come in (SAFETY_*)
    bool operator==(const Firmware& o) const;
};

struct Backup {
    std::string path;  // absolute, as the system names it (any bytes)
    std::string sha256;
    std::string taken;  // UTC time
    std::string by;     // "update", "restore" or "backup"
    Firmware firmware;  // what it holds
    bool operator==(const Backup& o) const;
};

struct Write {
    std::string command;  // "update" or "restore"
    std::string image;    // the file written, as given
    std::string image_sha256;
    std::string time;  // when it began
    uint64_t seq = 0;  // its "-begun" record in the history
    std::optional<Backup> backup;
    Firmware firmware;  // what it installs
    bool operator==(const Write& o) const;
};

struct BoardState {
    std::string board;  // an id of its own, new with every board made
    std::string created;
    uint32_t floor = 0;
    std::optional<Firmware> installed;
    std::optional<Write> last_write;  // the last write that completed and verified
    std::optional<Write> unfinished;  // begun, and not ended
    std::vector<Backup> backups;      // oldest first
    bool operator==(const BoardState& o) const;
};

// The state's text, checked: the format line, every field of its type, the
// SHA-256 of the rest matching. Anything else is exitcode::USAGE naming it.
Status parse_state(std::string_view text, BoardState& out);
std::string format_state(const BoardState& state);

// The state in `dir`. Missing: `exists` false, and a new state whose floor
// is an older kit's floor file's, if there is one (a damaged floor file is
// refused, never read as 0). Damaged, a link, not a regular file: exit 2,
// naming the file, kept as it is.
Status read_state(const std::string& dir, BoardState& out, bool& exists);
// Replaces the state in `dir` whole (temporary file, fsync, rename, folder
// fsync).
Status write_state(const std::string& dir, const BoardState& state);

// A new board's state: a fresh id, floor 0, nothing else.
BoardState new_state(const std::string& time);

// The backup entry at `path` (absolute) with `sha256`, if the state offers it.
const Backup* find_backup(const BoardState& state, const std::string& path, const std::string& sha256);

// An older kit's floor file: "kova-security-floor 1" and "floor N", each
// line ended by LF or CRLF, the last line end optional.
Status parse_floor(std::string_view text, uint32_t& floor);

}  // namespace records

#endif
