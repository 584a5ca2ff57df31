// Text inside the host tools is UTF-8, paths included. On Windows the
// system's file names are UTF-16: these convert at that border, so a name
// in any script reaches the file system as it was typed (the narrow
// Windows calls, and std::filesystem given narrow text, would read it in
// the ANSI code page). Elsewhere the conversions are the identity.
#ifndef KOVA_HOST_UTF8_PATH_H
#define KOVA_HOST_UTF8_PATH_H

#include <filesystem>
#include <string>
#include <vector>

namespace u8 {

// The path named by UTF-8 `text`.
std::filesystem::path path(const std::string& text);
// A path's name in UTF-8.
std::string text(const std::filesystem::path& p);
// The names in the folder `dir` (not "." and ".."), sorted; false when it
// cannot be listed, with the system's reason in `why`. A folder deeper
// than Windows' old path limit is listed through the long form of its path.
bool list_folder(const std::string& dir, std::vector<std::string>& names, std::string& why);

#if defined(_WIN32)
// UTF-8 to UTF-16 and back; bytes that are not UTF-8 become U+FFFD.
std::wstring wide(const std::string& text);
std::string from_wide(const std::wstring& text);
// A path for the wide Windows calls (and std::filesystem): '\' separators,
// and a path of MAX_PATH characters or more made absolute, in its
// long form (the \\?\ prefix), which has no length limit.
std::wstring os(const std::string& text);
// What Windows says of `error`, in UTF-8, with its number.
std::string error_text(unsigned long error);
#endif

}  // namespace u8

#endif
