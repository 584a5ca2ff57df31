#include "board_cmd.h"

#include <filesystem>
#include <memory>
#include <vector>

#include "atomic_file.h"
#include "builder.h"
#include "image_identity.h"
#include "trust_store.h"
#include "utf8_path.h"

namespace {

constexpr uint8_t FRESH_BOARD_REVISION = 0;

// The firmware a new simulated board comes with: a well-formed image for
// this board, revision 0, so that an update to a later image is accepted.
std::vector<uint8_t> factory_firmware() {
    kimage::ImageOptions o;
    o.revision = FRESH_BOARD_REVISION;
    o.seed = 0;
    return kimage::make_image(o).bytes;
}

std::string key_name_of(const std::string& file) {
    return file.substr(0, file.size() - std::string(signing::PUBLIC_KEY_SUFFIX).size());
}

std::string shown(const std::optional<std::string>& s) {
    return s ? "\"" + *s + "\"" : "(runs past the window)";
}

}  // namespace

int run_info(Session& s) {
    s.open(Access::Read);
    const KovaApi& api = s.api;
    s.say("library");
    s.say("  board model  : %s", api.mb);
    s.say("  customer     : %s", api.customer);
    s.say("  version      : %s.%s", api.major_version, api.minor_version);
    s.say("  date         : %s", api.date);
    s.say("  flash size   : %u bytes (0x%X)", unsigned(*api.flash_size), unsigned(*api.flash_size));
    s.report["library"] = {{"model", api.mb},
                           {"vendor", api.customer},
                           {"version", std::string(api.major_version) + "." + api.minor_version},
                           {"date", api.date},
                           {"flash_size", *api.flash_size}};

    const std::vector<uint8_t> flash = s.installed_firmware();
    ident::Identity id = ident::read_identity(flash.data());
    auto why = ident::refusal(id);
    s.say("installed firmware");
    s.say("  platform tag : \"%s\"", id.platform_tag.c_str());
    if (id.boot_info) {
        s.say("  board model  : %s", shown(id.model).c_str());
        s.say("  vendor       : %s", shown(id.vendor).c_str());
        s.say("  revision     : %u", unsigned(id.revision));
    } else {
        s.say("  boot-info    : none in the top 64 KiB");
    }
    s.say("  updatable    : %s", why ? ("no, " + why->text).c_str() : "yes, the library accepts it");
    nlohmann::json installed = {{"platform_tag", id.platform_tag}, {"updatable", !why}};
    if (id.boot_info) {
        installed["model"] = id.model.value_or("");
        installed["vendor"] = id.vendor.value_or("");
        installed["revision"] = id.revision;
    }
    s.report["installed"] = installed;

    // What the board's state knows: how the firmware came, the floor, a
    // write left open.
    const records::BoardState& st = s.state();
    const sigfile::Hash hash = signing::sha256(flash.data(), flash.size());
    const std::string sha = sigfile::hex(hash.data(), hash.size());
    nlohmann::json known = {{"floor", st.floor}};
    s.say("board's state (%s)", s.state_exists() ? (s.records_dir() + "/" + records::STATE_FILE).c_str()
                                                 : "none yet: this tool has not written to the board");
    if (st.installed && st.installed->sha256 == sha) {
        const records::Firmware& f = *st.installed;
        s.say("  release      : %s", f.release.empty() ? "(not signed with one)" : f.release.c_str());
        s.say("  security ver.: %u", unsigned(f.security_version));
        std::string how = f.origin;
        if (!f.signer.empty()) {
            how += ", by " + f.signer + " (" + f.key_id + ")";
        }
        for (const std::string& safety : f.safeties) {
            how += ", " + safety;
        }
        s.say("  came         : %s", how.c_str());
        known["release"] = f.release;
        known["security_version"] = f.security_version;
        known["origin"] = f.origin;
        known["safeties"] = f.safeties;
    } else {
        s.say("  installed    : not written by this tool as far as its state knows (SHA-256 %s)",
              sha.c_str());
        known["origin"] = "unknown";
    }
    s.say("  floor        : %u", unsigned(st.floor));
    if (!s.unfinished_text().empty()) {
        s.say("  unfinished   : %s", s.unfinished_text().c_str());
    }
    s.report["state"] = known;
    return exitcode::OK;
}

int run_board_init(Session& s, const std::string& image_path, const std::vector<std::string>& trusted) {
    std::vector<uint8_t> image = image_path.empty() ? std::vector<uint8_t>() : load_image(image_path);
    for (const std::string& key_path : trusted) {  // every key sound before anything is written
        signing::PublicKey key;
        if (Status err = signing::read_public_key(key_path, key)) {
            throw *err;
        }
        std::string file = u8::text(u8::path(key_path).filename());
        if (!trust::is_key_file(file) || !trust::valid_key_name(key_name_of(file))) {
            throw Error{exitcode::USAGE,
                        key_path + ": a trusted key's file is named NAME.pub, and " + trust::KEY_NAME_RULE};
        }
    }
    if (board_files_present(s.options.board_dir) && !s.options.replace) {
        throw Error{exitcode::USAGE, s.options.board_dir + " holds a board already; --replace replaces it"};
    }
    s.open(Access::Create);
    if (!s.api.simulated) {
        throw Error{exitcode::USAGE, "board init makes a simulated board; this ZUNDA.dll drives a real one"};
    }
    s.history();  // a damaged history is refused before anything is written
    // The new board's store is made aside and put in place only when every
    // key went in: a refused key leaves the old board's store as it was.
    const std::string trust_dir = default_trusted_keys(s.options.board_dir, true);
    std::string fresh;
    if (Status err = make_folder_aside(trust_dir, fresh)) {
        throw *err;
    }
    struct Aside {
        std::string path;
        ~Aside() {
            std::error_code ec;
            if (!path.empty()) {
                std::filesystem::remove_all(u8::path(path), ec);
            }
        }
    } aside{fresh};
    std::vector<std::string> names;
    nlohmann::json keys = nlohmann::json::array();
    for (const std::string& key_path : trusted) {
        trust::Added added;
        std::string name = key_name_of(u8::text(u8::path(key_path).filename()));
        if (Status err = trust::add(fresh, key_path, name, false, added)) {
            throw *err;
        }
        if (!added.already_as.empty()) {
            throw Error{exitcode::USAGE, key_path + ": the same key as " + added.already_as +
                                             ", named twice; nothing written"};
        }
        const std::string id = sigfile::hex(added.key.id.data(), added.key.id.size());
        names.push_back(name + " (" + id + ")");
        keys.push_back({{"name", name}, {"key_id", id}});
    }
    if (Status err = install_firmware(image.empty() ? factory_firmware() : image)) {
        throw *err;
    }
    // The state of the board replaced, for the record, if it can be read.
    records::BoardState old;
    bool had_state = false;
    Status old_err = records::read_state(s.records_dir(), old, had_state);
    s.save();
    if (Status err = put_folder_in_place(fresh, trust_dir)) {
        throw *err;
    }
    aside.path.clear();
    // A new board: a new state, with no write left open and no backup of
    // the board it replaces; its history goes on (never reset).
    s.store_state(records::new_state(records::utc_now()));
    std::error_code ec;
    std::filesystem::remove(u8::path(s.records_dir() + "/" + records::FLOOR_FILE), ec);
    s.say("board %s: installed firmware %s", s.options.board_dir.c_str(),
          image_path.empty() ? "generated, revision 0" : image_path.c_str());
    std::string list;
    for (const std::string& n : names) {
        list += (list.empty() ? "" : ", ") + n;
    }
    if (!names.empty()) {
        s.say("trusted keys  : %s, in %s", list.c_str(), trust_dir.c_str());
    } else {
        s.say(
            "trusted keys  : none yet: the board takes no update until it trusts its vendor's key "
            "(`kovaflash trust add VENDOR.pub`, or board init --trust)");
        s.warn("the board trusts no key yet: updates are refused until one is added (`kovaflash trust add`)");
    }
    s.report["trusted_keys"] = names;
    records::Record r = {{"event", "board-init"},
                         {"floor_before", old_err ? nlohmann::json("damaged") : nlohmann::json(old.floor)},
                         {"floor_after", 0},
                         {"board", s.state().board},
                         {"image", image_path.empty() ? std::string("(generated, revision 0)") : image_path},
                         {"trusted_keys", keys},
                         {"exit_code", exitcode::OK}};
    if (had_state && !old_err && old.unfinished) {
        r["replaced_unfinished"] = old.unfinished->command + " of " + old.unfinished->image;
    }
    s.record(r);
    return exitcode::OK;
}

void register_board_commands(CLI::App& app, Action& chosen) {
    app.add_subcommand("info", "the library's identity and the installed firmware's")->callback([&chosen] {
        chosen = run_info;
    });
    auto* board = app.add_subcommand("board", "the simulated board");
    board->require_subcommand(1);
    auto image = std::make_shared<std::string>();
    auto* init = board->add_subcommand("init", "make a new simulated board in the board directory");
    init->add_option("--image", *image, "firmware to install (default: generated, revision 0)");
    auto trusted = std::make_shared<std::vector<std::string>>();
    init->add_option("--trust", *trusted,
                     "public key (NAME.pub) whose signed images the board takes; repeatable");
    init->callback([&chosen, image, trusted] {
        chosen = [image, trusted](Session& s) { return run_board_init(s, *image, *trusted); };
    });
}
