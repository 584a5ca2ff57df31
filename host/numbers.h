#ifndef KOVA_HOST_NUMBERS_H
#define KOVA_HOST_NUMBERS_H

#include <cstdint>
#include <optional>
#include <string>

// Parses a decimal or 0x-prefixed hexadecimal number no greater than `max`.
// Empty, signed, malformed, trailing-garbage and out-of-range input yields
// nothing.
std::optional<uint32_t> parse_number(const std::string& text, uint32_t max);

#endif
