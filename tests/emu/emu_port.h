// The shared DLL cases' view of KOVA.dll in the CPU emulator, on a board
// of its own. The DLL file comes from $KOVA_DLL, else from the cross build
// beside this one.
#ifndef EMU_EMU_PORT_H
#define EMU_EMU_PORT_H

#include <optional>

#include "board.h"
#include "dll_cases.h"
#include "emulator.h"

namespace emu {

const PeImage& kova_image();

class EmuPort : public DllPort {
public:
    explicit EmuPort(std::optional<uint32_t> base = {});
    uint32_t call(const char* name, std::initializer_list<uint32_t> args) override;
    uint32_t address(const char* name) override { return dll.export_address(name); }
    std::vector<uint8_t> read(const char* name, size_t n) override;
    uint32_t host_buffer(const std::vector<uint8_t>& bytes) override { return dll.host_buffer(bytes); }
    const SimControl& sim() override;

    ~EmuPort() override;

    sim::Board board;
    DllEmulator dll;
};

}  // namespace emu

#endif
