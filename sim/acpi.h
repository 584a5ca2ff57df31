// The firmware's ACPI tables: "RSD PTR " in the F-segment, an RSDT with a
// list of entries, a FADT ("FACP") naming the FACS, the FACS with its global
// lock word; and the power-management port whose bit 7 (BIOS_RLS) the OS
// sets to tell the firmware it released the lock.
#ifndef SIM_ACPI_H
#define SIM_ACPI_H

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bus.h"
#include "memory.h"

namespace sim {

namespace acpidev {
constexpr uint32_t DEFAULT_RSDP_OFFSET = 0xE000;  // in the F-segment
constexpr uint32_t RSDT_PHYSICAL = 0x00200000;
constexpr uint32_t TABLES_PHYSICAL = 0x00201000;
constexpr uint32_t TABLE_STRIDE = 0x1000;
constexpr uint32_t FACS_PHYSICAL = 0x00210000;
constexpr uint32_t FACS_BYTES = 64;
constexpr uint32_t FACS_GLOBAL_LOCK_AT = 16;
constexpr uint32_t TABLE_BYTES = 244;  // a FADT of revision 3
constexpr uint32_t FADT_FIRMWARE_CTRL_AT = 36;
constexpr uint32_t SDT_HEADER_BYTES = 36;
constexpr uint16_t BIOS_RLS_PORT = 0x830;
constexpr uint8_t BIOS_RLS = 0x80;
constexpr uint32_t GL_PENDING = 0x01;
constexpr uint32_t GL_OWNED = 0x02;
// An MSDM table: its header, then data type at 44, data length at 52, and
// the data (a product key) at 56.
constexpr uint32_t MSDM_DATA_TYPE_AT = 44;
constexpr uint32_t MSDM_DATA_LENGTH_AT = 52;
constexpr uint32_t MSDM_DATA_AT = 56;
constexpr char MSDM_SAMPLE_KEY[] = "KOVAS-IMULA-TEDPR-ODUCT-KEY42";
constexpr uint32_t MSDM_TABLE_BYTES = MSDM_DATA_AT + sizeof MSDM_SAMPLE_KEY - 1;
}  // namespace acpidev

struct AcpiLayout {
    uint32_t rsdp_offset = acpidev::DEFAULT_RSDP_OFFSET;  // any byte offset, aligned or not
    std::vector<std::string> entries{"APIC", "FACP", "HPET"};
    std::optional<uint32_t> firmware_ctrl;  // FADT field; default the FACS's address
    std::optional<uint32_t> rsdt_length;    // header field; default 36 + 4 * entries
    // Words after the RSDT's last entry, as if a table followed it.
    std::vector<uint32_t> after_rsdt;
};

class AcpiTables {
public:
    explicit AcpiTables(PhysMemory& memory) : memory_(memory) {}
    void install(const AcpiLayout& layout = {});
    void remove();  // wipes the RSDP signature

    uint32_t table_physical(size_t entry) const {
        return acpidev::TABLES_PHYSICAL + uint32_t(entry) * acpidev::TABLE_STRIDE;
    }
    uint32_t lock_word_physical() const { return acpidev::FACS_PHYSICAL + acpidev::FACS_GLOBAL_LOCK_AT; }
    uint32_t lock_word() const;
    void set_lock_word(uint32_t value);

private:
    PhysMemory& memory_;
    std::optional<uint32_t> rsdp_offset_;
};

// Another holder of the global lock (the firmware, or the OS), on a thread
// of its own: it maps the FACS once and takes and gives the lock with the
// same compare-exchange protocol, on the same word the library uses.
class LockParty {
public:
    explicit LockParty(PhysMemory& memory);
    ~LockParty();
    LockParty(const LockParty&) = delete;
    LockParty& operator=(const LockParty&) = delete;

    // One attempt: true when the lock is now this party's; otherwise pending
    // is set (when another owns it) and the caller tries again.
    // *set_pending tells whether this attempt is the one that set it.
    bool try_acquire(bool* set_pending = nullptr);
    void acquire();  // spins until owned
    void release();
    uint32_t word() const;

private:
    PhysMemory& memory_;
    uint32_t handle_ = 0;
    uint8_t* facs_ = nullptr;
    uint32_t* word_ = nullptr;
};

// The port at 0x830: a byte register; every write recorded. `signals`
// counts the writes with BIOS_RLS set, readable from the firmware's thread.
class BiosReleasePort : public PortDevice {
public:
    uint8_t value = 0;
    std::vector<uint8_t> writes;
    std::atomic<unsigned> signals{0};
    uint32_t read(uint16_t, unsigned) override { return value; }
    void write(uint16_t, unsigned, uint32_t v) override {
        value = uint8_t(v);
        writes.push_back(value);
        if (value & acpidev::BIOS_RLS) {
            signals.fetch_add(1);
        }
    }
};

}  // namespace sim

#endif
