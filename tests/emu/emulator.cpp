#include "emulator.h"

#include <cstring>
#include <iomanip>
#include <sstream>
#include <stdexcept>

#include "zunda.h"

namespace emu {

namespace {

constexpr uint8_t OP_RET_IMM16 = 0xC2;  // ret n: the callee pops n bytes of arguments
constexpr uint8_t OP_HLT = 0xF4;
constexpr uint32_t READ_CHUNK_SHIFT = 16;

// Sentinels in the callee-saved registers: a call must hand them back.
constexpr uint32_t SENTINEL_EBX = 0xB1B2B3B4;
constexpr uint32_t SENTINEL_ESI = 0x51525354;
constexpr uint32_t SENTINEL_EDI = 0xD1D2D3D4;
constexpr uint32_t SENTINEL_EBP = 0xE1E2E3E4;
constexpr uint32_t SENTINEL_OTHERS = 0xCCCCCCCC;

// The seven ZUNDA operations: name, bytes of __stdcall arguments.
struct ZundaOp {
    const char* name;
    uint16_t arg_bytes;
};
constexpr ZundaOp ZUNDA_OPS[] = {
    {"GetPortVal", 12},        {"SetPortVal", 12},    {"MapPhysToLin", 12},   {"UnmapPhysicalMemory", 8},
    {"AllocatePhysMemory", 8}, {"FreePhysMemory", 4}, {"SEG32_CALLBACK", 24},  // the handle, then the 17-byte
                                                                               // record padded to 20
};
constexpr uint32_t RECORD_BYTES = 17;

uint32_t page_up(uint64_t n) { return uint32_t((n + layout::PAGE - 1) & ~uint64_t(layout::PAGE - 1)); }

std::string hex(uint64_t v) {
    std::ostringstream o;
    o << "0x" << std::hex << std::uppercase << v;
    return o.str();
}

void check_uc(uc_err e, const std::string& what) {
    if (e != UC_ERR_OK) {
        throw std::runtime_error(what + ": " + uc_strerror(e));
    }
}
// The same for a call made on every import the DLL calls: the text is only
// made when the call failed.
void check_uc(uc_err e, const char* what, uint32_t address) {
    if (e != UC_ERR_OK) {
        check_uc(e, what + hex(address));
    }
}

}  // namespace

DllEmulator::DllEmulator(const PeImage& image, const std::vector<Window>& windows,
                         std::optional<uint32_t> base)
    : base_(base.value_or(image.preferred_base)) {
    check_uc(uc_open(UC_ARCH_X86, UC_MODE_32, &uc_), "uc_open");
    load(image);
    bind_imports(image);

    check_uc(
        uc_mmio_map(uc_, layout::STACK_BASE, layout::STACK_SIZE, &on_stack_read, this, &on_stack_write, this),
        "mapping the stack");
    ranges_.push_back({layout::STACK_BASE, layout::STACK_BASE + layout::STACK_SIZE, true, 0, 0, "stack"});
    map_region(layout::RETURN_ADDRESS, layout::PAGE, UC_PROT_READ | UC_PROT_EXEC);
    write(layout::RETURN_ADDRESS, {OP_HLT});

    // The board's memory, one window per region, shared byte for byte:
    // what the firmware writes to the flash, the DLL reads, and back.
    for (const Window& w : windows) {
        add_window(w.bytes, w.size);
    }

    check_uc(uc_hook_add(uc_, &hooks_[0], UC_HOOK_CODE, reinterpret_cast<void*>(&on_code), this, 1, 0),
             "code hook");
    check_uc(uc_hook_add(uc_, &hooks_[1], UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE,
                         reinterpret_cast<void*>(&on_access), this, 1, 0),
             "access hook");
    check_uc(
        uc_hook_add(uc_, &hooks_[2], UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&on_unmapped), this, 1, 0),
        "unmapped hook");
}

DllEmulator::~DllEmulator() { uc_close(uc_); }

void DllEmulator::add_window(uint8_t* bytes, uint32_t size) {
    size_t slot = 0;
    while (slot < windows_.size() && windows_[slot].bytes != nullptr) {
        ++slot;
    }
    if (slot == windows_.size()) {
        windows_.push_back({});
    }
    if (page_up(size) > layout::SIM_WINDOW_SLOT ||
        uint64_t(layout::SIM_WINDOWS) + (slot + 1) * uint64_t(layout::SIM_WINDOW_SLOT) > 0xF0000000u) {
        throw std::runtime_error("no room for another window of memory");
    }
    uint32_t guest = layout::SIM_WINDOWS + uint32_t(slot) * layout::SIM_WINDOW_SLOT;
    check_uc(uc_mem_map_ptr(uc_, guest, page_up(size), UC_PROT_READ | UC_PROT_WRITE, bytes),
             "mapping board memory");
    windows_[slot] = {bytes, size};
}

void DllEmulator::remove_window(uint8_t* bytes) {
    for (size_t slot = 0; slot < windows_.size(); ++slot) {
        if (windows_[slot].bytes == bytes) {
            uint32_t guest = layout::SIM_WINDOWS + uint32_t(slot) * layout::SIM_WINDOW_SLOT;
            check_uc(uc_mem_unmap(uc_, guest, page_up(windows_[slot].size)), "unmapping board memory");
            windows_[slot] = {};
            last_hit_ = nullptr;
            return;
        }
    }
}

void DllEmulator::map_region(uint32_t guest, uint32_t size, uint32_t perms) {
    check_uc(uc_mem_map(uc_, guest, page_up(size), perms), "mapping " + hex(guest));
}

// Lays the sections out as the Windows loader does: each at base + RVA,
// zero-filled to its virtual size, with its own access rights; then applies
// the base relocations when the image does not sit at its preferred base.
void DllEmulator::load(const PeImage& image) {
    std::vector<uint8_t> flat(image.size_of_image, 0);
    for (const PeSection& s : image.sections) {
        if (uint64_t(s.rva) + s.virtual_size > flat.size()) {
            throw std::runtime_error("section " + s.name + " lies outside the image");
        }
        std::copy(s.bytes.begin(), s.bytes.end(), flat.begin() + s.rva);
    }
    uint32_t delta = base_ - image.preferred_base;
    for (uint32_t rva : image.relocations) {
        if (uint64_t(rva) + 4 > flat.size()) {
            throw std::runtime_error("relocation outside the image at " + hex(rva));
        }
        uint32_t v;
        std::memcpy(&v, &flat[rva], 4);
        v += delta;
        std::memcpy(&flat[rva], &v, 4);
    }
    for (const PeSection& s : image.sections) {
        if (s.virtual_size == 0) {
            continue;
        }
        uint32_t at = base_ + s.rva;
        uint32_t perms = UC_PROT_READ | (s.writable ? UC_PROT_WRITE : 0) | (s.executable ? UC_PROT_EXEC : 0);
        map_region(at, s.virtual_size, perms);
        check_uc(uc_mem_write(uc_, at, &flat[s.rva], s.virtual_size), "loading " + s.name);
        ranges_.push_back({at, at + s.virtual_size, s.writable, 0, 0, "section " + s.name});
        if (s.executable) {
            if (text_end_ != 0) {
                throw std::runtime_error("more than one code section");
            }
            text_begin_ = at;
            text_end_ = at + s.virtual_size;
        }
    }
    if (text_end_ == 0) {
        throw std::runtime_error("no code section");
    }
}

// Each import slot gets the address of a stub whose one instruction is the
// operation's own `ret n`; the code hook runs the simulator's operation as
// execution reaches the stub, so the DLL sees a real __stdcall callee.
void DllEmulator::bind_imports(const PeImage& image) {
    map_region(layout::STUB_BASE, layout::PAGE, UC_PROT_READ | UC_PROT_EXEC);
    for (const PeImport& imp : image.imports) {
        if (imp.dll != "ZUNDA.dll") {
            throw std::runtime_error("imports from " + imp.dll + ", not ZUNDA.dll");
        }
        const ZundaOp* op = nullptr;
        for (const ZundaOp& z : ZUNDA_OPS) {
            if (imp.name == z.name) {
                op = &z;
            }
        }
        if (!op) {
            throw std::runtime_error("imports " + imp.name + ", not a ZUNDA operation");
        }
        uint32_t at = layout::STUB_BASE + uint32_t(stub_names_.size()) * layout::STUB_SIZE;
        write(at, {OP_RET_IMM16, uint8_t(op->arg_bytes), uint8_t(op->arg_bytes >> 8)});
        std::vector<uint8_t> slot(4);
        std::memcpy(slot.data(), &at, 4);
        write(base_ + imp.iat_rva, slot);
        stub_names_.push_back(imp.name);
    }
    exports_ = image.exports;
}

uint32_t DllEmulator::export_address(const std::string& name) const {
    auto it = exports_.find(name);
    return it == exports_.end() ? 0 : base_ + it->second;
}

std::vector<uint8_t> DllEmulator::read(uint32_t address, size_t n) {
    std::vector<uint8_t> out(n);
    read_into(address, out.data(), n);
    return out;
}

void DllEmulator::write(uint32_t address, const std::vector<uint8_t>& bytes) {
    write_from(address, bytes.data(), bytes.size());
}

void DllEmulator::read_into(uint32_t address, void* out, size_t n) {
    if (const uint8_t* p = direct(address, n)) {
        std::memcpy(out, p, n);
    } else {
        check_uc(uc_mem_read(uc_, address, out, n), "reading ", address);
    }
}

void DllEmulator::write_from(uint32_t address, const void* bytes, size_t n) {
    if (uint8_t* p = direct(address, n)) {
        std::memcpy(p, bytes, n);
    } else {
        check_uc(uc_mem_write(uc_, address, bytes, n), "writing ", address);
    }
}

// Guest memory that is host memory too, the stack or a window of the
// board's, as a host pointer to all `n` bytes; null for anything else.
uint8_t* DllEmulator::direct(uint32_t guest, size_t n) {
    if (guest >= layout::STACK_BASE &&
        uint64_t(guest) + n <= uint64_t(layout::STACK_BASE) + layout::STACK_SIZE) {
        return stack_.data() + (guest - layout::STACK_BASE);
    }
    uint32_t slot = (guest - layout::SIM_WINDOWS) / layout::SIM_WINDOW_SLOT;
    uint32_t offset = (guest - layout::SIM_WINDOWS) % layout::SIM_WINDOW_SLOT;
    if (guest >= layout::SIM_WINDOWS && slot < windows_.size() && windows_[slot].bytes &&
        offset + uint64_t(n) <= windows_[slot].size) {
        return windows_[slot].bytes + offset;
    }
    return nullptr;
}

uint32_t DllEmulator::host_buffer(const std::vector<uint8_t>& bytes, bool writable) {
    uint32_t size = page_up(bytes.empty() ? 1 : bytes.size());
    if (uint64_t(arena_next_) + size > uint64_t(layout::HOST_ARENA) + layout::HOST_ARENA_SIZE) {
        throw std::runtime_error("host arena exhausted");
    }
    uint32_t at = arena_next_;
    arena_next_ += size + layout::PAGE;  // an unmapped page between buffers
    map_region(at, size, UC_PROT_READ | UC_PROT_WRITE);
    write(at, bytes);
    ranges_.push_back({at, at + uint32_t(bytes.size()), writable, 0, 0, "host buffer"});
    last_hit_ = nullptr;
    return at;
}

uint64_t DllEmulator::bytes_read_from(uint32_t physical, uint32_t length) const {
    uint64_t n = 0;
    for (const auto& [chunk, bytes] : read_by_chunk_) {
        uint64_t at = uint64_t(chunk) << READ_CHUNK_SHIFT;
        if (at >= physical && at < uint64_t(physical) + length) {
            n += bytes;
        }
    }
    return n;
}

uint32_t DllEmulator::reg(int id) {
    uint32_t v = 0;
    uc_reg_read(uc_, id, &v);
    return v;
}

void DllEmulator::set_reg(int id, uint32_t value) { uc_reg_write(uc_, id, &value); }

uint32_t DllEmulator::call(const std::string& name, const std::vector<uint32_t>& args) {
    fault_.clear();
    uint32_t entry = export_address(name);
    if (entry == 0) {
        fault_ = name + " is not exported";
        return 0xFFFFFFFF;
    }
    // Arguments right to left, then the return address, as a caller's
    // `call` leaves them; the callee must pop the arguments itself.
    uint32_t top = layout::STACK_BASE + layout::STACK_SIZE - 64;
    uint32_t esp = top - 4 * uint32_t(args.size()) - 4;
    std::vector<uint8_t> frame(4 + 4 * args.size());
    std::memcpy(frame.data(), &layout::RETURN_ADDRESS, 4);
    for (size_t i = 0; i < args.size(); ++i) {
        std::memcpy(&frame[4 + 4 * i], &args[i], 4);
    }
    write(esp, frame);
    set_reg(UC_X86_REG_ESP, esp);
    set_reg(UC_X86_REG_EBX, SENTINEL_EBX);
    set_reg(UC_X86_REG_ESI, SENTINEL_ESI);
    set_reg(UC_X86_REG_EDI, SENTINEL_EDI);
    set_reg(UC_X86_REG_EBP, SENTINEL_EBP);
    set_reg(UC_X86_REG_EAX, SENTINEL_OTHERS);
    set_reg(UC_X86_REG_ECX, SENTINEL_OTHERS);
    set_reg(UC_X86_REG_EDX, SENTINEL_OTHERS);
    call_instructions_ = 0;

    uc_err e = uc_emu_start(uc_, entry, layout::RETURN_ADDRESS, 0, 0);
    if (fault_.empty() && e != UC_ERR_OK) {
        fault_ = name + ": " + uc_strerror(e) + where();
    }
    if (!fault_.empty()) {
        return 0xFFFFFFFF;
    }
    if (reg(UC_X86_REG_EIP) != layout::RETURN_ADDRESS) {
        fault_ = name + " stopped before returning" + where();
    } else if (reg(UC_X86_REG_ESP) != top) {
        fault_ = name + " left ESP at " + hex(reg(UC_X86_REG_ESP)) + ", not " + hex(top) + " (" +
                 std::to_string(args.size()) + " arguments of 4 bytes)";
    } else {
        const std::pair<int, uint32_t> saved[] = {{UC_X86_REG_EBX, SENTINEL_EBX},
                                                  {UC_X86_REG_ESI, SENTINEL_ESI},
                                                  {UC_X86_REG_EDI, SENTINEL_EDI},
                                                  {UC_X86_REG_EBP, SENTINEL_EBP}};
        const char* names[] = {"EBX", "ESI", "EDI", "EBP"};
        for (size_t i = 0; i < 4; ++i) {
            if (reg(saved[i].first) != saved[i].second) {
                fault_ = name + " did not preserve " + names[i];
                break;
            }
        }
    }
    return reg(UC_X86_REG_EAX);
}

void DllEmulator::fail(const std::string& what) {
    if (fault_.empty()) {
        fault_ = what + where();
    }
    uc_emu_stop(uc_);
}

// The instruction that was running: its address, its place in the DLL and
// its first bytes.
std::string DllEmulator::where() {
    uint32_t eip = reg(UC_X86_REG_EIP);
    std::ostringstream o;
    o << " (instruction at " << hex(eip);
    if (eip >= text_begin_ && eip < text_end_) {
        o << ", DLL RVA " << hex(eip - base_);
        uint8_t bytes[8] = {};
        if (uc_mem_read(uc_, eip, bytes, sizeof bytes) == UC_ERR_OK) {
            o << ", bytes";
            for (uint8_t b : bytes) {
                o << ' ' << std::hex << std::setw(2) << std::setfill('0') << unsigned(b);
            }
        }
    }
    o << ")";
    return o.str();
}

const DllEmulator::Range* DllEmulator::find(uint32_t address, uint32_t size) {
    uint64_t end = uint64_t(address) + size;
    if (last_hit_ && address >= last_hit_->begin && end <= last_hit_->end) {
        return last_hit_;
    }
    for (const Range& r : ranges_) {
        if (address >= r.begin && end <= r.end) {
            last_hit_ = &r;
            return &r;
        }
    }
    return nullptr;
}

bool DllEmulator::check_access(uint32_t address, uint32_t size, bool write, const char* who) {
    const Range* r = find(address, size);
    if (!r) {
        fail(std::string(who) + (write ? " wrote " : " read ") + std::to_string(size) + " bytes at " +
             hex(address) + ", outside everything mapped for it");
        return false;
    }
    if (write && !r->writable) {
        fail(std::string(who) + " wrote " + std::to_string(size) + " bytes at " + hex(address) +
             " in read-only " + r->what);
        return false;
    }
    if (!write && r->handle != 0) {
        read_by_chunk_[(r->physical + (address - r->begin)) >> READ_CHUNK_SHIFT] += uint32_t(size);
    }
    return true;
}

void DllEmulator::on_code(uc_engine*, uint64_t address, uint32_t, void* self) {
    auto* e = static_cast<DllEmulator*>(self);
    uint32_t at = uint32_t(address);
    if (at >= e->text_begin_ && at < e->text_end_) {
        ++e->instructions_;
        if (++e->call_instructions_ > e->instruction_limit) {
            e->fail("still running after " + std::to_string(e->instruction_limit) + " instructions");
        }
        return;
    }
    uint32_t index = (at - layout::STUB_BASE) / layout::STUB_SIZE;
    if (at >= layout::STUB_BASE && (at - layout::STUB_BASE) % layout::STUB_SIZE == 0 &&
        index < e->stub_names_.size()) {
        e->stub(index);
        return;
    }
    e->fail("executed " + hex(at) + ", outside the DLL's code section and the import stubs");
}

uint64_t DllEmulator::on_stack_read(uc_engine*, uint64_t offset, unsigned size, void* self) {
    uint64_t v = 0;
    std::memcpy(&v, static_cast<DllEmulator*>(self)->stack_.data() + offset, size);
    return v;
}

void DllEmulator::on_stack_write(uc_engine*, uint64_t offset, unsigned size, uint64_t value, void* self) {
    std::memcpy(static_cast<DllEmulator*>(self)->stack_.data() + offset, &value, size);
}

void DllEmulator::on_access(uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t, void* self) {
    auto* e = static_cast<DllEmulator*>(self);
    e->check_access(uint32_t(address), uint32_t(size), type == UC_MEM_WRITE, "the DLL");
}

bool DllEmulator::on_unmapped(uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t, void* self) {
    auto* e = static_cast<DllEmulator*>(self);
    const char* what = type == UC_MEM_WRITE_UNMAPPED || type == UC_MEM_WRITE_PROT   ? " wrote "
                       : type == UC_MEM_FETCH_UNMAPPED || type == UC_MEM_FETCH_PROT ? " executed "
                                                                                    : " read ";
    e->fail(std::string("the DLL") + what + std::to_string(size) + " bytes at " + hex(address) +
            (type == UC_MEM_WRITE_PROT ? " in a read-only page" : ", where nothing is mapped"));
    return false;
}

uint32_t DllEmulator::arg(uint32_t index) {
    uint32_t v = 0;
    uint32_t at = reg(UC_X86_REG_ESP) + 4 + 4 * index;
    if (const uint8_t* p = direct(at, 4)) {
        std::memcpy(&v, p, 4);
    } else {
        uc_mem_read(uc_, at, &v, 4);  // from inside a hook: no exception through Unicorn; 0 when unreadable
    }
    return v;
}

uint32_t DllEmulator::to_guest(const void* host) const {
    auto* p = static_cast<const uint8_t*>(host);
    for (size_t i = 0; i < windows_.size(); ++i) {
        if (windows_[i].bytes && p >= windows_[i].bytes && p < windows_[i].bytes + windows_[i].size) {
            return layout::SIM_WINDOWS + uint32_t(i) * layout::SIM_WINDOW_SLOT +
                   uint32_t(p - windows_[i].bytes);
        }
    }
    return 0;
}

void* DllEmulator::to_host(uint32_t guest) const {
    uint32_t slot = (guest - layout::SIM_WINDOWS) / layout::SIM_WINDOW_SLOT;
    uint32_t offset = (guest - layout::SIM_WINDOWS) % layout::SIM_WINDOW_SLOT;
    if (guest < layout::SIM_WINDOWS || slot >= windows_.size() || !windows_[slot].bytes ||
        offset >= windows_[slot].size) {
        return nullptr;
    }
    return windows_[slot].bytes + offset;
}

// One ZUNDA operation, called by the DLL: the arguments come off the DLL's
// stack, pointers the DLL passes are checked like its own accesses, and
// the result goes to EAX; the stub's `ret n` then pops the arguments.
void DllEmulator::stub(uint32_t index) {
    const std::string& op = stub_names_[index];
    uint32_t result = 0;
    auto out32 = [&](uint32_t at, uint32_t value, uint32_t bytes) {
        if (check_access(at, bytes, true, op.c_str())) {
            write_from(at, &value, bytes);
        }
    };
    if (op == "GetPortVal") {
        uint32_t at = arg(1), size = arg(2);
        uint32_t value = 0;
        if (size <= 4 && check_access(at, size, true, op.c_str())) {
            read_into(at, &value, size);
            result = GetPortVal(arg(0), &value, size);
            out32(at, value, size);
        }
    } else if (op == "SetPortVal") {
        result = SetPortVal(arg(0), arg(1), arg(2));
    } else if (op == "MapPhysToLin") {
        uint32_t physical = arg(0), length = arg(1), handle_at = arg(2);
        uint32_t handle = 0;
        void* host = MapPhysToLin(physical, length, &handle);
        if (host) {
            result = to_guest(host);
            if (result == 0) {
                fail("MapPhysToLin gave memory the emulator does not show");
                return;
            }
            ranges_.push_back(
                {result, result + length, true, handle, physical, "mapping of " + hex(physical)});
            last_hit_ = nullptr;
            out32(handle_at, handle, 4);
        }
    } else if (op == "UnmapPhysicalMemory") {
        uint32_t handle = arg(0), linear = arg(1);
        result = UnmapPhysicalMemory(handle, to_host(linear));
        for (auto it = ranges_.begin(); it != ranges_.end(); ++it) {
            if (result && it->handle == handle) {
                ranges_.erase(it);
                break;
            }
        }
        last_hit_ = nullptr;
    } else if (op == "AllocatePhysMemory") {
        uint32_t handle = 0;
        result = AllocatePhysMemory(arg(0), &handle);
        if (result) {
            out32(arg(1), handle, 4);
        }
    } else if (op == "FreePhysMemory") {
        result = FreePhysMemory(arg(0));
    } else if (op == "SEG32_CALLBACK") {
        flash_command_record record;
        std::vector<uint8_t> bytes = read(reg(UC_X86_REG_ESP) + 8, RECORD_BYTES);
        std::memcpy(&record, bytes.data(), RECORD_BYTES);
        SEG32_CALLBACK(arg(0), record);
    }
    set_reg(UC_X86_REG_EAX, result);
}

}  // namespace emu
