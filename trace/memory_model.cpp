#include "memory_model.h"

#include <algorithm>
#include <cstring>

namespace trace {

MemoryModel::Page& MemoryModel::page(uint32_t number) {
    std::unique_ptr<Page>& p = pages_[number];
    if (!p) {
        p = std::make_unique<Page>();
    }
    return *p;
}

std::vector<Run> MemoryModel::observe(uint32_t physical, const uint8_t* bytes, uint32_t n) {
    std::vector<Run> runs;
    uint64_t run_begin = 0, run_end = 0;  // [begin, end) of the open run, offsets into `bytes`
    bool open = false;
    auto close = [&] {
        runs.push_back(
            {uint32_t(physical + run_begin), std::vector<uint8_t>(bytes + run_begin, bytes + run_end)});
        open = false;
    };
    uint64_t i = 0;
    while (i < n) {
        uint64_t at = uint64_t(physical) + i;
        uint32_t number = uint32_t(at / PAGE_BYTES);
        uint32_t in_page = uint32_t(at % PAGE_BYTES);
        uint32_t span = uint32_t(std::min<uint64_t>(PAGE_BYTES - in_page, n - i));
        Page& p = page(number);
        if (span == PAGE_BYTES && p.known.all() && std::memcmp(p.bytes, bytes + i, PAGE_BYTES) == 0) {
            i += span;
            continue;
        }
        for (uint32_t k = 0; k < span; ++k, ++i) {
            uint32_t b = in_page + k;
            if (p.known[b] && p.bytes[b] == bytes[i]) {
                continue;
            }
            if (open && (i - run_end > RUN_GAP_BYTES || i - run_begin >= MAX_RUN_BYTES)) {
                close();
            }
            if (!open) {
                run_begin = i;
                open = true;
            }
            run_end = i + 1;
            p.bytes[b] = bytes[i];
            p.known[b] = true;
        }
    }
    if (open) {
        close();
    }
    return runs;
}

void MemoryModel::store(uint32_t physical, const uint8_t* bytes, uint32_t n) { observe(physical, bytes, n); }

void MemoryModel::learn(uint32_t physical, const uint8_t* bytes, uint32_t n) {
    for (uint64_t i = 0; i < n; ++i) {
        uint64_t at = uint64_t(physical) + i;
        Page& p = page(uint32_t(at / PAGE_BYTES));
        uint32_t b = uint32_t(at % PAGE_BYTES);
        if (!p.known[b]) {
            p.bytes[b] = bytes[i];
            p.known[b] = true;
        }
    }
}

bool MemoryModel::load(uint32_t physical, uint8_t* out, uint32_t n) const {
    bool all = true;
    uint64_t i = 0;
    while (i < n) {
        uint64_t at = uint64_t(physical) + i;
        uint32_t in_page = uint32_t(at % PAGE_BYTES);
        uint32_t span = uint32_t(std::min<uint64_t>(PAGE_BYTES - in_page, n - i));
        auto it = pages_.find(uint32_t(at / PAGE_BYTES));
        if (it == pages_.end()) {
            all = false;
        } else if (span == PAGE_BYTES && it->second->known.all()) {
            std::memcpy(out + i, it->second->bytes, PAGE_BYTES);
        } else {
            for (uint32_t k = 0; k < span; ++k) {
                if (it->second->known[in_page + k]) {
                    out[i + k] = it->second->bytes[in_page + k];
                } else {
                    all = false;
                }
            }
        }
        i += span;
    }
    return all;
}

std::vector<std::pair<uint32_t, std::vector<uint8_t>>> MemoryModel::known_pages() const {
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> out;
    for (const auto& [number, p] : pages_) {
        if (p->known.any()) {
            out.emplace_back(number * PAGE_BYTES, std::vector<uint8_t>(p->bytes, p->bytes + PAGE_BYTES));
        }
    }
    return out;
}

}  // namespace trace
