#include "backups.h"

#include <algorithm>

namespace records {

namespace {

bool is_digits(const std::string& t) {
    return !t.empty() && t.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

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
