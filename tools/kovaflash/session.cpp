#include "session.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "atomic_file.h"
#include "backups.h"
#include "image_file.h"
#include "interrupt.h"
#include "permissions.h"
#include "trust_store.h"
#include "utf8_path.h"

namespace fs = std::filesystem;

namespace {

constexpr char REPAIR[] = "`kovaflash board init --replace` makes a new board there";

// A file of the board directory, named the way the directory was given
// plus '/' (which Windows takes too), so a message shows the path as typed.
fs::path board_file(const std::string& dir, const BoardFile& f) { return u8::path(dir + "/" + f.name); }

// Every state file there and whole, or throws the Error naming the first that is not.
void check_board_files(const std::string& dir) {
    std::error_code ec;
    if (!fs::is_directory(u8::path(dir), ec) || !board_files_present(dir)) {
        throw Error{exitcode::USAGE, "no board in " + dir + ": create one with `kovaflash board init`"};
    }
    for (const BoardFile& f : BOARD_FILES) {
        fs::path p = board_file(dir, f);
        fs::file_status st = fs::symlink_status(p, ec);
        if (st.type() == fs::file_type::symlink) {
            throw Error{exitcode::USAGE, u8::text(p) +
                                             ": is a symbolic link; refused (a board file is never "
                                             "opened through one); " +
                                             REPAIR};
        }
        if (st.type() == fs::file_type::not_found) {
            throw Error{exitcode::USAGE, u8::text(p) + ": missing; " + REPAIR};
        }
        if (st.type() != fs::file_type::regular) {
            throw Error{exitcode::USAGE, u8::text(p) + ": not a regular file; " + REPAIR};
        }
        uintmax_t size = fs::file_size(p, ec);
        if (ec || size != f.bytes) {
            throw Error{exitcode::USAGE, u8::text(p) + ": " +
                                             (ec ? ec.message() : std::to_string(size) + " bytes") +
                                             ", expected " + std::to_string(f.bytes) + "; " + REPAIR};
        }
    }
}

}  // namespace

std::vector<uint8_t> load_image(const std::string& path) {
    std::vector<uint8_t> image;
    if (Status err = read_image_file(path, image)) {
        throw *err;
    }
    return image;
}

bool board_files_present(const std::string& dir) {
    std::error_code ec;
    for (const BoardFile& f : BOARD_FILES) {
        if (fs::symlink_status(board_file(dir, f), ec).type() != fs::file_type::not_found) {
            return true;
        }
    }
    return false;
}

void Session::open(Access access) {
    if (Status err = bind_kova(api)) {
        throw *err;
    }
#if defined(_WIN32)
    // Access control lists guard what a board trusts; a simulated board
    // is a test's folder (natively the owners and modes are checked).
    set_permission_checks(!api.simulated);
#endif
    if (!api.recording.empty()) {
        warn("a recording ZUNDA.dll is in place (diagnostics): " + api.recording);
    }
    const std::string& dir = options.board_dir;
    std::error_code ec;
    // On a real board the folder holds only the lock's note of its holder
    // and the dated backups: made for every command.
    if (access == Access::Create || !api.simulated) {
        fs::create_directories(u8::path(dir), ec);
        if (ec) {
            throw Error{exitcode::ENVIRONMENT,
                        "cannot create " + dir + " (" + ec.message() + "); nothing written"};
        }
    }
    if (!fs::is_directory(u8::path(dir), ec)) {
        throw Error{exitcode::USAGE, api.simulated
                                         ? "no board in " + dir + ": create one with `kovaflash board init`"
                                         : dir + ": no such folder (the board's lock and backups)"};
    }
    // A signal to a writer never cuts its write short (see interrupt.h).
    interrupt::install();
    // Readers too: every exchange with the board takes several steps, and
    // a flash read during another process's write is neither image.
    auto waiting = [this](const std::string& who) {
        warn(who + "; waiting up to " + std::to_string(int(options.wait_seconds + 0.5)) +
             " s for it to let go (--wait)");
    };
    if (Status err = lock_.acquire(dir, options.wait_seconds, access == Access::Read, waiting,
                                   [] { return interrupt::received() != 0; })) {
        interrupt::cancel_point();  // a signal ended the wait: said as such
        throw *err;
    }
    interrupt::cancel_point();  // caught while waiting for the lock
    if (lock_.abandoned()) {
        warn(
            "the last holder of the board's lock ended without letting go (killed?); the board is as it "
            "left it");
    }
    if (access != Access::Read) {
        for (const std::string& folder : {dir, records_dir()}) {
            if (!folder_writable(folder)) {
                throw Error{exitcode::ENVIRONMENT,
                            folder + ": this process may not write there; nothing written"};
            }
        }
        writer_ = true;
        // A writer killed mid-save leaves its temporary files behind (of a
        // board file, a record, a backup, a trust store made aside); with
        // the lock held, none is in use.
        auto stale = [](const std::string& name) {
            for (const BoardFile& f : BOARD_FILES) {
                if (name == f.name) {
                    return true;
                }
            }
            return name == records::STATE_FILE || name == records::HISTORY_FILE || name == trust::DIR_NAME ||
                   records::parse_dated_backup(name).has_value();
        };
        remove_stale_temporaries_in(dir, stale);
        if (records_dir() != dir) {
            remove_stale_temporaries_in(records_dir(), stale);
        }
    }
    if (access != Access::Create) {
        read_state();
    }
    if (!api.simulated) {
        return;  // the real board: nothing to load
    }
    Status err;
    if (access == Access::Create) {
        err = create_board(dir);
    } else {
        check_board_files(dir);
        err = load_board(dir);
        if (err) {
            err->text += std::string("; ") + REPAIR;
        }
    }
    if (err) {
        throw *err;
    }
}

void Session::save() {
    if (!writer_ || !api.simulated) {
        return;
    }
    if (Status err = save_board()) {
        // The firmware is saved last: when anything fails, flash.bin still
        // holds what it held before this command.
        throw Error{
            err->code == exitcode::USAGE ? exitcode::USAGE : exitcode::ENVIRONMENT,
            "cannot save the board: " + err->text + "; flash.bin still holds the firmware it held before"};
    }
}

void Session::say(const char* format, ...) {
    if (options.json) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
}

void Session::warn(const std::string& text) { std::fprintf(stderr, "kovaflash: %s\n", text.c_str()); }

int Session::fail(const Error& e) {
    warn(e.text);
    report["error"] = e.text;
    return e.code;
}

void Session::close() {
    unbind_kova();
    lock_.release();
}

std::string Session::trust_dir() const {
    return trust_dir_named() ? options.trusted_keys : default_trusted_keys(options.board_dir, api.simulated);
}

std::string Session::records_dir() const { return default_records_dir(options.board_dir, api.simulated); }

// The records folder and the files in it that decisions trust: owned by
// the caller or root and writable by no one else, or refused.
void Session::read_state() {
    std::vector<std::string> trusted = {records_dir(), records_dir() + "/" + records::STATE_FILE,
                                        records_dir() + "/" + records::HISTORY_FILE};
#if !defined(_WIN32)
    trusted.push_back(options.board_dir);  // on a board, only the lock and backups live there
#endif
    for (const std::string& path : trusted) {
        if (Status err = check_private(path)) {
            throw *err;
        }
    }
    if (Status err = records::read_state(records_dir(), state_, state_exists_)) {
        throw *err;
    }
    if (!unfinished_text().empty()) {
        warn("WARNING: " + unfinished_text());
        const records::Write& w = *state_.unfinished;
        report["unfinished"] = {{"command", w.command},
                                {"image", w.image},
                                {"image_sha256", w.image_sha256},
                                {"begun", w.time},
                                {"seq", w.seq}};
    }
}

std::string Session::unfinished_text() const {
    if (!state_.unfinished) {
        return "";
    }
    const records::Write& w = *state_.unfinished;
    return "the last " + w.command + " of " + w.image + ", begun at " + w.time +
           ", did not finish: run it again to complete it";
}

void Session::store_state(const records::BoardState& state) {
    std::error_code ec;
    fs::create_directories(u8::path(records_dir()), ec);
    if (Status err = records::write_state(records_dir(), state)) {
        throw Error{err->code, "cannot write the board's state: " + err->text};
    }
    state_ = state;
    state_exists_ = true;
}

std::vector<records::Record> Session::history() const {
    std::vector<records::Record> h;
    if (Status err = records::read_history(records_dir(), h)) {
        throw *err;
    }
    return h;
}

void Session::record(records::Record& r) {
    r["tool"] = "kovaflash " + options.tool_version;
    if (api.major_version) {
        r["library"] = std::string(api.major_version) + "." + api.minor_version;
    }
    std::error_code ec;
    fs::create_directories(u8::path(records_dir()), ec);
    size_t dropped = 0;
    if (Status err = records::append_history(records_dir(), r, records::utc_now(), &dropped)) {
        throw Error{err->code, "cannot record in the history: " + err->text};
    }
    if (dropped > 0) {
        warn("history: the oldest " + std::to_string(dropped) + " record" + (dropped == 1 ? "" : "s") +
             " dropped (it keeps " + std::to_string(records::HISTORY_MAX_RECORDS) + ")");
    }
}

int Session::finish(int code) {
    close();
    if (options.json) {
        report["exit_code"] = code;
        std::printf("%s\n", report.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    }
    std::fflush(stdout);
    return code;
}

std::vector<uint8_t> Session::installed_firmware() {
    std::vector<uint8_t> flash;
    if (Status err = read_flash(flash)) {
        throw Error{err->code, "cannot read the installed firmware: " + err->text};
    }
    return flash;
}
