// Simulated physical memory: a few regions (the flash part at the top of the
// address space, the F-segment, RAM), mappings that alias them, and
// physically contiguous allocations. Everything still mapped or allocated is
// counted, so a test sees a leak as a number. Any mapping or allocation can
// be made to fail. In AddressSanitizer builds memory outside every live
// mapping is poisoned, so a read past what the library mapped is reported.
#ifndef SIM_MEMORY_H
#define SIM_MEMORY_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>
#include "flash_map.h"

namespace sim {

namespace phys {
using flashmap::FLASH_BASE;
using flashmap::FLASH_SIZE;
constexpr uint32_t FSEG_BASE = 0xF0000;
constexpr uint32_t FSEG_SIZE = 0x10000;
constexpr uint32_t RAM_BASE = 0x00100000;
constexpr uint32_t RAM_SIZE = 0x00800000;
// Physically contiguous allocations come from the upper half of RAM, on
// page boundaries; firmware tables live in the lower half.
constexpr uint32_t ALLOC_BASE = 0x00500000;
constexpr uint32_t ALLOC_ALIGN = 0x1000;
}  // namespace phys

struct MapCall {
    uint32_t physical;
    uint32_t length;
    bool ok;
};

class PhysMemory {
public:
    PhysMemory();
    ~PhysMemory();
    PhysMemory(const PhysMemory&) = delete;
    PhysMemory& operator=(const PhysMemory&) = delete;

    // The seven operations' memory half.
    void* map(uint32_t physical, uint32_t length, uint32_t* handle);
    bool unmap(uint32_t handle, void* linear);
    uint32_t allocate(uint32_t length, uint32_t* handle);
    bool free(uint32_t handle);

    size_t live_mappings() const { return mappings_.size(); }
    size_t live_allocations() const { return allocations_.size(); }
    // Unmap or free calls whose handle (or pointer) named nothing live.
    size_t bad_releases() const { return bad_releases_; }
    const std::vector<MapCall>& map_calls() const { return map_calls_; }
    const std::vector<uint32_t>& unmapped() const { return unmapped_; }  // physical bases, in order
    void clear_log();

    // Fault hooks: do nothing until a test sets them. Returning true makes
    // that call fail (null mapping, zero physical address).
    std::function<bool(uint32_t physical, uint32_t length)> map_fault;
    std::function<bool(uint32_t length)> alloc_fault;

    // The simulator's own access (devices, firmware, board files). Never
    // subject to poisoning. False when the range is not backed by memory.
    bool read(uint32_t physical, void* dst, size_t n) const;
    bool write(uint32_t physical, const void* src, size_t n);
    bool fill(uint32_t physical, uint8_t value, size_t n);
    uint8_t byte(uint32_t physical) const;

    // A checkpoint of every region, and the pages changed since. write()
    // and fill() mark each 4 KiB page they touch; releasing a mapping marks
    // the pages of it whose bytes differ from the checkpoint, which is what
    // the library wrote through it. restore_checkpoint() then puts back
    // only the marked pages: a fuzzer resets a board in the few pages an
    // input reached instead of copying megabytes. Poisoning is left as it is.
    static constexpr uint32_t PAGE_BYTES = 0x1000;
    void checkpoint();
    void mark_dirty(uint32_t physical, size_t n);
    // Physical bases of the dirty pages within [physical, physical + n).
    std::vector<uint32_t> dirty_pages(uint32_t physical, size_t n) const;
    // Pages put back; no page is dirty afterwards. Nothing without a checkpoint.
    size_t restore_checkpoint();

    // The bytes behind each physical range, for a runner that shows the
    // same memory in another address space (the CPU emulator): what the
    // runner's mappings alias is then exactly what the devices see.
    struct RegionView {
        uint32_t physical;
        uint32_t size;
        uint8_t* bytes;
    };
    std::vector<RegionView> regions();

private:
    struct Region {
        uint32_t base;
        uint32_t size;
        std::unique_ptr<uint8_t[]> bytes;
        std::unique_ptr<uint8_t[]> saved;  // the checkpoint, once taken
        std::vector<bool> dirty;           // one flag per page
    };
    struct Mapping {
        uint32_t physical;
        uint32_t length;
        uint8_t* linear;
    };
    struct Allocation {
        uint32_t physical;
        uint32_t length;
    };

    Region* find(uint32_t physical, uint64_t length);
    const Region* find(uint32_t physical, uint64_t length) const;
    void repoison(Region& r, uint32_t physical, uint32_t length);
    void mark_changed_pages(Region& r, uint32_t physical, uint32_t length);

    std::vector<Region> regions_;
    std::map<uint32_t, Mapping> mappings_;
    std::map<uint32_t, Allocation> allocations_;
    uint32_t next_handle_ = 1;
    uint32_t next_alloc_ = phys::ALLOC_BASE;
    size_t bad_releases_ = 0;
    std::vector<MapCall> map_calls_;
    std::vector<uint32_t> unmapped_;
};

}  // namespace sim

#endif
