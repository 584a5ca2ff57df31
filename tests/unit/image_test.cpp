// Image validation: header selection, both link forms, the module sums,
// and every way a header, link or size can point outside the image or loop.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <vector>

#include "builder.h"
#include "frame/bytes.h"
#include "inspect.h"
#include "update/image.h"

namespace {

using kimage::write32;
using kova::image::IMAGE_SIZE;
constexpr uint32_t LAST = 0xFFFFFFFF;
constexpr uint8_t LINK32 = 0x01, SEGMENTED = 0x00, HEADER_ONLY = 0x40;

using Image = std::vector<uint8_t>;

// A ROM header at signature offset h; a zero image sums to zero everywhere.
void put_header(Image& img, uint32_t h, uint8_t flags, uint32_t first_link, const char* rev = "0800") {
    img[h - 4] = flags;
    std::memcpy(&img[h], "AMIBIOSC", 8);
    std::memcpy(&img[h + 8], rev, 4);
    write32(&img[h + 18], first_link);
}

// A module at link position l whose summed bytes are balanced to zero by
// the free word at l - 4 (unless `balance` is false).
void put_module(Image& img, uint32_t l, uint32_t size, uint32_t link, uint8_t flags = 0,
                bool balance = true) {
    write32(&img[l - 8], size);
    write32(&img[l], link);
    img[l + 7] = flags;
    if (balance) {
        uint64_t summed = 20 + ((flags & HEADER_ONLY) ? 0 : uint64_t(size));
        write32(&img[l - 4], 0);
        write32(&img[l - 4], 0u - kimage::sum_words(&img[l - 8], size_t(summed)));
    }
}

uint32_t seg_link(uint16_t segment, uint16_t offset) { return uint32_t(segment) << 16 | offset; }

struct ChainCase {
    const char* name;
    std::function<void(Image&)> build;
    uint32_t valid;
};

TEST(VerifyModuleChain, Cases) {
    const ChainCase cases[] = {
        {"no signature at all", [](Image&) {}, 0},
        {"one module ending the chain",
         [](Image& i) {
             put_header(i, 0x1000, LINK32, 0x2008);
             put_module(i, 0x2008, 0x100, LAST);
         },
         1},
        {"one module with a wrong sum",
         [](Image& i) {
             put_header(i, 0x1000, LINK32, 0x2008);
             put_module(i, 0x2008, 0x100, LAST);
             i[0x2008 + 12 + 0x40] ^= 1;
         },
         0},
        {"header rejected for its revision, the next one taken",
         [](Image& i) {
             put_header(i, 0x1000, LINK32, 0x9999999, "0801");  // link would fail if used
             put_header(i, 0x2000, LINK32, 0x3008);
             put_module(i, 0x3008, 0x40, LAST);
         },
         1},
        {"three modules, 32-bit links",
         [](Image& i) {
             put_header(i, 0x100, LINK32, 0x1008);
             put_module(i, 0x1008, 0x200, 0x5008);
             put_module(i, 0x5008, 0x10, 0x4008);  // links may go backwards
             put_module(i, 0x4008, 0x0, LAST);
         },
         1},
        {"segment:offset links into the upper half",
         [](Image& i) {
             put_header(i, 0x100, SEGMENTED, seg_link(0xF000, 0x0010));  // -> 0x1F0010
             put_module(i, 0x1F0010, 0x30, seg_link(0x1000, 0x0008));    // -> 0x110008
             put_module(i, 0x110008, 0x30, LAST);
         },
         1},
        {"header-only module with a data area that does not sum",
         [](Image& i) {
             put_header(i, 0x100, LINK32, 0x1008);
             put_module(i, 0x1008, 0x80, LAST, HEADER_ONLY);
             i[0x1008 + 12 + 4] = 0x77;
         },
         1},
        {"header-only module whose header does not sum",
         [](Image& i) {
             put_header(i, 0x100, LINK32, 0x1008);
             put_module(i, 0x1008, 0x80, LAST, HEADER_ONLY);
             i[0x1008 + 8] = 0x01;
         },
         0},
        {"size 5 sums 24 bytes: the 25th is not added",
         [](Image& i) {
             put_header(i, 0x100, LINK32, 0x1008);
             put_module(i, 0x1008, 5, LAST);
             i[0x1008 - 8 + 24] = 0x99;
         },
         1},
        {"size 5: the 24th byte is added",
         [](Image& i) {
             put_header(i, 0x100, LINK32, 0x1008);
             put_module(i, 0x1008, 5, LAST);
             i[0x1008 - 8 + 23] = 0x99;
         },
         0},
        {"chain loops onto itself",
         [](Image& i) {
             put_header(i, 0x100, LINK32, 0x1008);
             put_module(i, 0x1008, 0x10, 0x1008);
         },
         0},
        {"chain loops through three modules",
         [](Image& i) {
             put_header(i, 0x100, LINK32, 0x1008);
             put_module(i, 0x1008, 0x10, 0x2008);
             put_module(i, 0x2008, 0x10, 0x3008);
             put_module(i, 0x3008, 0x10, 0x2008);
         },
         0},
        {"first link outside the image", [](Image& i) { put_header(i, 0x100, LINK32, IMAGE_SIZE + 8); }, 0},
        {"link below 8: header would start before the image",
         [](Image& i) {
             put_header(i, 0x100, LINK32, 0x1008);
             put_module(i, 0x1008, 0x10, 4);
         },
         0},
        {"header crosses the end of the image",
         [](Image& i) { put_header(i, 0x100, LINK32, IMAGE_SIZE - 11); }, 0},
        {"last module fits exactly",
         [](Image& i) {
             put_header(i, 0x100, LINK32, IMAGE_SIZE - 12 - 0x20);
             put_module(i, IMAGE_SIZE - 12 - 0x20, 0x20, LAST);
         },
         1},
        {"data cross the end of the image",
         [](Image& i) {
             put_header(i, 0x100, LINK32, IMAGE_SIZE - 12 - 0x20);
             put_module(i, IMAGE_SIZE - 12 - 0x20, 0x24, LAST, 0, false);
         },
         0},
        {"a huge size does not wrap round to a short sum",
         [](Image& i) {
             put_header(i, 0x100, LINK32, 0x1008);
             put_module(i, 0x1008, 0xFFFFFFF0, LAST, 0, false);  // 0xFFFFFFF0 + 20 wraps to 4
             write32(&i[0x1008 - 4], 0u - 0xFFFFFFF0u);          // 20 bytes sum to zero
         },
         0},
        {"segment link wrapping above the image",
         [](Image& i) { put_header(i, 0x100, SEGMENTED, seg_link(0xFFFF, 0xFFFF)); }, 0},
        {"signature at offset 3: flags byte before the image",
         [](Image& i) { std::memcpy(&i[3], "AMIBIOSC0800", 12); }, 0},
        {"signature at offset 4 is usable",
         [](Image& i) {
             put_header(i, 4, LINK32, 0x1008);
             put_module(i, 0x1008, 0x10, LAST);
         },
         1},
        {"signature 21 bytes before the end: first link cut off",
         [](Image& i) { std::memcpy(&i[IMAGE_SIZE - 21], "AMIBIOSC0800", 12); }, 0},
        {"signature 22 bytes before the end is usable",
         [](Image& i) {
             put_header(i, IMAGE_SIZE - 22, LINK32, 0x1008);
             put_module(i, 0x1008, 0x10, LAST);
         },
         1},
        {"signature in the last 8 bytes, no room for the revision",
         [](Image& i) { std::memcpy(&i[IMAGE_SIZE - 8], "AMIBIOSC", 8); }, 0},
    };
    for (const ChainCase& c : cases) {
        Image img(IMAGE_SIZE, 0);
        c.build(img);
        EXPECT_EQ(kova::verify_module_chain(img.data()), c.valid) << c.name;
        // The inspector walks the same chain on its own and must agree.
        EXPECT_EQ(kimage::inspect_image(img.data()).chain_valid, c.valid == 1) << c.name;
    }
}

TEST(ResolveLink, BothForms) {
    EXPECT_EQ(kova::resolve_link(0x00123456, true), 0x00123456u);
    EXPECT_EQ(kova::resolve_link(seg_link(0xF000, 0x0010), false), 0x1F0010u);
    EXPECT_EQ(kova::resolve_link(seg_link(0x0000, 0x0000), false), 0x100000u);
}

TEST(FindRomHeader, SkipsSignaturesWithoutTheRevision) {
    Image img(IMAGE_SIZE, 0);
    put_header(img, 0x1000, LINK32, 0, "0801");
    put_header(img, 0x2000, LINK32, 0);
    EXPECT_EQ(kova::find_rom_header(img.data()), 0x2000u);
    // Overlapping: "AMIBIOSCAMIBIOSC0800" takes the second signature.
    Image img2(IMAGE_SIZE, 0);
    std::memcpy(&img2[0x100], "AMIBIOSCAMIBIOSC0800", 20);
    EXPECT_EQ(kova::find_rom_header(img2.data()), 0x108u);
}

// A long loop of large modules must end quickly: a walk bounded only by the
// chain limit would sum 2 MiB a hundred thousand times.
TEST(VerifyModuleChain, LoopOfLargeModulesEndsQuickly) {
    constexpr int MODULES = 30;
    constexpr uint32_t FIRST = 0x1008, STEP = 0x8000, END = 0x1D1000;
    for (bool loops : {false, true}) {
        Image img(IMAGE_SIZE, 0);
        put_header(img, 0x100, LINK32, FIRST);
        // Each module runs to END, so each covers the balance words of those
        // after it: balance from the last one down.
        for (int m = MODULES - 1; m >= 0; --m) {
            uint32_t l = FIRST + uint32_t(m) * STEP;
            uint32_t link = m + 1 < MODULES ? l + STEP : (loops ? FIRST : LAST);
            put_module(img, l, END - (l + 12), link);
        }
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(kova::verify_module_chain(img.data()), loops ? 0u : 1u);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    }
}

struct MakeCase {
    const char* name;
    kimage::ImageOptions options;
};

kimage::ImageOptions with(std::function<void(kimage::ImageOptions&)> f) {
    kimage::ImageOptions o;
    f(o);
    return o;
}

TEST(ImageBuilder, EveryOptionCombinationValidates) {
    const MakeCase cases[] = {
        {"defaults", {}},
        {"segment:offset links", with([](auto& o) { o.link32 = false; })},
        {"one module", with([](auto& o) { o.module_sizes = {0x100}; })},
        {"sizes that are not whole words", with([](auto& o) {
             o.module_sizes = {5, 1, 0, 7, 0x1001};
         })},
        {"header-only first module", with([](auto& o) { o.header_only_module = 0; })},
        {"header-only last, segmented", with([](auto& o) {
             o.header_only_module = 5;
             o.link32 = false;
         })},
        {"header low in the image, 32-bit", with([](auto& o) { o.header_offset = 0x4; })},
        {"many small modules", with([](auto& o) { o.module_sizes.assign(500, 0x30); })},
        {"modules filling the upper half", with([](auto& o) { o.module_sizes = {0xE0000}; })},
        {"revision 0, another seed", with([](auto& o) {
             o.revision = 0;
             o.seed = 99;
         })},
    };
    for (const MakeCase& c : cases) {
        kimage::Image img = kimage::make_image(c.options);
        ASSERT_EQ(img.bytes.size(), IMAGE_SIZE) << c.name;
        EXPECT_EQ(kova::boot_block_sum(img.bytes.data()), 0u) << c.name;
        EXPECT_EQ(kova::verify_module_chain(img.bytes.data()), 1u) << c.name;
        kimage::Inspection r = kimage::inspect_image(img.bytes.data());
        EXPECT_TRUE(r.valid) << c.name << ": " << r.chain_reason;
        EXPECT_EQ(r.modules.size(), c.options.module_sizes.size()) << c.name;
        ASSERT_TRUE(r.boot_info) << c.name;
        EXPECT_EQ(r.boot_info->revision, c.options.revision) << c.name;
        EXPECT_EQ(r.boot_info->strings, (std::vector<std::string>{"K5R", "", "ZALT"})) << c.name;
        EXPECT_EQ(*r.platform_tag, "R2318") << c.name;
    }
}

TEST(ImageBuilder, SeedsDecideTheFillerAndNothingElse) {
    kimage::ImageOptions a, b;
    b.seed = 2;
    EXPECT_EQ(kimage::make_image(a).bytes, kimage::make_image(a).bytes) << "deterministic";
    EXPECT_NE(kimage::make_image(a).bytes, kimage::make_image(b).bytes);
}

TEST(ImageBuilder, RejectsLayoutsThatCannotBeBuilt) {
    EXPECT_THROW(kimage::make_image(with([](auto& o) { o.module_sizes = {}; })), std::invalid_argument);
    EXPECT_THROW(kimage::make_image(with([](auto& o) { o.module_sizes = {0x100000}; })),
                 std::invalid_argument);
    EXPECT_THROW(kimage::make_image(with([](auto& o) { o.header_only_module = 6; })), std::invalid_argument);
    EXPECT_THROW(kimage::make_image(with([](auto& o) {
                     o.link32 = false;
                     o.header_offset = 0x1000;
                 })),
                 std::invalid_argument);
}

}  // namespace
