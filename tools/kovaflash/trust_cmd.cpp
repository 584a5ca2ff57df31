// trust list | add | remove: the keys whose signed images the board takes.
// The changes are writers: under the board's lock, each file whole, each
// change said and kept in the history.
#include <memory>

#include "commands.h"
#include "permissions.h"
#include "trust_store.h"
#include "utf8_path.h"

namespace {

std::string id_of(const signing::PublicKey& k) { return sigfile::hex(k.id.data(), k.id.size()); }

int run_trust_list(Session& s) {
    s.open(Access::Read);
    const std::string dir = s.trust_dir();
    std::vector<signing::PublicKey> keys;
    if (Status err =
            trust::load(dir, s.trust_dir_named() ? trust::Folder::Named : trust::Folder::Default, keys)) {
        throw *err;
    }
    nlohmann::json list = nlohmann::json::array();
    for (const signing::PublicKey& k : keys) {
        s.say("%s  %s", id_of(k).c_str(), k.name.c_str());
        list.push_back({{"name", k.name}, {"key_id", id_of(k)}});
    }
    if (keys.empty()) {
        s.say(
            "no trusted key in %s: the board takes no image until one is added (`kovaflash trust add "
            "KEY.pub`)",
            dir.c_str());
    }
    s.report["trusted_keys"] = dir;
    s.report["keys"] = list;
    return exitcode::OK;
}

// The record of a change must be possible before the change is made: the
// history read whole, and its folder one this process may write.
void check_recordable(Session& s) {
    s.history();
    if (!folder_writable(s.records_dir())) {
        throw Error{exitcode::ENVIRONMENT, s.records_dir() +
                                               ": this process may not write there, so the change could not "
                                               "be recorded; nothing changed"};
    }
}

int run_trust_add(Session& s, const std::string& key_path, std::string name) {
    if (name.empty()) {
        std::string file = u8::text(u8::path(key_path).filename());
        name = trust::is_key_file(file)
                   ? file.substr(0, file.size() - std::string(signing::PUBLIC_KEY_SUFFIX).size())
                   : file;
    }
    s.open(Access::Write);
    check_recordable(s);
    const std::string dir = s.trust_dir();
    trust::Added added;
    if (Status err = trust::add(dir, key_path, name, s.options.replace, added)) {
        throw *err;
    }
    const std::string id = id_of(added.key);
    s.report["key_id"] = id;
    s.report["added"] = added.already_as.empty();
    if (!added.already_as.empty()) {
        s.say("trusted key   : %s (%s) is trusted already, as %s, in %s; nothing added", name.c_str(),
              id.c_str(), added.already_as.c_str(), dir.c_str());
        s.report["name"] = added.already_as;
        return exitcode::OK;
    }
    s.report["name"] = name;
    s.say("trusted key   : %s (%s) added to %s", name.c_str(), id.c_str(), dir.c_str());
    records::Record r = {
        {"event", "trust-add"}, {"name", name}, {"key_id", id}, {"folder", dir}, {"exit_code", exitcode::OK}};
    if (added.replaced) {
        s.say("replaced      : %s (%s), trusted as %s until now", added.replaced->name.c_str(),
              id_of(*added.replaced).c_str(), added.replaced->name.c_str());
        s.report["replaced"] = {{"name", added.replaced->name}, {"key_id", id_of(*added.replaced)}};
        r["replaced"] = s.report["replaced"];
    }
    s.record(r);
    return exitcode::OK;
}

int run_trust_remove(Session& s, const std::string& name) {
    s.open(Access::Write);
    check_recordable(s);
    const std::string dir = s.trust_dir();
    signing::PublicKey removed;
    if (Status err = trust::remove(dir, name, removed)) {
        throw *err;
    }
    s.say("trusted key   : %s (%s) removed from %s", removed.name.c_str(), id_of(removed).c_str(),
          dir.c_str());
    std::vector<signing::PublicKey> left;
    if (!trust::load(dir, trust::Folder::Default, left) && left.empty()) {
        s.warn("WARNING: " + dir + " holds no key now: the board takes no update until one is added");
    }
    s.report["name"] = removed.name;
    s.report["key_id"] = id_of(removed);
    s.report["removed"] = true;
    records::Record r = {{"event", "trust-remove"},
                         {"name", removed.name},
                         {"key_id", id_of(removed)},
                         {"folder", dir},
                         {"exit_code", exitcode::OK}};
    s.record(r);
    return exitcode::OK;
}

}  // namespace

void register_trust_commands(CLI::App& app, Action& chosen) {
    auto* trust_cmd = app.add_subcommand("trust", "the keys whose signed images the board takes");
    trust_cmd->require_subcommand(1);
    trust_cmd->add_subcommand("list", "the trusted keys, with their ids")->callback([&chosen] {
        chosen = run_trust_list;
    });
    auto args = std::make_shared<std::pair<std::string, std::string>>();
    auto* add = trust_cmd->add_subcommand("add", "trust KEY.pub (a P-256 public key, PEM)");
    add->add_option("KEY", args->first, "public key file")->required();
    add->add_option("--name", args->second, "the name to trust it as (default: the file's, without .pub)");
    add->callback([&chosen, args] {
        chosen = [args](Session& s) { return run_trust_add(s, args->first, args->second); };
    });
    auto name = std::make_shared<std::string>();
    auto* remove = trust_cmd->add_subcommand("remove", "stop trusting the key NAME");
    remove->add_option("NAME", *name, "the key's name, as `trust list` shows it")->required();
    remove->callback([&chosen, name] { chosen = [name](Session& s) { return run_trust_remove(s, *name); }; });
}
