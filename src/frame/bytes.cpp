#include "frame/bytes.h"

#include <stddef.h>

// Words are read in the machine's order and summed as little-endian values.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "word_sum assumes a little-endian machine");

namespace kova {

namespace {

// A 32-bit word at any byte address: the host's image buffer need not be
// aligned, and x86 reads unaligned words directly.
typedef uint32_t __attribute__((aligned(1), may_alias)) unaligned_word;

constexpr uint32_t WORD_BYTES = 4;

// The widest word the machine loads at once, for the loops that only look
// for a difference or a byte value: 4 bytes in the 32-bit DLL, 8 in a
// 64-bit build. Sums and positions stay in 32-bit words and bytes.
typedef uintptr_t __attribute__((aligned(1), may_alias)) unaligned_wide;
constexpr uint32_t WIDE_BYTES = sizeof(uintptr_t);
// Bytes looked at per step of the fast loops: eight wide words, whose
// differences (or matches) are OR-ed so one test covers them all.
constexpr uint32_t STRIDE_WORDS = 8;
constexpr uint32_t STRIDE_BYTES = STRIDE_WORDS * WIDE_BYTES;
// find_pattern steps 32 bytes at a time: in firmware filler the pattern's
// first byte turns up about once in 256 bytes, and a longer step would find
// it (and fall back to bytes) more often than it saves.
constexpr uint32_t SCAN_STRIDE_BYTES = 32;

// Each byte of a wide word at once: 0x01 in every byte lane, and each
// lane's top bit.
constexpr uintptr_t BYTE_LANES = ~uintptr_t(0) / 0xFF;
constexpr uintptr_t BYTE_HIGH_BITS = BYTE_LANES * 0x80;

inline uint32_t load_word(const uint8_t* p) { return *reinterpret_cast<const unaligned_word*>(p); }
inline uintptr_t load_wide(const uint8_t* p) { return *reinterpret_cast<const unaligned_wide*>(p); }

int32_t signed_position(uint32_t index, uint8_t a, uint8_t b) {
    int32_t position = static_cast<int32_t>(index + 1);
    return b > a ? position : -position;
}

// True when the byte at `at` starts the pattern.
bool matches_at(const uint8_t* d, uint32_t at, const uint8_t* p, uint32_t len) {
    uint32_t k = 0;
    while (k < len && d[at + k] == p[k]) {
        ++k;
    }
    return k == len;
}

}  // namespace

uint32_t string_length(const char* s) {
    uint32_t n = 0;
    while (s[n] != '\0') {
        ++n;
    }
    return n;
}

// A plain loop; the build's -fno-tree-loop-distribute-patterns keeps the
// compiler from turning it into a call to memcpy, which the library has not.
void copy_bytes(void* dst, const void* src, uint32_t n) {
    uint8_t* d = static_cast<uint8_t*>(dst);
    const uint8_t* s = static_cast<const uint8_t*>(src);
    for (uint32_t i = 0; i < n; ++i) {
        d[i] = s[i];
    }
}

// A plain forward scan: every start offset is tried in order, one byte
// apart. While the first byte cannot match, offsets are ruled out a word
// (and eight words) at a time by testing whole words for the pattern's
// first byte; the result is the same first offset a byte-by-byte scan finds.
uint32_t find_pattern(const void* data, uint32_t size, const char* pattern) {
    const uint8_t* d = static_cast<const uint8_t*>(data);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(pattern);
    uint32_t len = string_length(pattern);
    if (size < len) {
        return BYTES_NOT_FOUND;
    }
    if (len == 0) {
        return 0;
    }
    uint32_t last = size - len;  // last candidate offset
    uintptr_t first = p[0] * BYTE_LANES;
    uint32_t at = 0;
    while (at <= last) {
        if (last - at >= SCAN_STRIDE_BYTES) {
            uintptr_t found = 0;
            for (uint32_t w = 0; w < SCAN_STRIDE_BYTES; w += WIDE_BYTES) {
                uintptr_t v = load_wide(d + at + w) ^ first;
                found |= (v - BYTE_LANES) & ~v & BYTE_HIGH_BITS;
            }
            if (found == 0) {
                at += SCAN_STRIDE_BYTES;
                continue;
            }
        }
        if (last - at >= WIDE_BYTES) {
            uintptr_t v = load_wide(d + at) ^ first;  // a zero byte where the first byte matches
            if (((v - BYTE_LANES) & ~v & BYTE_HIGH_BITS) == 0) {
                at += WIDE_BYTES;
                continue;
            }
        }
        if (matches_at(d, at, p, len)) {
            return at;
        }
        ++at;
    }
    return BYTES_NOT_FOUND;
}

uint32_t string_equals(const void* data, const char* name) {
    const uint8_t* d = static_cast<const uint8_t*>(data);
    const uint8_t* n = reinterpret_cast<const uint8_t*>(name);
    uint32_t count = string_length(name) + 1;  // the terminator takes part
    for (uint32_t i = 0; i < count; ++i) {
        if (d[i] != n[i]) {
            return BYTES_MISMATCH;
        }
    }
    return 0;
}

uint32_t string_equals_within(const void* data, uint32_t available, const char* name) {
    if (string_length(name) >= available) {  // name and terminator need length + 1 bytes
        return BYTES_MISMATCH;
    }
    return string_equals(data, name);
}

// Whole words first, eight at a time, then one at a time; bytes only to find
// which byte of the first differing word differs, and for the tail.
int32_t block_compare(const void* a, const void* b, uint32_t n) {
    const uint8_t* pa = static_cast<const uint8_t*>(a);
    const uint8_t* pb = static_cast<const uint8_t*>(b);
    uint32_t i = 0;
    while (n - i >= STRIDE_BYTES) {
        uintptr_t diff = 0;
        for (uint32_t w = 0; w < STRIDE_BYTES; w += WIDE_BYTES) {
            diff |= load_wide(pa + i + w) ^ load_wide(pb + i + w);
        }
        if (diff != 0) {
            break;
        }
        i += STRIDE_BYTES;
    }
    while (n - i >= WORD_BYTES && load_word(pa + i) == load_word(pb + i)) {
        i += WORD_BYTES;
    }
    for (; i < n; ++i) {
        if (pa[i] != pb[i]) {
            return signed_position(i, pa[i], pb[i]);
        }
    }
    return 0;
}

// Four running sums let the additions overlap; modulo 2^32 the total is the
// same as one sum in order.
uint32_t word_sum(const void* p, uint32_t n) {
    const uint8_t* bytes = static_cast<const uint8_t*>(p);
    uint32_t words = n / WORD_BYTES;
    uint32_t s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    uint32_t w = 0;
    for (; words - w >= 4; w += 4) {
        const uint8_t* q = bytes + static_cast<size_t>(w) * WORD_BYTES;
        s0 += load_word(q);
        s1 += load_word(q + 4);
        s2 += load_word(q + 8);
        s3 += load_word(q + 12);
    }
    for (; w < words; ++w) {
        s0 += load_word(bytes + static_cast<size_t>(w) * WORD_BYTES);
    }
    return s0 + s1 + s2 + s3;
}

}  // namespace kova
