// The dated backups an update takes in the board directory, and which of
// them pruning removes.
#ifndef KOVA_RECORDS_BACKUPS_H
#define KOVA_RECORDS_BACKUPS_H

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace records {

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

}  // namespace records

#endif
