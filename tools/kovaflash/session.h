// What every kovaflash command shares: the global options, the exit codes,
// the board behind the library (loaded for every command, saved only by
// writers, which hold the board's lock from start to end), and the output:
// lines of text, or with --json one object on stdout; warnings and progress
// always go to stderr.
#ifndef KOVAFLASH_SESSION_H
#define KOVAFLASH_SESSION_H

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "api.h"
#include "board_lock.h"
#include "error.h"

struct GlobalOptions {
    std::string board_dir = "./kova-board";
    bool json = false;
    bool yes = false;
    bool force = false;    // install an image the board would be locked out by
    bool replace = false;  // replace an existing backup file, or the board (board init)
    double wait_seconds = 0;
    std::string signature;        // the image's signature file (default: IMAGE.sig)
    std::string trusted_keys;     // the folder of trusted keys (default: default_trusted_keys)
    bool allow_unsigned = false;  // accept an image whose signature is missing or does not check out
};

// A command ends early by throwing the Error it ends with.

// The 2 MiB image at `path`; throws the Error naming what is wrong with it.
std::vector<uint8_t> load_image(const std::string& path);
// The backups an update makes in the board directory:
// backup-<UTC date and time>-rev<revision>.bin, and for the n-th in the
// same second backup-<UTC date and time>-<n>-rev<revision>.bin.
constexpr char DATED_BACKUP_PREFIX[] = "backup-";
constexpr char DATED_BACKUP_SUFFIX[] = ".bin";
struct DatedBackup {
    std::string stamp;  // YYYYMMDD-HHMMSS
    unsigned long sequence = 1;
    bool operator<(const DatedBackup& o) const {
        return stamp < o.stamp || (stamp == o.stamp && sequence < o.sequence);
    }
};
std::optional<DatedBackup> parse_dated_backup(const std::string& name);
inline bool is_dated_backup_name(const std::string& name) { return parse_dated_backup(name).has_value(); }

// Whether `dir` holds any of the simulated board's state files.
bool board_files_present(const std::string& dir);

enum class Access {
    Read,    // the board is read; nothing in its directory is written
    Write,   // the board's lock is held; its state is saved at the end
    Create,  // board init: the lock, and a new board instead of the saved one
};

class Session {
public:
    explicit Session(const GlobalOptions& o) : options(o) {}

    const GlobalOptions& options;
    KovaApi api;
    nlohmann::json report = nlohmann::json::object();

    // Binds the library and loads the board for `access`. Throws Error.
    void open(Access access);
    // Writers only: the board's state, each file whole. Throws Error.
    void save();
    // A line of text on stdout (not with --json).
    void say(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // A line on stderr, with --json too.
    void warn(const std::string& text);
    // Ends the command with `e`: its line on stderr, its text in the report.
    // Returns its exit code.
    int fail(const Error& e);
    // Prints the JSON object (with --json) and gives the exit code back.
    int finish(int code);

    // The installed firmware, read through the hardware-access library.
    std::vector<uint8_t> installed_firmware();

private:
    BoardLock lock_;
    bool writer_ = false;
};

#endif
