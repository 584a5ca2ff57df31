#include "secrets.h"

#include <algorithm>
#include <cstring>

#include "format.h"

namespace trace {

void Secrets::blank(uint32_t physical, std::vector<uint8_t>& bytes, uint32_t limit) {
    if (physical >= limit) {
        return;
    }
    const size_t n = std::min<uint64_t>(bytes.size(), uint64_t(limit) - physical);
    // A table's signature and length are enough: a library that maps a
    // table's header first and the rest later shows its data in bytes of
    // their own. Everything after the fixed fields is taken as the data.
    for (size_t at = 0; n >= MSDM_HEADER_BYTES_NEEDED && at <= n - MSDM_HEADER_BYTES_NEEDED; ++at) {
        if (std::memcmp(&bytes[at], MSDM_SIGNATURE, sizeof MSDM_SIGNATURE) != 0) {
            continue;
        }
        uint32_t table = get32(&bytes[at + ACPI_TABLE_LENGTH_OFFSET]);
        if (table <= MSDM_DATA_OFFSET || table > MSDM_MAX_TABLE_BYTES) {
            continue;
        }
        uint32_t begin = physical + uint32_t(at);
        std::pair<uint32_t, uint32_t> range{begin + MSDM_DATA_OFFSET, begin + table};
        if (std::find(ranges_.begin(), ranges_.end(), range) == ranges_.end()) {
            ranges_.push_back(range);
        }
    }
    for (auto [begin, end] : ranges_) {
        uint64_t from = std::max<uint64_t>(begin, physical);
        uint64_t to = std::min<uint64_t>(end, uint64_t(physical) + n);
        for (uint64_t p = from; p < to; ++p) {
            bytes[size_t(p - physical)] = BLANKED_BYTE;
        }
    }
}

}  // namespace trace
