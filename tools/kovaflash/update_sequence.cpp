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
        conclude(code);
        end(code, "");
        return code;
    }

private:
    bool restore() const { return r_.run == Run::Restore; }
    const char* command() const { return restore() ? "restore" : "update"; }
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
    // The board's state is read whole as the board is opened.
    void lock() { s_.open(r_.run == Run::Check ? Access::Read : Access::Write); }

    // Records: the floor and the write left open, from the board's state.
    void read_records() {
        state_ = s_.state();
        floor_ = state_.floor;
        s_.report["floor"] = floor_;
        if (!s_.unfinished_text().empty()) {
            s_.say("unfinished    : %s", s_.unfinished_text().c_str());
        }
    }

    // Restore: with no file, the backup the last write took.
    void load_restore_source() {
        if (restore() && r_.image_path.empty()) {
            const auto& last = state_.last_write;
            if (!last) {
                throw Error{exitcode::USAGE, "no write of this tool has completed on this board (" +
                                                 s_.records_dir() + "): name the file to restore"};
            }
            if (!last->backup) {
                throw Error{exitcode::USAGE, "the last " + last->command + " (of " + last->image + ", at " +
                                                 last->time +
                                                 ") took no backup (--no-backup): name the file to restore"};
            }
            r_.image_path = last->backup->path;
            image_ = load_image(r_.image_path);
            if (sha256_hex(image_) != last->backup->sha256) {
                throw Error{exitcode::REFUSED, r_.image_path + ": not the backup the last " + last->command +
                                                   " took (its SHA-256 differs from the board's state); "
                                                   "nothing written"};
            }
            // Its name is known only now: a named backup must not land on it.
            if (!r_.backup_path.empty()) {
                check_backup_target(s_, r_.backup_path, r_.image_path);
            }
        }
        image_sha_ = sha256_hex(image_);
        image_abs_ = absolute_path(r_.image_path);
        s_.report["image"] = r_.image_path;
        s_.report["image_sha256"] = image_sha_;
    }

    // Signature: a backup the board's state holds needs none, but the
    // safeties its firmware came in with; anything else is an image, and
    // the signature rules apply. What comes in is described as the state
    // will keep it.
    void provenance() {
        if (restore()) {
            if (const records::Backup* b = records::find_backup(state_, image_abs_, image_sha_)) {
                known_ = *b;
            }
        }
        if (known_) {
            incoming_ = known_->firmware;
            incoming_.sha256 = image_sha_;
            std::string text = "not needed: a backup this tool took of this board at " + known_->taken;
            s_.say("signature     : %s", text.c_str());
            s_.report["signature"] = {{"state", "own-backup"}, {"checked", true}, {"text", text}};
            for (const std::string& safety : known_->firmware.safeties) {
                if (!given(safety)) {
                    throw Error{exitcode::REFUSED,
                                r_.image_path + ": holds firmware that came onto this board with " + safety +
                                    "; it comes back only with " + safety + " again; nothing written"};
                }
            }
            return;
        }
        prov_ = check_signature(s_, image_, r_.image_path, SignaturePolicy::Enforce);
        const trust::Verdict& v = prov_.verdict;
        incoming_.sha256 = image_sha_;
        if (prov_.good) {
            incoming_.release = v.release;
            incoming_.key_id = v.key_id;
            incoming_.signer = v.signer;
            incoming_.trusted_keys = absolute_path(s_.trust_dir());
        }
        if (prov_.good && !s_.trust_dir_named()) {
            // Only the board's own store vouches for a security version.
            incoming_.origin = records::ORIGIN_SIGNED;
            incoming_.security_version = prov_.security_version;
        } else if (prov_.good) {
            incoming_.origin = records::ORIGIN_OTHER_KEYS;
            s_.say(
                "floor         : signed by a key of %s, not of the board's own store: counts as security "
                "version 0, and never raises the floor",
                s_.trust_dir().c_str());
        } else {
            incoming_.origin = records::ORIGIN_UNSIGNED;
            add_safety(records::SAFETY_UNSIGNED);
        }
        s_.report["origin"] = incoming_.origin;
    }

    bool given(const std::string& safety) const {
        return (safety == records::SAFETY_UNSIGNED && s_.options.allow_unsigned) ||
               (safety == records::SAFETY_OLDER && s_.options.allow_older) ||
               (safety == records::SAFETY_FORCE && s_.options.force);
    }

    void add_safety(const char* safety) {
        if (std::find(incoming_.safeties.begin(), incoming_.safeties.end(), safety) ==
            incoming_.safeties.end()) {
            incoming_.safeties.push_back(safety);
        }
    }

    // Release and floor: nothing below the highest security version a
    // board-trusted signature installed, but the backup the last completed
    // update took (restoring it undoes that update); --allow-older, and
    // nothing else, installs it anyway.
    void release_and_floor() {
        const uint32_t version = incoming_.security_version;
        s_.report["security_version"] = version;
        const auto& last = state_.last_write;
        // The very firmware that update replaced, whichever file the state
        // holds it in.
        bool undoes_last = restore() && known_ && last && last->command == "update" && last->backup &&
                           last->backup->sha256 == image_sha_;
        if (version >= floor_) {
            return;
        }
        std::string below = "security version " + std::to_string(version) + " is below the board's floor " +
                            std::to_string(floor_) + " (the highest installed through this tool, in " +
                            s_.records_dir() + "/" + records::STATE_FILE + ")";
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
        add_safety(records::SAFETY_OLDER);
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
        add_safety(records::SAFETY_FORCE);
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
            const auto& open = state_.unfinished;
            std::string interrupted = open ? open->image + " (begun at " + open->time + ")"
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

    // The write left open, when this run is the same one again.
    bool reruns_unfinished() const {
        return state_.unfinished && state_.unfinished->command == command() &&
               state_.unfinished->image_sha256 == image_sha_;
    }

    // A dry run (handle 0) or an image already installed: nothing to
    // write. Returns its exit code + 1, or 0 to go on. The image installed
    // by a write cut short after its save is completed here: verified, and
    // its records written.
    int nothing_to_write() {
        interrupt::cancel_point();
        if (r_.handle == 0) {
            s_.say("dry run (handle 0): nothing written");
            report_result(0);
            s_.report["written"] = 0;
            return exitcode::OK + 1;
        }
        if (!differs_.up_to_date()) {
            return 0;
        }
        s_.report["written"] = 0;
        if (!reruns_unfinished()) {
            s_.say("up to date    : the installed firmware is this image; nothing written");
            return exitcode::OK + 1;
        }
        s_.say(
            "completed     : the %s begun at %s had written the flash: it holds this image (verified); "
            "its records are completed, nothing written",
            command(), state_.unfinished->time.c_str());
        s_.report["completed_unfinished"] = true;
        verified_ = true;
        begun_ = state_.unfinished->seq;
        way_back_ = state_.unfinished->backup;
        conclude(exitcode::OK);
        end(exitcode::OK, "");
        return exitcode::OK + 1;
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

    // What the state knows of the firmware `flash` holds.
    records::Firmware facts_of(const std::vector<uint8_t>& flash) const {
        records::Firmware f;
        f.sha256 = sha256_hex(flash);
        if (state_.installed && state_.installed->sha256 == f.sha256) {
            return *state_.installed;
        }
        if (ident::refusal(ident::read_identity(flash.data()))) {
            f.origin = records::ORIGIN_INCOMPLETE;
        }
        return f;
    }

    // Backup: the installed firmware, before anything is written. A rerun
    // of a write left open takes none when the first try's backup, checked
    // by its SHA-256, holds what is installed now; otherwise it backs up the
    // flash as it is, and the first try's backup stays the way back, since
    // it holds the firmware from before that write.
    void take_backup() {
        if (r_.no_backup) {
            return;
        }
        std::optional<records::Backup> first;
        if (reruns_unfinished() && state_.unfinished->backup && r_.backup_path.empty()) {
            const records::Backup& b = *state_.unfinished->backup;
            std::vector<uint8_t> kept;
            if (!read_image_file(b.path, kept) && sha256_hex(kept) == b.sha256) {
                first = b;
            } else {
                s_.warn("the backup the interrupted " + std::string(command()) + " took, " + b.path +
                        ", is gone or changed; the flash is backed up again");
            }
        }
        if (first && first->sha256 == sha256_hex(before_)) {
            way_back_ = first;
            s_.say(
                "backup        : %s, taken before the interrupted %s, holds what is installed now; none "
                "other taken",
                first->path.c_str(), command());
            s_.report["backup"] = first->path;
            s_.report["backup_sha256"] = first->sha256;
            return;
        }
        Backup b = write_backup(s_, before_, r_.backup_path, r_.image_path);
        taken_ = records::Backup{b.absolute, b.sha256, records::utc_now(), command(), facts_of(before_)};
        way_back_ = first ? first : taken_;
        if (first) {
            s_.say("way back      : %s, taken before the interrupted %s, holds the firmware from before it",
                   first->path.c_str(), command());
        }
    }

    records::Record facts() const {
        records::Record r = {{"command", command()},
                             {"image", r_.image_path},
                             {"image_sha256", image_sha_},
                             {"origin", incoming_.origin},
                             {"security_version", incoming_.security_version},
                             {"floor_before", floor_}};
        if (known_) {
            r["signature"] = "own-backup";
        } else {
            r["signature"] = s_.report["signature"].value("state", "");
        }
        for (const auto& [name, value] : {std::pair{"signer_key_id", &incoming_.key_id},
                                          {"signer", &incoming_.signer},
                                          {"release", &incoming_.release},
                                          {"trusted_keys", &incoming_.trusted_keys}}) {
            if (!value->empty()) {
                r[name] = *value;
            }
        }
        if (way_back_) {
            r["backup"] = way_back_->path;
            r["backup_sha256"] = way_back_->sha256;
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

    records::Write this_write() const {
        records::Write w;
        w.command = command();
        w.image = r_.image_path;  // as given: shown, never used to find the file
        w.image_sha256 = image_sha_;
        w.time = begun_time_;
        w.seq = begun_;
        w.backup = way_back_;
        w.firmware = incoming_;
        return w;
    }

    // Begin: the history and the state say the flash is about to be
    // written, before it is; the backup taken joins those the state offers.
    void begin() {
        records::Record r = facts();
        r["event"] = restore() ? records::EVENT_RESTORE_BEGUN : records::EVENT_UPDATE_BEGUN;
        s_.record(r);
        begun_ = r["seq"].get<uint64_t>();
        begun_time_ = r["time"].get<std::string>();
        records::BoardState next = state_;
        if (taken_) {
            next.backups.push_back(*taken_);
        }
        next.unfinished = this_write();
        s_.store_state(next);
        state_ = next;
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
        after_ = s_.installed_firmware();
        if (r_.map) {
            s_.say("flash before vs after, 4 KiB blocks ('W' rewritten):\n%s",
                   draw_block_map(differing_blocks(before_.data(), after_.data()), 'W').c_str());
        }
        if (code_ != 0) {
            return exitcode::FAILED;
        }
        Comparison c = compare_firmware(after_, image_);
        report_comparison(s_, c, false, "verified      : the flash holds the image");
        verified_ = c.up_to_date();
        s_.report["verified"] = verified_;
        if (restore() && verified_ && known_) {
            s_.say("restored      : %s, the firmware this board held at %s", r_.image_path.c_str(),
                   known_->taken.c_str());
        }
        return verified_ ? exitcode::OK : exitcode::DIFFERS;
    }

    // Conclude: the state after the write, in one step. Verified: the image
    // is the installed firmware, the write is the last completed one, the
    // floor rises to a board-trusted signature's security version (never
    // by a restore), old dated backups go. Otherwise the write ended and
    // the flash holds what it holds.
    void conclude(int code) {
        records::BoardState next = state_;
        next.unfinished.reset();
        floor_after_ = floor_;
        bool done = code == exitcode::OK && verified_;
        if (!done) {
            next.installed = facts_of(after_.empty() ? before_ : after_);
            store_concluded(next);
            return;
        }
        // The flash as it stands: an update leaves the 64 KiB it keeps as
        // they were, so the installed firmware's SHA-256 is the flash's,
        // which is what a later backup of it will hold.
        next.installed = incoming_;
        next.installed->sha256 = sha256_hex(after_.empty() ? before_ : after_);
        next.last_write = this_write();
        if (!restore() && incoming_.origin == records::ORIGIN_SIGNED && incoming_.security_version > floor_) {
            next.floor = incoming_.security_version;
            floor_after_ = next.floor;
        }
        if (!restore() && !r_.no_backup && r_.backup_path.empty()) {
            // This update's backup is the newest; the way back is kept too.
            std::set<std::string> kept = {r_.image_path};
            for (const auto& b : {taken_, way_back_}) {
                if (b) {
                    kept.insert(b->path);
                }
            }
            std::vector<std::string> gone = prune_dated_backups(s_, r_.keep_backups, kept);
            next.backups.erase(std::remove_if(next.backups.begin(), next.backups.end(),
                                              [&](const records::Backup& b) {
                                                  return std::find(gone.begin(), gone.end(), b.path) !=
                                                         gone.end();
                                              }),
                               next.backups.end());
        }
        store_concluded(next);
        if (floor_after_ != floor_) {
            s_.say("floor         : raised from %u to %u (older releases are refused from now on)",
                   unsigned(floor_), unsigned(floor_after_));
        }
    }

    void store_concluded(const records::BoardState& next) {
        try {
            s_.store_state(next);
        } catch (const Error& e) {
            throw Error{e.code, std::string("the flash was written") + (verified_ ? " and verified" : "") +
                                    ", but " + e.text + "; run it again to complete its records"};
        }
        state_ = next;
        s_.report["floor_after"] = state_.floor;
    }

    // Record: how it ended, in the history.
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
        if (s_.report.contains("completed_unfinished")) {
            r["completed_unfinished"] = true;
        }
        if (!error.empty()) {
            r["error"] = error;
        }
        try {
            s_.record(r);
        } catch (const Error& e) {
            if (error.empty()) {
                // The state holds the outcome; only the audit line is lost.
                s_.warn("the board's state is complete, but " + e.text);
                return;
            }
            s_.warn(e.text);  // the first error is the one the command ends with
        }
    }

    Session& s_;
    UpdateRequest r_;
    std::vector<uint8_t> image_, before_, after_;
    std::string image_sha_, image_abs_, begun_time_;
    records::BoardState state_;
    std::optional<records::Backup> known_;
    records::Firmware incoming_;
    std::optional<records::Backup> taken_, way_back_;
    uint32_t floor_ = 0, floor_after_ = 0;
    Provenance prov_;
    bool cut_short_ = false, verified_ = false;
    int32_t counted_ = 0, written_ = 0;
    Comparison differs_;
    UpdatePlan plan_;
    uint64_t begun_ = 0;
    uint32_t code_ = 0;
};

}  // namespace

int run_sequence(Session& s, const UpdateRequest& request) { return Sequence(s, request).run(); }
