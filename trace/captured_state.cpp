#include "captured_state.h"

#include "describe.h"
#include "flash_map.h"
#include "frame/indexed.h"
#include "memory_model.h"

namespace trace {

namespace {

constexpr uint32_t FSEG_PHYSICAL = 0xF0000;
constexpr uint32_t FSEG_BYTES = 0x10000;
constexpr uint32_t EC_RAM_BYTES = 256;

std::optional<std::vector<uint8_t>> whole(const MemoryModel& m, uint32_t physical, uint32_t n) {
    std::vector<uint8_t> bytes(n);
    return m.load(physical, bytes.data(), n) ? std::optional<std::vector<uint8_t>>(bytes) : std::nullopt;
}

uint32_t number(const std::map<std::string, std::string>& args, const char* name) {
    auto it = args.find(name);
    return it == args.end() ? 0 : uint32_t(std::strtoul(it->second.c_str(), nullptr, 10));
}

}  // namespace

CapturedState captured_state(const Trace& t, bool at_end) {
    CapturedState s;
    MemoryModel now, first;
    uint16_t index_high = 0, index_low = 0;
    std::optional<Call> call;
    for (const Event& e : t.events) {
        switch (e.kind) {
        case Kind::BoardWrite: {
            std::vector<uint8_t> bytes = e.data;
            if (e.flags & FLAG_COPY) {
                bytes.assign(e.b, 0);
                now.load(e.c, bytes.data(), e.b);
            }
            now.store(e.a, bytes.data(), uint32_t(bytes.size()));
            first.learn(e.a, bytes.data(), uint32_t(bytes.size()));
            break;
        }
        case Kind::LibWrite:
            now.store(e.a, e.data.data(), uint32_t(e.data.size()));
            break;
        case Kind::PortWrite:
            // The indexed window: the register's address, high byte then low.
            if (e.a == kova::idx::IDX_ADDR_HIGH) {
                index_high = uint16_t(e.b & 0xFF);
            } else if (e.a == kova::idx::IDX_ADDR_LOW) {
                index_low = uint16_t(e.b & 0xFF);
            }
            break;
        case Kind::PortRead:
            if (e.a == kova::idx::IDX_DATA && (e.flags & FLAG_VALUE_STORED)) {
                uint16_t reg = uint16_t(index_high << 8 | index_low);
                if (at_end || !s.registers.count(reg)) {
                    s.registers[reg] = uint8_t(e.c);
                }
            }
            break;
        case Kind::Note:
            if (auto c = parse_call(e.text())) {
                call = c;
                if (at_end && c->entry == "KOVA_set_ec_ram") {
                    s.ec_ram[number(c->args, "index") % EC_RAM_BYTES] = uint8_t(number(c->args, "value"));
                }
            } else if (auto o = parse_outcome(e.text()); o && call) {
                uint32_t index = number(call->args, "index") % EC_RAM_BYTES;
                if (call->entry == "KOVA_get_ec_ram" && (at_end || !s.ec_ram[index])) {
                    s.ec_ram[index] = uint8_t(o->result);
                }
                call.reset();
            }
            break;
        default:
            break;
        }
    }
    const MemoryModel& m = at_end ? now : first;
    s.flash = whole(m, flashmap::FLASH_BASE, flashmap::FLASH_SIZE);
    s.fseg = whole(m, FSEG_PHYSICAL, FSEG_BYTES);
    return s;
}

}  // namespace trace
