// The board's history: every write the tool made to the board or its trust,
// one JSON object a line, oldest first. It is the audit log and decides
// nothing (the board's state does, board_state.h). It is written whole or
// not at all and never through a link; a damaged one is refused and named,
// never read as empty or reset.
#ifndef KOVA_RECORDS_HISTORY_H
#define KOVA_RECORDS_HISTORY_H

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"

namespace records {

constexpr char HISTORY_FILE[] = "history.jsonl";
// Records kept; past this the oldest are dropped (and the tool says so).
constexpr size_t HISTORY_MAX_RECORDS = 1000;
// A record longer than this is not one the tool wrote: the tool shortens
// the longest texts of a record (to HISTORY_SHORTENED_BYTES, marked with
// "shortened") until it fits.
constexpr size_t HISTORY_MAX_LINE_BYTES = 8192;
constexpr size_t HISTORY_SHORTENED_BYTES = 512;
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

// The record as one line of at most HISTORY_MAX_LINE_BYTES (its newline
// not counted): each text longer than HISTORY_SHORTENED_BYTES, longest
// first, cut on a character's edge and ended by "...", while the line is too
// long; the names of those cut listed in "shortened".
std::string history_line(const Record& record);

// "YYYY-MM-DDTHH:MM:SSZ" and "YYYYMMDD-HHMMSS" of the time now, UTC.
std::string utc_now();
std::string utc_stamp();

}  // namespace records

#endif
