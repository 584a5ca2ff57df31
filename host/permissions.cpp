#include "permissions.h"

#include <filesystem>

#include "utf8_path.h"

#if defined(_WIN32)
#include <windows.h>
#endif

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#endif

namespace {

// `dir`, or the nearest folder above it that exists.
std::string existing_folder(const std::string& dir) {
    std::error_code ec;
    std::filesystem::path p = u8::path(dir);
    while (!p.empty() && !std::filesystem::exists(p, ec) && p.has_parent_path() && p.parent_path() != p) {
        p = p.parent_path();
    }
    return p.empty() ? "." : u8::text(p);
}

}  // namespace

#if defined(_WIN32)

Status check_private(const std::string&) { return std::nullopt; }

bool folder_writable(const std::string& dir) {
    // A file made there and gone as it is closed.
    std::wstring probe = u8::os(existing_folder(dir) + "/.kovaflash-probe");
    HANDLE h = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_FILE_EXISTS;
    }
    CloseHandle(h);
    return true;
}

#else

namespace {

constexpr uid_t ROOT_UID = 0;
constexpr mode_t WRITABLE_BY_OTHERS = S_IWGRP | S_IWOTH;
constexpr mode_t PERMISSION_BITS = 07777;

std::string octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", unsigned(mode & PERMISSION_BITS));
    return text;
}

// The path as a shell line takes it.
std::string quoted(const std::string& path) {
    std::string q = "'";
    for (char c : path) {
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return q + "'";
}

}  // namespace

bool folder_writable(const std::string& dir) {
    return access(existing_folder(dir).c_str(), W_OK | X_OK) == 0;
}

Status check_private(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        return Error{exitcode::USAGE,
                     path + ": cannot be examined (" + std::strerror(errno) + "); nothing in it is trusted"};
    }
    if (st.st_uid != geteuid() && st.st_uid != ROOT_UID) {
        return Error{exitcode::USAGE, path + ": owned by uid " + std::to_string(st.st_uid) +
                                          ", neither you nor root, so nothing in it is trusted (`chown " +
                                          std::to_string(geteuid()) + " " + quoted(path) + "` mends it)"};
    }
    if (!S_ISLNK(st.st_mode) && (st.st_mode & WRITABLE_BY_OTHERS)) {
        return Error{exitcode::USAGE, path + ": writable by others (mode " + octal(st.st_mode) +
                                          "), so nothing in it is trusted (`chmod go-w " + quoted(path) +
                                          "` mends it)"};
    }
    return std::nullopt;
}

#endif
