// The one sequence of named steps behind check, update and restore: load,
// records, signature, release and floor, identity refusal, resume, dry run,
// plan (check ends here), confirm, backup, begin, write, save, verify,
// floor, record, prune. An update records that it began before the flash
// is written and how it ended after, so a run after one that was cut short
// can say so.
#ifndef KOVAFLASH_UPDATE_SEQUENCE_H
#define KOVAFLASH_UPDATE_SEQUENCE_H

#include <cstdint>
#include <string>

#include "session.h"

enum class Run {
    Check,    // the steps up to the plan, under the lock, nothing written
    Update,   // an image
    Restore,  // a backup this tool took of this board, or any image as an update takes it
};

struct UpdateRequest {
    Run run = Run::Update;
    std::string image_path;  // restore: the backup; empty: the one the last update took
    uint32_t handle = 1;     // firmware callback handle passed to the library
    bool map = false;
    std::string backup_path;  // empty: a dated file in the board directory
    bool no_backup = false;
    uint32_t keep_backups = 3;  // dated backups kept besides the oldest
};

constexpr uint32_t MAX_KEPT_BACKUPS = 1000;

// Runs the sequence; the exit code, or throws Error.
int run_sequence(Session& s, const UpdateRequest& request);

#endif
