// The byte routines: the exact results callers rely on, across word and
// block edges, misaligned buffers and every position of a difference.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "frame/bytes.h"

namespace {

using kova::BYTES_MISMATCH;
using kova::BYTES_NOT_FOUND;

struct FindCase {
    const char* name;
    std::string data;
    const char* pattern;
    uint32_t want;
};

TEST(FindPattern, OffsetsAndNotFound) {
    const FindCase cases[] = {
        {"signature after two filler bytes", std::string("\x01\x02RSD PTR ", 10), "RSD PTR", 2},
        {"buffer shorter than the pattern", "RSD PT", "RSD PTR", BYTES_NOT_FOUND},
        {"exact four bytes", "0800", "0800", 0},
        {"one of four differs", "0801", "0800", BYTES_NOT_FOUND},
        {"at the very end", "xxxxxAMIBIOSC", "AMIBIOSC", 5},
        {"first of two occurrences", "ab$QRF$QRF", "$QRF", 2},
        {"overlapping start", "$$$QRF", "$QRF", 2},
        {"partial match at the end", "xx$QR", "$QRF", BYTES_NOT_FOUND},
        {"empty pattern matches at 0", "abc", "", 0},
        {"empty buffer", "", "a", BYTES_NOT_FOUND},
        {"NUL bytes in the data", std::string("\0\0K5R\0", 6), "K5R", 2},
    };
    for (const FindCase& c : cases) {
        EXPECT_EQ(kova::find_pattern(c.data.data(), uint32_t(c.data.size()), c.pattern), c.want) << c.name;
    }
}

uint32_t reference_find(const uint8_t* d, uint32_t size, const std::string& p) {
    for (uint32_t at = 0; p.size() <= size && at <= size - p.size(); ++at) {
        if (std::equal(p.begin(), p.end(), d + at)) {
            return at;
        }
    }
    return BYTES_NOT_FOUND;
}

// Patterns planted at every offset of buffers of every size up to 80, at
// every alignment, over data rich in the pattern's first byte, so the
// word-at-a-time skip is tried at every position it could go wrong.
TEST(FindPattern, SweepAgainstReference) {
    std::mt19937 rng(0x52534450);
    const std::string patterns[] = {"A", "AMIBIOSC", "$QRF", "AA", "RSD PTR"};
    for (const std::string& p : patterns) {
        for (uint32_t size = 0; size <= 80; ++size) {
            for (uint32_t align = 0; align < 4; ++align) {
                for (uint32_t plant = 0; plant <= size; ++plant) {
                    std::vector<uint8_t> buf(size + align);
                    for (auto& v : buf) {
                        v = (rng() % 8 == 0) ? uint8_t(p[0]) : uint8_t(rng());
                    }
                    uint8_t* d = buf.data() + align;
                    if (plant + p.size() <= size) {
                        std::copy(p.begin(), p.end(), d + plant);
                    }
                    ASSERT_EQ(kova::find_pattern(d, size, p.c_str()), reference_find(d, size, p))
                        << p << " size " << size << " align " << align << " plant " << plant;
                }
            }
        }
    }
}

struct EqualsCase {
    std::string data;
    const char* name;
    uint32_t want;
};

TEST(StringEquals, TerminatorTakesPart) {
    const EqualsCase cases[] = {
        {std::string("K5R\0", 4), "K5R", 0},
        {std::string("K5RX\0", 5), "K5R", BYTES_MISMATCH},
        {std::string("K5\0\0", 4), "K5R", BYTES_MISMATCH},
        {std::string("\0", 1), "", 0},
        {std::string("X\0", 2), "", BYTES_MISMATCH},
        {std::string("ZALT\0", 5), "ZALT", 0},
        {std::string("zALT\0", 5), "ZALT", BYTES_MISMATCH},
    };
    for (const EqualsCase& c : cases) {
        EXPECT_EQ(kova::string_equals(c.data.data(), c.name), c.want) << c.name << " vs '" << c.data << "'";
    }
}

// Reference results, byte by byte, as the routines are defined.
int32_t reference_compare(const uint8_t* a, const uint8_t* b, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) {
            return b[i] > a[i] ? int32_t(i + 1) : -int32_t(i + 1);
        }
    }
    return 0;
}

uint32_t reference_sum(const uint8_t* p, uint32_t n) {
    uint32_t s = 0;
    for (uint32_t i = 0; i + 4 <= n; i += 4) {
        s += uint32_t(p[i]) | uint32_t(p[i + 1]) << 8 | uint32_t(p[i + 2]) << 16 | uint32_t(p[i + 3]) << 24;
    }
    return s;
}

TEST(BlockCompare, SignOfTheFirstDifference) {
    const uint8_t a[] = {0x41, 0x42, 0x43, 0x44};
    const uint8_t b[] = {0x41, 0x42, 0x58, 0x44};
    EXPECT_EQ(kova::block_compare(a, b, 4), 3);
    EXPECT_EQ(kova::block_compare(b, a, 4), -3);
    EXPECT_EQ(kova::block_compare(a, a, 4), 0);
}

// Every length from 0 to 70 (word and 16-byte stride edges), every
// misalignment of either buffer, a difference at every position, both
// directions; heap buffers sized exactly so ASan catches an over-read.
TEST(BlockCompare, SweepAgainstReference) {
    std::mt19937 rng(0x4B4F5641);
    for (uint32_t n = 0; n <= 70; ++n) {
        for (uint32_t align_a = 0; align_a < 4; ++align_a) {
            for (uint32_t align_b = 0; align_b < 4; ++align_b) {
                std::vector<uint8_t> abuf(n + align_a), bbuf(n + align_b);
                uint8_t* a = abuf.data() + align_a;
                uint8_t* b = bbuf.data() + align_b;
                for (uint32_t i = 0; i < n; ++i) {
                    a[i] = b[i] = uint8_t(rng());
                }
                ASSERT_EQ(kova::block_compare(a, b, n), 0) << n;
                for (uint32_t at = 0; at < n; ++at) {
                    uint8_t keep = b[at];
                    for (uint8_t delta : {uint8_t(1), uint8_t(0x80), uint8_t(0xFF)}) {
                        b[at] = uint8_t(keep + delta);
                        ASSERT_EQ(kova::block_compare(a, b, n), reference_compare(a, b, n))
                            << "n " << n << " at " << at << " align " << align_a << "/" << align_b;
                    }
                    b[at] = keep;
                }
            }
        }
    }
}

TEST(BlockCompare, OnlyTheFirstDifferenceCounts) {
    std::vector<uint8_t> a(4096, 0x11), b(4096, 0x11);
    b[4095] = 0x22;  // last byte of the last word
    EXPECT_EQ(kova::block_compare(a.data(), b.data(), 4096), 4096);
    b[1000] = 0x00;  // an earlier, smaller byte wins
    EXPECT_EQ(kova::block_compare(a.data(), b.data(), 4096), -1001);
    EXPECT_EQ(kova::block_compare(a.data(), b.data(), 1000), 0);
}

struct SumCase {
    std::vector<uint8_t> bytes;
    uint32_t n;
    uint32_t want;
};

TEST(WordSum, WholeLittleEndianWordsOnly) {
    const SumCase cases[] = {
        {{0x01, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, 8, 0},
        {{0x01, 0, 0, 0, 0x02, 0, 0, 0, 0x55, 0x66}, 10, 3},
        {{0x01, 0x02, 0x03}, 3, 0},
        {{0x78, 0x56, 0x34, 0x12}, 4, 0x12345678},
        {{0x78, 0x56, 0x34, 0x12, 0xFF}, 4, 0x12345678},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 7, 0xFFFFFFFF},
        {{}, 0, 0},
    };
    for (const SumCase& c : cases) {
        EXPECT_EQ(kova::word_sum(c.bytes.data(), c.n), c.want) << "n " << c.n;
    }
}

TEST(WordSum, SweepAgainstReference) {
    std::mt19937 rng(0x5355);
    for (uint32_t n = 0; n <= 100; ++n) {
        for (uint32_t align = 0; align < 4; ++align) {
            std::vector<uint8_t> buf(n + align);
            for (auto& v : buf) {
                v = uint8_t(rng());
            }
            EXPECT_EQ(kova::word_sum(buf.data() + align, n), reference_sum(buf.data() + align, n))
                << "n " << n << " align " << align;
        }
    }
}

TEST(CopyBytes, CopiesExactlyNBytesAtAnyAlignment) {
    std::mt19937 rng(7);
    for (uint32_t n = 0; n <= 40; ++n) {
        for (uint32_t align = 0; align < 4; ++align) {
            std::vector<uint8_t> src(n + align), dst(n + 8, 0xEE);
            for (auto& v : src) {
                v = uint8_t(rng());
            }
            kova::copy_bytes(dst.data() + 4, src.data() + align, n);
            EXPECT_TRUE(std::equal(src.begin() + align, src.end(), dst.begin() + 4)) << n;
            for (uint32_t i : {0u, 1u, 2u, 3u, n + 4, n + 5, n + 6, n + 7}) {
                EXPECT_EQ(dst[i], 0xEE) << "byte " << i << " outside the copy, n " << n;
            }
        }
    }
}

}  // namespace
