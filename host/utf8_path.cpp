#include "utf8_path.h"

#include <algorithm>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dirent.h>

#include <cerrno>
#include <cstring>
#endif

namespace u8 {

#if defined(_WIN32)

std::wstring wide(const std::string& text) {
    if (text.empty()) {
        return std::wstring();
    }
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring out(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n);
    }
    return out;
}

std::string from_wide(const std::wstring& text) {
    if (text.empty()) {
        return std::string();
    }
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n > 0 ? n : 0), '\0');
    if (n > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n, nullptr, nullptr);
    }
    return out;
}

std::wstring os(const std::string& text) {
    std::wstring w = wide(text);
    for (wchar_t& c : w) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    constexpr wchar_t LONG_PREFIX[] = L"\\\\?\\";
    if (w.size() < MAX_PATH || w.compare(0, 4, LONG_PREFIX) == 0) {
        return w;
    }
    // A long path has no length limit in its long form (the \\?\ prefix),
    // which Windows takes as it stands: made absolute and normal first
    // (no "..", no doubled separator).
    DWORD n = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
    std::wstring full(n, L'\0');
    n = n > 0 ? GetFullPathNameW(w.c_str(), n, full.data(), nullptr) : 0;
    if (n == 0 || n >= full.size()) {
        return w;
    }
    full.resize(n);
    if (full.size() > 2 && full[1] == L':' && full[2] == L'\\') {
        return LONG_PREFIX + full;
    }
    if (full.compare(0, 2, L"\\\\") == 0) {
        return std::wstring(LONG_PREFIX) + L"UNC\\" + full.substr(2);
    }
    return full;
}

std::string error_text(unsigned long error) {
    wchar_t* message = nullptr;
    DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        error, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    std::wstring said = n > 0 && message ? std::wstring(message, n) : std::wstring();
    if (message) {
        LocalFree(message);
    }
    while (!said.empty() &&
           (said.back() == L'\r' || said.back() == L'\n' || said.back() == L' ' || said.back() == L'.')) {
        said.pop_back();
    }
    std::string number = "error " + std::to_string(error);
    return said.empty() ? number : from_wide(said) + ", " + number;
}

// As typed while short, so that names show as they were given; in the
// long form only when Windows would refuse it otherwise.
std::filesystem::path path(const std::string& text) {
    std::wstring w = wide(text);
    return std::filesystem::path(w.size() < MAX_PATH ? w : os(text));
}
std::string text(const std::filesystem::path& p) { return from_wide(p.wstring()); }

#else

std::filesystem::path path(const std::string& text) { return std::filesystem::path(text); }
std::string text(const std::filesystem::path& p) { return p.string(); }

#endif

bool list_folder(const std::string& dir, std::vector<std::string>& names, std::string& why) {
    names.clear();
#if defined(_WIN32)
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileW((os(dir + "/") + L"*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) {
        why = error_text(GetLastError());
        return false;
    }
    do {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(from_wide(name));
        }
    } while (FindNextFileW(h, &found));
    DWORD e = GetLastError();
    FindClose(h);
    if (e != ERROR_NO_MORE_FILES) {
        why = error_text(e);
        return false;
    }
#else
    DIR* d = opendir(dir.c_str());
    if (!d) {
        why = std::strerror(errno);
        return false;
    }
    errno = 0;
    while (const dirent* entry = readdir(d)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    int e = errno;
    closedir(d);
    if (e != 0) {
        why = std::strerror(e);
        return false;
    }
#endif
    std::sort(names.begin(), names.end());
    return true;
}

}  // namespace u8
