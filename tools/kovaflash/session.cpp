#include "session.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "atomic_file.h"
#include "image_file.h"
#include "interrupt.h"

namespace fs = std::filesystem;

namespace {

constexpr char REPAIR[] = "`kovaflash board init --replace` makes a new board there";

// A file of the board directory, named the way the directory was given
// plus '/' (which Windows takes too), so a message shows the path as typed.
fs::path board_file(const std::string& dir, const BoardFile& f) { return fs::path(dir + "/" + f.name); }

// Every state file there and whole, or throws the Error naming the first that is not.
void check_board_files(const std::string& dir) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec) || !board_files_present(dir)) {
        throw Error{exitcode::USAGE, "no board in " + dir + ": create one with `kovaflash board init`"};
    }
    for (const BoardFile& f : BOARD_FILES) {
        fs::path p = board_file(dir, f);
        fs::file_status st = fs::symlink_status(p, ec);
        if (st.type() == fs::file_type::symlink) {
            throw Error{exitcode::USAGE, p.string() +
                                             ": is a symbolic link; refused (a board file is never "
                                             "opened through one); " +
                                             REPAIR};
        }
        if (st.type() == fs::file_type::not_found) {
            throw Error{exitcode::USAGE, p.string() + ": missing; " + REPAIR};
        }
        if (st.type() != fs::file_type::regular) {
            throw Error{exitcode::USAGE, p.string() + ": not a regular file; " + REPAIR};
        }
        uintmax_t size = fs::file_size(p, ec);
        if (ec || size != f.bytes) {
            throw Error{exitcode::USAGE, p.string() + ": " +
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

std::optional<DatedBackup> parse_dated_backup(const std::string& name) {
    // Only the names the tool itself gives: pruning removes what matches, so
    // a file a person named must never pass for one.
    // backup-YYYYMMDD-HHMMSS[-N]-revR.bin, every field decimal digits.
    constexpr size_t DATE_DIGITS = 8, TIME_DIGITS = 6;
    const std::string prefix = DATED_BACKUP_PREFIX, suffix = DATED_BACKUP_SUFFIX, rev = "-rev";
    auto digits = [](const std::string& t) {
        return !t.empty() && t.find_first_not_of("0123456789") == std::string::npos;
    };
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return std::nullopt;
    }
    std::string middle = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    size_t r = middle.rfind(rev);
    if (r == std::string::npos || !digits(middle.substr(r + rev.size()))) {
        return std::nullopt;
    }
    std::string stamp = middle.substr(0, r), sequence;
    if (stamp.size() > DATE_DIGITS + 1 + TIME_DIGITS) {  // "-<n>" after the time
        sequence = stamp.substr(DATE_DIGITS + 1 + TIME_DIGITS);
        if (sequence[0] != '-' || !digits(sequence.substr(1))) {
            return std::nullopt;
        }
        stamp.resize(DATE_DIGITS + 1 + TIME_DIGITS);
    }
    if (stamp.size() != DATE_DIGITS + 1 + TIME_DIGITS || stamp[DATE_DIGITS] != '-' ||
        !digits(stamp.substr(0, DATE_DIGITS)) || !digits(stamp.substr(DATE_DIGITS + 1))) {
        return std::nullopt;
    }
    DatedBackup b;
    b.stamp = stamp;
    if (!sequence.empty()) {
        b.sequence = std::strtoul(sequence.c_str() + 1, nullptr, 10);
    }
    return b;
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
    const std::string& dir = options.board_dir;
    std::error_code ec;
    if (access != Access::Read) {
        if (access == Access::Create || !api.simulated) {
            fs::create_directories(dir, ec);
            if (ec) {
                throw Error{exitcode::ENVIRONMENT,
                            "cannot create " + dir + " (" + ec.message() + "); nothing written"};
            }
        }
        if (!fs::is_directory(dir, ec)) {
            throw Error{exitcode::USAGE, "no board in " + dir + ": create one with `kovaflash board init`"};
        }
        // A signal to a writer never cuts its write short (see interrupt.h).
        interrupt::install();
        if (Status err = lock_.acquire(dir, options.wait_seconds)) {
            throw *err;
        }
        interrupt::cancel_point();  // caught while waiting for the lock
        writer_ = true;
        // A writer killed mid-save leaves its temporary file behind (of a
        // board file or a backup); with the lock held, none is in use.
        remove_stale_temporaries_in(dir, [](const std::string& name) {
            for (const BoardFile& f : BOARD_FILES) {
                if (name == f.name) {
                    return true;
                }
            }
            return is_dated_backup_name(name);
        });
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

int Session::finish(int code) {
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
