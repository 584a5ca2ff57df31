// verify-kit FOLDER: whether an unpacked kit is the one the vendor released.
// The checksum list's signature is checked first, against a release key the
// user holds from elsewhere (one shipped in the kit would vouch for itself);
// then every file of the folder against the list: one that differs, one
// listed but missing and one present but not listed each refuse the kit.
// The board is not touched, so no board lock is taken.
#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <set>

#include "commands.h"
#include "file_read.h"
#include "kit_signature.h"
#include "signing.h"
#include "utf8_path.h"

namespace {

namespace fs = std::filesystem;

// Bounds on what is read: a kit is a few dozen files of a few MiB.
constexpr size_t MAX_LISTED_FILES = 1024;
constexpr size_t MAX_FILE_BYTES = size_t(256) << 20;
constexpr size_t MAX_FOLDER_DEPTH = 8;
constexpr size_t HEX_DIGITS = 2 * sigfile::HASH_BYTES;
constexpr char SEPARATOR[] = "  ";  // sha256sum's text-mode separator

struct KitOptions {
    std::string folder, release_key;
};

Error refused(const std::string& text) { return Error{exitcode::REFUSED, text}; }

// A listed name: relative, '/'-separated, no empty, "." or ".." part, no
// '\' or ':' (which Windows would read as a separator or a drive).
bool safe_name(const std::string& name) {
    if (name.find_first_of("\\:") != name.npos) {
        return false;
    }
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        end = end == name.npos ? name.size() : end;
        const std::string part = name.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") {
            return false;
        }
        start = end + 1;
    }
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return static_cast<unsigned char>(c) >= 0x20; });
}

// SHA256SUMS as sha256sum writes it: "<64 hex digits>  NAME", one file a
// line, LF or CRLF. Anything else is not the list (after a good signature
// that means the vendor's tools are broken: refused all the same).
std::map<std::string, sigfile::Hash> parse_sums(const std::string& text) {
    std::map<std::string, sigfile::Hash> out;
    std::string_view rest = text, line;
    size_t number = 0;
    while (!rest.empty()) {
        ++number;
        const std::string where = std::string(kitsig::SUMS_FILE) + " line " + std::to_string(number);
        if (!sigfile::next_line(rest, line)) {
            throw refused(where + " has no line end: not a kit's checksum list");
        }
        sigfile::Hash h{};
        if (line.size() <= HEX_DIGITS + 2 || line.substr(HEX_DIGITS, 2) != SEPARATOR ||
            !sigfile::parse_hex(line.substr(0, HEX_DIGITS), h)) {
            throw refused(where + " is not \"<64 hex digits>  NAME\"");
        }
        const std::string name(line.substr(HEX_DIGITS + 2));
        if (!safe_name(name)) {
            throw refused(where + " names a file outside the kit or in no usable form");
        }
        if (!out.emplace(name, h).second) {
            throw refused(where + " lists " + name + " a second time");
        }
        if (out.size() > MAX_LISTED_FILES) {
            throw refused(std::string(kitsig::SUMS_FILE) + " lists more than " +
                          std::to_string(MAX_LISTED_FILES) + " files");
        }
    }
    if (out.empty()) {
        throw refused(std::string(kitsig::SUMS_FILE) + " lists no file");
    }
    return out;
}

// Every entry under `folder`, by its '/'-separated name: regular files in
// `files`, anything else (a link, a device, a folder too deep) in `odd`.
void walk(const std::string& folder, const std::string& prefix, size_t depth, std::set<std::string>& files,
          std::set<std::string>& odd) {
    std::vector<std::string> names;
    std::string why;
    if (!u8::list_folder(folder, names, why)) {
        throw Error{depth == 0 ? exitcode::USAGE : exitcode::REFUSED, folder + ": cannot list (" + why + ")"};
    }
    for (const std::string& name : names) {
        const std::string path = folder + "/" + name, shown = prefix + name;
        std::error_code ec;
        const fs::file_type type = fs::symlink_status(u8::path(path), ec).type();
        if (type == fs::file_type::regular) {
            files.insert(shown);
        } else if (type == fs::file_type::directory && depth + 1 < MAX_FOLDER_DEPTH) {
            walk(path, shown + "/", depth + 1, files, odd);
        } else {
            odd.insert(shown);
        }
        if (files.size() + odd.size() > MAX_LISTED_FILES) {
            throw refused(folder + " holds more than " + std::to_string(MAX_LISTED_FILES) + " entries");
        }
    }
}

// A small text file of the kit's, whole; one that is not (missing, a link,
// too long) refuses the kit.
std::string read_small(const std::string& path, size_t limit, const char* what) {
    std::string text;
    if (Status err = read_text_file(path, limit, what, text)) {
        throw refused(err->text);
    }
    return text;
}

int run_verify_kit(Session& s, const KitOptions& o) {
    std::error_code ec;
    if (fs::symlink_status(u8::path(o.folder), ec).type() != fs::file_type::directory) {
        throw Error{exitcode::USAGE, o.folder + ": not a folder (give the unpacked kit's folder)"};
    }
    signing::PublicKey key;
    if (Status err = signing::read_public_key(o.release_key, key)) {
        throw *err;
    }
    const std::string key_id = sigfile::hex(key.id.data(), key.id.size());
    s.report["folder"] = o.folder;
    s.report["release_key"] = key_id;

    // The list first, and only a list the release key signed.
    const std::string sums_path = o.folder + "/" + kitsig::SUMS_FILE;
    const std::string sig_path = o.folder + "/" + kitsig::SIGNATURE_FILE;
    const std::string sums = read_small(sums_path, kitsig::MAX_SUMS_BYTES, "a kit's checksum list");
    kitsig::KitSignature k;
    if (Status err = kitsig::parse(read_small(sig_path, kitsig::MAX_FILE_BYTES, "a kit signature"), k)) {
        throw refused(sig_path + ": " + err->text);
    }
    if (k.key_id != key.id) {
        throw refused(sig_path + ": signed by key " + sigfile::hex(k.key_id.data(), k.key_id.size()) +
                      ", not by the release key " + key_id + " given");
    }
    if (signing::sha256(reinterpret_cast<const uint8_t*>(sums.data()), sums.size()) != k.sums_sha256) {
        throw refused(sums_path + ": not the list that was signed (its SHA-256 differs)");
    }
    const std::string text = kitsig::signed_text(k);
    if (!signing::verify(key, signing::sha256(reinterpret_cast<const uint8_t*>(text.data()), text.size()),
                         k.signature)) {
        throw refused(sig_path + ": the signature does not verify with the release key " + key_id);
    }
    s.report["kit"] = k.kit;
    s.say("list          : %s, kit %s, signed by release key %s", kitsig::SUMS_FILE, k.kit.c_str(),
          key_id.c_str());

    const std::map<std::string, sigfile::Hash> listed = parse_sums(sums);
    std::set<std::string> present, odd;
    walk(o.folder, "", 0, present, odd);
    present.erase(kitsig::SUMS_FILE);
    present.erase(kitsig::SIGNATURE_FILE);
    nlohmann::json differs = nlohmann::json::array(), missing = nlohmann::json::array(),
                   extra = nlohmann::json::array();
    for (const auto& [name, hash] : listed) {
        if (!present.count(name)) {
            s.say("missing       : %s", name.c_str());
            missing.push_back(name);
            continue;
        }
        std::vector<uint8_t> bytes;
        Status err = read_bounded(o.folder + "/" + name, MAX_FILE_BYTES, Links::Refuse, "a kit file", bytes);
        if (err || signing::sha256(bytes.data(), bytes.size()) != hash) {
            s.say("differs       : %s%s", name.c_str(), err ? (" (" + err->text + ")").c_str() : "");
            differs.push_back(name);
        }
    }
    for (const std::string& name : present) {
        if (!listed.count(name)) {
            s.say("extra         : %s (not in the signed list)", name.c_str());
            extra.push_back(name);
        }
    }
    for (const std::string& name : odd) {
        s.say("extra         : %s (not a regular file)", name.c_str());
        extra.push_back(name);
    }
    s.report["files"] = listed.size();
    s.report["differs"] = differs;
    s.report["missing"] = missing;
    s.report["extra"] = extra;
    const bool good = differs.empty() && missing.empty() && extra.empty();
    s.report["verified"] = good;
    if (!good) {
        throw refused("the kit is not the one released: " + std::to_string(differs.size()) + " differ, " +
                      std::to_string(missing.size()) + " missing, " + std::to_string(extra.size()) +
                      " extra");
    }
    s.say("kit           : %s: all %s files as signed", k.kit.c_str(), std::to_string(listed.size()).c_str());
    return exitcode::OK;
}

}  // namespace

void register_kit_commands(CLI::App& app, Action& chosen) {
    auto o = std::make_shared<KitOptions>();
    auto* cmd = app.add_subcommand(
        "verify-kit",
        "check an unpacked kit against its checksum list, signed with the vendor's release key");
    cmd->add_option("FOLDER", o->folder, "the kit's folder (KOVA-VERSION)")->required();
    cmd->add_option("--release-key", o->release_key,
                    "the vendor's release public key (PEM), obtained from the vendor, not from the kit")
        ->required();
    cmd->callback([&chosen, o] { chosen = [o](Session& s) { return run_verify_kit(s, *o); }; });
}
