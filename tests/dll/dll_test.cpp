// The real KOVA.dll, loaded under Wine the way a host loads it, with the
// board simulator's ZUNDA.dll beside it: the shared cases of dll_cases.cpp
// through Wine's loader, and what only a Windows loader can show.
#include <gtest/gtest.h>
#include <windows.h>

#include <list>
#include <string>
#include <vector>

#include "dll_cases.h"

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

// The shared cases' view of the DLL through Wine's loader.
class WinePort : public DllPort {
public:
    WinePort() {
        kova();  // ZUNDA.dll comes in with it
#define KOVA_SIM_RESOLVE(name) sim_.name = proc<decltype(&::name)>(zunda(), #name);
        KOVA_SIM_CONTROLS(KOVA_SIM_RESOLVE)
#undef KOVA_SIM_RESOLVE
    }
    uint32_t call(const char* name, std::initializer_list<uint32_t> args) override {
        void* f = reinterpret_cast<void*>(GetProcAddress(kova(), name));
        EXPECT_NE(f, nullptr) << name << " is not exported";
        if (!f) {
            return 0xFFFFFFFF;
        }
        const uint32_t* a = args.begin();
        switch (args.size()) {
        case 0:
            return reinterpret_cast<uint32_t(WINAPI*)()>(f)();
        case 1:
            return reinterpret_cast<uint32_t(WINAPI*)(uint32_t)>(f)(a[0]);
        case 2:
            return reinterpret_cast<uint32_t(WINAPI*)(uint32_t, uint32_t)>(f)(a[0], a[1]);
        case 3:
            return reinterpret_cast<uint32_t(WINAPI*)(uint32_t, uint32_t, uint32_t)>(f)(a[0], a[1], a[2]);
        default:
            ADD_FAILURE() << "no export takes " << args.size() << " arguments";
            return 0xFFFFFFFF;
        }
    }
    uint32_t address(const char* name) override {
        return uint32_t(reinterpret_cast<uintptr_t>(GetProcAddress(kova(), name)));
    }
    std::vector<uint8_t> read(const char* name, size_t n) override {
        const auto* p = reinterpret_cast<const uint8_t*>(GetProcAddress(kova(), name));
        return p ? std::vector<uint8_t>(p, p + n) : std::vector<uint8_t>(n, 0);
    }
    uint32_t host_buffer(const std::vector<uint8_t>& bytes) override {
        buffers_.push_back(bytes);
        return uint32_t(reinterpret_cast<uintptr_t>(buffers_.back().data()));
    }
    const SimControl& sim() override { return sim_; }

private:
    SimControl sim_;
    std::list<std::vector<uint8_t>> buffers_;
};

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

std::unique_ptr<DllPort> make_dll_port() { return std::make_unique<WinePort>(); }
