#include "numbers.h"

#include <charconv>

std::optional<uint32_t> parse_number(const std::string& text, uint32_t max) {
    const char* first = text.data();
    const char* last = first + text.size();
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        first += 2;
        base = 16;
    }
    if (first == last || *first == '+' || *first == '-') {
        return std::nullopt;
    }
    uint64_t value = 0;
    auto [end, err] = std::from_chars(first, last, value, base);
    if (err != std::errc() || end != last || value > max) {
        return std::nullopt;
    }
    return uint32_t(value);
}
