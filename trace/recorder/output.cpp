#include "output.h"

#include <windows.h>

// CNG needs the types windows.h declares.
#include <bcrypt.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "maker.h"
#include "update/identity.h"
#include "utf8_path.h"

namespace recorder {

namespace {

constexpr char RECORDER_VERSION[] = "2";
constexpr DWORD MAX_MAKER_BYTES = 64u << 20;

HANDLE file = INVALID_HANDLE_VALUE;

std::string hex(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

// SHA-256 of the maker's library file, by CNG; "unknown (why)" otherwise.
std::string file_sha256(const std::wstring& path) {
    HANDLE h = CreateFileW(u8::os(u8::from_wide(path)).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return "unknown (" + u8::error_text(GetLastError()) + ")";
    }
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    DWORD got = 0;
    while (ReadFile(h, chunk, sizeof chunk, &got, nullptr) && got > 0 && bytes.size() < MAX_MAKER_BYTES) {
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    CloseHandle(h);
    // CNG as Windows Vista has it: provider, hash object, data, digest.
    uint8_t digest[32];
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) >= 0 &&
              BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0) >= 0 &&
              BCryptHashData(hash, bytes.data(), ULONG(bytes.size()), 0) >= 0 &&
              BCryptFinishHash(hash, digest, sizeof digest, 0) >= 0;
    if (hash) {
        BCryptDestroyHash(hash);
    }
    if (alg) {
        BCryptCloseAlgorithmProvider(alg, 0);
    }
    return ok ? hex(digest, sizeof digest) : "unknown (CNG refused the hash)";
}

std::wstring environment(const wchar_t* name) {
    std::wstring v(32768, L'\0');
    DWORD n = GetEnvironmentVariableW(name, v.data(), DWORD(v.size()));
    v.resize(n < v.size() ? n : 0);
    return v;
}

std::string now_utc(const char* format) {
    SYSTEMTIME t;
    GetSystemTime(&t);
    char s[32];
    std::snprintf(s, sizeof s, format, t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
    return s;
}

std::wstring module_path(HMODULE m) {
    std::wstring path(32768, L'\0');
    DWORD n = GetModuleFileNameW(m, path.data(), DWORD(path.size()));
    path.resize(n < path.size() ? n : 0);
    return path;
}

std::string file_name(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return u8::from_wide(slash == std::wstring::npos ? path : path.substr(slash + 1));
}

// The file version a module's version resource gives (VS_FIXEDFILEINFO,
// found by its signature), read from the loaded module itself so the
// recorder needs no library beside kernel32: "1.4.0.0", or "none".
std::string module_version(HMODULE m) {
    constexpr DWORD FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD;
    HRSRC found = m ? FindResourceW(m, MAKEINTRESOURCEW(VS_VERSION_INFO), MAKEINTRESOURCEW(16)) : nullptr;
    HGLOBAL loaded = found ? LoadResource(m, found) : nullptr;
    const auto* bytes = loaded ? static_cast<const uint8_t*>(LockResource(loaded)) : nullptr;
    DWORD size = found ? SizeofResource(m, found) : 0;
    for (DWORD at = 0; bytes && at + sizeof(VS_FIXEDFILEINFO) <= size; at += 4) {
        VS_FIXEDFILEINFO info;
        std::memcpy(&info, bytes + at, sizeof info);
        if (info.dwSignature == FIXED_FILE_INFO_SIGNATURE) {
            char s[48];
            std::snprintf(s, sizeof s, "%lu.%lu.%lu.%lu", info.dwFileVersionMS >> 16,
                          info.dwFileVersionMS & 0xFFFF, info.dwFileVersionLS >> 16,
                          info.dwFileVersionLS & 0xFFFF);
            return s;
        }
    }
    return "none";
}

bool write_all(const uint8_t* bytes, size_t n) {
    while (n > 0) {
        DWORD done = 0;
        if (!WriteFile(file, bytes, DWORD(n), &done, nullptr) || done == 0) {
            return false;
        }
        bytes += done;
        n -= done;
    }
    return true;
}

}  // namespace

Output open_output(const std::wstring& maker_path) {
    Output out;
    std::wstring dir = environment(TRACE_DIR_VARIABLE);
    if (dir.empty()) {
        dir = module_folder(reinterpret_cast<const void*>(&open_output)) + DEFAULT_TRACE_DIR;
        CreateDirectoryW(u8::os(u8::from_wide(dir)).c_str(), nullptr);
    }
    std::string stem = u8::from_wide(dir) + "\\trace-" + now_utc("%04u%02u%02u-%02u%02u%02u") + "-" +
                       std::to_string(GetCurrentProcessId());
    DWORD error = 0;
    for (int n = 0; n < 100 && file == INVALID_HANDLE_VALUE; ++n) {
        out.path = stem + (n == 0 ? std::string() : "-" + std::to_string(n)) + ".kvt";
        file = CreateFileW(u8::os(out.path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        error = GetLastError();
        if (file == INVALID_HANDLE_VALUE && error != ERROR_FILE_EXISTS) {
            break;
        }
    }
    if (file == INVALID_HANDLE_VALUE) {
        out.error = "cannot make a trace in " + u8::from_wide(dir) + " (" + u8::error_text(error) + ")";
        return out;
    }
    out.writer = std::make_unique<trace::Writer>(write_all);
    trace::Event header{trace::Kind::Header};
    HMODULE host = GetModuleHandleW(nullptr), library = GetModuleHandleW(L"KOVA.dll");
    std::wstring library_path = library ? module_path(library) : std::wstring();
    std::string text =
        "format: " + std::to_string(trace::FORMAT_VERSION) + "\n" + "board: " + kova::identity::BOARD_MODEL +
        "\n" + "time: " + now_utc("%04u-%02u-%02uT%02u:%02u:%02uZ") + "\n" +
        "tool: " + file_name(module_path(host)) + "\n" + "tool-version: " + module_version(host) + "\n" +
        "library: " + (library ? file_name(library_path) : std::string("not loaded")) + "\n" +
        "library-version: " + module_version(library) + "\n" +
        "library-sha256: " + (library ? file_sha256(library_path) : std::string("unknown (not loaded)")) +
        "\n" + "maker: " + u8::from_wide(maker_path) + "\n" + "maker-sha256: " + file_sha256(maker_path) +
        "\n" + "recorder: " + RECORDER_VERSION + "\n" + "blanked: " + BLANKED + "\n";
    header.data.assign(text.begin(), text.end());
    out.writer->put(header);
    out.writer->flush();
    return out;
}

void close_output(Output& out) {
    if (out.writer) {
        if (!out.writer->finish()) {
            out.error = "the trace could not be written whole: it is marked incomplete";
        }
        out.writer.reset();
    }
    if (file != INVALID_HANDLE_VALUE) {
        FlushFileBuffers(file);
        CloseHandle(file);
        file = INVALID_HANDLE_VALUE;
    }
}

}  // namespace recorder
