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
// missing named one, an entry that is not NAME.pub or not a P-256 public
// key, a link, or more than MAX_KEYS keys is an input error
// (exitcode::USAGE) naming it.
Status load(const std::string& dir, Folder folder, std::vector<signing::PublicKey>& keys);

// The key a file NAME.pub in `dir` would be known by, if `entry` names one.
bool is_key_file(const std::string& entry);
// A key's name: letters (of any script), digits, '-', '_' and '.', not
// first; at most 64 bytes of UTF-8.
bool valid_key_name(const std::string& name);

// Copies the public key at `key_path` into `dir` (made if missing) as
// NAME.pub, whole or not at all. Refused: a file that is not a key, a name
// that is not one, and another key under that name (unless `replace`).
// `added` is the key; `already` tells that the same key was there.
Status add(const std::string& dir, const std::string& key_path, const std::string& name, bool replace,
           signing::PublicKey& added, bool& already);
// Removes the key NAME from `dir`; exitcode::USAGE when there is none.
Status remove(const std::string& dir, const std::string& name);
// Removes every key file of `dir` (not other entries); the names removed.
Status remove_all(const std::string& dir, std::vector<std::string>& removed);

}  // namespace trust

#endif
