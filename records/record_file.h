// One file of the board's records read whole, or refused as damaged: the
// history, the state, an older kit's floor file. A damaged record is named
// and kept as it is, never read as empty or reset.
#ifndef KOVA_RECORDS_RECORD_FILE_H
#define KOVA_RECORDS_RECORD_FILE_H

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "error.h"

namespace records {

// The file at `path`, handed to `parse`. Missing: `exists` false and
// nothing parsed. Not a regular file (a link included), longer than
// `max_bytes`, unreadable, or refused by `parse`: exitcode::USAGE,
// "PATH: damaged (WHY); kept as it is. REMEDY".
Status read_record_file(const std::string& path, size_t max_bytes, const char* what, const char* remedy,
                        const std::function<Status(std::string_view)>& parse, bool& exists);

}  // namespace records

#endif
