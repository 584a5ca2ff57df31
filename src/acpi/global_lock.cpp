// The ACPI global lock: the 32-bit word in the FACS through which the
// firmware and the operating system serialise access to shared hardware.
// The library takes part as one more holder; every change it makes is one
// locked compare-exchange of the whole word.
#include "acpi/facs.h"
#include "frame/port.h"
#include "kova.h"
#include "zunda.h"

namespace kova {

namespace acpi {
// Writing BIOS_RLS tells the firmware a lock it waits for was released.
constexpr uint16_t BIOS_RLS_PORT = 0x830;
constexpr uint8_t BIOS_RLS = 0x80;
}  // namespace acpi

namespace {

using namespace acpi;

// Maps the FACS; null when there is none to reach (not found, address 0,
// or the mapping refused). The FACS's own signature is not examined.
volatile uint32_t* map_lock_word(uint32_t* handle) {
    uint32_t facs = find_facs_address();
    if (facs == FACS_NOT_FOUND || facs == 0) {
        return nullptr;
    }
    auto* p = static_cast<uint8_t*>(MapPhysToLin(facs, FACS_MAP_BYTES, handle));
    if (p == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<volatile uint32_t*>(p + FACS_GLOBAL_LOCK_AT);
}

void unmap_lock_word(uint32_t handle, volatile uint32_t* word) {
    UnmapPhysicalMemory(
        handle, const_cast<uint8_t*>(reinterpret_cast<volatile uint8_t*>(word)) - FACS_GLOBAL_LOCK_AT);
}

// The compare-exchange writes through `word`.
// NOLINTNEXTLINE(readability-non-const-parameter)
bool exchange(volatile uint32_t* word, uint32_t old, uint32_t desired) {
    return __atomic_compare_exchange_n(word, &old, desired, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

}  // namespace

}  // namespace kova

using namespace kova;
using namespace kova::acpi;

// Spins, without a limit, until the lock is owned: an attempt that finds
// the lock owned sets pending and is retried at once. Only bits 0 and 1
// decide success; the reserved bits pass through unchanged.
extern "C" void KOVA_CALL ACPI_require_global_lock(void) {
    uint32_t handle = 0;
    volatile uint32_t* word = map_lock_word(&handle);
    if (word == nullptr) {
        return;
    }
    for (;;) {
        uint32_t old = __atomic_load_n(word, __ATOMIC_SEQ_CST);
        uint32_t desired = (old & ~GL_PENDING) | GL_OWNED;
        if ((old & GL_OWNED) != 0) {
            desired |= GL_PENDING;
        }
        if (!exchange(word, old, desired)) {
            continue;  // changed meanwhile: read it again
        }
        if ((desired & (GL_PENDING | GL_OWNED)) != (GL_PENDING | GL_OWNED)) {
            break;
        }
    }
    unmap_lock_word(handle, word);
}

// Gives the lock back; when another party set pending meanwhile, signals
// the release through BIOS_RLS.
extern "C" void KOVA_CALL ACPI_release_global_lock(void) {
    uint32_t handle = 0;
    volatile uint32_t* word = map_lock_word(&handle);
    if (word == nullptr) {
        return;
    }
    uint32_t old = 0;
    do {
        old = __atomic_load_n(word, __ATOMIC_SEQ_CST);
    } while (!exchange(word, old, old & ~(GL_PENDING | GL_OWNED)));
    if ((old & GL_PENDING) != 0) {
        uint8_t v = port_read8(BIOS_RLS_PORT);
        port_write8(BIOS_RLS_PORT, static_cast<uint8_t>(v | BIOS_RLS));
    }
    unmap_lock_word(handle, word);
}
