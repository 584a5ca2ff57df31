// Finds the Firmware ACPI Control Structure, which holds the global lock:
// RSDP in the BIOS F-segment, then the RSDT, then the FADT ("FACP"), whose
// FIRMWARE_CTRL field is the FACS's physical address. Nothing is cached.
#ifndef KOVA_ACPI_FACS_H
#define KOVA_ACPI_FACS_H

#include <stdint.h>

namespace kova {

namespace acpi {
constexpr uint32_t FSEG_PHYSICAL = 0xF0000;
constexpr uint32_t FSEG_LENGTH = 0x10000;
constexpr const char RSDP_SIGNATURE[] = "RSD PTR";  // without the trailing blank
constexpr uint32_t RSDP_RSDT_ADDRESS_AT = 16;
constexpr uint32_t RSDP_FIELDS_BYTES = 20;  // through the RSDT address
constexpr uint32_t SDT_LENGTH_AT = 4;
constexpr uint32_t SDT_HEADER_BYTES = 36;
constexpr uint32_t SDT_ENTRY_BYTES = 4;
constexpr uint32_t RSDT_MAX_ENTRIES = 8;
constexpr uint32_t RSDT_MAP_BYTES = SDT_HEADER_BYTES + RSDT_MAX_ENTRIES * SDT_ENTRY_BYTES;  // 68
constexpr uint32_t TABLE_MAP_BYTES = 132;
constexpr const char FADT_SIGNATURE[] = "FACP";
constexpr uint32_t SIGNATURE_BYTES = 4;
constexpr uint32_t FADT_FIRMWARE_CTRL_AT = 36;
constexpr uint32_t FACS_NOT_FOUND = 0xFFFFFFFF;
// The FACS: the global lock word at offset 16, of which only these two
// bits decide who holds it.
constexpr uint32_t FACS_MAP_BYTES = 24;
constexpr uint32_t FACS_GLOBAL_LOCK_AT = 16;
constexpr uint32_t GL_PENDING = 0x01;  // another party wants the lock
constexpr uint32_t GL_OWNED = 0x02;
}  // namespace acpi

// The FIRMWARE_CTRL of the first "FACP" among the RSDT's entries (at most
// eight), or FACS_NOT_FOUND. Everything mapped is unmapped again.
uint32_t find_facs_address();

}  // namespace kova

#endif
