// The history reader on any bytes (a file on disk, perhaps damaged or
// edited): it never reads outside its input, and what it takes it writes
// back in a form it takes again as the same records, sequence numbers
// rising by one.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "history.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<records::Record> h;
    if (records::parse_history(text, h)) {
        return 0;
    }
    for (size_t i = 1; i < h.size(); ++i) {
        if (h[i]["seq"].get<uint64_t>() != h[i - 1]["seq"].get<uint64_t>() + 1) {
            __builtin_trap();
        }
    }
    std::vector<records::Record> again;
    if (records::parse_history(records::format_history(h), again) || again != h) {
        __builtin_trap();
    }
    for (const records::Record& r : h) {
        if (records::history_line(r).size() > records::HISTORY_MAX_LINE_BYTES) {
            __builtin_trap();  // a line the reader took, written back longer than it takes
        }
    }
    return 0;
}
