#include "emu_port.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace emu {

const PeImage& kova_image() {
    static const PeImage image = [] {
        const char* path = std::getenv("KOVA_DLL");
        return load_pe(path && *path ? path : KOVA_DLL_DEFAULT);
    }();
    return image;
}

EmuPort::EmuPort(std::optional<uint32_t> base) : dll(kova_image(), board, base) {}

uint32_t EmuPort::call(const char* name, std::initializer_list<uint32_t> args) {
    uint32_t eax = dll.call(name, args);
    EXPECT_EQ(dll.fault(), "") << "calling " << name;
    return eax;
}

std::vector<uint8_t> EmuPort::read(const char* name, size_t n) {
    uint32_t at = dll.export_address(name);
    EXPECT_NE(at, 0u) << name << " is not exported";
    return at ? dll.read(at, n) : std::vector<uint8_t>(n, 0);
}

const SimControl& EmuPort::sim() {
    static const SimControl linked = [] {
        SimControl s;
#define KOVA_SIM_LINK(name) s.name = &::name;
        KOVA_SIM_CONTROLS(KOVA_SIM_LINK)
#undef KOVA_SIM_LINK
        return s;
    }();
    return linked;
}

}  // namespace emu

std::unique_ptr<DllPort> make_dll_port() { return std::make_unique<emu::EmuPort>(); }
