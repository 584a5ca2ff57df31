#include "board_cmd.h"

#include <filesystem>
#include <memory>
#include <vector>

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

    ident::Identity id = ident::read_identity(s.installed_firmware().data());
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
        if (!trust::is_key_file(file) ||
            !trust::valid_key_name(
                file.substr(0, file.size() - std::string(signing::PUBLIC_KEY_SUFFIX).size()))) {
            throw Error{exitcode::USAGE,
                        key_path +
                            ": a trusted key's file is named NAME.pub, NAME of letters, digits, "
                            "'-', '_' and '.'"};
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
    if (Status err = install_firmware(image.empty() ? factory_firmware() : image)) {
        throw *err;
    }
    // The keys first: a board that is saved trusts what it was told to, and
    // only that (a board made anew keeps no key of the one it replaces).
    const std::string trust_dir = default_trusted_keys(s.options.board_dir, true);
    std::vector<std::string> dropped;
    if (Status err = trust::remove_all(trust_dir, dropped)) {
        throw *err;
    }
    std::error_code gone;
    if (std::filesystem::symlink_status(u8::path(trust_dir), gone).type() ==
        std::filesystem::file_type::directory) {
        std::filesystem::remove_all(u8::path(trust_dir),
                                    gone);  // and whatever else the old board's folder held
    }
    std::vector<std::string> names;
    nlohmann::json keys = nlohmann::json::array();
    for (const std::string& key_path : trusted) {
        signing::PublicKey key;
        bool already = false;
        std::string file = u8::text(u8::path(key_path).filename());
        std::string name = file.substr(0, file.size() - std::string(signing::PUBLIC_KEY_SUFFIX).size());
        if (Status err = trust::add(trust_dir, key_path, name, false, key, already)) {
            throw *err;
        }
        const std::string id = sigfile::hex(key.id.data(), key.id.size());
        names.push_back(key.name + " (" + id + ")");
        keys.push_back({{"name", key.name}, {"key_id", id}});
    }
    s.save();
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
    // A new board starts with no floor; its history goes on (never reset).
    uint32_t floor_before = 0;
    Status floor_err = records::read_floor(s.records_dir(), floor_before);
    std::error_code ec;
    std::filesystem::remove(u8::path(s.records_dir() + "/" + records::FLOOR_FILE), ec);
    records::Record r = {
        {"event", "board-init"},
        {"floor_before", floor_err ? nlohmann::json("damaged") : nlohmann::json(floor_before)},
        {"floor_after", 0},
        {"image", image_path.empty() ? std::string("(generated, revision 0)") : image_path},
        {"trusted_keys", keys},
        {"exit_code", exitcode::OK}};
    if (!dropped.empty()) {
        r["keys_dropped"] = dropped;
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
