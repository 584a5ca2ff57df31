#include "trust_store.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "atomic_file.h"
#include "image_file.h"
#include "utf8_path.h"

namespace trust {

namespace fs = std::filesystem;

namespace {

constexpr size_t MAX_NAME_CHARS = 64;

constexpr char ENTRY_RULE[] =
    "a trusted-keys folder holds only keys, NAME.pub (names that begin with '.' are hidden files and "
    "skipped)";

bool hidden(const std::string& entry) { return !entry.empty() && entry[0] == '.'; }

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

std::string stem_of(const std::string& entry) {
    return entry.substr(0, entry.size() - std::string(signing::PUBLIC_KEY_SUFFIX).size());
}

// The entries of `dir`, by name; an error when it cannot be listed.
Status list(const std::string& dir, std::vector<fs::directory_entry>& out) {
    std::error_code ec;
    fs::directory_iterator it(u8::path(dir), ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        out.push_back(*it);
    }
    if (ec) {
        return Error{exitcode::USAGE, dir + ": cannot list (" + ec.message() + ")"};
    }
    std::sort(out.begin(), out.end(),
              [](const auto& a, const auto& b) { return a.path().filename() < b.path().filename(); });
    return std::nullopt;
}

}  // namespace

bool is_key_file(const std::string& entry) {
    const std::string suffix = signing::PUBLIC_KEY_SUFFIX;
    return entry.size() > suffix.size() && !hidden(entry) &&
           lower(entry.substr(entry.size() - suffix.size())) == suffix;
}

bool valid_key_name(const std::string& name) {
    // Letters of any script (UTF-8 bytes from 0x80 up), digits, '-', '_'
    // and '.': no separator, blank or control character.
    constexpr unsigned char FIRST_NON_ASCII = 0x80;
    return !name.empty() && name.size() <= MAX_NAME_CHARS && name[0] != '.' &&
           std::all_of(name.begin(), name.end(), [](unsigned char c) {
               return std::isalnum(c) || c == '-' || c == '_' || c == '.' || c >= FIRST_NON_ASCII;
           });
}

Status load(const std::string& dir, Folder folder, std::vector<signing::PublicKey>& keys) {
    keys.clear();
    std::error_code ec;
    fs::file_status st = fs::symlink_status(u8::path(dir), ec);
    if (st.type() == fs::file_type::not_found) {
        if (folder == Folder::Named) {
            return Error{exitcode::USAGE, dir + ": no such folder of trusted keys"};
        }
        return std::nullopt;
    }
    if (st.type() != fs::file_type::directory) {
        return Error{exitcode::USAGE, dir + ": not a folder of trusted keys"};
    }
    std::vector<fs::directory_entry> entries;
    if (Status err = list(dir, entries)) {
        return err;
    }
    for (const fs::directory_entry& entry : entries) {
        const std::string name = u8::text(entry.path().filename());
        if (hidden(name)) {
            continue;
        }
        const std::string path = dir + "/" + name;
        if (!is_key_file(name)) {
            return Error{exitcode::USAGE, path + ": not a trusted key; " + ENTRY_RULE};
        }
        if (keys.size() == MAX_KEYS) {
            return Error{exitcode::USAGE, dir + ": more than " + std::to_string(MAX_KEYS) + " keys"};
        }
        signing::PublicKey key;
        if (Status err = signing::read_public_key(path, key)) {
            return Error{exitcode::USAGE, "trusted key " + err->text};
        }
        key.name = stem_of(name);
        keys.push_back(key);
    }
    return std::nullopt;
}

Status add(const std::string& dir, const std::string& key_path, const std::string& name, bool replace,
           signing::PublicKey& added, bool& already) {
    already = false;
    if (!valid_key_name(name)) {
        return Error{exitcode::USAGE,
                     "\"" + name +
                         "\": a key's name is 1 to 64 bytes of letters, digits, '-', '_' or '.', "
                         "not beginning with '.' (--name NAME gives one)"};
    }
    if (Status err = signing::read_public_key(key_path, added)) {
        return err;
    }
    added.name = name;
    std::string text;
    if (Status err = read_small_file(key_path, signing::MAX_KEY_FILE_BYTES, text)) {
        return err;
    }
    std::error_code ec;
    fs::create_directories(u8::path(dir), ec);
    if (ec) {
        return Error{exitcode::ENVIRONMENT, dir + ": cannot make the folder (" + ec.message() + ")"};
    }
    // The name is the key's whatever the case of its extension: one file a name.
    std::vector<fs::directory_entry> entries;
    if (Status err = list(dir, entries)) {
        return err;
    }
    std::string target = dir + "/" + name + signing::PUBLIC_KEY_SUFFIX;
    for (const fs::directory_entry& entry : entries) {
        const std::string there_name = u8::text(entry.path().filename());
        if (!is_key_file(there_name) || lower(stem_of(there_name)) != lower(name)) {
            continue;
        }
        const std::string there_path = dir + "/" + there_name;
        signing::PublicKey there;
        if (!signing::read_public_key(there_path, there) && there.point == added.point) {
            already = true;
            return std::nullopt;
        }
        if (!replace) {
            return Error{exitcode::USAGE, there_path + ": another key is trusted as " + name +
                                              " (--replace replaces it, `trust remove " + name +
                                              "` removes it)"};
        }
        target = there_path;
    }
    return write_file_atomic(target, reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                             replace ? Existing::Replace : Existing::Keep);
}

Status remove(const std::string& dir, const std::string& name) {
    std::vector<fs::directory_entry> entries;
    std::error_code ec;
    if (fs::symlink_status(u8::path(dir), ec).type() == fs::file_type::directory) {
        if (Status err = list(dir, entries)) {
            return err;
        }
    }
    for (const fs::directory_entry& entry : entries) {
        const std::string there = u8::text(entry.path().filename());
        if (is_key_file(there) && stem_of(there) == name) {
            if (!fs::remove(entry.path(), ec)) {
                return Error{exitcode::ENVIRONMENT,
                             dir + "/" + there + ": cannot remove (" + ec.message() + ")"};
            }
            return std::nullopt;
        }
    }
    return Error{exitcode::USAGE, "no key named " + name + " in " + dir};
}

Status remove_all(const std::string& dir, std::vector<std::string>& removed) {
    removed.clear();
    std::vector<fs::directory_entry> entries;
    std::error_code ec;
    if (fs::symlink_status(u8::path(dir), ec).type() != fs::file_type::directory) {
        return std::nullopt;
    }
    if (Status err = list(dir, entries)) {
        return err;
    }
    for (const fs::directory_entry& entry : entries) {
        const std::string there = u8::text(entry.path().filename());
        if (!is_key_file(there)) {
            continue;
        }
        if (!fs::remove(entry.path(), ec)) {
            return Error{exitcode::ENVIRONMENT, dir + "/" + there + ": cannot remove (" + ec.message() + ")"};
        }
        removed.push_back(stem_of(there));
    }
    return std::nullopt;
}

}  // namespace trust
