#include "signature_file.h"

#include <algorithm>

namespace sigfile {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

Error bad(const std::string& what) { return Error{exitcode::USAGE, "not a signature file: " + what}; }

}  // namespace

bool parse_hex_bytes(std::string_view text, uint8_t* out, size_t n) {
    if (text.size() != 2 * n) {
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        int hi = hex_value(text[2 * i]), lo = hex_value(text[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        out[i] = uint8_t(hi << 4 | lo);
    }
    return true;
}

bool next_line(std::string_view& rest, std::string_view& line) {
    size_t end = rest.find('\n');
    if (end == std::string_view::npos) {
        return false;
    }
    line = rest.substr(0, end);
    rest.remove_prefix(end + 1);
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return true;
}

std::optional<std::string> take_field(std::string_view& rest, const char* name, std::string_view& value) {
    const std::string prefix = std::string(name) + " ";
    std::string_view line;
    if (!next_line(rest, line)) {
        return std::string("it ends before its \"") + name + "\" line (truncated?)";
    }
    if (line.substr(0, prefix.size()) != prefix) {
        return std::string("a \"") + name + " ...\" line was expected";
    }
    value = line.substr(prefix.size());
    return std::nullopt;
}

std::string hex(const uint8_t* bytes, size_t n) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        out += DIGITS[bytes[i] >> 4];
        out += DIGITS[bytes[i] & 0xF];
    }
    return out;
}

namespace {

bool all_of_set(std::string_view text, size_t max, const char* extra) {
    auto ok = [extra](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               std::string_view(extra).find(c) != std::string_view::npos;
    };
    return !text.empty() && text.size() <= max && std::all_of(text.begin(), text.end(), ok);
}

// A decimal number without leading zeros, at most 4294967295.
bool parse_decimal(std::string_view text, uint32_t& out) {
    constexpr size_t MAX_DIGITS = 10;
    if (text.empty() || text.size() > MAX_DIGITS || (text.size() > 1 && text[0] == '0')) {
        return false;
    }
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + uint64_t(c - '0');
    }
    if (v > UINT32_MAX) {
        return false;
    }
    out = uint32_t(v);
    return true;
}

}  // namespace

bool valid_board(std::string_view board) { return all_of_set(board, MAX_BOARD_CHARS, "-_"); }
bool valid_release(std::string_view release) { return all_of_set(release, MAX_RELEASE_CHARS, ".-_+"); }

std::string signed_text(const SignatureFile& f) {
    if (f.version == FORMAT_VERSION_1) {
        return "";
    }
    return std::string(FORMAT_NAME) + " " + std::to_string(f.version) + "\n" + "algorithm " + ALGORITHM +
           "\n" + "key-id " + hex(f.key_id.data(), f.key_id.size()) + "\n" + "board " + f.board + "\n" +
           "release " + f.release + "\n" + "security-version " + std::to_string(f.security_version) + "\n" +
           "image-sha256 " + hex(f.image_sha256.data(), f.image_sha256.size()) + "\n";
}

std::string format(const SignatureFile& f) {
    if (f.version == FORMAT_VERSION_1) {
        return std::string(FORMAT_NAME) + " " + std::to_string(FORMAT_VERSION_1) + "\n" + "algorithm " +
               ALGORITHM + "\n" + "key-id " + hex(f.key_id.data(), f.key_id.size()) + "\n" + "image-sha256 " +
               hex(f.image_sha256.data(), f.image_sha256.size()) + "\n" + "signature " +
               hex(f.signature.data(), f.signature.size()) + "\n";
    }
    return signed_text(f) + "signature " + hex(f.signature.data(), f.signature.size()) + "\n";
}

Status parse(std::string_view text, SignatureFile& out) {
    if (text.size() > MAX_FILE_BYTES) {
        return bad("more than " + std::to_string(MAX_FILE_BYTES) + " bytes");
    }
    std::string_view rest = text, line;
    const std::string format_prefix = std::string(FORMAT_NAME) + " ";
    if (!next_line(rest, line) || line.substr(0, format_prefix.size()) != format_prefix) {
        return bad(std::string("the first line is not \"") + FORMAT_NAME + " VERSION\"");
    }
    std::string_view version = line.substr(format_prefix.size());
    SignatureFile parsed;
    if (version == std::to_string(FORMAT_VERSION_1)) {
        parsed.version = FORMAT_VERSION_1;
    } else if (version != std::to_string(FORMAT_VERSION)) {
        std::string shown(version.substr(0, 16));
        return bad("format version \"" + shown + "\", this tool reads versions " +
                   std::to_string(FORMAT_VERSION_1) + " and " + std::to_string(FORMAT_VERSION));
    }
    struct Field {
        const char* name;
        bool (*read)(std::string_view, SignatureFile&);
        const char* wants;
        bool release_fact;  // version 2 only
    };
    static const Field fields[] = {
        {"algorithm", [](std::string_view v, SignatureFile&) { return v == ALGORITHM; }, ALGORITHM, false},
        {"key-id", [](std::string_view v, SignatureFile& f) { return parse_hex(v, f.key_id); },
         "16 lower-case hex digits", false},
        {"board",
         [](std::string_view v, SignatureFile& f) {
             f.board = std::string(v);
             return valid_board(v);
         },
         "1 to 16 letters, digits, '-' or '_'", true},
        {"release",
         [](std::string_view v, SignatureFile& f) {
             f.release = std::string(v);
             return valid_release(v);
         },
         "1 to 32 letters, digits, '.', '-', '_' or '+'", true},
        {"security-version",
         [](std::string_view v, SignatureFile& f) { return parse_decimal(v, f.security_version); },
         "a whole number from 0 to 4294967295 without leading zeros", true},
        {"image-sha256", [](std::string_view v, SignatureFile& f) { return parse_hex(v, f.image_sha256); },
         "64 lower-case hex digits", false},
        {"signature", [](std::string_view v, SignatureFile& f) { return parse_hex(v, f.signature); },
         "128 lower-case hex digits", false},
    };
    for (const Field& field : fields) {
        if (field.release_fact && parsed.version == FORMAT_VERSION_1) {
            continue;
        }
        std::string_view value;
        if (std::optional<std::string> wrong = take_field(rest, field.name, value)) {
            return bad(*wrong);
        }
        if (!field.read(value, parsed)) {
            return bad(std::string("the ") + field.name + " is not " + field.wants);
        }
    }
    if (!rest.empty()) {
        return bad("text follows the signature line");
    }
    out = parsed;
    return std::nullopt;
}

}  // namespace sigfile
