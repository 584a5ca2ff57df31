#include "verify_cmd.h"

#include <memory>

#include "image_file.h"
#include "permissions.h"
#include "signature_check.h"

int run_verify(Session& s, const VerifyOptions& o) {
    std::vector<uint8_t> image = load_image(o.image_path);
    s.open(Access::Read);
    // The signature is said beside the comparison; the exit is the comparison's.
    check_signature(s, image, o.image_path, SignaturePolicy::Report);
    Comparison c = compare_firmware(s.installed_firmware(), image);
    report_comparison(s, c, o.map, "up to date");
    return c.up_to_date() ? exitcode::OK : exitcode::DIFFERS;
}

// The backup joins those the board's state offers to restore, with what
// the state knows of the firmware it holds; on a board whose records this
// process cannot write, it is a file like any other, and the tool says so.
int run_backup(Session& s, const std::string& path) {
    s.open(Access::Read);
    std::vector<uint8_t> flash = s.installed_firmware();
    Backup b = write_backup(s, flash, path, "");
    s.report["bytes"] = IMAGE_FILE_BYTES;
    records::BoardState next = s.state();
    records::Firmware f;
    f.sha256 = b.sha256;
    if (next.installed && next.installed->sha256 == b.sha256) {
        f = *next.installed;
    }
    next.backups.push_back(records::Backup{b.absolute, b.sha256, records::utc_now(), "backup", f});
    if (next.backups.size() > records::STATE_MAX_BACKUPS) {
        next.backups.erase(next.backups.begin());
    }
    try {
        if (!s.locked() || !folder_writable(s.records_dir())) {
            throw Error{exitcode::ENVIRONMENT, s.records_dir() + ": this process may not write there"};
        }
        s.store_state(next);
        s.say("recorded      : `kovaflash restore %s` brings it back", b.path.c_str());
        s.report["recorded"] = true;
    } catch (const Error& e) {
        s.warn("WARNING: the backup is not recorded in the board's state (" + e.text +
               "): restore takes it only as an image, by the signature rules");
        s.report["recorded"] = false;
    }
    return exitcode::OK;
}

void register_verify_commands(CLI::App& app, Action& chosen) {
    auto o = std::make_shared<VerifyOptions>();
    auto* verify = app.add_subcommand("verify", "compare the installed firmware with IMAGE, byte for byte");
    verify->add_option("IMAGE", o->image_path, "2 MiB firmware image")->required();
    verify->add_flag("--map", o->map, "draw the 512-block map of what differs");
    verify->callback([&chosen, o] { chosen = [o](Session& s) { return run_verify(s, *o); }; });
    auto path = std::make_shared<std::string>();
    auto* backup =
        app.add_subcommand("backup", "save the installed firmware (the 2 MiB the board maps) to FILE");
    backup->add_option("FILE", *path, "file to write (an existing one only with --replace)")->required();
    backup->callback([&chosen, path] { chosen = [path](Session& s) { return run_backup(s, *path); }; });
}
