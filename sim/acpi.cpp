#include "acpi.h"

#include <cstring>

namespace sim {

using namespace acpidev;

namespace {

constexpr uint32_t RSDP_BYTES = 20;  // ACPI 1.0 form
constexpr uint32_t RSDP_RSDT_AT = 16;
constexpr uint32_t SDT_LENGTH_AT = 4;

void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b[at + size_t(i)] = uint8_t(v >> (8 * i));
    }
}

std::vector<uint8_t> table(const std::string& signature, uint32_t length) {
    std::vector<uint8_t> t(length, 0);
    std::memcpy(t.data(), signature.data(), std::min<size_t>(4, signature.size()));
    put32(t, SDT_LENGTH_AT, length);
    return t;
}

}  // namespace

void AcpiTables::install(const AcpiLayout& layout) {
    remove();
    std::vector<uint8_t> rsdp(RSDP_BYTES, 0);
    std::memcpy(rsdp.data(), "RSD PTR ", 8);
    std::memcpy(rsdp.data() + 9, "KOVASM", 6);
    put32(rsdp, RSDP_RSDT_AT, RSDT_PHYSICAL);
    uint32_t fits = std::min<uint32_t>(RSDP_BYTES, phys::FSEG_SIZE - layout.rsdp_offset);
    memory_.write(phys::FSEG_BASE + layout.rsdp_offset, rsdp.data(), fits);
    rsdp_offset_ = layout.rsdp_offset;

    uint32_t n = uint32_t(layout.entries.size());
    std::vector<uint8_t> rsdt = table("RSDT", SDT_HEADER_BYTES + 4 * n);
    put32(rsdt, SDT_LENGTH_AT, layout.rsdt_length.value_or(SDT_HEADER_BYTES + 4 * n));
    for (uint32_t i = 0; i < n; ++i) {
        put32(rsdt, SDT_HEADER_BYTES + 4 * i, table_physical(i));
        std::vector<uint8_t> t = table(layout.entries[i], TABLE_BYTES);
        if (layout.entries[i] == "FACP") {
            put32(t, FADT_FIRMWARE_CTRL_AT, layout.firmware_ctrl.value_or(FACS_PHYSICAL));
        } else if (layout.entries[i] == "MSDM") {
            // The Windows product key as firmware hands it over: version,
            // reserved, data type, reserved, data length, then the key.
            t.resize(MSDM_TABLE_BYTES);
            put32(t, SDT_LENGTH_AT, MSDM_TABLE_BYTES);
            put32(t, MSDM_DATA_TYPE_AT, 1);
            put32(t, MSDM_DATA_LENGTH_AT, sizeof MSDM_SAMPLE_KEY - 1);
            std::memcpy(t.data() + MSDM_DATA_AT, MSDM_SAMPLE_KEY, sizeof MSDM_SAMPLE_KEY - 1);
        }
        memory_.write(table_physical(i), t.data(), t.size());
    }
    for (uint32_t w : layout.after_rsdt) {
        rsdt.resize(rsdt.size() + 4);
        put32(rsdt, rsdt.size() - 4, w);
    }
    memory_.write(RSDT_PHYSICAL, rsdt.data(), rsdt.size());

    std::vector<uint8_t> facs = table("FACS", FACS_BYTES);
    memory_.write(FACS_PHYSICAL, facs.data(), facs.size());
}

void AcpiTables::remove() {
    if (rsdp_offset_) {
        memory_.fill(phys::FSEG_BASE + *rsdp_offset_, 0,
                     std::min<uint32_t>(8, phys::FSEG_SIZE - *rsdp_offset_));
        rsdp_offset_.reset();
    }
}

uint32_t AcpiTables::lock_word() const {
    uint32_t v = 0;
    memory_.read(lock_word_physical(), &v, 4);
    return v;
}

void AcpiTables::set_lock_word(uint32_t value) { memory_.write(lock_word_physical(), &value, 4); }

LockParty::LockParty(PhysMemory& memory) : memory_(memory) {
    facs_ = static_cast<uint8_t*>(memory_.map(FACS_PHYSICAL, FACS_BYTES, &handle_));
    word_ = reinterpret_cast<uint32_t*>(facs_ + FACS_GLOBAL_LOCK_AT);
}

LockParty::~LockParty() { memory_.unmap(handle_, facs_); }

bool LockParty::try_acquire(bool* set_pending) {
    uint32_t old = __atomic_load_n(word_, __ATOMIC_SEQ_CST);
    uint32_t desired = (old & ~GL_PENDING) | GL_OWNED | ((old & GL_OWNED) ? GL_PENDING : 0);
    if (set_pending) {
        *set_pending = false;
    }
    if (!__atomic_compare_exchange_n(word_, &old, desired, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
        return false;
    }
    if (set_pending) {
        *set_pending = (desired & GL_PENDING) != 0 && (old & GL_PENDING) == 0;
    }
    return (desired & (GL_PENDING | GL_OWNED)) != (GL_PENDING | GL_OWNED);
}

void LockParty::acquire() {
    while (!try_acquire()) {
    }
}

void LockParty::release() {
    uint32_t old = __atomic_load_n(word_, __ATOMIC_SEQ_CST);
    while (!__atomic_compare_exchange_n(word_, &old, old & ~(GL_PENDING | GL_OWNED), false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST)) {
    }
}

uint32_t LockParty::word() const { return __atomic_load_n(word_, __ATOMIC_SEQ_CST); }

}  // namespace sim
