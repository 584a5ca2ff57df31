// The keys an update trusts: a folder of P-256 public keys, each a signer
// the owner of the board accepts. Natively the simulated board's own
// (BOARD/trusted-keys); for kovaflash.exe on a board, the trusted-keys
// folder beside the program.
//
// Every entry of the folder is accounted for. A key is NAME.pub, the
// extension matched without regard to case (as Windows matches it), and
// read by the one key reader (key_file.h). Names that begin with '.' are
// hidden files other systems leave (macOS's ._NAME and .DS_Store, a
// desktop's .directory, this tool's own unfinished writes) and are skipped.
// Anything else is refused, named: a store is never read as holding fewer
// keys than it seems to.
#ifndef KOVA_TOOLS_TRUST_STORE_H
#define KOVA_TOOLS_TRUST_STORE_H

#include <optional>
#include <string>
#include <vector>

#include "error.h"
#include "signing.h"

namespace trust {

constexpr char DIR_NAME[] = "trusted-keys";
constexpr size_t MAX_KEYS = 64;

enum class Folder {
    Default,  // the board's own: missing is a store of no keys
    Named,    // named by the user: missing is an input error
};

// Every key in `dir`, by name. A missing default folder holds no keys; a
// missing named one, a folder that is a link or a file, an entry that is
// not NAME.pub or not a P-256 public key, a link, two names that differ only
// in case, one key under two names, more than MAX_KEYS keys, or a folder or
// key that others may write (permissions.h) is an input error
// (exitcode::USAGE) naming it.
Status load(const std::string& dir, Folder folder, std::vector<signing::PublicKey>& keys);

// The key a file NAME.pub in `dir` would be known by, if `entry` names one.
bool is_key_file(const std::string& entry);
// A key's name: at most 64 bytes of UTF-8, of letters (ASCII, Latin-1 and
// Latin Extended, Greek, Cyrillic, kana, CJK, Hangul), digits, '-', '_' and
// '.', not beginning with '.': no blank of any script, no separator, no
// joiner or other invisible character, nothing that is not UTF-8.
bool valid_key_name(const std::string& name);
constexpr char KEY_NAME_RULE[] =
    "a key's name is at most 64 bytes of letters (Latin, Greek, Cyrillic, kana, CJK, Hangul), digits, "
    "'-', '_' and '.', not beginning with '.'";
// Two names of one key: compared without regard to case (in the scripts
// above that have one), as Windows compares file names.
bool same_name(const std::string& a, const std::string& b);

struct Added {
    signing::PublicKey key;                      // the key, with its name
    std::string already_as;                      // the entry that trusts this key already: nothing added
    std::optional<signing::PublicKey> replaced;  // the key that NAME named before (replace)
};
// Copies the public key at `key_path` into `dir` (made if missing) as
// NAME.pub, whole or not at all. Refused: a store load() refuses, a file
// that is not a key, a name that is not one, a 65th key, and another key
// under that name (unless `replace`). A key trusted already, under any
// name, adds nothing and says which entry holds it.
Status add(const std::string& dir, const std::string& key_path, const std::string& name, bool replace,
           Added& out);
// Removes the key NAME (any case) from `dir`; exitcode::USAGE when there is
// none. Gives the key removed.
Status remove(const std::string& dir, const std::string& name, signing::PublicKey& removed);
// Removes every key file of `dir` (not other entries); the names removed.
Status remove_all(const std::string& dir, std::vector<std::string>& removed);

}  // namespace trust

#endif
