#include "memory.h"

#include <algorithm>
#include <cstring>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SIM_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define SIM_ASAN 1
#endif

#if SIM_ASAN
#include <sanitizer/asan_interface.h>
// The simulator's own copies reach poisoned bytes on purpose; they are
// plain loops over bounds checked by the caller, so they go uninstrumented
// and the compiler is free to turn them into wide moves.
#define SIM_NO_ASAN __attribute__((no_sanitize("address", "undefined")))
#else
#define SIM_NO_ASAN
#endif

namespace sim {

namespace {

void poison(const uint8_t* p, size_t n) {
#if SIM_ASAN
    ASAN_POISON_MEMORY_REGION(p, n);
#else
    (void)p;
    (void)n;
#endif
}

void unpoison(const uint8_t* p, size_t n) {
#if SIM_ASAN
    ASAN_UNPOISON_MEMORY_REGION(p, n);
#else
    (void)p;
    (void)n;
#endif
}

// Byte copies the simulator makes on its own behalf, past the poisoning.
SIM_NO_ASAN void raw_copy(uint8_t* dst, const uint8_t* src, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        dst[i] = src[i];
    }
}

// Whether two byte ranges differ; no early exit, so the loop compiles to
// wide compares (a flash window's worth is compared at each release).
SIM_NO_ASAN bool raw_differ(const uint8_t* a, const uint8_t* b, size_t n) {
    uint64_t any = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t x, y;
        __builtin_memcpy(&x, a + i, 8);
        __builtin_memcpy(&y, b + i, 8);
        any |= x ^ y;
    }
    for (; i < n; ++i) {
        any |= uint64_t(a[i] ^ b[i]);
    }
    return any != 0;
}

SIM_NO_ASAN void raw_fill(uint8_t* dst, uint8_t v, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        dst[i] = v;
    }
}

}  // namespace

PhysMemory::PhysMemory() {
    auto add = [this](uint32_t base, uint32_t size, uint8_t fill) {
        Region r{base, size, std::unique_ptr<uint8_t[]>(new uint8_t[size]), nullptr,  // filled below
                 std::vector<bool>((size + PAGE_BYTES - 1) / PAGE_BYTES, false)};
        std::memset(r.bytes.get(), fill, size);
        poison(r.bytes.get(), size);
        regions_.push_back(std::move(r));
    };
    add(phys::FLASH_BASE, phys::FLASH_SIZE, 0xFF);  // an erased NOR part
    add(phys::FSEG_BASE, phys::FSEG_SIZE, 0x00);
    add(phys::RAM_BASE, phys::RAM_SIZE, 0x00);
}

PhysMemory::~PhysMemory() {
    for (Region& r : regions_) {
        unpoison(r.bytes.get(), r.size);
    }
}

PhysMemory::Region* PhysMemory::find(uint32_t physical, uint64_t length) {
    for (Region& r : regions_) {
        if (physical >= r.base && uint64_t(physical) + length <= uint64_t(r.base) + r.size) {
            return &r;
        }
    }
    return nullptr;
}

const PhysMemory::Region* PhysMemory::find(uint32_t physical, uint64_t length) const {
    return const_cast<PhysMemory*>(this)->find(physical, length);
}

// Poisons the bytes of an ended mapping that no live mapping still covers.
// Bytes another mapping covers are never poisoned, not even for a moment, so
// a second thread reading through its own mapping is never flagged.
void PhysMemory::repoison(Region& r, uint32_t physical, uint32_t length) {
    std::vector<std::pair<uint64_t, uint64_t>> covered;
    for (const auto& [handle, m] : mappings_) {
        if (find(m.physical, m.length) == &r) {
            covered.push_back({m.physical, uint64_t(m.physical) + m.length});
        }
    }
    std::sort(covered.begin(), covered.end());
    uint64_t at = physical, end = uint64_t(physical) + length;
    for (const auto& [from, to] : covered) {
        if (to <= at || from >= end) {
            continue;
        }
        if (from > at) {
            poison(r.bytes.get() + (at - r.base), size_t(from - at));
        }
        at = std::max(at, to);
    }
    if (at < end) {
        poison(r.bytes.get() + (at - r.base), size_t(end - at));
    }
}

void* PhysMemory::map(uint32_t physical, uint32_t length, uint32_t* handle) {
    Region* r = length == 0 || handle == nullptr ? nullptr : find(physical, length);
    bool ok = r != nullptr && !(map_fault && map_fault(physical, length));
    map_calls_.push_back({physical, length, ok});
    if (!ok) {
        return nullptr;
    }
    uint8_t* linear = r->bytes.get() + (physical - r->base);
    *handle = next_handle_++;
    mappings_[*handle] = {physical, length, linear};
    unpoison(linear, length);
    return linear;
}

bool PhysMemory::unmap(uint32_t handle, void* linear) {
    auto it = mappings_.find(handle);
    if (it == mappings_.end() || it->second.linear != linear) {
        ++bad_releases_;
        return false;
    }
    Mapping m = it->second;
    Region* r = find(m.physical, m.length);
    unmapped_.push_back(m.physical);
    mappings_.erase(it);
    mark_changed_pages(*r, m.physical, m.length);
    repoison(*r, m.physical, m.length);
    return true;
}

// The pages of [physical, physical + length) that differ from the
// checkpoint: what was written through a mapping of them.
void PhysMemory::mark_changed_pages(Region& r, uint32_t physical, uint32_t length) {
    if (!r.saved || length == 0) {
        return;
    }
    size_t last = (physical - r.base + size_t(length) - 1) / PAGE_BYTES;
    for (size_t page = (physical - r.base) / PAGE_BYTES; page <= last; ++page) {
        size_t at = page * PAGE_BYTES, n = std::min<size_t>(PAGE_BYTES, r.size - at);
        if (!r.dirty[page] && raw_differ(r.bytes.get() + at, r.saved.get() + at, n)) {
            r.dirty[page] = true;
        }
    }
}

uint32_t PhysMemory::allocate(uint32_t length, uint32_t* handle) {
    if (length == 0 || handle == nullptr || (alloc_fault && alloc_fault(length))) {
        return 0;
    }
    uint64_t end = uint64_t(next_alloc_) + length;
    if (end > uint64_t(phys::RAM_BASE) + phys::RAM_SIZE) {
        return 0;
    }
    uint32_t physical = next_alloc_;
    next_alloc_ = uint32_t((end + phys::ALLOC_ALIGN - 1) & ~uint64_t(phys::ALLOC_ALIGN - 1));
    *handle = next_handle_++;
    allocations_[*handle] = {physical, length};
    return physical;
}

bool PhysMemory::free(uint32_t handle) {
    if (allocations_.erase(handle) == 0) {
        ++bad_releases_;
        return false;
    }
    // Allocation is a bump pointer; once nothing is allocated it starts over,
    // so a long session does not run out of simulated RAM.
    if (allocations_.empty()) {
        next_alloc_ = phys::ALLOC_BASE;
    }
    return true;
}

void PhysMemory::clear_log() {
    map_calls_.clear();
    unmapped_.clear();
    bad_releases_ = 0;
}

bool PhysMemory::read(uint32_t physical, void* dst, size_t n) const {
    const Region* r = find(physical, n);
    if (!r) {
        return false;
    }
    raw_copy(static_cast<uint8_t*>(dst), r->bytes.get() + (physical - r->base), n);
    return true;
}

bool PhysMemory::write(uint32_t physical, const void* src, size_t n) {
    Region* r = find(physical, n);
    if (!r) {
        return false;
    }
    raw_copy(r->bytes.get() + (physical - r->base), static_cast<const uint8_t*>(src), n);
    mark_dirty(physical, n);
    return true;
}

bool PhysMemory::fill(uint32_t physical, uint8_t value, size_t n) {
    Region* r = find(physical, n);
    if (!r) {
        return false;
    }
    raw_fill(r->bytes.get() + (physical - r->base), value, n);
    mark_dirty(physical, n);
    return true;
}

void PhysMemory::checkpoint() {
    for (Region& r : regions_) {
        if (!r.saved) {
            r.saved.reset(new uint8_t[r.size]);  // copied over below
        }
        raw_copy(r.saved.get(), r.bytes.get(), r.size);
        std::fill(r.dirty.begin(), r.dirty.end(), false);
    }
}

// Marks every page of every region that [physical, physical + n) reaches;
// bytes outside all regions have nothing to restore.
void PhysMemory::mark_dirty(uint32_t physical, size_t n) {
    uint64_t end = uint64_t(physical) + n;
    for (Region& r : regions_) {
        uint64_t from = std::max<uint64_t>(physical, r.base);
        uint64_t to = std::min<uint64_t>(end, uint64_t(r.base) + r.size);
        if (from >= to) {
            continue;
        }
        uint64_t last = (to - 1 - r.base) / PAGE_BYTES;
        for (uint64_t page = (from - r.base) / PAGE_BYTES; page <= last; ++page) {
            r.dirty[size_t(page)] = true;
        }
    }
}

std::vector<uint32_t> PhysMemory::dirty_pages(uint32_t physical, size_t n) const {
    std::vector<uint32_t> out;
    uint64_t end = uint64_t(physical) + n;
    for (const Region& r : regions_) {
        for (size_t page = 0; page < r.dirty.size(); ++page) {
            uint64_t at = uint64_t(r.base) + page * PAGE_BYTES;
            if (r.dirty[page] && at + PAGE_BYTES > physical && at < end) {
                out.push_back(uint32_t(at));
            }
        }
    }
    return out;
}

size_t PhysMemory::restore_checkpoint() {
    size_t restored = 0;
    for (Region& r : regions_) {
        for (size_t page = 0; r.saved && page < r.dirty.size(); ++page) {
            if (r.dirty[page]) {
                size_t at = page * PAGE_BYTES;
                raw_copy(r.bytes.get() + at, r.saved.get() + at, std::min<size_t>(PAGE_BYTES, r.size - at));
                r.dirty[page] = false;
                ++restored;
            }
        }
    }
    return restored;
}

std::vector<PhysMemory::RegionView> PhysMemory::regions() {
    std::vector<RegionView> out;
    for (Region& r : regions_) {
        out.push_back({r.base, r.size, r.bytes.get()});
    }
    return out;
}

uint8_t PhysMemory::byte(uint32_t physical) const {
    uint8_t b = 0xFF;
    read(physical, &b, 1);
    return b;
}

}  // namespace sim
