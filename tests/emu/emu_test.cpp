// What only the emulator can show about the real KOVA.dll: that each of its
// checks catches the fault it names, that the DLL runs relocated, and how
// many instructions the check of an identical image takes.
#include <gtest/gtest.h>

#include <cstring>
#include <iostream>

#include "builder.h"
#include "emu_port.h"

namespace {

using emu::EmuPort;

std::vector<uint8_t> le32(uint32_t v) {
    std::vector<uint8_t> b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

uint32_t section_end(const char* name, uint32_t base) {
    for (const emu::PeSection& s : emu::kova_image().sections) {
        if (s.name == name) {
            return base + s.rva + s.virtual_size;
        }
    }
    ADD_FAILURE() << "no section " << name;
    return 0;
}

uint32_t section_start(const char* name, uint32_t base) {
    for (const emu::PeSection& s : emu::kova_image().sections) {
        if (s.name == name) {
            return base + s.rva;
        }
    }
    ADD_FAILURE() << "no section " << name;
    return 0;
}

// Code put in place of KOVA_INIT_SATA, each breaking one rule.
struct BreachCase {
    const char* name;
    std::vector<uint8_t> (*code)(uint32_t base);
    const char* says;
    uint32_t (*address)(uint32_t base);  // the address the report must name; nullptr: none
};

TEST(Emulator, EveryCheckCatchesItsBreach) {
    const BreachCase cases[] = {
        {"read where nothing is mapped",  // mov eax, [0x12345678]; ret
         [](uint32_t) {
             return cat({{0xA1}, le32(0x12345678), {0xC3}});
         },
         "read 4 bytes at", [](uint32_t) { return 0x12345678u; }},
        {"read the byte after .data, inside its page",  // mov al, [end of .data]; ret
         [](uint32_t b) {
             return cat({{0xA0}, le32(section_end(".data", b)), {0xC3}});
         },
         "read 1 bytes at", [](uint32_t b) { return section_end(".data", b); }},
        {"physical flash address used as a pointer",  // mov eax, [0xFFE00000]; ret
         [](uint32_t) {
             return cat({{0xA1}, le32(0xFFE00000), {0xC3}});
         },
         "read 4 bytes at", [](uint32_t) { return 0xFFE00000u; }},
        {"write to .rdata",  // mov byte [.rdata], 0; ret
         [](uint32_t b) {
             return cat({{0xC6, 0x05}, le32(section_start(".rdata", b)), {0x00, 0xC3}});
         },
         "wrote 1 bytes at", [](uint32_t b) { return section_start(".rdata", b); }},
        {"EBX not preserved",  // xor ebx, ebx; ret
         [](uint32_t) {
             return std::vector<uint8_t>{0x31, 0xDB, 0xC3};
         },
         "did not preserve EBX", nullptr},
        {"pops an argument it was not given",  // ret 4
         [](uint32_t) {
             return std::vector<uint8_t>{0xC2, 0x04, 0x00};
         },
         "left ESP at", nullptr},
        {"returns into the stack",  // push stack address; ret
         [](uint32_t) {
             return cat({{0x68}, le32(emu::layout::STACK_BASE + 0x100), {0xC3}});
         },
         "executed", [](uint32_t) { return emu::layout::STACK_BASE + 0x100; }},
        {"never returns",  // jmp $
         [](uint32_t) {
             return std::vector<uint8_t>{0xEB, 0xFE};
         },
         "still running after 1000 instructions", nullptr},
    };
    for (const BreachCase& c : cases) {
        SCOPED_TRACE(c.name);
        EmuPort port;
        port.dll.instruction_limit = 1000;
        uint32_t entry = port.dll.export_address("KOVA_INIT_SATA");
        port.dll.write(entry, c.code(port.dll.base()));
        port.dll.call("KOVA_INIT_SATA", {});
        const std::string& fault = port.dll.fault();
        EXPECT_NE(fault.find(c.says), std::string::npos) << fault;
        if (c.address) {
            std::ostringstream hex;
            hex << "0x" << std::hex << std::uppercase << c.address(port.dll.base());
            EXPECT_NE(fault.find(hex.str()), std::string::npos) << fault;
            EXPECT_NE(fault.find("instruction at 0x"), std::string::npos) << fault;
        }
    }
}

TEST(Emulator, UnpatchedExportPassesEveryCheck) {
    EmuPort port;
    port.dll.call("KOVA_INIT_SATA", {});
    EXPECT_EQ(port.dll.fault(), "");
    EXPECT_EQ(port.dll.instructions(), 1u) << "KOVA_INIT_SATA is a bare ret";
}

struct CheckRun {
    uint32_t code;
    int32_t count;
    uint64_t instructions;
    uint64_t flash_bytes;
};

CheckRun check_identical(EmuPort& port) {
    kimage::ImageOptions o;
    auto img = kimage::make_image(o).bytes;
    port.sim().SimWriteFlash(img.data(), uint32_t(img.size()));
    uint32_t buffer = port.host_buffer(img);
    uint64_t before = port.dll.instructions();
    uint64_t flash_before = port.dll.bytes_read_from(0xFFE00000, 0x200000);
    CheckRun r{};
    r.code = port.call("KOVA_check_bios_image", {buffer, 1, 0});
    std::vector<uint8_t> n = port.read("KOVA_block_count", 4);
    std::memcpy(&r.count, n.data(), 4);
    r.instructions = port.dll.instructions() - before;
    r.flash_bytes = port.dll.bytes_read_from(0xFFE00000, 0x200000) - flash_before;
    return r;
}

// The figure: instructions of a check of an identical image, and per byte
// of flash the DLL read through its mappings. It never moves between runs,
// and relocating the DLL does not change it.
TEST(Emulator, CheckOfAnIdenticalImageInInstructions) {
    EmuPort at_preferred;
    CheckRun first = check_identical(at_preferred);
    CheckRun again = check_identical(at_preferred);
    EmuPort relocated(emu::layout::RELOCATED_BASE);
    ASSERT_NE(relocated.dll.base(), emu::kova_image().preferred_base);
    CheckRun moved = check_identical(relocated);
    for (const CheckRun* r : {&first, &again, &moved}) {
        EXPECT_EQ(r->code, 0u);
        EXPECT_EQ(r->count, 32);
        EXPECT_EQ(r->instructions, first.instructions);
        EXPECT_EQ(r->flash_bytes, first.flash_bytes);
    }
    ASSERT_GT(first.flash_bytes, 0u);
    std::cout << "KOVA_check_bios_image, identical image: " << first.instructions << " instructions, "
              << first.flash_bytes << " flash bytes read, "
              << double(first.instructions) / double(first.flash_bytes) << " instructions per flash byte\n";
    ::testing::Test::RecordProperty("check_instructions", std::to_string(first.instructions));
    ::testing::Test::RecordProperty("check_flash_bytes", std::to_string(first.flash_bytes));
}

}  // namespace
