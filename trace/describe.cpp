#include "describe.h"

#include <cstdio>
#include <cstring>

#include "flash_map.h"
#include "frame/indexed.h"
#include "zunda.h"

namespace trace {

namespace {

// The firmware's function codes, as the library's flash interface sends them.
constexpr uint8_t CODE_BEGIN = 0x20;
constexpr uint8_t CODE_PREPARE = 0x22;
constexpr uint8_t CODE_WRITE = 0x23;
constexpr uint8_t CODE_END = 0x24;
constexpr const char* PASS_NAMES[] = {"pass a", "pass b", "pass c", "pass d", "pass e"};

flash_command_record record_of(const Event& e) {
    flash_command_record r{};
    std::memcpy(&r, e.data.data(), RECORD_BYTES);
    return r;
}

std::string code_name(uint8_t code) {
    switch (code) {
    case CODE_BEGIN:
        return "begin";
    case 0x21:
        return "compare";
    case CODE_PREPARE:
        return "prepare";
    case CODE_WRITE:
        return "write";
    case CODE_END:
        return "end";
    }
    return "code " + hex(code, 2);
}

std::string bytes_summary(const std::vector<uint8_t>& b) {
    std::string s = std::to_string(b.size()) + " bytes";
    if (b.size() <= 16) {
        s += ":";
        for (uint8_t x : b) {
            s += " " + hex(x, 2).substr(2);
        }
    }
    return s;
}

bool update_entry(const std::string& entry) {
    return entry == "KOVA_update_bios_firmware" || entry == "KOVA_check_bios_image";
}

std::string device_of(const std::string& entry) {
    if (entry == "KOVA_get_ec_ram" || entry == "KOVA_set_ec_ram") {
        return "EC RAM";
    }
    if (entry == "KOVA_read_flash_byte") {
        return "serial-flash byte";
    }
    if (entry.rfind("KOVA_smbus_", 0) == 0) {
        return "SMBus";
    }
    if (entry.rfind("ACPI_", 0) == 0) {
        return "ACPI global lock";
    }
    return entry;
}

// The phases of one update or check, event by event.
class UpdatePhases {
public:
    std::string next(const Event& e) {
        // The board register read through the indexed window during the
        // walk: bit 7 of 0xFEA1 says whether pass c runs.
        bool window =
            (e.kind == Kind::PortRead || e.kind == Kind::PortWrite) &&
            (e.a == kova::idx::IDX_ADDR_HIGH || e.a == kova::idx::IDX_ADDR_LOW || e.a == kova::idx::IDX_DATA);
        if (window && (state_ == "begin" || state_.rfind("pass", 0) == 0)) {
            return "register 0xFEA1 (whether pass c runs)";
        }
        switch (e.kind) {
        case Kind::Map:
        case Kind::Alloc:
            if (state_ == "validation" || state_ == "acquisition") {
                state_ = "acquisition";
            }
            break;
        case Kind::Unmap:
        case Kind::Free:
            state_ = "release";
            break;
        case Kind::Callback:
            return callback(record_of(e));
        case Kind::PortWrite:
            if (e.b == CODE_BEGIN &&
                (state_ == "acquisition" || state_ == "interface search and identity checks")) {
                state_ = "begin";
            } else if (e.b == CODE_END && state_ != "release") {
                state_ = "end";
            } else if (state_ == "acquisition") {
                state_ = "interface search and identity checks";
            }
            break;
        case Kind::PortRead:
            if (state_ == "acquisition") {
                state_ = "interface search and identity checks";
            }
            break;
        default:
            break;
        }
        return state_;
    }

private:
    std::string callback(const flash_command_record& r) {
        if (r.code == CODE_BEGIN) {
            state_ = "begin";
        } else if (r.code == CODE_END) {
            state_ = "end";
        } else if (r.code == CODE_PREPARE || r.code == CODE_WRITE) {
            // Each pass walks upwards; an offset below the last one starts
            // the next pass (pass e walks the copy areas again).
            uint32_t offset = r.flash_address - flashmap::FLASH_BASE;
            if (started_ && offset < last_offset_ && pass_ < 5) {
                ++pass_;
            }
            while (pass_ < 5 && !in_pass(pass_, offset)) {
                ++pass_;
            }
            started_ = true;
            last_offset_ = offset;
            state_ = pass_ < 5 ? PASS_NAMES[pass_] : "after pass e";
        }
        return state_;
    }

    static bool in_pass(size_t p, uint32_t offset) {
        const flashmap::RegionPass& pass = flashmap::REGION_PASSES[p];
        return offset >= pass.flash_offset && offset - pass.flash_offset < pass.length;
    }

    std::string state_ = "validation";
    size_t pass_ = 0;
    bool started_ = false;
    uint32_t last_offset_ = 0;
};

}  // namespace

std::string hex(uint32_t v, int digits) {
    char s[16];
    std::snprintf(s, sizeof s, "0x%0*X", digits, unsigned(v));
    return s;
}

std::string describe(const Event& e) {
    switch (e.kind) {
    case Kind::PortRead:
        return "GetPortVal(port " + hex(e.a, 2) + ", size " + std::to_string(e.b) + ") = " + hex(e.d) +
               ((e.flags & FLAG_VALUE_STORED) ? ", value " + hex(e.c, 2) : ", nothing stored");
    case Kind::PortWrite:
        return "SetPortVal(port " + hex(e.a, 2) + ", value " + hex(e.b, 2) + ", size " + std::to_string(e.c) +
               ") = " + hex(e.d);
    case Kind::Map:
        return "MapPhysToLin(" + hex(e.a, 8) + ", " + hex(e.b) +
               ") = " + (e.d ? "mapping " + hex(e.c) : std::string("refused"));
    case Kind::Unmap:
        return "UnmapPhysicalMemory(handle " + hex(e.a) + ", " +
               (e.b ? "mapping #" + std::to_string(e.b - 1) : std::string("a pointer to no mapping")) +
               ") = " + hex(e.d);
    case Kind::Alloc:
        return "AllocatePhysMemory(" + hex(e.a) +
               ") = " + (e.d ? hex(e.d, 8) + ", handle " + hex(e.b) : "refused");
    case Kind::Free:
        return "FreePhysMemory(handle " + hex(e.a) + ") = " + hex(e.d);
    case Kind::Callback: {
        flash_command_record r = record_of(e);
        return "SEG32_CALLBACK(handle " + hex(e.a) + ", " + code_name(r.code) + " flash " +
               hex(r.flash_address, 8) + " length " + hex(r.length) + " transfer " +
               hex(r.transfer_address, 8) + " check " + hex(r.check, 8) + ")";
    }
    case Kind::LibWrite:
        return "the library wrote " + bytes_summary(e.data) + " at " + hex(e.a, 8);
    case Kind::BoardWrite:
        return (e.flags & FLAG_COPY) ? "the board holds at " + hex(e.a, 8) + " the " + std::to_string(e.b) +
                                           " bytes at " + hex(e.c, 8)
                                     : "the board holds " + bytes_summary(e.data) + " at " + hex(e.a, 8);
    case Kind::Note:
        return "host: " + e.text();
    case Kind::Header:
        return "header";
    case Kind::Board:
        return "board identity";
    case Kind::End:
        return "end of trace";
    }
    return "an unknown event";
}

std::optional<Call> parse_call(const std::string& note) {
    if (note.rfind("call ", 0) != 0) {
        return std::nullopt;
    }
    Call c;
    size_t at = 5;
    size_t space = note.find(' ', at);
    c.entry = note.substr(at, space == std::string::npos ? std::string::npos : space - at);
    while (space != std::string::npos) {
        at = space + 1;
        space = note.find(' ', at);
        std::string arg = note.substr(at, space == std::string::npos ? std::string::npos : space - at);
        size_t eq = arg.find('=');
        if (eq == std::string::npos) {
            return std::nullopt;
        }
        c.args[arg.substr(0, eq)] = arg.substr(eq + 1);
    }
    return c.entry.empty() ? std::nullopt : std::optional<Call>(c);
}

std::optional<Outcome> parse_outcome(const std::string& note) {
    Outcome o;
    char result[16] = {};
    long count = 0;
    int used = 0;
    if (note.rfind("return ", 0) != 0 ||
        std::sscanf(note.c_str(), "return %15s count=%ld message=%n", result, &count, &used) != 2 ||
        used == 0) {
        return std::nullopt;
    }
    char* end = nullptr;
    o.result = uint32_t(std::strtoul(result, &end, 16));
    if (*end != '\0') {
        return std::nullopt;
    }
    o.count = int32_t(count);
    o.message = note.substr(size_t(used));
    return o;
}

std::string describe(const Outcome& o) {
    return hex(o.result, 8) + ", counter " + std::to_string(o.count) + ", \"" + o.message + "\"";
}

std::vector<std::string> phases(const Trace& t) {
    std::vector<std::string> out(t.events.size(), "host");
    std::optional<Call> call;
    UpdatePhases update;
    for (size_t i = 0; i < t.events.size(); ++i) {
        const Event& e = t.events[i];
        if (e.kind == Kind::Note) {
            if (auto c = parse_call(e.text())) {
                call = c;
                update = UpdatePhases();
            } else if (parse_outcome(e.text())) {
                call.reset();
            }
            continue;
        }
        if (!call) {
            continue;
        }
        out[i] = update_entry(call->entry) ? update.next(e) : device_of(call->entry);
    }
    // What the library wrote belongs with the operation after it; what the
    // board holds, with the one before.
    for (size_t i = t.events.size(); i-- > 0;) {
        if (t.events[i].kind == Kind::LibWrite && i + 1 < t.events.size()) {
            out[i] = out[i + 1];
        }
    }
    for (size_t i = 1; i < t.events.size(); ++i) {
        if (t.events[i].kind == Kind::BoardWrite || t.events[i].kind == Kind::Board) {
            out[i] = out[i - 1];
        }
    }
    return out;
}

}  // namespace trace
