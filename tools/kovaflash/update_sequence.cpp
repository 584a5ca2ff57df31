#include "update_sequence.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "block_map.h"
#include "console.h"
#include "firmware_files.h"
#include "image_file.h"
#include "image_identity.h"
#include "interrupt.h"
#include "signature_check.h"
#include "signing.h"
#include "update/result.h"
#include "update_plan.h"

namespace {

constexpr auto POLL_INTERVAL = std::chrono::milliseconds(20);

// The counter is plain memory in the library, written by the update while
// this thread reads it: read whole aligned words, never cached.
int32_t read_counter(const KovaApi& api) { return __atomic_load_n(api.block_count, __ATOMIC_RELAXED); }

std::string sha256_hex(const std::vector<uint8_t>& bytes) {
    sigfile::Hash h = signing::sha256(bytes.data(), bytes.size());
    return sigfile::hex(h.data(), h.size());
}

std::string text_of(const records::Record& r, const char* field) {
    auto f = r.find(field);
    return f != r.end() && f->is_string() ? f->get<std::string>() : std::string();
}

uint32_t number_of(const records::Record& r, const char* field) {
    auto f = r.find(field);
    return f != r.end() && f->is_number_unsigned() ? f->get<uint32_t>() : 0;
}

// When the installed boot block is the part of one an update was cut short
// in: the installed identity fails the library's checks, and the copy of
// the new boot block that every update places first at 0x30000 passes them.
bool boot_block_cut_short(const std::vector<uint8_t>& flash) {
    constexpr uint32_t BOOT_COPY = flashmap::BOOT_COPY_OFFSET;
    constexpr uint32_t BOOT_BLOCK = flashmap::BOOT_BLOCK_OFFSET, BOOT_BYTES = flashmap::BOOT_BLOCK_SIZE;
    if (!ident::refusal(ident::read_identity(flash.data()))) {
        return false;
    }
    std::vector<uint8_t> completed = flash;
    std::copy(flash.begin() + BOOT_COPY, flash.begin() + BOOT_COPY + BOOT_BYTES,
              completed.begin() + BOOT_BLOCK);
    return !ident::refusal(ident::read_identity(completed.data()));
}

bool same_boot_block_as_copy(const std::vector<uint8_t>& flash, const std::vector<uint8_t>& image) {
    constexpr uint32_t BOOT_COPY = flashmap::BOOT_COPY_OFFSET;
    constexpr uint32_t BOOT_BLOCK = flashmap::BOOT_BLOCK_OFFSET, BOOT_BYTES = flashmap::BOOT_BLOCK_SIZE;
    return std::equal(flash.begin() + BOOT_COPY, flash.begin() + BOOT_COPY + BOOT_BYTES,
                      image.begin() + BOOT_BLOCK);
}

class Sequence {
public:
    Sequence(Session& s, const UpdateRequest& r) : s_(s), r_(r) {}

    int run() {
        load_early();
        lock();
        read_records();
        load_restore_source();
        provenance();
        release_and_floor();
        refuse_unless_installable();
        resume();
        if (uint32_t code = dry_run()) {
            report_result(code);
            return exitcode::FAILED;
        }
        plan();
        if (r_.run == Run::Check) {
            return check_outcome();
        }
        if (int done = nothing_to_write()) {
            return done - 1;
        }
        confirm_write();
        take_backup();
        begin();
        int code = exitcode::FAILED;
        try {
            code = write_save_verify();
        } catch (const Error& e) {
            end(e.code, e.text);
            throw;
        }
        raise_floor(code);
        end(code, "");
        prune(code);
        return code;
    }

private:
    bool restore() const { return r_.run == Run::Restore; }
    const char* event() const { return restore() ? records::EVENT_RESTORE : records::EVENT_UPDATE; }

    // Load: the image, before the board is touched; a named backup target is
    // refused before anything is done.
    void load_early() {
        if (r_.run != Run::Check) {
            interrupt::install();
            if (!r_.backup_path.empty() && !r_.image_path.empty()) {
                check_backup_target(s_, r_.backup_path, r_.image_path);
            }
        }
        if (!r_.image_path.empty()) {
            image_ = load_image(r_.image_path);
        }
    }

    // The lock is held from here to the end: the count confirmed below is
    // the count written, and no other process reaches the board meanwhile.
    void lock() { s_.open(r_.run == Run::Check ? Access::Read : Access::Write); }

    // Records: the history and the floor, whole or refused; an update that
    // began and never ended is said first.
    void read_records() {
        history_ = s_.history();
        if (Status err = records::read_floor(s_.records_dir(), floor_)) {
            throw *err;
        }
        s_.report["floor"] = floor_;
        unfinished_ = records::unfinished(history_);
        if (unfinished_) {
            std::string what =
                text_of(*unfinished_, "event") == records::EVENT_RESTORE_BEGUN ? "restore" : "update";
            std::string text = "the last " + what + " of " + text_of(*unfinished_, "image") + ", begun at " +
                               text_of(*unfinished_, "time") +
                               ", did not finish: run it again to complete it";
            s_.warn("WARNING: " + text);
            s_.say("unfinished    : %s", text.c_str());
            s_.report["unfinished"] = {{"image", text_of(*unfinished_, "image")},
                                       {"image_sha256", text_of(*unfinished_, "image_sha256")},
                                       {"begun", text_of(*unfinished_, "time")},
                                       {"seq", (*unfinished_)["seq"]}};
        }
        last_backup_ = records::last_update_backup(history_);
    }

    // Restore: with no file, the backup the last update took.
    void load_restore_source() {
        if (restore() && r_.image_path.empty()) {
            if (!last_backup_) {
                throw Error{exitcode::USAGE, "no backup in the history of this board (" + s_.records_dir() +
                                                 "): name the file to restore"};
            }
            r_.image_path = text_of(*last_backup_, "backup");
            image_ = load_image(r_.image_path);
            if (sha256_hex(image_) != text_of(*last_backup_, "backup_sha256")) {
                throw Error{exitcode::REFUSED, r_.image_path +
                                                   ": not the backup the last update took (its SHA-256 "
                                                   "differs from the history's); nothing written"};
            }
            // Its name is known only now: a named backup must not land on it.
            if (!r_.backup_path.empty()) {
                check_backup_target(s_, r_.backup_path, r_.image_path);
            }
        }
        image_sha_ = sha256_hex(image_);
        s_.report["image"] = r_.image_path;
        s_.report["image_sha256"] = image_sha_;
    }

    // Signature: a backup the history shows this tool took of this board
    // needs none; anything else is an image, and the signature rules apply.
    void provenance() {
        if (restore()) {
            known_ = records::backup_taken(history_, image_sha_);
        }
        if (known_) {
            security_version_ = number_of(*known_, "backup_security_version");
            std::string text = "not needed: a backup this tool took of this board at " +
                               text_of(*known_, "time") + " (history record " +
                               std::to_string((*known_)["seq"].get<uint64_t>()) + ")";
            s_.say("signature     : %s", text.c_str());
            s_.report["signature"] = {{"state", "own-backup"}, {"checked", true}, {"text", text}};
            return;
        }
        prov_ = check_signature(s_, image_, r_.image_path, SignaturePolicy::Enforce);
        security_version_ = prov_.security_version;
    }

    // Release and floor: nothing below the highest security version the
    // tool installed, but the backup the last update took (which undoes it).
    void release_and_floor() {
        s_.report["security_version"] = security_version_;
        bool undoes_last = known_ && last_backup_ && text_of(*last_backup_, "backup_sha256") == image_sha_;
        if (security_version_ >= floor_) {
            return;
        }
        std::string below = "security version " + std::to_string(security_version_) +
                            " is below the board's floor " + std::to_string(floor_) +
                            " (the highest installed through this tool, in " + s_.records_dir() + "/" +
                            records::FLOOR_FILE + ")";
        if (undoes_last) {
            s_.say(
                "floor         : %s; allowed: this is the backup the last update took, and restoring it "
                "undoes that update (the floor stays %u)",
                below.c_str(), unsigned(floor_));
            s_.report["undoes_last_update"] = true;
            return;
        }
        if (!s_.options.allow_older) {
            throw Error{exitcode::REFUSED, below +
                                               "; an older release may reopen a flaw a newer one fixed; "
                                               "nothing written (--allow-older installs it anyway)"};
        }
        s_.warn("WARNING: " + below + "; installed anyway (--allow-older)");
        s_.report["allowed_older"] = true;
    }

    // The host tool's own refusal: the checks the library makes of the
    // installed firmware, applied to the image before it can be installed.
    void refuse_unless_installable() {
        ident::Identity id = ident::read_identity(image_.data());
        auto why = ident::refusal(id);
        s_.report["installable"] = !why;
        if (!why) {
            return;
        }
        s_.report["refused_field"] = why->field;
        if (!s_.options.force) {
            throw Error{exitcode::REFUSED,
                        why->text +
                            "; once installed, the library would refuse every later update "
                            "of this board (--force writes it anyway)"};
        }
        s_.warn("WARNING: " + why->text +
                "; written anyway (--force): later updates through this library will be refused");
    }

    // Resume: an update cut short in its boot-block pass completes only
    // with the image it was writing, whose boot block it copied first.
    void resume() {
        before_ = s_.installed_firmware();
        cut_short_ = boot_block_cut_short(before_);
        if (!cut_short_ || !same_boot_block_as_copy(before_, image_)) {
            warn_downgrade();
            return;
        }
        warn_downgrade();
        auto installed = ident::refusal(ident::read_identity(before_.data()));
        s_.say(
            "resuming      : an interrupted update of this image: the installed boot block is incomplete "
            "(%s), and this image's boot block lies whole at 0x%X, where the update copied it first",
            installed->text.c_str(), unsigned(flashmap::BOOT_COPY_OFFSET));
        s_.report["resuming_interrupted_update"] = true;
    }

    // The boot-info revision is the firmware's own count, apart from the
    // signed security version: an older one is said, not refused.
    void warn_downgrade() {
        uint8_t installed = ident::read_identity(before_.data()).revision;
        uint8_t incoming = ident::read_identity(image_.data()).revision;
        if (r_.run != Run::Check && incoming < installed) {
            s_.warn("WARNING: the image's boot-info revision " + std::to_string(incoming) +
                    " is older than the installed " + std::to_string(installed) + ": this is a downgrade");
            s_.report["downgrade"] = true;
        }
    }

    // Dry run: the library's own walk, counting; 0 or its failure code.
    uint32_t dry_run() {
        uint32_t code = s_.api.check_bios_image(image_.data(), r_.handle, 0);
        counted_ = read_counter(s_.api);
        s_.report["blocks_counted"] = counted_;
        return code;
    }

    void report_result(uint32_t code) {
        s_.say("result        : 0x%08X", code);
        s_.say("message       : %s", s_.api.message);
        s_.report["result"] = code;
        s_.report["message"] = s_.api.message;
        // The identity codes are about the installed firmware, not the
        // image: say so, with the field, since the library's message cannot.
        using namespace kova::result;
        bool identity = code == PLATFORM_TAG || code == BOARD_MODEL || code == SECOND_STRING ||
                        code == VENDOR || code == REVISION || code == NO_BOOT_INFO;
        if (!identity) {
            return;
        }
        std::string cause;
        if (cut_short_) {
            std::string interrupted = unfinished_ ? text_of(*unfinished_, "image") + " (begun at " +
                                                        text_of(*unfinished_, "time") + ")"
                                                  : "the image whose boot block lies at 0x30000";
            cause =
                "an update was cut short while it rewrote the boot block, and the library refuses every "
                "image but that one until it is complete: run the interrupted update again to complete "
                "it, " +
                interrupted + ", then `kovaflash restore` if you want the earlier firmware back";
            s_.report["cut_short_in_boot_block"] = true;
        } else {
            auto why = ident::refusal(ident::read_identity(before_.data()));
            cause = "the installed firmware fails the library's checks" +
                    (why ? " (" + why->text + ")" : std::string()) +
                    ", so it refuses every update of this board; the image is not the cause";
        }
        s_.say("cause         : %s", cause.c_str());
        s_.report["cause"] = cause;
    }

    // Plan: what the library counts (each block once per pass that compares
    // it) is not what the update writes: say both, plainly.
    void plan() {
        differs_ = compare_firmware(before_, image_);
        plan_ = plan_update(before_, image_, counted_);
        s_.report["blocks_differ"] = differs_.differing.size();
        s_.report["block_writes_planned"] = plan_.block_writes;
        s_.report["differing_blocks"] = differs_.differing;
        s_.report["up_to_date"] = differs_.up_to_date();
        if (r_.run == Run::Check) {
            return;
        }
        s_.say(
            "dry run       : %s differ%s (%d counted by the library, once per pass); the update makes "
            "%d block writes, the copies it places and restores included",
            blocks_text(differs_.differing.size()).c_str(), differs_.differing.size() == 1 ? "s" : "",
            counted_, plan_.block_writes);
    }

    int check_outcome() {
        report_result(0);
        if (differs_.up_to_date()) {
            s_.say("up to date    : the installed firmware is this image");
            s_.say(
                "blocks counted: %d (the areas at 0x%X and 0x%X that hold copies of the boot block and "
                "the first 64 KiB during an update; every update rewrites them)",
                counted_, unsigned(flashmap::BOOT_COPY_OFFSET), unsigned(flashmap::FIRST_COPY_OFFSET));
        } else {
            s_.say(
                "blocks differ : %d (counted once per pass that compares them; %s of 4 KiB differ%s "
                "outside the 64 KiB at 0x%X that updates keep; an update makes %d block writes)",
                counted_, blocks_text(differs_.differing.size()).c_str(),
                differs_.differing.size() == 1 ? "s" : "", unsigned(flashmap::KEPT_OFFSET),
                plan_.block_writes);
        }
        if (r_.map) {
            s_.say("flash vs image, 4 KiB blocks ('X' differs):\n%s",
                   draw_block_map(differs_.blocks).c_str());
        }
        return exitcode::OK;
    }

    // A dry run (handle 0) or an image already installed: nothing to
    // write. Returns its exit code + 1, or 0 to go on.
    int nothing_to_write() {
        interrupt::cancel_point();
        if (r_.handle == 0) {
            s_.say("dry run (handle 0): nothing written");
            report_result(0);
            s_.report["written"] = 0;
            return exitcode::OK + 1;
        }
        if (differs_.up_to_date()) {
            s_.say("up to date    : the installed firmware is this image; nothing written");
            s_.report["written"] = 0;
            return exitcode::OK + 1;
        }
        return 0;
    }

    // Confirm: asking needs only someone to answer on stdin (stdout may be
    // a pipe to a log); the bar is drawn where it goes, on stderr.
    void confirm_write() {
        if (s_.options.yes) {
            return;
        }
        if (!at_terminal(stdin)) {
            throw Error{exitcode::USAGE, "no terminal to confirm on: pass --yes to write " + r_.image_path};
        }
        bool yes = confirm(r_.image_path, blocks_text(differs_.differing.size()) + " differ" +
                                              (differs_.differing.size() == 1 ? "s" : "") + ", " +
                                              std::to_string(plan_.block_writes) + " block writes");
        interrupt::cancel_point();  // Ctrl-C at the prompt
        if (!yes) {
            throw Error{exitcode::FAILED, "declined: nothing written"};
        }
    }

    // Backup: the installed firmware, before anything is written. A rerun of
    // an update cut short keeps the backup the first try took, which holds
    // the firmware before it, and takes no other of the torn flash.
    void take_backup() {
        if (r_.no_backup) {
            return;
        }
        if (unfinished_ && r_.backup_path.empty()) {
            std::string path = text_of(*unfinished_, "backup"), sha = text_of(*unfinished_, "backup_sha256");
            std::vector<uint8_t> kept;
            if (!path.empty() && !read_image_file(path, kept) && sha256_hex(kept) == sha) {
                backup_ = {path, sha};
                backup_security_version_ = number_of(*unfinished_, "backup_security_version");
                s_.say(
                    "backup        : %s, taken before the interrupted update, holds the firmware before "
                    "it; none other taken",
                    path.c_str());
                s_.report["backup"] = path;
                s_.report["backup_sha256"] = sha;
                return;
            }
        }
        backup_ = write_backup(s_, before_, r_.backup_path, r_.image_path);
        backup_security_version_ = installed_security_version();
    }

    // The security version of what the board holds now, when the history
    // shows this tool installed it; 0 otherwise.
    uint32_t installed_security_version() const {
        const std::string installed = sha256_hex(before_);
        for (auto rec = history_.rbegin(); rec != history_.rend(); ++rec) {
            std::string ev = text_of(*rec, "event");
            auto verified = rec->find("verified");
            if ((ev == records::EVENT_UPDATE || ev == records::EVENT_RESTORE) && verified != rec->end() &&
                verified->is_boolean() && verified->get<bool>() &&
                text_of(*rec, "image_sha256") == installed) {
                return number_of(*rec, "security_version");
            }
        }
        return 0;
    }

    records::Record facts() const {
        records::Record r = {{"command", restore() ? "restore" : "update"},
                             {"image", r_.image_path},
                             {"image_sha256", image_sha_},
                             {"security_version", security_version_},
                             {"floor_before", floor_}};
        if (known_) {
            r["signature"] = "own-backup";
        } else {
            r["signature"] = s_.report["signature"].value("state", "");
            for (const char* f : {"key_id", "signer", "release"}) {
                std::string v = s_.report["signature"].value(f, "");
                if (!v.empty()) {
                    r[std::string(f == std::string("key_id") ? "signer_key_id" : f)] = v;
                }
            }
        }
        if (!backup_.path.empty()) {
            r["backup"] = backup_.path;
            r["backup_sha256"] = backup_.sha256;
            r["backup_security_version"] = backup_security_version_;
        }
        std::vector<std::string> safeties;
        for (const auto& [on, name] : {std::pair{s_.options.force, "--force"},
                                       {s_.options.allow_unsigned, "--allow-unsigned"},
                                       {s_.options.allow_older, "--allow-older"},
                                       {r_.no_backup, "--no-backup"}}) {
            if (on) {
                safeties.push_back(name);
            }
        }
        r["safeties"] = safeties;
        r["blocks_counted"] = counted_;
        r["block_writes_planned"] = plan_.block_writes;
        return r;
    }

    // Begin: the history says the flash is about to be written, before it is.
    void begin() {
        records::Record r = facts();
        r["event"] = restore() ? records::EVENT_RESTORE_BEGUN : records::EVENT_UPDATE_BEGUN;
        s_.record(r);
        begun_ = r["seq"].get<uint64_t>();
    }

    // Write, save, verify: from here a signal waits for all three.
    int write_save_verify() {
        interrupt::begin_writing();
        struct WritingEnds {
            ~WritingEnds() { interrupt::end_writing(); }
        } writing_ends;
        ProgressView view(counted_, plan_.block_writes, at_terminal(stderr));
        std::atomic<bool> done{false};
        std::thread poller([&] {
            while (!done.load()) {
                view.show(read_counter(s_.api));
                std::this_thread::sleep_for(POLL_INTERVAL);
            }
        });
        code_ = s_.api.update_bios_firmware(image_.data(), r_.handle, 0);
        done = true;
        poller.join();
        int32_t left = read_counter(s_.api);
        if (code_ == 0) {
            view.show(left);
        }
        view.finish();
        // Whatever the library reports, the board keeps what was written.
        s_.save();
        report_result(code_);
        written_ = left <= counted_ ? counted_ - left : 0;
        s_.say("blocks written: %d", written_);
        s_.report["written"] = written_;
        std::vector<uint8_t> after = s_.installed_firmware();
        if (r_.map) {
            s_.say("flash before vs after, 4 KiB blocks ('W' rewritten):\n%s",
                   draw_block_map(differing_blocks(before_.data(), after.data()), 'W').c_str());
        }
        if (code_ != 0) {
            return exitcode::FAILED;
        }
        Comparison c = compare_firmware(after, image_);
        report_comparison(s_, c, false, "verified      : the flash holds the image");
        verified_ = c.up_to_date();
        s_.report["verified"] = verified_;
        if (restore() && verified_ && known_) {
            s_.say("restored      : %s, the firmware this board held at %s", r_.image_path.c_str(),
                   text_of(*known_, "time").c_str());
        }
        return verified_ ? exitcode::OK : exitcode::DIFFERS;
    }

    // Floor: raised to a verified image's security version, never lowered.
    void raise_floor(int code) {
        floor_after_ = floor_;
        if (code != exitcode::OK || !verified_ || security_version_ <= floor_) {
            return;
        }
        if (Status err = records::write_floor(s_.records_dir(), security_version_)) {
            throw Error{
                err->code,
                "the image is installed and verified, but the floor could not be raised: " + err->text};
        }
        floor_after_ = security_version_;
        s_.say("floor         : raised from %u to %u (older releases are refused from now on)",
               unsigned(floor_), unsigned(floor_after_));
    }

    // Record: how it ended.
    void end(int exit_code, const std::string& error) {
        records::Record r = facts();
        r["event"] = event();
        r["begun"] = begun_;
        r["result"] = code_;
        r["message"] = s_.api.message ? std::string(s_.api.message) : std::string();
        r["blocks_written"] = written_;
        r["verified"] = verified_;
        r["floor_after"] = error.empty() ? floor_after_ : floor_;
        r["exit_code"] = exit_code;
        r["signal"] = interrupt::received();
        if (!error.empty()) {
            r["error"] = error;
        }
        try {
            s_.record(r);
        } catch (const Error& e) {
            if (error.empty()) {
                throw Error{e.code, std::string("the flash was written") +
                                        (verified_ ? " and verified" : "") + " (result " +
                                        std::to_string(code_) + "), but " + e.text +
                                        "; the history keeps only that it began"};
            }
            s_.warn(e.text);  // the first error is the one the command ends with
        }
    }

    // Prune: only after an update that verified; never the newest, the
    // last update's, nor one being restored.
    void prune(int code) {
        if (restore() || code != exitcode::OK || r_.no_backup || !r_.backup_path.empty()) {
            return;
        }
        // This update's backup is the newest and the one the history now
        // names as the last update's.
        prune_dated_backups(s_, r_.keep_backups, {backup_.path, r_.image_path});
    }

    Session& s_;
    UpdateRequest r_;
    std::vector<uint8_t> image_, before_;
    std::string image_sha_;
    std::vector<records::Record> history_;
    std::optional<records::Record> unfinished_, last_backup_, known_;
    uint32_t floor_ = 0, floor_after_ = 0, security_version_ = 0, backup_security_version_ = 0;
    Provenance prov_;
    bool cut_short_ = false, verified_ = false;
    int32_t counted_ = 0, written_ = 0;
    Comparison differs_;
    UpdatePlan plan_;
    Backup backup_;
    uint64_t begun_ = 0;
    uint32_t code_ = 0;
};

}  // namespace

int run_sequence(Session& s, const UpdateRequest& request) { return Sequence(s, request).run(); }
