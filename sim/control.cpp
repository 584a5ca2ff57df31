#define ZUNDA_BUILD 1
#include "control.h"

#include <exception>
#include <string>

#include "board.h"

namespace {
std::string board_dir;
}

extern "C" {

uint32_t ZUNDA_CALL SimOpenBoard(const char* dir) {
    if (dir == nullptr) {
        return 0;
    }
    try {
        sim::current().load(dir);
        board_dir = dir;
        return 1;
    } catch (const std::exception&) {
        return 0;
    }
}

uint32_t ZUNDA_CALL SimSaveBoard(void) {
    if (board_dir.empty()) {
        return 0;
    }
    try {
        sim::current().save(board_dir);
        return 1;
    } catch (const std::exception&) {
        return 0;
    }
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

}  // extern "C"
