#include "permissions.h"

#include <filesystem>

#include "utf8_path.h"

#if defined(_WIN32)
#include <windows.h>
// After windows.h:
#include <aclapi.h>
#include <sddl.h>
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

bool checks_on = true;

}  // namespace

void set_permission_checks(bool on) { checks_on = on; }

#if defined(_WIN32)

namespace {

// The accounts that may write what the board trusts: Administrators,
// SYSTEM and TrustedInstaller, by their well-known SIDs.
constexpr const wchar_t* TRUSTED_SIDS[] = {L"S-1-5-32-544", L"S-1-5-18",
                                           L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"};

// Every right that changes a file or folder, or who may change it.
constexpr ACCESS_MASK WRITE_RIGHTS = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                     FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER |
                                     GENERIC_WRITE | GENERIC_ALL;

std::wstring sid_text(PSID sid) {
    LPWSTR text = nullptr;
    std::wstring out = ConvertSidToStringSidW(sid, &text) ? text : L"(a SID that cannot be shown)";
    if (text) {
        LocalFree(text);
    }
    return out;
}

// The account this process runs as, when it runs as a member of
// Administrators (elevated): on a machine whose policy makes the creator,
// not the Administrators group, the owner of what an administrator makes
// (Wine's way), what that account owns an administrator owns.
std::wstring administrator_owner() {
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof admins;
    BOOL member = FALSE;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size) ||
        !CheckTokenMembership(nullptr, admins, &member) || !member) {
        return L"";
    }
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return L"";
    }
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD got = 0;
    std::wstring owner;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &got)) {
        owner = sid_text(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
    }
    CloseHandle(token);
    return owner;
}

bool trusted(const std::wstring& sid) {
    static const std::wstring own = administrator_owner();
    for (const wchar_t* t : TRUSTED_SIDS) {
        if (sid == t) {
            return true;
        }
    }
    return !own.empty() && sid == own;
}

std::string mend(const std::string& path, bool folder, const std::wstring& sid) {
    const char* inherit = folder ? "(OI)(CI)" : "";
    return "`icacls \"" + path + "\" /setowner *S-1-5-32-544` and `icacls \"" + path + "\" /inheritance:r" +
           (sid.empty() ? std::string() : " /remove:g *" + u8::from_wide(sid)) +
           " /grant:r *S-1-5-32-544:" + inherit + "F *S-1-5-18:" + inherit + "F *S-1-5-32-545:" + inherit +
           "RX`, as an administrator, mend it";
}

}  // namespace

// On Windows: the owner, and every account an entry of the access list
// lets write, must be Administrators, SYSTEM or TrustedInstaller.
Status check_private(const std::string& path) {
    if (!checks_on) {
        return std::nullopt;
    }
    const std::wstring os_path = u8::os(path);
    DWORD attributes = GetFileAttributesW(os_path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return std::nullopt;  // not there
    }
    const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD e = GetNamedSecurityInfoW(os_path.c_str(), SE_FILE_OBJECT,
                                    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                                    &dacl, nullptr, &sd);
    if (e != ERROR_SUCCESS) {
        return Error{exitcode::USAGE, path + ": its access control cannot be read (" + u8::error_text(e) +
                                          "); nothing in it is trusted"};
    }
    std::string wrong;
    std::wstring offender;
    if (!trusted(sid_text(owner))) {
        wrong = "owned by " + u8::from_wide(sid_text(owner)) +
                ", not by Administrators, SYSTEM or TrustedInstaller";
    } else if (!dacl) {
        wrong = "its access list is empty (a null DACL lets everyone write it)";
    } else {
        for (DWORD i = 0; i < dacl->AceCount && wrong.empty(); ++i) {
            void* ace = nullptr;
            if (!GetAce(dacl, i, &ace)) {
                wrong = "its access list cannot be read";
                break;
            }
            const ACE_HEADER* header = static_cast<const ACE_HEADER*>(ace);
            if ((header->AceFlags & INHERIT_ONLY_ACE) ||
                (header->AceType != ACCESS_ALLOWED_ACE_TYPE &&
                 header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE)) {
                continue;  // grants nothing on this file, or denies
            }
            const ACCESS_ALLOWED_ACE* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
            std::wstring sid = sid_text(const_cast<DWORD*>(&allowed->SidStart));
            if ((allowed->Mask & WRITE_RIGHTS) && !trusted(sid)) {
                offender = sid;
                wrong = "writable by " + u8::from_wide(sid) +
                        ", not only by Administrators, SYSTEM and TrustedInstaller";
            }
        }
    }
    LocalFree(sd);
    if (wrong.empty()) {
        return std::nullopt;
    }
    return Error{exitcode::USAGE, path + ": " + wrong + ", so nothing in it is trusted (" +
                                      mend(path, folder, offender) + ")"};
}

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
    if (!checks_on) {
        return std::nullopt;
    }
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
