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

namespace {

// The simulator's memory regions as the emulator's windows; the board
// becomes the one the seven operations act on.
std::vector<Window> windows_of(sim::Board& board) {
    sim::install(&board);
    std::vector<Window> out;
    for (const sim::PhysMemory::RegionView& r : board.memory.regions()) {
        out.push_back({r.bytes, r.size});
    }
    return out;
}

}  // namespace

EmuPort::EmuPort(std::optional<uint32_t> base) : dll(kova_image(), windows_of(board), base) {}

EmuPort::~EmuPort() { sim::install(nullptr); }

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
