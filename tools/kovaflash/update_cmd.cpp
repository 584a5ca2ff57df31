#include "update_cmd.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

#include "block_map.h"
#include "cli.h"
#include "image_identity.h"
#include "interrupt.h"
#include "progress.h"
#include "signature_check.h"
#include "update/result.h"
#include "update_plan.h"
#include "verify_cmd.h"

namespace {

constexpr auto POLL_INTERVAL = std::chrono::milliseconds(20);
constexpr int BAR_WIDTH = 40;
constexpr int BAR_MIN_WIDTH = 10;
// "[" "] 100%  65535/65535 blocks": what the bar line holds besides the bar.
constexpr int BAR_LINE_EXTRA = 28;
constexpr int PLAIN_STEP_PERCENT = 10;

// The counter is plain memory in the library, written by the update while
// this thread reads it: read whole aligned words, never cached.
int32_t read_counter(const KovaApi& api) { return __atomic_load_n(api.block_count, __ATOMIC_RELAXED); }

void report_result(Session& s, uint32_t code) {
    s.say("result        : 0x%08X", code);
    s.say("message       : %s", s.api.message);
    s.report["result"] = code;
    s.report["message"] = s.api.message;
    // The identity codes are about the installed firmware, not the image:
    // say so, with the field, since the library's message cannot.
    using namespace kova::result;
    bool identity = code == PLATFORM_TAG || code == BOARD_MODEL || code == SECOND_STRING || code == VENDOR ||
                    code == REVISION || code == NO_BOOT_INFO;
    if (identity) {
        auto why = ident::refusal(ident::read_identity(s.installed_firmware().data()));
        std::string cause = "the installed firmware fails the library's checks" +
                            (why ? " (" + why->text + ")" : std::string()) +
                            ", so it refuses every update of this board; the image is not the cause";
        s.say("cause         : %s", cause.c_str());
        s.report["cause"] = cause;
    }
}

// The host tool's own refusal: the checks the library makes of the
// installed firmware, applied to the image before it can be installed.
void refuse_unless_installable(Session& s, const std::vector<uint8_t>& image) {
    ident::Identity id = ident::read_identity(image.data());
    auto why = ident::refusal(id);
    s.report["installable"] = !why;
    if (!why) {
        return;
    }
    s.report["refused_field"] = why->field;
    if (!s.options.force) {
        throw Error{exitcode::REFUSED, why->text +
                                           "; once installed, the library would refuse every later update "
                                           "of this board (--force writes it anyway)"};
    }
    s.warn("WARNING: " + why->text +
           "; written anyway (--force): later updates through this library will be refused");
}

// Draws the bar on a terminal, or a plain line of percentages elsewhere;
// on stderr, so stdout stays the result (and the JSON object).
class ProgressView {
public:
    ProgressView(int32_t start, int32_t writes, bool terminal)
        : progress_(start, writes), writes_(writes), width_(bar_width()), terminal_(terminal && width_ > 0) {}

    void show(int32_t counter) {
        int pct = progress_.percent(counter);
        if (terminal_) {
            int filled = pct * width_ / 100;
            int32_t done = progress_.done(counter);
            std::fprintf(stderr, "\r[%s%s] %3d%%  %d/%d blocks", std::string(size_t(filled), '#').c_str(),
                         std::string(size_t(width_ - filled), '.').c_str(), pct, done, writes_);
        } else {
            if (!started_) {
                std::fprintf(stderr, "writing:");
                started_ = true;
            }
            while (next_step_ <= pct) {
                std::fprintf(stderr, " %d%%", next_step_);
                next_step_ += PLAIN_STEP_PERCENT;
            }
        }
    }
    void finish() { std::fprintf(stderr, "\n"); }

private:
    // A bar that fits the terminal's line (a line that wraps cannot be
    // redrawn in place); 0 when even a short one does not fit.
    static int bar_width() {
        int columns = 80;
#if defined(_WIN32)
        CONSOLE_SCREEN_BUFFER_INFO info;
        if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
            columns = info.srWindow.Right - info.srWindow.Left + 1;
        }
#else
        winsize ws{};
        if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) {
            columns = ws.ws_col;
        }
#endif
        int room = std::min(BAR_WIDTH, columns - 1 - BAR_LINE_EXTRA);
        return room >= BAR_MIN_WIDTH ? room : 0;
    }

    UpdateProgress progress_;
    int32_t writes_;
    int width_;
    bool terminal_;
    bool started_ = false;
    int next_step_ = 0;
};

// Whether someone is at a terminal on this stream. On Windows every
// character device counts as a tty to the C library, NUL included: only a
// console is one.
bool at_terminal(FILE* stream) {
#if defined(_WIN32)
    DWORD mode = 0;
    return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), &mode) != 0;
#else
    return isatty(fileno(stream)) != 0;
#endif
}

bool confirm(const std::string& path, int32_t blocks, int32_t writes) {
    // On stderr: stdout is the result (and with --json the one object).
    std::fprintf(stderr, "Write %s to the BIOS flash (%d blocks differ, %d block writes)? [y/N] ",
                 path.c_str(), blocks, writes);
    std::fflush(stderr);
    std::string answer;
    if (!std::getline(std::cin, answer)) {
        std::fprintf(stderr, "\n");  // end of input: the prompt's line still wants its end
    }
    return answer == "y" || answer == "Y" || answer == "yes";
}

// Says so when the library will resume an interrupted update of this image:
// the installed top 64 KiB fail the identity checks (power was lost while
// they were rewritten), and the copy of the new boot block an update places
// first is this image's, whole, and passes them.
void note_resume(Session& s, const std::vector<uint8_t>& flash, const std::vector<uint8_t>& image) {
    constexpr uint32_t BOOT_COPY = flashmap::BOOT_COPY_OFFSET;
    constexpr uint32_t BOOT_BLOCK = flashmap::BOOT_BLOCK_OFFSET, BOOT_BYTES = flashmap::BOOT_BLOCK_SIZE;
    auto installed = ident::refusal(ident::read_identity(flash.data()));
    if (!installed || !std::equal(flash.begin() + BOOT_COPY, flash.begin() + BOOT_COPY + BOOT_BYTES,
                                  image.begin() + BOOT_BLOCK)) {
        return;
    }
    std::vector<uint8_t> copy = flash;
    std::copy(flash.begin() + BOOT_COPY, flash.begin() + BOOT_COPY + BOOT_BYTES, copy.begin() + BOOT_BLOCK);
    if (ident::refusal(ident::read_identity(copy.data()))) {
        return;
    }
    s.say(
        "resuming      : an interrupted update of this image: the installed boot block is incomplete (%s), "
        "and this image's boot block lies whole at 0x%X, where the update copied it first",
        installed->text.c_str(), unsigned(BOOT_COPY));
    s.report["resuming_interrupted_update"] = true;
}

// The library's dry run: 0 or its failure code; the count in the report.
uint32_t dry_run(Session& s, const std::vector<uint8_t>& image, uint32_t handle) {
    uint32_t code = s.api.check_bios_image(image.data(), handle, 0);
    s.report["blocks_counted"] = read_counter(s.api);
    return code;
}

}  // namespace

namespace {

constexpr uint32_t MAX_KEPT_BACKUPS = 1000;

// The dated backups in the board directory, oldest first: of them the oldest
// (the firmware before this tool's first update) and the newest `keep` stay,
// and the tool says which others it removed. Backups the user named are
// elsewhere, or not of this form, and never touched.
void prune_dated_backups(Session& s, uint32_t keep) {
    namespace fs = std::filesystem;
    std::error_code ec;
    // Oldest first by the name's own time and sequence number: file times
    // may be coarser than the second that two backups share.
    std::vector<std::pair<DatedBackup, fs::path>> dated;
    for (const auto& entry : fs::directory_iterator(s.options.board_dir, ec)) {
        std::error_code e;
        auto b = parse_dated_backup(entry.path().filename().string());
        if (b && entry.symlink_status(e).type() == fs::file_type::regular) {
            dated.emplace_back(*b, entry.path());
        }
    }
    std::sort(dated.begin(), dated.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    std::vector<std::string> removed;
    for (size_t i = 1; i + keep < dated.size(); ++i) {
        std::error_code e;
        if (fs::remove(dated[i].second, e)) {
            removed.push_back(dated[i].second.filename().string());
        }
    }
    if (!removed.empty()) {
        std::string list;
        for (const std::string& name : removed) {
            list += (list.empty() ? "" : ", ") + name;
        }
        s.say("old backups   : removed %s (kept the oldest and the newest %u; --keep-backups)", list.c_str(),
              unsigned(keep));
        s.report["backups_removed"] = removed;
    }
}

}  // namespace

int run_check(Session& s, const UpdateOptions& o) {
    std::vector<uint8_t> image = load_image(o.image_path);
    s.open(Access::Read);
    check_signature(s, image, o.image_path, SignaturePolicy::Enforce);
    refuse_unless_installable(s, image);
    note_resume(s, s.installed_firmware(), image);
    uint32_t code = dry_run(s, image, o.handle);
    report_result(s, code);
    if (code != 0) {
        return exitcode::FAILED;
    }
    int32_t counted = read_counter(s.api);
    Comparison c = compare_firmware(s.installed_firmware(), image);
    if (c.up_to_date()) {
        s.say("up to date    : the installed firmware is this image");
        s.say(
            "blocks counted: %d (the areas at 0x%X and 0x%X that hold copies of the boot block and "
            "the first 64 KiB during an update; every update rewrites them)",
            counted, unsigned(flashmap::BOOT_COPY_OFFSET), unsigned(flashmap::FIRST_COPY_OFFSET));
    } else {
        s.say(
            "blocks differ : %d (counted once per pass that compares them; %u distinct 4 KiB blocks "
            "differ outside the 64 KiB at 0x%X that updates keep)",
            counted, unsigned(c.differing.size()), unsigned(flashmap::KEPT_OFFSET));
    }
    s.report["up_to_date"] = c.up_to_date();
    s.report["differing_blocks"] = c.differing;
    if (o.map) {
        s.say("flash vs image, 4 KiB blocks ('X' differs):\n%s", draw_block_map(c.blocks).c_str());
    }
    return exitcode::OK;
}

int run_update(Session& s, const UpdateOptions& o) {
    interrupt::install();
    std::vector<uint8_t> image = load_image(o.image_path);
    if (!o.backup_path.empty()) {
        check_backup_target(s, o.backup_path, o.image_path);  // refused before anything is done
    }
    uint32_t keep_backups = number_argument(o.keep_backups, MAX_KEPT_BACKUPS, "--keep-backups");
    // The lock is held from here to the end: the count confirmed below is
    // the count written.
    s.open(Access::Write);
    check_signature(s, image, o.image_path, SignaturePolicy::Enforce);
    refuse_unless_installable(s, image);
    std::vector<uint8_t> before = s.installed_firmware();
    note_resume(s, before, image);
    uint8_t installed_revision = ident::read_identity(before.data()).revision;
    uint8_t image_revision = ident::read_identity(image.data()).revision;
    if (image_revision < installed_revision) {
        s.warn("WARNING: the image's boot-info revision " + std::to_string(image_revision) +
               " is older than the installed " + std::to_string(installed_revision) +
               ": this is a downgrade");
        s.report["downgrade"] = true;
    }

    uint32_t code = dry_run(s, image, o.handle);
    if (code != 0) {
        report_result(s, code);
        return exitcode::FAILED;
    }
    // What the library counts (each block once per pass that compares it)
    // is not what the update writes: say both, plainly.
    int32_t counted = read_counter(s.api);
    Comparison differs = compare_firmware(before, image);
    UpdatePlan plan = plan_update(before, image, counted);
    s.say(
        "dry run       : %d block%s differ%s (%d counted by the library, once per pass); the update makes "
        "%d block writes, the copies it places and restores included",
        int(differs.differing.size()), differs.differing.size() == 1 ? "" : "s",
        differs.differing.size() == 1 ? "s" : "", counted, plan.block_writes);
    s.report["blocks_counted"] = counted;
    s.report["blocks_differ"] = differs.differing.size();
    s.report["block_writes_planned"] = plan.block_writes;
    interrupt::cancel_point();
    if (o.handle == 0) {
        s.say("dry run (handle 0): nothing written");
        report_result(s, code);
        s.report["written"] = 0;
        return exitcode::OK;
    }
    if (differs.up_to_date()) {
        s.say("up to date    : the installed firmware is this image; nothing written");
        s.report["up_to_date"] = true;
        s.report["written"] = 0;
        return exitcode::OK;
    }
    // Asking needs only someone to answer on stdin (stdout may be a pipe to
    // a log); the bar is drawn where it goes, on stderr.
    bool can_ask = at_terminal(stdin), terminal = at_terminal(stderr);
    if (!s.options.yes) {
        if (!can_ask) {
            throw Error{exitcode::USAGE, "no terminal to confirm on: pass --yes to write " + o.image_path};
        }
        bool yes = confirm(o.image_path, int32_t(differs.differing.size()), plan.block_writes);
        interrupt::cancel_point();  // Ctrl-C at the prompt
        if (!yes) {
            s.say("nothing written");
            return exitcode::FAILED;
        }
    }
    if (!o.no_backup) {
        write_backup(s, before, o.backup_path, o.image_path);
        if (o.backup_path.empty()) {
            prune_dated_backups(s, keep_backups);
        }
    }

    // From here a signal waits for the write, the save and the verify.
    interrupt::begin_writing();
    struct WritingEnds {
        ~WritingEnds() { interrupt::end_writing(); }
    } writing_ends;
    ProgressView view(counted, plan.block_writes, terminal);
    std::atomic<bool> done{false};
    std::thread poller([&] {
        while (!done.load()) {
            view.show(read_counter(s.api));
            std::this_thread::sleep_for(POLL_INTERVAL);
        }
    });
    code = s.api.update_bios_firmware(image.data(), o.handle, 0);
    done = true;
    poller.join();
    int32_t left = read_counter(s.api);
    if (code == 0) {
        view.show(left);
    }
    view.finish();
    // Whatever the library reports, the board keeps what was written.
    s.save();

    report_result(s, code);
    int32_t written = left <= counted ? counted - left : 0;
    s.say("blocks written: %d", written);
    s.report["written"] = written;
    std::vector<uint8_t> after = s.installed_firmware();
    if (o.map) {
        s.say("flash before vs after, 4 KiB blocks ('W' rewritten):\n%s",
              draw_block_map(differing_blocks(before.data(), after.data()), 'W').c_str());
    }
    if (code != 0) {
        return exitcode::FAILED;
    }
    Comparison c = compare_firmware(after, image);
    report_comparison(s, c, false, "verified      : the flash holds the image");
    s.report["verified"] = c.up_to_date();
    return c.up_to_date() ? exitcode::OK : exitcode::DIFFERS;
}

void register_update_commands(CLI::App& app, Action& chosen) {
    auto o = std::make_shared<UpdateOptions>();
    auto handle_text = std::make_shared<std::string>("1");
    auto* check = app.add_subcommand("check", "dry run: validate IMAGE and count the blocks that differ");
    auto* update = app.add_subcommand("update", "back up the flash, rewrite it with IMAGE, verify it");
    for (auto* cmd : {check, update}) {
        cmd->add_option("IMAGE", o->image_path, "2 MiB firmware image")->required();
        cmd->add_flag("--map", o->map, "draw the 512-block map of what differs / what changed");
        cmd->add_option("--handle", *handle_text,
                        "firmware callback handle (0: no callbacks, nothing written)");
    }
    update->add_option("--backup", o->backup_path,
                       "backup file (default: backup-<date>-rev<revision>.bin in the board directory)");
    update->add_flag("--no-backup", o->no_backup, "write without a backup first")->excludes("--backup");
    update->add_option("--keep-backups", o->keep_backups,
                       "dated backups kept in the board directory besides the oldest (which is always kept)");
    check->callback([&chosen, o, handle_text] {
        chosen = [o, handle_text](Session& s) {
            o->handle = number_argument(*handle_text, 0xFFFFFFFF, "--handle");
            return run_check(s, *o);
        };
    });
    update->callback([&chosen, o, handle_text] {
        chosen = [o, handle_text](Session& s) {
            o->handle = number_argument(*handle_text, 0xFFFFFFFF, "--handle");
            return run_update(s, *o);
        };
    });
}
