// The board's records, kept by the host tool in the board's records folder:
// the history of every write (one JSON object a line, oldest first), the
// rollback floor (the highest security version installed through the tool),
// and the dated backups an update takes. Each file is written whole or not at
// all and never through a link; a damaged one is refused and named, never
// read as empty or reset.
#ifndef KOVA_HOST_BOARD_RECORDS_H
#define KOVA_HOST_BOARD_RECORDS_H

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"

namespace records {

constexpr char HISTORY_FILE[] = "history.jsonl";
constexpr char FLOOR_FILE[] = "security-floor";
// Records kept; past this the oldest are dropped (and the tool says so).
constexpr size_t HISTORY_MAX_RECORDS = 1000;
// A record longer than this is not one the tool wrote.
constexpr size_t HISTORY_MAX_LINE_BYTES = 8192;
constexpr size_t HISTORY_MAX_FILE_BYTES = HISTORY_MAX_RECORDS * HISTORY_MAX_LINE_BYTES;

// Events of the history. An update and a restore each leave two records:
// "...-begun" before the flash is written, and the outcome after, which
// names the first by its "begun" sequence number.
constexpr char EVENT_UPDATE_BEGUN[] = "update-begun";
constexpr char EVENT_UPDATE[] = "update";
constexpr char EVENT_RESTORE_BEGUN[] = "restore-begun";
constexpr char EVENT_RESTORE[] = "restore";

using Record = nlohmann::json;

// The history's text, parsed: every line a JSON object with a "seq" that
// rises by one from line to line, a "time" and an "event". Anything else is
// damage: exitcode::USAGE naming the line. An empty text is no history.
Status parse_history(std::string_view text, std::vector<Record>& out);
std::string format_history(const std::vector<Record>& history);

// The history in `dir` (none when the file is missing). Damaged or not a
// regular file: exitcode::USAGE naming the file and saying what to do.
Status read_history(const std::string& dir, std::vector<Record>& out);
// Adds `record` to the history in `dir` with the next "seq" and `time`
// (UTC, "YYYY-MM-DDTHH:MM:SSZ"), the whole file replaced in one step; past
// `limit` records the oldest go, and `dropped` says how many. Gives the
// record its "seq" back.
Status append_history(const std::string& dir, Record& record, const std::string& time,
                      size_t* dropped = nullptr, size_t limit = HISTORY_MAX_RECORDS);

// The update or restore that began and never recorded its end: the last
// "-begun" record that no later record names as its "begun". Nothing when
// every one that began ended.
std::optional<Record> unfinished(const std::vector<Record>& history);
// The last record of an update or restore (begun or ended) that took a
// backup: the way back from it.
std::optional<Record> last_update_backup(const std::vector<Record>& history);
// A record whose "backup_sha256" is `sha256`: a backup this tool took.
std::optional<Record> backup_taken(const std::vector<Record>& history, const std::string& sha256);

// The rollback floor: "kova-security-floor 1\nfloor N\n". A missing file
// is floor 0 (nothing installed through the tool yet); a damaged one is
// exitcode::USAGE naming it.
Status parse_floor(std::string_view text, uint32_t& floor);
std::string format_floor(uint32_t floor);
Status read_floor(const std::string& dir, uint32_t& floor);
Status write_floor(const std::string& dir, uint32_t floor);

// Dated backups in the board directory:
//   backup-YYYYMMDD-HHMMSS[-N]-revR.bin  the firmware of revision R
//   backup-YYYYMMDD-HHMMSS[-N]-incomplete.bin  a flash an update was cut short in
// N counts the backups of one second from 2.
constexpr char DATED_BACKUP_PREFIX[] = "backup-";
constexpr char DATED_BACKUP_SUFFIX[] = ".bin";
constexpr char INCOMPLETE_TAG[] = "incomplete";
struct DatedBackup {
    std::string stamp;  // YYYYMMDD-HHMMSS
    unsigned long sequence = 1;
    bool operator<(const DatedBackup& o) const {
        return stamp < o.stamp || (stamp == o.stamp && sequence < o.sequence);
    }
};
// Only the names the tool gives (pruning removes what parses).
std::optional<DatedBackup> parse_dated_backup(const std::string& name);
// `tag` is "rev<R>" or INCOMPLETE_TAG.
std::string dated_backup_name(const std::string& stamp, unsigned long sequence, const std::string& tag);

// Which of the dated backups `names` to remove so that `keep` remain besides
// the oldest: never the oldest (the firmware before the tool's first update),
// never the newest, never one in `kept` (the last update's, one being
// restored). Oldest first.
std::vector<std::string> backups_to_prune(const std::vector<std::string>& names, size_t keep,
                                          const std::set<std::string>& kept);

// "YYYY-MM-DDTHH:MM:SSZ" and "YYYYMMDD-HHMMSS" of the time now, UTC.
std::string utc_now();
std::string utc_stamp();

}  // namespace records

#endif
