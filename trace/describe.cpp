#include "describe.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "board/ec_mailbox.h"
#include "flash_map.h"
#include "frame/indexed.h"
#include "smbus/smbus.h"
#include "update/flash_interface.h"
#include "zunda.h"

namespace trace {

namespace {

// The firmware's function codes, as the library's flash interface sends them.
using kova::fwif::CODE_BEGIN;
using kova::fwif::CODE_COMPARE;
using kova::fwif::CODE_END;
using kova::fwif::CODE_PREPARE;
using kova::fwif::CODE_WRITE;
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
    case CODE_COMPARE:
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

namespace {

// The ports the library uses, by the library's own names; the SMI command
// port is where the firmware's interface block of this board points, and
// BIOS_RLS's port is the global lock's.
constexpr uint32_t SMI_COMMAND_PORT = 0xB2;
constexpr uint32_t BIOS_RLS_PORT = 0x830;
struct PortName {
    uint32_t port;
    const char* name;
};
constexpr PortName PORT_NAMES[] = {
    {kova::ec::EC_DATA, "EC data"},
    {kova::ec::EC_SC, "EC status/command"},
    {kova::ec::EC_DELAY_PORT, "delay"},
    {SMI_COMMAND_PORT, "SMI command"},
    {kova::fwif::DEFAULT_NOTIFY_PORT, "POST code"},
    {kova::idx::IDX_ADDR_HIGH, "index address high"},
    {kova::idx::IDX_ADDR_LOW, "index address low"},
    {kova::idx::IDX_DATA, "index data"},
    {kova::smb::SMB_HST_STS, "SMBus HST_STS"},
    {kova::smb::SMB_HST_CNT, "SMBus HST_CNT"},
    {kova::smb::SMB_HST_CMD, "SMBus HST_CMD"},
    {kova::smb::SMB_XMIT_SLVA, "SMBus XMIT_SLVA"},
    {kova::smb::SMB_HST_D0, "SMBus HST_D0"},
    {kova::smb::SMB_HST_D1, "SMBus HST_D1"},
    {kova::smb::SMB_AUX_CTL, "SMBus AUX_CTL"},
    {BIOS_RLS_PORT, "global lock release, BIOS_RLS"},
};

std::string port_text(uint32_t port, std::optional<uint16_t> notify) {
    std::string name = port_name(port, notify);
    return "port " + hex(port, 2) + (name.empty() ? "" : " (" + name + ")");
}

std::string plural(size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string bytes_text(const std::vector<uint8_t>& b) {
    std::string s = plural(b.size(), "byte", "bytes");
    if (b.size() <= 16) {
        s += ":";
        for (uint8_t x : b) {
            s += " " + hex(x, 2).substr(2);
        }
    }
    return s;
}

std::string record_text(const flash_command_record& r) {
    return code_name(r.code) + " flash " + hex(r.flash_address, 8) + " length " + hex(r.length) +
           " transfer " + hex(r.transfer_address, 8) + " check " + hex(r.check, 8);
}

// A library write over the command record, as the record's fields: the
// record's bytes before it with the written ones put over them.
std::string record_write(const Event& e, const Context& c) {
    uint32_t at = *c.record_physical;
    flash_command_record before{}, after{};
    std::memcpy(&before, c.record_before.data(), RECORD_BYTES);
    std::vector<uint8_t> bytes = c.record_before;
    for (size_t i = 0; i < e.data.size(); ++i) {
        uint64_t p = uint64_t(e.a) + i;
        if (p >= at && p < uint64_t(at) + RECORD_BYTES) {
            bytes[size_t(p - at)] = e.data[i];
        }
    }
    std::memcpy(&after, bytes.data(), RECORD_BYTES);
    std::string s = "the library wrote the command record at " + hex(at, 8) + " (" + bytes_text(e.data) +
                    "): the record's flash address " + hex(after.flash_address, 8) + ", length " +
                    hex(after.length) + ", code " + code_name(after.code);
    if (after.check != before.check) {
        s += ", check " + hex(after.check, 8);
    }
    if (after.transfer_address != before.transfer_address) {
        s += ", transfer " + hex(after.transfer_address, 8);
    }
    return s;
}

bool over_record(const Event& e, const Context* c) {
    return c && c->record_physical && c->record_before.size() == RECORD_BYTES &&
           uint64_t(e.a) < uint64_t(*c->record_physical) + RECORD_BYTES &&
           uint64_t(e.a) + e.data.size() > *c->record_physical;
}

}  // namespace

std::string port_name(uint32_t port, std::optional<uint16_t> notify) {
    if (notify && port == *notify && port != SMI_COMMAND_PORT && port != kova::fwif::DEFAULT_NOTIFY_PORT) {
        return "the firmware's notification port";
    }
    for (const PortName& p : PORT_NAMES) {
        if (p.port == port) {
            return p.name;
        }
    }
    return "";
}

std::string printable(const std::string& text) {
    std::string out;
    auto escape = [&](uint8_t b) { out += "\\x" + hex(b, 2).substr(2); };
    size_t i = 0;
    while (i < text.size()) {
        auto b = uint8_t(text[i]);
        if (b < 0x80) {
            if ((b < 0x20 && b != '\n') || b == 0x7F) {
                escape(b);
            } else {
                out += char(b);
            }
            ++i;
            continue;
        }
        // A whole UTF-8 sequence is shown as it is, but for the C1 controls
        // (U+0080 to U+009F); any byte that starts no whole sequence is escaped.
        size_t n = b >= 0xF0 && b <= 0xF4 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 && b <= 0xDF ? 2 : 0;
        bool whole = n != 0 && i + n <= text.size();
        for (size_t k = 1; whole && k < n; ++k) {
            whole = (uint8_t(text[i + k]) & 0xC0) == 0x80;
        }
        if (!whole) {
            escape(b);
            ++i;
        } else if (b == 0xC2 && uint8_t(text[i + 1]) <= 0x9F) {
            escape(b);
            escape(uint8_t(text[i + 1]));
            i += 2;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return out;
}

std::string describe_request(const Event& e) {
    switch (e.kind) {
    case Kind::PortRead:
        return "GetPortVal(" + port_text(e.a, std::nullopt) + ", size " + std::to_string(e.b) + ")";
    case Kind::PortWrite:
        return "SetPortVal(" + port_text(e.a, std::nullopt) + ", value " + hex(e.b, 2) + ", size " +
               std::to_string(e.c) + ")";
    case Kind::Map:
        return "MapPhysToLin(" + hex(e.a, 8) + ", length " + hex(e.b) + ")";
    case Kind::Unmap:
        return "UnmapPhysicalMemory(handle " + hex(e.a) + ", " +
               (e.b ? "mapping #" + std::to_string(e.b - 1) : std::string("a pointer to no mapping")) + ")";
    case Kind::Alloc:
        return "AllocatePhysMemory(" + hex(e.a) + ")";
    case Kind::Free:
        return "FreePhysMemory(handle " + hex(e.a) + ")";
    default:
        return describe(e);
    }
}

std::string describe(const Event& e, const Context* c) {
    std::optional<uint16_t> notify = c ? c->notify_port : std::nullopt;
    switch (e.kind) {
    case Kind::PortRead: {
        // The value as wide as the port read; the variable's other bytes are the host's.
        uint32_t mask = e.b >= 4 ? 0xFFFFFFFFu : (1u << (8 * e.b)) - 1;
        return "GetPortVal(" + port_text(e.a, notify) + ", size " + std::to_string(e.b) + ") = " + hex(e.d) +
               ((e.flags & FLAG_VALUE_STORED) ? ", value " + hex(e.c & mask, 2) : ", nothing stored");
    }
    case Kind::PortWrite:
        return "SetPortVal(" + port_text(e.a, notify) + ", value " + hex(e.b, 2) + ", size " +
               std::to_string(e.c) + ") = " + hex(e.d);
    case Kind::Map:
        return "MapPhysToLin(" + hex(e.a, 8) + ", length " + hex(e.b) + ") = " +
               (e.d ? (c && c->mapping ? "mapping #" + std::to_string(*c->mapping) + ", " : std::string()) +
                          "handle " + hex(e.c)
                    : std::string("refused"));
    case Kind::Unmap:
        return describe_request(e) + " = " + hex(e.d);
    case Kind::Alloc:
        return "AllocatePhysMemory(" + hex(e.a) +
               ") = " + (e.d ? hex(e.d, 8) + ", handle " + hex(e.b) : "refused");
    case Kind::Free:
        return "FreePhysMemory(handle " + hex(e.a) + ") = " + hex(e.d);
    case Kind::Callback:
        return "SEG32_CALLBACK(handle " + hex(e.a) + ", " + record_text(record_of(e)) + ")";
    case Kind::LibWrite:
        if (over_record(e, c)) {
            return record_write(e, *c);
        }
        return "the library wrote " + bytes_text(e.data) + " at " + hex(e.a, 8);
    case Kind::BoardWrite:
        return (e.flags & FLAG_COPY) ? "the board holds at " + hex(e.a, 8) + " the " +
                                           plural(e.b, "byte", "bytes") + " at " + hex(e.c, 8)
                                     : "the board holds " + bytes_text(e.data) + " at " + hex(e.a, 8);
    case Kind::Note:
        return "host: " + e.text();
    case Kind::Header:
        return "header";
    case Kind::Board:
        return "board identity";
    case Kind::Cut:
        return "the recorder stopped: " + e.text();
    case Kind::End:
        return "end of trace";
    }
    return "an unknown event";
}

std::optional<FirmwareInterface> firmware_interface(const MemoryModel& memory) {
    using kova::fwif::FSEG_LENGTH;
    using kova::fwif::FSEG_PHYSICAL;
    std::vector<uint8_t> f(FSEG_LENGTH);
    memory.load(FSEG_PHYSICAL, f.data(), FSEG_LENGTH);
    for (uint32_t k = 0; k + sizeof(kova::flash_interface_block) <= FSEG_LENGTH; ++k) {
        kova::flash_interface_block block;
        std::memcpy(&block, &f[k], sizeof block);
        if (std::memcmp(block.signature, kova::fwif::INTERFACE_SIGNATURE, sizeof block.signature) != 0) {
            continue;
        }
        uint32_t record = k + block.record_offset;
        if (record + RECORD_BYTES <= FSEG_LENGTH) {
            return FirmwareInterface{FSEG_PHYSICAL + record, block.notify_port};
        }
    }
    return std::nullopt;
}

Context interface_context(const MemoryModel& memory, const std::optional<FirmwareInterface>& found) {
    Context c;
    if (found) {
        c.record_physical = found->record_physical;
        c.notify_port = found->notify_port;
        c.record_before.resize(RECORD_BYTES);
        memory.load(found->record_physical, c.record_before.data(), RECORD_BYTES);
    }
    return c;
}

Context Narrator::next(const Event& e) {
    if (fseg_changed_) {
        interface_ = firmware_interface(memory_);
        fseg_changed_ = false;
    }
    Context c = interface_context(memory_, interface_);
    if (e.kind == Kind::Map && e.d) {
        c.mapping = mappings_++;
    }
    using kova::fwif::FSEG_LENGTH;
    using kova::fwif::FSEG_PHYSICAL;
    if ((e.kind == Kind::BoardWrite || e.kind == Kind::LibWrite) && e.a < FSEG_PHYSICAL + FSEG_LENGTH &&
        uint64_t(e.a) + std::max<uint64_t>(e.b, e.data.size()) > FSEG_PHYSICAL) {
        fseg_changed_ = true;
    }
    if (e.kind == Kind::BoardWrite) {
        std::vector<uint8_t> bytes = e.data;
        if (e.flags & FLAG_COPY) {
            bytes.assign(e.b, 0);
            memory_.load(e.c, bytes.data(), e.b);
        }
        memory_.store(e.a, bytes.data(), uint32_t(bytes.size()));
    } else if (e.kind == Kind::LibWrite) {
        memory_.store(e.a, e.data.data(), uint32_t(e.data.size()));
    }
    return c;
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
