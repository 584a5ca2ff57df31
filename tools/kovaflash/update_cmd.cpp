#include "update_cmd.h"

#include <memory>

#include "cli.h"
#include "update_sequence.h"

namespace {

struct UpdateArguments {
    UpdateRequest request;
    std::string handle = "1";
    std::string keep_backups = "3";
};

void add_common(CLI::App* cmd, UpdateArguments& a) {
    cmd->add_flag("--map", a.request.map, "draw the 512-block map of what differs / what changed");
    cmd->add_option("--handle", a.handle, "firmware callback handle (0: no callbacks, nothing written)");
}

void add_writer(CLI::App* cmd, UpdateArguments& a) {
    cmd->add_option("--backup", a.request.backup_path,
                    "backup file (default: backup-<date>-rev<revision>.bin in the board directory)");
    cmd->add_flag("--no-backup", a.request.no_backup, "write without a backup first")->excludes("--backup");
}

Action action(const std::shared_ptr<UpdateArguments>& a, Run run) {
    return [a, run](Session& s) {
        UpdateRequest r = a->request;
        r.run = run;
        r.handle = number_argument(a->handle, 0xFFFFFFFF, "--handle");
        r.keep_backups = number_argument(a->keep_backups, MAX_KEPT_BACKUPS, "--keep-backups");
        return run_sequence(s, r);
    };
}

}  // namespace

void register_update_commands(CLI::App& app, Action& chosen) {
    auto check_args = std::make_shared<UpdateArguments>();
    auto* check = app.add_subcommand("check", "dry run: validate IMAGE and count the blocks that differ");
    check->add_option("IMAGE", check_args->request.image_path, "2 MiB firmware image")->required();
    add_common(check, *check_args);
    check->callback([&chosen, check_args] { chosen = action(check_args, Run::Check); });

    auto update_args = std::make_shared<UpdateArguments>();
    auto* update = app.add_subcommand("update", "back up the flash, rewrite it with IMAGE, verify it");
    update->add_option("IMAGE", update_args->request.image_path, "2 MiB firmware image")->required();
    add_common(update, *update_args);
    add_writer(update, *update_args);
    update->add_option("--keep-backups", update_args->keep_backups,
                       "dated backups kept in the board directory besides the oldest (which is always kept)");
    update->callback([&chosen, update_args] { chosen = action(update_args, Run::Update); });

    auto restore_args = std::make_shared<UpdateArguments>();
    auto* restore = app.add_subcommand(
        "restore", "write back BACKUP (default: the one the last update took), as an update does");
    restore->add_option("BACKUP", restore_args->request.image_path,
                        "a backup this tool took of this board (no signature needed), or any image");
    add_common(restore, *restore_args);
    add_writer(restore, *restore_args);
    restore->callback([&chosen, restore_args] { chosen = action(restore_args, Run::Restore); });
}
