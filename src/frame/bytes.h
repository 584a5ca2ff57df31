// The library's own byte routines: it links no runtime library. Callers
// depend on their exact results (an offset or -1, an equality that includes
// the terminator, a signed 1-based position, whole little-endian words), so
// these are the only definitions of them.
#ifndef KOVA_FRAME_BYTES_H
#define KOVA_FRAME_BYTES_H

#include <stdint.h>

namespace kova {

// Result of find_pattern when the pattern does not occur, and of
// string_equals when the texts differ.
constexpr uint32_t BYTES_NOT_FOUND = 0xFFFFFFFF;
constexpr uint32_t BYTES_MISMATCH = 0xFFFFFFFF;

// Number of bytes before the first NUL of `s`.
uint32_t string_length(const char* s);
// Copies `n` bytes forward from `src` to `dst`; the areas never overlap.
void copy_bytes(void* dst, const void* src, uint32_t n);
// First offset in the `size` bytes at `data` where the bytes of `pattern`
// (without its NUL) occur, scanning forward one byte at a time; or
// BYTES_NOT_FOUND, also when `size` is shorter than the pattern.
uint32_t find_pattern(const void* data, uint32_t size, const char* pattern);
// 0 when `data` holds exactly `name` followed by a NUL, BYTES_MISMATCH
// otherwise. Reads `data` only up to the first differing byte.
uint32_t string_equals(const void* data, const char* name);
// string_equals for data that ends after `available` bytes: a text that
// would need more bytes than that does not match, and nothing past them is
// read.
uint32_t string_equals_within(const void* data, uint32_t available, const char* name);
// 0 when the `n` bytes at `a` and `b` are equal. Otherwise the 1-based
// position of the first differing byte, positive when that byte of `b` is
// the greater (unsigned), negative when it is the smaller. n < 2^31.
int32_t block_compare(const void* a, const void* b, uint32_t n);
// Sum modulo 2^32 of the n / 4 whole little-endian 32-bit words at `p`;
// trailing bytes are not added.
uint32_t word_sum(const void* p, uint32_t n);

}  // namespace kova

#endif
