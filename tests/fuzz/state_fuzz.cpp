// The board state's reader on any bytes (a file on disk, perhaps damaged or
// edited by hand): it never reads outside its input; what it takes it
// writes back in a form it takes again as the same state; and nothing it
// takes holds a security version that no board-trusted signature vouches
// for, or a backup named from anywhere but the root.
#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "board_state.h"
#include "signing.h"

namespace {

// A file that passes the checksum: the input's JSON, sealed with the SHA-256
// of its own content, so that every field check behind the seal is reached.
std::string sealed(const std::string& text) {
    nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        return text;
    }
    j.erase("sha256");
    const std::string body = j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    sigfile::Hash h = signing::sha256(reinterpret_cast<const uint8_t*>(body.data()), body.size());
    j["sha256"] = sigfile::hex(h.data(), h.size());
    return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool vouched(const records::Firmware& f) {
    return f.origin == records::ORIGIN_SIGNED || f.security_version == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first byte: odd, the bytes as they are; even, sealed anew.
    if (size == 0) {
        return 0;
    }
    std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] % 2 == 0) {
        text = sealed(text);
    }
    records::BoardState s;
    if (records::parse_state(text, s)) {
        return 0;
    }
    for (const records::Backup& b : s.backups) {
        if (!vouched(b.firmware) || b.path.empty()) {
            __builtin_trap();
        }
    }
    if ((s.installed && !vouched(*s.installed)) || (s.last_write && !vouched(s.last_write->firmware))) {
        __builtin_trap();
    }
    records::BoardState again;
    if (records::parse_state(records::format_state(s), again) || !(again == s)) {
        __builtin_trap();
    }
    return 0;
}
