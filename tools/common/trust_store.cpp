#include "trust_store.h"

#include <algorithm>
#include <filesystem>

#include "atomic_file.h"
#include "image_file.h"

namespace trust {

namespace fs = std::filesystem;

namespace {

bool is_key_name(const fs::path& p) {
    const std::string name = p.filename().string(), suffix = signing::PUBLIC_KEY_SUFFIX;
    return name.size() > suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 && name[0] != '.';
}

}  // namespace

Status load(const std::string& dir, std::vector<signing::PublicKey>& keys) {
    keys.clear();
    std::error_code ec;
    fs::file_status st = fs::symlink_status(dir, ec);
    if (st.type() == fs::file_type::not_found) {
        return std::nullopt;
    }
    if (st.type() != fs::file_type::directory) {
        return Error{exitcode::USAGE, dir + ": not a folder of trusted keys"};
    }
    std::vector<fs::path> paths;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        if (is_key_name(entry.path())) {
            paths.push_back(entry.path());
        }
    }
    if (ec) {
        return Error{exitcode::USAGE, dir + ": cannot list (" + ec.message() + ")"};
    }
    if (paths.size() > MAX_KEYS) {
        return Error{exitcode::USAGE, dir + ": more than " + std::to_string(MAX_KEYS) + " keys"};
    }
    std::sort(paths.begin(), paths.end());
    for (const fs::path& p : paths) {
        signing::PublicKey key;
        if (Status err = signing::read_public_key(dir + "/" + p.filename().string(), key)) {
            return Error{exitcode::USAGE, "trusted key " + err->text};
        }
        key.name = p.stem().string();
        keys.push_back(key);
    }
    return std::nullopt;
}

Status add(const std::string& dir, const std::string& key_path, signing::PublicKey& added) {
    if (!is_key_name(key_path)) {
        return Error{exitcode::USAGE, key_path + ": a trusted key's file is named NAME.pub"};
    }
    if (Status err = signing::read_public_key(key_path, added)) {
        return err;
    }
    added.name = fs::path(key_path).stem().string();
    std::string text;
    if (Status err = read_small_file(key_path, signing::MAX_KEY_FILE_BYTES, text)) {
        return err;
    }
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        return Error{exitcode::ENVIRONMENT, dir + ": cannot make the folder (" + ec.message() + ")"};
    }
    const std::string target = dir + "/" + fs::path(key_path).filename().string();
    signing::PublicKey there;
    if (fs::exists(fs::symlink_status(target, ec)) && !signing::read_public_key(target, there) &&
        there.point == added.point) {
        return std::nullopt;  // trusted already
    }
    return write_file_atomic(target, reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                             Existing::Keep);
}

}  // namespace trust
