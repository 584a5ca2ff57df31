#include "trust_store.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <optional>

#include "atomic_file.h"
#include "file_read.h"
#include "permissions.h"
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

// The names in `dir`, sorted; an error when it cannot be listed.
Status list(const std::string& dir, std::vector<std::string>& out) {
    std::string why;
    if (!u8::list_folder(dir, out, why)) {
        return Error{exitcode::USAGE, dir + ": cannot list (" + why + ")"};
    }
    return std::nullopt;
}

}  // namespace

bool is_key_file(const std::string& entry) {
    const std::string suffix = signing::PUBLIC_KEY_SUFFIX;
    return entry.size() > suffix.size() && !hidden(entry) &&
           lower(entry.substr(entry.size() - suffix.size())) == suffix;
}

namespace {

// The code points of `text` (UTF-8), or nothing when it is not UTF-8
// (overlong forms, surrogates and values past U+10FFFF included).
std::optional<std::vector<uint32_t>> code_points(const std::string& text) {
    std::vector<uint32_t> out;
    for (size_t i = 0; i < text.size();) {
        const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
        unsigned char lead = byte(i);
        size_t length = lead < 0x80             ? 1
                        : (lead & 0xE0) == 0xC0 ? 2
                        : (lead & 0xF0) == 0xE0 ? 3
                        : (lead & 0xF8) == 0xF0 ? 4
                                                : 0;
        if (length == 0 || i + length > text.size()) {
            return std::nullopt;
        }
        constexpr uint32_t LEAD_BITS[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
        uint32_t cp = lead & LEAD_BITS[length];
        for (size_t k = 1; k < length; ++k) {
            if ((byte(i + k) & 0xC0) != 0x80) {
                return std::nullopt;
            }
            cp = cp << 6 | (byte(i + k) & 0x3F);
        }
        constexpr uint32_t SHORTEST[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < SHORTEST[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return std::nullopt;
        }
        out.push_back(cp);
        i += length;
    }
    return out;
}

// The letters a name may hold besides ASCII: those of the Latin-1 and
// Latin Extended-A/B, Greek, Cyrillic, kana, CJK and Hangul blocks. No
// space, punctuation, joiner or mark of any script is among them.
bool letter_beyond_ascii(uint32_t cp) {
    constexpr uint32_t MULTIPLY = 0xD7, DIVIDE = 0xF7;
    struct Range {
        uint32_t first, last;
    };
    constexpr Range LETTERS[] = {{0x00C0, 0x024F}, {0x0386, 0x03FF}, {0x0400, 0x0481}, {0x048A, 0x04FF},
                                 {0x3041, 0x3096}, {0x30A1, 0x30FA}, {0x4E00, 0x9FFF}, {0xAC00, 0xD7A3}};
    return cp != MULTIPLY && cp != DIVIDE && cp != 0x0387 &&
           std::any_of(std::begin(LETTERS), std::end(LETTERS),
                       [&](const Range& r) { return cp >= r.first && cp <= r.last; });
}

// The small letter of a capital, in the scripts whose case a name may carry.
uint32_t fold(uint32_t cp) {
    if ((cp >= 'A' && cp <= 'Z') || (cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) ||
        (cp >= 0x391 && cp <= 0x3AB) || (cp >= 0x410 && cp <= 0x42F)) {
        return cp + 0x20;
    }
    if (cp >= 0x400 && cp <= 0x40F) {
        return cp + 0x50;
    }
    return cp;
}

}  // namespace

bool valid_key_name(const std::string& name) {
    auto cps = code_points(name);
    return cps && !cps->empty() && name.size() <= MAX_NAME_CHARS && name[0] != '.' &&
           std::all_of(cps->begin(), cps->end(), [](uint32_t c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_' || c == '.' || letter_beyond_ascii(c);
           });
}

bool same_name(const std::string& a, const std::string& b) {
    auto x = code_points(a), y = code_points(b);
    if (!x || !y || x->size() != y->size()) {
        return a == b;
    }
    for (size_t i = 0; i < x->size(); ++i) {
        if (fold((*x)[i]) != fold((*y)[i])) {
            return false;
        }
    }
    return true;
}

namespace {

// The folder itself: absent, or a real folder nobody else may write.
Status check_folder(const std::string& dir, bool& missing) {
    std::error_code ec;
    fs::file_status st = fs::symlink_status(u8::path(dir), ec);
    missing = st.type() == fs::file_type::not_found;
    if (st.type() == fs::file_type::symlink) {
        return Error{exitcode::USAGE, dir +
                                          ": is a symbolic link; a folder of trusted keys is never used "
                                          "through one (make it a folder of its own)"};
    }
    if (!missing && st.type() != fs::file_type::directory) {
        return Error{exitcode::USAGE, dir + ": not a folder of trusted keys (a folder of NAME.pub files)"};
    }
    return check_private(dir);
}

}  // namespace

Status load(const std::string& dir, Folder folder, std::vector<signing::PublicKey>& keys) {
    keys.clear();
    bool missing = false;
    if (Status err = check_folder(dir, missing)) {
        return err;
    }
    if (missing) {
        if (folder == Folder::Named) {
            return Error{exitcode::USAGE, dir + ": no such folder of trusted keys"};
        }
        return std::nullopt;
    }
    std::vector<std::string> entries;
    if (Status err = list(dir, entries)) {
        return err;
    }
    for (const std::string& name : entries) {
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
        if (!valid_key_name(stem_of(name))) {
            return Error{exitcode::USAGE, path + ": not a trusted key's name; " + KEY_NAME_RULE};
        }
        if (Status err = check_private(path)) {
            return err;
        }
        signing::PublicKey key;
        if (Status err = signing::read_public_key(path, key)) {
            return Error{exitcode::USAGE, "trusted key " + err->text};
        }
        key.name = stem_of(name);
        for (const signing::PublicKey& other : keys) {
            if (same_name(other.name, key.name)) {
                return Error{exitcode::USAGE, dir + ": two keys are named " + key.name +
                                                  " (names are one whatever their case): remove one"};
            }
            if (other.id == key.id) {
                return Error{exitcode::USAGE, dir + ": the same key is trusted as " + other.name +
                                                  " and as " + key.name + ": remove one"};
            }
        }
        keys.push_back(key);
    }
    return std::nullopt;
}

Status add(const std::string& dir, const std::string& key_path, const std::string& name, bool replace,
           Added& out) {
    out = Added{};
    if (!valid_key_name(name)) {
        return Error{exitcode::USAGE, "\"" + name + "\": " + KEY_NAME_RULE + " (--name NAME gives one)"};
    }
    if (Status err = signing::read_public_key(key_path, out.key)) {
        return err;
    }
    out.key.name = name;
    std::string text;
    if (Status err = read_text_file(key_path, signing::MAX_KEY_FILE_BYTES, "a key or signature file", text)) {
        return err;
    }
    // The store as it stands, whole: a link, a file or a damaged store is
    // refused before anything is written into it.
    std::vector<signing::PublicKey> keys;
    if (Status err = load(dir, Folder::Default, keys)) {
        return err;
    }
    for (const signing::PublicKey& k : keys) {
        if (k.id == out.key.id) {
            out.already_as = k.name;
            return std::nullopt;
        }
    }
    std::string target = dir + "/" + name + signing::PUBLIC_KEY_SUFFIX;
    auto there =
        std::find_if(keys.begin(), keys.end(), [&](const auto& k) { return same_name(k.name, name); });
    if (there != keys.end()) {
        if (!replace) {
            return Error{exitcode::USAGE, dir + "/" + there->name + signing::PUBLIC_KEY_SUFFIX +
                                              ": another key is trusted as " + there->name +
                                              " (--replace replaces it, `trust remove " + there->name +
                                              "` removes it)"};
        }
        out.replaced = *there;
        // The file of that name, whatever the case of its extension.
        std::vector<std::string> entries;
        if (Status err = list(dir, entries)) {
            return err;
        }
        for (const std::string& file : entries) {
            if (is_key_file(file) && stem_of(file) == there->name) {
                target = dir + "/" + file;
            }
        }
    } else if (keys.size() >= MAX_KEYS) {
        return Error{exitcode::USAGE, dir + ": holds " + std::to_string(MAX_KEYS) +
                                          " keys, as many as a store takes: remove one first"};
    }
    std::error_code ec;
    fs::create_directory(u8::path(dir), ec);
    if (ec) {
        return Error{exitcode::ENVIRONMENT, dir + ": cannot make the folder (" + ec.message() + ")"};
    }
    return write_file_atomic(target, reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                             out.replaced ? Existing::Replace : Existing::Keep);
}

Status remove(const std::string& dir, const std::string& name, signing::PublicKey& removed) {
    std::vector<signing::PublicKey> keys;
    if (Status err = load(dir, Folder::Default, keys)) {
        return err;
    }
    std::vector<std::string> entries;
    std::error_code ec;
    if (fs::symlink_status(u8::path(dir), ec).type() == fs::file_type::directory) {
        if (Status err = list(dir, entries)) {
            return err;
        }
    }
    for (const std::string& there : entries) {
        if (is_key_file(there) && same_name(stem_of(there), name)) {
            for (const signing::PublicKey& k : keys) {
                if (k.name == stem_of(there)) {
                    removed = k;
                }
            }
            if (!fs::remove(u8::path(dir + "/" + there), ec)) {
                return Error{exitcode::ENVIRONMENT,
                             dir + "/" + there + ": cannot remove (" + ec.message() + ")"};
            }
            return std::nullopt;
        }
    }
    return Error{exitcode::USAGE, "no key named " + name + " in " + dir};
}

}  // namespace trust
