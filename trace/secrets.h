// What a trace never holds: the secrets a board keeps in its memory where
// the library looks. The one known is the Windows product key, which the
// firmware hands the operating system in the ACPI MSDM table; the library
// reads only the signatures and lengths of the tables it walks past, so
// the recorder writes '*' over the table's data and a replay sees what the
// library saw.
#ifndef KOVA_TRACE_SECRETS_H
#define KOVA_TRACE_SECRETS_H

#include <cstdint>
#include <utility>
#include <vector>

namespace trace {

// ACPI MSDM table: the 36-byte table header, then version, reserved, data
// type, data reserved and data length (4 bytes each), then the data.
constexpr char MSDM_SIGNATURE[4] = {'M', 'S', 'D', 'M'};
constexpr uint32_t ACPI_TABLE_LENGTH_OFFSET = 4;
constexpr uint32_t MSDM_DATA_OFFSET = 56;
constexpr uint32_t MSDM_MAX_TABLE_BYTES = 0x1000;
constexpr uint32_t MSDM_HEADER_BYTES_NEEDED = 8;  // the signature and the table's length
constexpr uint8_t BLANKED_BYTE = '*';

class Secrets {
public:
    // Notes the MSDM tables whose signature and length `bytes` (at
    // `physical`) hold, then writes BLANKED_BYTE over every byte of a known
    // table's data in them: all it holds after its fixed fields.
    // Only memory below `limit` (the flash window) is looked at: the
    // firmware's own bytes must stay what they are for a replay to compare.
    void blank(uint32_t physical, std::vector<uint8_t>& bytes, uint32_t limit);
    const std::vector<std::pair<uint32_t, uint32_t>>& ranges() const { return ranges_; }

private:
    std::vector<std::pair<uint32_t, uint32_t>> ranges_;  // physical begin, end of each table's data
};

}  // namespace trace

#endif
