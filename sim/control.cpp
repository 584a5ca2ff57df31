#define ZUNDA_BUILD 1
#include "control.h"

#include <exception>
#include <string>

#include "board.h"
#include "utf8_path.h"

namespace {
std::string board_dir;
}

extern "C" {

uint32_t ZUNDA_CALL SimOpenBoard(const char* dir) {
    if (dir == nullptr) {
        return 0;
    }
    if (sim::current().load(u8::path(dir))) {
        return 0;
    }
    board_dir = dir;
    return 1;
}

uint32_t ZUNDA_CALL SimCreateBoard(const char* dir) {
    if (dir == nullptr || *dir == '\0') {
        return 0;
    }
    board_dir = dir;
    return 1;
}

uint32_t ZUNDA_CALL SimSaveBoard(void) {
    if (board_dir.empty()) {
        return 0;
    }
    return sim::current().save(u8::path(board_dir)) ? 0 : 1;
}

uint32_t ZUNDA_CALL SimTraceCount(void) { return uint32_t(sim::current().bus.trace().size()); }

void ZUNDA_CALL SimTraceClear(void) { sim::current().bus.clear_trace(); }

uint32_t ZUNDA_CALL SimTraceWrites(uint32_t port, uint32_t* values, uint32_t max) {
    std::vector<uint32_t> w = sim::current().bus.writes_to(uint16_t(port));
    for (uint32_t i = 0; i < max && i < w.size(); ++i) {
        values[i] = w[i];
    }
    return uint32_t(w.size());
}

uint32_t ZUNDA_CALL SimLiveMappings(void) { return uint32_t(sim::current().memory.live_mappings()); }

uint32_t ZUNDA_CALL SimLiveAllocations(void) { return uint32_t(sim::current().memory.live_allocations()); }

uint32_t ZUNDA_CALL SimEcRamPeek(uint32_t index) { return sim::current().ec.ram[index & 0xFF]; }

void ZUNDA_CALL SimEcSetMode(uint32_t mode) {
    using M = sim::EmbeddedController::Mode;
    sim::current().ec.mode = mode == 1 ? M::Dead : mode == 2 ? M::Mute : M::Answer;
}

void ZUNDA_CALL SimEcSetBusyReads(uint32_t reads) { sim::current().ec.busy_reads = reads; }

uint32_t ZUNDA_CALL SimWriteFlash(const void* data, uint32_t length) {
    if (data == nullptr || length != sim::phys::FLASH_SIZE) {
        return 0;
    }
    return sim::current().memory.write(sim::phys::FLASH_BASE, data, length) ? 1 : 0;
}

uint32_t ZUNDA_CALL SimReadPhys(uint32_t physical, void* out, uint32_t length) {
    if (out == nullptr) {
        return 0;
    }
    return sim::current().memory.read(physical, out, length) ? 1 : 0;
}

void ZUNDA_CALL SimFirmwareFault(uint32_t fault, uint32_t value) {
    sim::Firmware& f = sim::current().firmware;
    switch (fault) {
    case SIM_FAULT_WRITE_PROTECT:
        f.write_protected = true;
        break;
    case SIM_FAULT_IGNORE_WRITES:
        f.ignore_writes = true;
        break;
    case SIM_FAULT_PARTIAL_WRITE:
        f.partial_write_bytes = value;
        break;
    case SIM_FAULT_RECORD_LENGTH:
        f.length_after_prepare = value;
        break;
    case SIM_FAULT_POWER_LOSS:
        f.power_lost_after_writes = value;
        break;
    default:
        f.write_protected = false;
        f.ignore_writes = false;
        f.partial_write_bytes.reset();
        f.length_after_prepare.reset();
        f.power_lost_after_writes.reset();
        f.failing_block.reset();
        break;
    }
}

uint32_t ZUNDA_CALL SimFirmwareCallbacks(uint32_t code) {
    uint32_t n = 0;
    for (const sim::FirmwareEvent& e : sim::current().firmware.callbacks()) {
        n += code == 0xFFFFFFFFu || e.code == code;
    }
    return n;
}

void ZUNDA_CALL SimFirmwareClearLog(void) { sim::current().firmware.events.clear(); }

void ZUNDA_CALL SimSetRegister(uint32_t reg, uint32_t value) {
    sim::current().window.regs[reg & 0xFFFF] = uint8_t(value);
}

uint32_t ZUNDA_CALL SimSmbusPeek(uint32_t index) { return sim::current().smbus.eeprom[index & 0xFF]; }

void ZUNDA_CALL SimFailMapping(uint32_t physical) {
    if (physical == 0) {
        sim::current().memory.map_fault = nullptr;
    } else {
        sim::current().memory.map_fault = [physical](uint32_t p, uint32_t) { return p == physical; };
    }
}

}  // extern "C"
