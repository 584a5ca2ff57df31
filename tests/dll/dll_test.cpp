// The real KOVA.dll, loaded under Wine the way a host loads it, with the
// board simulator's ZUNDA.dll beside it.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

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
