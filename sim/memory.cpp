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
#define SIM_NO_ASAN __attribute__((no_sanitize_address))
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

SIM_NO_ASAN void raw_fill(uint8_t* dst, uint8_t v, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        dst[i] = v;
    }
}

}  // namespace

PhysMemory::PhysMemory() {
    auto add = [this](uint32_t base, uint32_t size, uint8_t fill) {
        Region r{base, size, std::make_unique<uint8_t[]>(size)};
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
    repoison(*r, m.physical, m.length);
    return true;
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
    return true;
}

bool PhysMemory::fill(uint32_t physical, uint8_t value, size_t n) {
    Region* r = find(physical, n);
    if (!r) {
        return false;
    }
    raw_fill(r->bytes.get() + (physical - r->base), value, n);
    return true;
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
