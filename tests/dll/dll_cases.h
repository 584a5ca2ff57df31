// The cases every run of the real KOVA.dll goes through, whatever loads it:
// Wine's loader on a host that runs 32-bit x86 code, or the CPU emulator
// on any host. Each runner provides a DllPort; the cases see the DLL only
// through it and the board only through the simulator's control interface.
#ifndef KOVA_DLL_CASES_H
#define KOVA_DLL_CASES_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

#include "control.h"

// The simulator controls the cases use, as function pointers: resolved
// from the simulated ZUNDA.dll under Wine, linked directly elsewhere.
// clang-format off
#define KOVA_SIM_CONTROLS(X)                                                   \
    X(SimTraceCount) X(SimTraceClear) X(SimTraceWrites)                        \
    X(SimLiveMappings) X(SimLiveAllocations)                                   \
    X(SimEcRamPeek) X(SimEcSetMode) X(SimEcSetBusyReads)                       \
    X(SimWriteFlash) X(SimReadPhys) X(SimSetRegister) X(SimFailMapping)        \
    X(SimFirmwareFault) X(SimFirmwareCallbacks) X(SimFirmwareClearLog)         \
    X(SimSmbusPeek)
// clang-format on

struct SimControl {
#define KOVA_SIM_MEMBER(name) decltype(&::name) name = nullptr;
    KOVA_SIM_CONTROLS(KOVA_SIM_MEMBER)
#undef KOVA_SIM_MEMBER
};

class DllPort {
public:
    virtual ~DllPort() = default;
    // Calls an exported function with __stdcall arguments; the result is
    // what the function leaves in EAX.
    virtual uint32_t call(const char* name, std::initializer_list<uint32_t> args) = 0;
    // Address of an exported datum as the DLL sees it; 0 when not exported.
    virtual uint32_t address(const char* name) = 0;
    // `n` bytes at that address.
    virtual std::vector<uint8_t> read(const char* name, size_t n) = 0;
    // A host buffer holding `bytes`, readable by the DLL; its address as the
    // DLL sees it. Valid until the port ends.
    virtual uint32_t host_buffer(const std::vector<uint8_t>& bytes) = 0;
    // The board's control interface.
    virtual const SimControl& sim() = 0;
};

// Made by the runner's own file: a port onto a freshly loaded DLL.
std::unique_ptr<DllPort> make_dll_port();

#endif
