// What every kovaflash command shares: the global options, the exit codes,
// the board behind the library (loaded for every command, under the board's
// lock from start to end, saved only by writers), the board's records, and
// the output: lines of text, or with --json one object on stdout; warnings
// and progress always go to stderr.
#ifndef KOVAFLASH_SESSION_H
#define KOVAFLASH_SESSION_H

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "api.h"
#include "board_lock.h"
#include "board_state.h"
#include "error.h"
#include "history.h"

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
    bool allow_older = false;     // accept an image below the board's rollback floor
    std::string tool_version;
};

// A command ends early by throwing the Error it ends with.

// The 2 MiB image at `path`; throws the Error naming what is wrong with it.
std::vector<uint8_t> load_image(const std::string& path);
// Whether `dir` holds any of the simulated board's state files.
bool board_files_present(const std::string& dir);

enum class Access {
    Read,    // the board is read under its lock; nothing in its directory is written
    Write,   // the board's lock is held; its state is saved at the end
    Create,  // board init: the lock, and a new board instead of the saved one
};

class Session {
public:
    explicit Session(const GlobalOptions& o) : options(o) {}

    const GlobalOptions& options;
    KovaApi api;
    nlohmann::json report = nlohmann::json::object();

    // Binds the library, takes the board's lock and loads the board for
    // `access`. Throws Error.
    void open(Access access);
    // Whether the board's lock is held (not by a reader of a folder it may not write).
    bool locked() const { return lock_.held(); }
    // Lets the library and then the lock go (finish() does it).
    void close();
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

    // The folder of trusted keys: --trusted-keys, or the board's own.
    std::string trust_dir() const;
    bool trust_dir_named() const { return !options.trusted_keys.empty(); }
    // The board's records folder (history, rollback floor).
    std::string records_dir() const;
    // The history, oldest first. Throws Error when it is damaged.
    std::vector<records::Record> history() const;
    // The board's state, read whole when the board was opened (a damaged
    // one ends the command then); every decision reads it from here.
    records::BoardState& state() { return state_; }
    // Whether the state file was there (a board the tool never wrote has none).
    bool state_exists() const { return state_exists_; }
    // Replaces the board's state file with `state` whole, and keeps it as
    // the session's. Throws Error.
    void store_state(const records::BoardState& state);
    // The line that says a write did not finish, or "" when none is open.
    std::string unfinished_text() const;
    // Adds `record` to the history, with the tool's and library's versions;
    // says when the oldest records were dropped. Throws Error.
    void record(records::Record& record);

private:
    void read_state();

    BoardLock lock_;
    records::BoardState state_;
    bool state_exists_ = false;
    bool writer_ = false;
};

#endif
