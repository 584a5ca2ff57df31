// The seven ZUNDA operations, acting on the installed simulated board.
#define ZUNDA_BUILD 1
#include <chrono>
#include <cstdio>
#include <thread>

#include "board.h"
#include "zunda.h"

using sim::current;

extern "C" {

uint32_t ZUNDA_CALL GetPortVal(uint32_t port, uint32_t* value, uint32_t size) {
    if (value == nullptr || (size != 1 && size != 2 && size != 4) || port > 0xFFFF ||
        current().port_reads_store_nothing) {
        return 0;
    }
    uint32_t mask = sim::width_mask(size);
    uint32_t v = current().bus.read(uint16_t(port), size);
    *value = (*value & ~mask) | (v & mask);
    return 1;
}

uint32_t ZUNDA_CALL SetPortVal(uint32_t port, uint32_t value, uint32_t size) {
    if ((size != 1 && size != 2 && size != 4) || port > 0xFFFF) {
        return 0;
    }
    current().bus.write(uint16_t(port), size, value);
    return 1;
}

void* ZUNDA_CALL MapPhysToLin(uint32_t physical, uint32_t length, uint32_t* handle) {
    return current().memory.map(physical, length, handle);
}

uint32_t ZUNDA_CALL UnmapPhysicalMemory(uint32_t handle, void* linear) {
    sim::Board& b = current();
    bool done = b.memory.unmap(handle, linear);
    if (b.lock_contended) {
        uint32_t word = b.acpi.lock_word();
        if ((word & sim::acpidev::GL_OWNED) != 0 && (word & sim::acpidev::GL_PENDING) == 0) {
            b.acpi.set_lock_word(word | sim::acpidev::GL_PENDING);
            b.lock_contended = false;
        }
    }
    return done ? 1 : 0;
}

uint32_t ZUNDA_CALL AllocatePhysMemory(uint32_t length, uint32_t* handle) {
    return current().memory.allocate(length, handle);
}

uint32_t ZUNDA_CALL FreePhysMemory(uint32_t handle) { return current().memory.free(handle) ? 1 : 0; }

void ZUNDA_CALL SEG32_CALLBACK(uint32_t handle, flash_command_record record) {
    sim::Board& b = current();
    b.firmware.callback(handle, record);
    if (b.hold_after_writes && b.firmware.writes_programmed >= *b.hold_after_writes) {
        std::fprintf(stderr, "ZUNDA.dll (simulator): holding the update after %u block writes\n",
                     b.firmware.writes_programmed);
        std::fflush(stderr);
        for (;;) {
            std::this_thread::sleep_for(std::chrono::hours(1));  // until the test kills the process
        }
    }
}

}  // extern "C"
