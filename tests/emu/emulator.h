// The real KOVA.dll in a CPU emulator (Unicorn, 32-bit x86), on any host:
// its sections at their preferred base (or relocated), its ZUNDA.dll
// imports bound to the board simulator, and every export called with a
// __stdcall frame. What a real loader cannot check, this one does on every
// call: each byte the DLL reads or writes lies in something mapped for it
// (its own sections, its stack, a host buffer, a live simulator mapping),
// no write reaches a read-only section, every instruction executed is in
// the code section or an import stub, the callee pops its own arguments
// and keeps EBX, ESI, EDI and EBP. Any breach stops the call and is
// reported with the address and the instruction.
#ifndef EMU_EMULATOR_H
#define EMU_EMULATOR_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <unicorn/unicorn.h>

#include <map>

#include "pe_image.h"

namespace emu {

// Guest address layout. Nothing sits at an address the DLL is handed as a
// physical address (the flash at 0xFFE00000, the F-segment, low RAM), so a
// physical address used as a pointer faults.
namespace layout {
constexpr uint32_t PAGE = 0x1000;
constexpr uint32_t STUB_BASE = 0x00010000;  // one import stub every STUB_SIZE bytes
constexpr uint32_t STUB_SIZE = 16;
constexpr uint32_t RETURN_ADDRESS = 0x00011000;  // every export call returns here
constexpr uint32_t STACK_BASE = 0x0F000000;
constexpr uint32_t STACK_SIZE = 0x00100000;
constexpr uint32_t HOST_ARENA = 0x20000000;  // buffers the host hands the DLL
constexpr uint32_t HOST_ARENA_SIZE = 0x04000000;
constexpr uint32_t RELOCATED_BASE = 0x30000000;
constexpr uint32_t SIM_WINDOWS = 0x40000000;  // the simulator's memory regions, a slot each
constexpr uint32_t SIM_WINDOW_SLOT = 0x01000000;
}  // namespace layout

// Host memory shown to the DLL: what a ZUNDA operation hands it (a
// mapping) must lie in one of these, byte for byte the same memory.
struct Window {
    uint8_t* bytes;
    uint32_t size;
};

class DllEmulator {
public:
    // Loads `image` at its preferred base, or at `base` with its base
    // relocations applied. Its imports call the seven ZUNDA operations this
    // program links (the simulator's, or a replay board's); the memory they
    // hand out lies in `windows`, or in a window added later. Throws
    // std::runtime_error when the image cannot be loaded (an import that is
    // not a ZUNDA operation).
    DllEmulator(const PeImage& image, const std::vector<Window>& windows, std::optional<uint32_t> base = {});
    ~DllEmulator();
    DllEmulator(const DllEmulator&) = delete;
    DllEmulator& operator=(const DllEmulator&) = delete;

    // Calls the export `name` with __stdcall `args`; returns EAX. After the
    // call fault() is empty, or says what the DLL did wrong and where.
    uint32_t call(const std::string& name, const std::vector<uint32_t>& args);
    const std::string& fault() const { return fault_; }

    uint32_t base() const { return base_; }
    // Guest address of an export, 0 when there is none.
    uint32_t export_address(const std::string& name) const;
    std::vector<uint8_t> read(uint32_t address, size_t n);
    void write(uint32_t address, const std::vector<uint8_t>& bytes);  // e.g. to patch code in a test
    // Copies `bytes` into the host arena; the DLL may read them (and write
    // them when `writable`). Returns their guest address.
    uint32_t host_buffer(const std::vector<uint8_t>& bytes, bool writable = false);

    // Instructions executed in the DLL's code since it was loaded (import
    // stubs not counted): the same inputs always give the same number.
    uint64_t instructions() const { return instructions_; }
    // Bytes the DLL has read through its mappings of physical memory at
    // [physical, physical + length).
    uint64_t bytes_read_from(uint32_t physical, uint32_t length) const;
    // Shows page-aligned host memory to the DLL from now on, or no longer.
    void add_window(uint8_t* bytes, uint32_t size);
    void remove_window(uint8_t* bytes);
    // A call that runs longer than this many instructions is stopped.
    uint64_t instruction_limit = 400'000'000;

private:
    struct Range {
        uint32_t begin, end;  // guest [begin, end)
        bool writable;
        uint32_t handle;    // mapping handle, 0 for what is not a mapping
        uint32_t physical;  // of a mapping's first byte
        std::string what;
    };

    static void on_code(uc_engine* uc, uint64_t address, uint32_t size, void* self);
    static uint64_t on_stack_read(uc_engine* uc, uint64_t offset, unsigned size, void* self);
    static void on_stack_write(uc_engine* uc, uint64_t offset, unsigned size, uint64_t value, void* self);
    static void on_access(uc_engine* uc, uc_mem_type type, uint64_t address, int size, int64_t value,
                          void* self);
    static bool on_unmapped(uc_engine* uc, uc_mem_type type, uint64_t address, int size, int64_t value,
                            void* self);

    void load(const PeImage& image);
    void bind_imports(const PeImage& image);
    void stub(uint32_t index);
    void map_region(uint32_t guest, uint32_t size, uint32_t perms);
    const Range* find(uint32_t address, uint32_t size);
    bool check_access(uint32_t address, uint32_t size, bool write, const char* who);
    void fail(const std::string& what);
    std::string where();
    uint32_t reg(int id);
    void set_reg(int id, uint32_t value);
    uint32_t arg(uint32_t index);  // argument of the import being dispatched
    uint32_t to_guest(const void* host) const;
    void* to_host(uint32_t guest) const;
    uint8_t* direct(uint32_t guest, size_t n);
    void read_into(uint32_t address, void* out, size_t n);
    void write_from(uint32_t address, const void* bytes, size_t n);

    uc_engine* uc_ = nullptr;
    // The stack is memory the emulator holds: arguments and results pass
    // through it directly. (A write through Unicorn's interface would
    // discard translated code for the page it writes, on every call.)
    std::vector<uint8_t> stack_ = std::vector<uint8_t>(layout::STACK_SIZE);
    uint32_t base_;
    uint32_t text_begin_ = 0, text_end_ = 0;
    std::vector<std::string> stub_names_;
    std::map<std::string, uint32_t> exports_;  // name -> RVA
    std::vector<Range> ranges_;
    const Range* last_hit_ = nullptr;
    std::vector<Window> windows_;  // slot i holds windows_[i]; a removed one has no bytes
    uint32_t arena_next_ = layout::HOST_ARENA;
    uint64_t instructions_ = 0;
    uint64_t call_instructions_ = 0;
    std::map<uint32_t, uint64_t> read_by_chunk_;  // bytes read through mappings, per 64 KiB of physical space
    std::string fault_;
    uc_hook hooks_[3] = {};
};

}  // namespace emu

#endif
