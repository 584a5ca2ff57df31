// The keys an update trusts: a folder of P-256 public keys (NAME.pub), each
// a signer the owner of the board accepts. A missing folder is an empty
// store. Natively the simulated board's own (BOARD/trusted-keys); for
// kovaflash.exe on a board, the trusted-keys folder beside the program.
#ifndef KOVA_TOOLS_TRUST_STORE_H
#define KOVA_TOOLS_TRUST_STORE_H

#include <string>
#include <vector>

#include "error.h"
#include "signing.h"

namespace trust {

constexpr char DIR_NAME[] = "trusted-keys";
constexpr size_t MAX_KEYS = 64;

// Every NAME.pub in `dir`, by name. A file there that is not a P-256 public
// key, a symbolic link, or more than MAX_KEYS keys is an input error
// (exitcode::USAGE) naming it: a trust store is never half read.
Status load(const std::string& dir, std::vector<signing::PublicKey>& keys);

// Copies the public key at `key_path` into `dir` (made if missing) under
// its own file name, whole or not at all. Fails for a file that is not a
// key, and for another key already there under that name.
Status add(const std::string& dir, const std::string& key_path, signing::PublicKey& added);

}  // namespace trust

#endif
