// The real KOVA.dll, loaded under Wine the way a host loads it, with the
// board simulator's ZUNDA.dll beside it.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "builder.h"

namespace {

HMODULE kova() {
    static HMODULE h = LoadLibraryA("KOVA.dll");
    return h;
}

HMODULE zunda() { return GetModuleHandleA("ZUNDA.dll"); }

template <typename T>
T proc(HMODULE m, const char* name) {
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(m, name)));
}

TEST(KovaDll, LoadsWithTheSimulatorAsItsOnlyImport) {
    ASSERT_NE(kova(), nullptr) << "LoadLibrary failed: " << GetLastError();
    EXPECT_NE(zunda(), nullptr) << "ZUNDA.dll was not loaded with KOVA.dll";
    EXPECT_EQ(GetProcAddress(kova(), "_KOVA_get_ec_ram@4"), nullptr) << "exports must be undecorated";
}

struct DataExport {
    const char* name;
    size_t size;
    const char* text;  // nullptr: a 32-bit number
    uint32_t number;
};

TEST(KovaDll, ExportedDataByNameAtLoad) {
    const DataExport table[] = {
        {"KOVA_mb", 4, "K5R", 0},
        {"KOVA_customer", 8, "ZALT", 0},
        {"KOVA_major_version", 4, "05", 0},
        {"KOVA_minor_version", 4, "01", 0},
        {"KOVA_date", 12, "03/24/2009", 0},
        {"KOVA_flash_size", 4, nullptr, 0x200000},
        {"KOVA_message", 128, "", 0},
        {"KOVA_caller_id", 4, nullptr, 0},
        {"KOVA_block_count", 4, nullptr, 0},
    };
    const char* previous = nullptr;
    for (const DataExport& e : table) {
        auto* p = proc<const char*>(kova(), e.name);
        ASSERT_NE(p, nullptr) << e.name;
        if (e.text) {
            EXPECT_EQ(std::string(p), e.text) << e.name;
            for (size_t i = std::strlen(e.text); i < e.size; ++i) {
                EXPECT_EQ(p[i], 0) << e.name << " byte " << i;
            }
        } else {
            uint32_t v;
            std::memcpy(&v, p, 4);
            EXPECT_EQ(v, e.number) << e.name;
            EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 4, 0u) << e.name << " must be aligned";
        }
        if (previous) {
            EXPECT_GE(p, previous) << e.name << " out of order";
        }
        previous = p + e.size;
    }
}

TEST(KovaDll, EcByteRoundTripsThroughTheSimulatedController) {
    auto set = proc<void(WINAPI*)(uint32_t, uint32_t)>(kova(), "KOVA_set_ec_ram");
    auto get = proc<uint32_t(WINAPI*)(uint32_t)>(kova(), "KOVA_get_ec_ram");
    auto peek = proc<uint32_t(WINAPI*)(uint32_t)>(zunda(), "SimEcRamPeek");
    auto busy = proc<void(WINAPI*)(uint32_t)>(zunda(), "SimEcSetBusyReads");
    ASSERT_TRUE(set && get && peek && busy);
    for (uint32_t reads : {0u, 3u}) {
        busy(reads);
        set(0x133, 0x1A5);  // only the low bytes reach the controller
        EXPECT_EQ(peek(0x33), 0xA5u);
        EXPECT_EQ(get(0x33), 0xA5u);
    }
    busy(0);
}

TEST(KovaDll, DeadControllerReadGivesUpWithFF) {
    auto get = proc<uint32_t(WINAPI*)(uint32_t)>(kova(), "KOVA_get_ec_ram");
    auto mode = proc<void(WINAPI*)(uint32_t)>(zunda(), "SimEcSetMode");
    auto clear = proc<void(WINAPI*)()>(zunda(), "SimTraceClear");
    auto writes = proc<uint32_t(WINAPI*)(uint32_t, uint32_t*, uint32_t)>(zunda(), "SimTraceWrites");
    auto count = proc<uint32_t(WINAPI*)()>(zunda(), "SimTraceCount");
    ASSERT_TRUE(get && mode && clear && writes && count);
    clear();
    mode(1);
    EXPECT_EQ(get(0x10), 0xFFu);
    mode(0);
    EXPECT_EQ(writes(0x66, nullptr, 0), 0u) << "no command after the wait gave up";
    EXPECT_EQ(writes(0x62, nullptr, 0), 0u);
    EXPECT_EQ(count(), 2u * 0x40000u - 1u) << "limit status reads with delays between";
}

// The update entries through the real DLL: exports, __stdcall and the
// record passed by value across the DLL boundary all take part.
class KovaDllUpdate : public ::testing::Test {
protected:
    using Entry = uint32_t(WINAPI*)(const void*, uint32_t, uint32_t);
    Entry update = proc<Entry>(kova(), "KOVA_update_bios_firmware");
    Entry check = proc<Entry>(kova(), "KOVA_check_bios_image");
    const char* message = proc<const char*>(kova(), "KOVA_message");
    const int32_t* count = proc<const int32_t*>(kova(), "KOVA_block_count");
    uint32_t(WINAPI* write_flash)(const void*, uint32_t) = proc<decltype(write_flash)>(zunda(),
                                                                                       "SimWriteFlash");
    void(WINAPI* fault)(uint32_t, uint32_t) = proc<decltype(fault)>(zunda(), "SimFirmwareFault");
    uint32_t(WINAPI* callbacks)(uint32_t) = proc<decltype(callbacks)>(zunda(), "SimFirmwareCallbacks");
    void(WINAPI* clear_log)() = proc<decltype(clear_log)>(zunda(), "SimFirmwareClearLog");
    void(WINAPI* set_reg)(uint32_t, uint32_t) = proc<decltype(set_reg)>(zunda(), "SimSetRegister");
    void(WINAPI* fail_map)(uint32_t) = proc<decltype(fail_map)>(zunda(), "SimFailMapping");
    uint32_t(WINAPI* live_maps)() = proc<decltype(live_maps)>(zunda(), "SimLiveMappings");
    uint32_t(WINAPI* live_allocs)() = proc<decltype(live_allocs)>(zunda(), "SimLiveAllocations");
    void*(WINAPI* map)(uint32_t, uint32_t, uint32_t*) = proc<decltype(map)>(zunda(), "MapPhysToLin");
    uint32_t(WINAPI* unmap)(uint32_t, void*) = proc<decltype(unmap)>(zunda(), "UnmapPhysicalMemory");

    static constexpr uint32_t HANDLE = 1;

    void SetUp() override {
        ASSERT_TRUE(update && check && message && count && write_flash && fault && callbacks && clear_log &&
                    set_reg && fail_map && live_maps && live_allocs && map && unmap);
        fault(0, 0);
        fail_map(0);
        set_reg(0xFEA1, 0);
        clear_log();
    }
    void TearDown() override {
        EXPECT_EQ(live_maps(), 0u) << "a window is still mapped";
        EXPECT_EQ(live_allocs(), 0u) << "the transfer buffer is still allocated";
        fault(0, 0);
        fail_map(0);
    }
    static std::vector<uint8_t> image(uint64_t seed, uint8_t revision = 1) {
        kimage::ImageOptions o;
        o.seed = seed;
        o.revision = revision;
        return kimage::make_image(o).bytes;
    }
    std::vector<uint8_t> flash() {
        uint32_t h = 0;
        auto* p = static_cast<uint8_t*>(map(0xFFE00000, 0x200000, &h));
        std::vector<uint8_t> out(p, p + 0x200000);
        unmap(h, p);
        return out;
    }
};

TEST_F(KovaDllUpdate, CheckThenUpdateFromAToB) {
    auto a = image(1), b = image(2);
    ASSERT_EQ(write_flash(a.data(), uint32_t(a.size())), 1u);
    EXPECT_EQ(check(b.data(), HANDLE, 0), 0u);
    EXPECT_STREQ(message, "Image validation sucessfully completed. ");
    EXPECT_EQ(*count, 528);
    EXPECT_EQ(callbacks(0x20), 1u);
    EXPECT_EQ(callbacks(0x24), 1u);
    EXPECT_EQ(callbacks(0xFFFFFFFF), 2u);
    EXPECT_EQ(flash(), a) << "a check writes nothing";

    EXPECT_EQ(update(b.data(), HANDLE, 0), 0u);
    EXPECT_STREQ(message, "BIOS update successfully completed. ");
    EXPECT_EQ(*count, 0);
    EXPECT_EQ(callbacks(0x23), 528u);
    auto want = b;
    std::copy(a.begin() + 0x1E0000, a.begin() + 0x1F0000, want.begin() + 0x1E0000);
    EXPECT_TRUE(flash() == want);
}

TEST_F(KovaDllUpdate, SkipBitLeavesOutPassC) {
    auto a = image(1);
    write_flash(a.data(), uint32_t(a.size()));
    set_reg(0xFEA1, 0x80);
    EXPECT_EQ(check(a.data(), HANDLE, 0), 0u);
    EXPECT_EQ(*count, 16);
    set_reg(0xFEA1, 0x00);
    EXPECT_EQ(check(a.data(), HANDLE, 0), 0u);
    EXPECT_EQ(*count, 32);
}

struct DllFailureCase {
    const char* name;
    uint32_t fault, fault_value, failing_map;
    uint8_t installed_revision;
    bool null_image;
    uint32_t code;
    const char* message;
};

TEST_F(KovaDllUpdate, FailuresReportTheirCodeAndMessage) {
    const DllFailureCase cases[] = {
        {"null image", 0, 0, 0, 0, true, 0x80000000, "Image integrity check failed."},
        {"installed revision 2", 0, 0, 0, 2, false, 0x80000005, "Image outdated. "},
        {"top window refused", 0, 0, 0xFFFF0000, 0, false, 0x80000020, "Driver shell error."},
        {"write-protected flash", 1, 0, 0, 0, false, 0x80000030, "Flash write failed."},
        {"firmware grows the record length", 4, 0x2000, 0, 0, false, 0x80000030, "Flash write failed."},
    };
    auto b = image(2);
    for (const DllFailureCase& c : cases) {
        auto a = image(1, c.installed_revision);
        write_flash(a.data(), uint32_t(a.size()));
        fault(0, 0);
        if (c.fault) {
            fault(c.fault, c.fault_value);
        }
        fail_map(c.failing_map);
        EXPECT_EQ(update(c.null_image ? nullptr : b.data(), HANDLE, 0), c.code) << c.name;
        EXPECT_STREQ(message, c.message) << c.name;
        EXPECT_EQ(live_maps(), 0u) << c.name;
        EXPECT_EQ(live_allocs(), 0u) << c.name;
        fail_map(0);
    }
}

// The device exports, each called through the real DLL.
TEST(KovaDll, DeviceExports) {
    auto read_byte = proc<uint32_t(WINAPI*)(uint32_t)>(kova(), "KOVA_read_flash_byte");
    using SmbusWrite = uint32_t(WINAPI*)(uint32_t, uint32_t, uint32_t);
    auto write_byte = proc<SmbusWrite>(kova(), "KOVA_smbus_write_byte");
    auto write_word = proc<SmbusWrite>(kova(), "KOVA_smbus_write_word");
    auto write_block = proc<SmbusWrite>(kova(), "KOVA_smbus_write_block");
    auto acquire = proc<void(WINAPI*)()>(kova(), "ACPI_require_global_lock");
    auto release = proc<void(WINAPI*)()>(kova(), "ACPI_release_global_lock");
    auto init_sata = proc<void(WINAPI*)()>(kova(), "KOVA_INIT_SATA");
    auto peek = proc<uint32_t(WINAPI*)(uint32_t)>(zunda(), "SimSmbusPeek");
    auto map = proc<void*(WINAPI*)(uint32_t, uint32_t, uint32_t*)>(zunda(), "MapPhysToLin");
    auto unmap = proc<uint32_t(WINAPI*)(uint32_t, void*)>(zunda(), "UnmapPhysicalMemory");
    auto live = proc<uint32_t(WINAPI*)()>(zunda(), "SimLiveMappings");
    ASSERT_TRUE(read_byte && write_byte && write_word && write_block && acquire && release && init_sata &&
                peek && map && unmap && live);

    uint32_t h = 0;
    auto* flash = static_cast<const uint8_t*>(map(0xFFE00000, 0x200000, &h));
    ASSERT_NE(flash, nullptr);
    EXPECT_EQ(read_byte(0x1234), flash[0x1234 + 15]) << "the sixteenth byte clocked from 0x1234";
    unmap(h, const_cast<uint8_t*>(flash));

    EXPECT_EQ(write_byte(0xA1, 0x40, 0x5A), 0x025Au);
    EXPECT_EQ(write_word(0xA0, 0x41, 0x1234), 0x0234u);
    EXPECT_EQ(write_block(0xA0, 0x50, 0) >> 8, 0x02u);
    EXPECT_EQ(write_byte(0x30, 0, 0) >> 8, 0x04u) << "absent slave";
    EXPECT_EQ(peek(0x40), 0x5Au);
    EXPECT_EQ(peek(0x42), 0x12u);

    auto* facs = static_cast<volatile uint32_t*>(map(0x00210000, 64, &h));
    ASSERT_NE(facs, nullptr);
    acquire();
    EXPECT_EQ(facs[4], 0x2u) << "owned";
    release();
    EXPECT_EQ(facs[4], 0x0u);
    unmap(h, const_cast<uint32_t*>(facs));
    init_sata();
    EXPECT_EQ(live(), 0u);
}

TEST(KovaDll, VersionResourceNamesProduct51AndTheDate) {
    char path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(kova(), path, MAX_PATH), 0u);
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &len));
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00050001u);
    const std::pair<const char*, const char*> strings[] = {
        {"ProductVersion", "05.01"}, {"BuildDate", "03/24/2009"}, {"OriginalFilename", "KOVA.dll"}};
    for (const auto& [key, want] : strings) {
        char* value = nullptr;
        std::string q = std::string("\\StringFileInfo\\040904B0\\") + key;
        ASSERT_TRUE(VerQueryValueA(info.data(), q.c_str(), reinterpret_cast<void**>(&value), &len)) << key;
        EXPECT_STREQ(value, want) << key;
    }
}

}  // namespace
