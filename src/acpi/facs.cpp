#include "acpi/facs.h"

#include <stddef.h>

#include "frame/bytes.h"
#include "zunda.h"

namespace kova {

using namespace acpi;

namespace {

uint32_t read32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The first "RSD PTR" whose RSDT address lies inside the window; one too
// close to the window's end is passed over and the search goes on.
uint32_t find_rsdp(const uint8_t* window) {
    uint32_t from = 0;
    while (from < FSEG_LENGTH) {
        uint32_t r = find_pattern(window + from, FSEG_LENGTH - from, RSDP_SIGNATURE);
        if (r == BYTES_NOT_FOUND) {
            return BYTES_NOT_FOUND;
        }
        r += from;
        if (r + RSDP_FIELDS_BYTES <= FSEG_LENGTH) {
            return r;
        }
        from = r + 1;
    }
    return BYTES_NOT_FOUND;
}

// Entries the RSDT really has, at most the eight that were mapped.
uint32_t rsdt_entries(const uint8_t* rsdt) {
    uint32_t length = read32(rsdt + SDT_LENGTH_AT);
    if (length < SDT_HEADER_BYTES) {
        return 0;
    }
    uint32_t n = (length - SDT_HEADER_BYTES) / SDT_ENTRY_BYTES;
    return n < RSDT_MAX_ENTRIES ? n : RSDT_MAX_ENTRIES;
}

// Looks through the RSDT's entries for the FADT.
uint32_t facs_from_rsdt(const uint8_t* rsdt) {
    uint32_t entries = rsdt_entries(rsdt);
    for (uint32_t i = 0; i < entries; ++i) {
        uint32_t handle = 0;
        uint32_t address = read32(rsdt + SDT_HEADER_BYTES + static_cast<size_t>(i) * SDT_ENTRY_BYTES);
        const auto* table = static_cast<const uint8_t*>(MapPhysToLin(address, TABLE_MAP_BYTES, &handle));
        if (table == nullptr) {
            return FACS_NOT_FOUND;
        }
        bool is_fadt = block_compare(table, FADT_SIGNATURE, SIGNATURE_BYTES) == 0;
        uint32_t facs = is_fadt ? read32(table + FADT_FIRMWARE_CTRL_AT) : FACS_NOT_FOUND;
        UnmapPhysicalMemory(handle, const_cast<uint8_t*>(table));
        if (is_fadt) {
            return facs;
        }
    }
    return FACS_NOT_FOUND;
}

}  // namespace

uint32_t find_facs_address() {
    uint32_t fseg_handle = 0;
    auto* window = static_cast<uint8_t*>(MapPhysToLin(FSEG_PHYSICAL, FSEG_LENGTH, &fseg_handle));
    if (window == nullptr) {
        return FACS_NOT_FOUND;
    }
    uint32_t result = FACS_NOT_FOUND;
    uint32_t r = find_rsdp(window);
    if (r != BYTES_NOT_FOUND) {
        uint32_t rsdt_handle = 0;
        auto* rsdt = static_cast<uint8_t*>(
            MapPhysToLin(read32(window + r + RSDP_RSDT_ADDRESS_AT), RSDT_MAP_BYTES, &rsdt_handle));
        if (rsdt != nullptr) {
            result = facs_from_rsdt(rsdt);
            UnmapPhysicalMemory(rsdt_handle, rsdt);
        }
    }
    UnmapPhysicalMemory(fseg_handle, window);
    return result;
}

}  // namespace kova
