#include "replay_board.h"

#include <cstdlib>
#include <cstring>

#include "describe.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TRACE_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define TRACE_ASAN 1
#endif
#if TRACE_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace trace {

namespace {

constexpr uint32_t PAGE = MemoryModel::PAGE_BYTES;

uint32_t width_mask(uint32_t size) { return size >= 4 ? 0xFFFFFFFFu : (1u << (8 * size)) - 1; }

}  // namespace

ReplayBoard::ReplayBoard(const Trace& t) : trace_(t), phases_(phases(t)) {}

ReplayBoard::~ReplayBoard() {
    for (auto& [ordinal, b] : buffers_) {
#if TRACE_ASAN
        ASAN_UNPOISON_MEMORY_REGION(b.base, b.bytes);
#endif
        std::free(b.base);
    }
}

bool ReplayBoard::same_range(uint32_t a, uint32_t b) const {
    auto x = made_.find(a), y = made_.find(b);
    return x != made_.end() && y != made_.end() && x->second == y->second;
}

// What the board's memory says of the firmware's interface now: where the
// command record lies and its bytes, the notification port.
Context ReplayBoard::context() const {
    return interface_context(observer_.model, firmware_interface(observer_.model));
}

void ReplayBoard::fail(const std::string& came) {
    if (stopped()) {
        return;
    }
    const Event* e = peek();
    if (!e && !trace_.complete) {
        // The recording was cut short here: what the library does next was
        // never recorded, so it is not a difference.
        cut_ = true;
        return;
    }
    Mismatch m;
    m.event = next_;
    m.phase = e ? phases_[next_] : "after the last event";
    Context c = context();
    m.recorded = e ? describe(*e, &c) : "nothing more";
    m.came = came;
    mismatch_ = m;
}

void ReplayBoard::differ(const std::string& phase, const std::string& recorded, const std::string& came) {
    if (!stopped()) {
        mismatch_ = Mismatch{next_, phase, recorded, came};
    }
}

// A mapping's buffer: whole pages, the mapped bytes at the physical
// address's place in its page; the bytes around them are poisoned, so a
// read past the mapping is caught as it would be on the simulator.
LiveMapping ReplayBoard::make_mapping(uint32_t physical, uint32_t length, uint32_t handle, bool library) {
    uint32_t in_page = physical % PAGE;
    uint64_t span = (uint64_t(in_page) + length + PAGE - 1) / PAGE * PAGE;
    auto* base = static_cast<uint8_t*>(std::aligned_alloc(PAGE, size_t(span == 0 ? PAGE : span)));
    uint32_t bytes = uint32_t(span == 0 ? PAGE : span);
    std::memset(base, 0, bytes);
    LiveMapping m{observer_.next_ordinal++, physical, length, handle, base + in_page};
    made_[m.ordinal] = {physical, length};
    observer_.model.load(physical, m.linear, length);
    buffers_[m.ordinal] = Buffer{base, bytes};
    observer_.live.push_back(m);
#if TRACE_ASAN
    ASAN_POISON_MEMORY_REGION(base, in_page);
    ASAN_POISON_MEMORY_REGION(m.linear + length, bytes - in_page - length);
#endif
    buffers_[m.ordinal].shown = library && on_mapping;
    if (buffers_[m.ordinal].shown) {
        on_mapping(base, bytes, true);
    }
    return m;
}

void ReplayBoard::drop_mapping(uint32_t ordinal) {
    observer_.released(ordinal);
    auto it = buffers_.find(ordinal);
    if (it == buffers_.end()) {
        return;
    }
    if (it->second.shown) {
        on_mapping(it->second.base, it->second.bytes, false);
    }
#if TRACE_ASAN
    ASAN_UNPOISON_MEMORY_REGION(it->second.base, it->second.bytes);
#endif
    std::free(it->second.base);
    buffers_.erase(it);
}

// The board's answers that follow an operation: bytes it holds, and its identity.
void ReplayBoard::apply_board() {
    while (const Event* e = peek()) {
        if (e->kind == Kind::BoardWrite) {
            if (e->flags & FLAG_COPY) {
                std::vector<uint8_t> bytes(e->b);
                observer_.model.load(e->c, bytes.data(), e->b);
                observer_.apply(e->a, bytes.data(), e->b);
            } else {
                observer_.apply(e->a, e->data.data(), uint32_t(e->data.size()));
            }
        } else if (e->kind != Kind::Board) {
            return;
        }
        ++next_;
    }
}

// The library's writes through its mappings since the last operation,
// each against the trace's next event.
bool ReplayBoard::library_writes(const LiveMapping* releasing) {
    for (const Run& r : observer_.library_writes(releasing)) {
        const Event* e = peek();
        Event came(Kind::LibWrite, FLAG_FROM_LIBRARY);
        came.a = r.physical;
        came.data = r.bytes;
        if (!e || e->kind != Kind::LibWrite || e->a != r.physical || e->data != r.bytes) {
            Context c = context();
            fail(describe(came, &c));
            return false;
        }
        ++next_;
    }
    if (const Event* e = peek(); e && e->kind == Kind::LibWrite) {
        fail("no more bytes written by the library before its next operation");
        return false;
    }
    return true;
}

// The operation `came` against the next event: the same kind with the same
// arguments (the fields the library chose), or a mismatch.
const Event* ReplayBoard::expect(const Event& came) {
    const Event* e = peek();
    bool same = e && e->kind == came.kind;
    if (same) {
        switch (came.kind) {
        case Kind::PortRead:
            same = e->a == came.a && e->b == came.b;
            break;
        case Kind::PortWrite:
            same = e->a == came.a && e->b == came.b && e->c == came.c;
            break;
        case Kind::Map:
            same = e->a == came.a && e->b == came.b;
            break;
        case Kind::Unmap:
            same = e->a == came.a && e->b == came.b;
            break;
        case Kind::Alloc:
            same = e->a == came.a;
            break;
        case Kind::Free:
            same = e->a == came.a;
            break;
        case Kind::Callback:
            same = e->a == came.a && e->data == came.data;
            break;
        default:
            same = false;
        }
    }
    if (!same) {
        fail(describe_request(came));
        return nullptr;
    }
    ++next_;
    return e;
}

uint32_t ReplayBoard::get_port(uint32_t port, uint32_t* value, uint32_t size) {
    if (stopped() || !library_writes(nullptr)) {
        return 0;
    }
    Event came(Kind::PortRead);
    came.a = port;
    came.b = size;
    const Event* e = expect(came);
    if (!e) {
        return 0;
    }
    if (value && (e->flags & FLAG_VALUE_STORED)) {
        uint32_t mask = width_mask(size);
        *value = (*value & ~mask) | (e->c & mask);
    }
    apply_board();
    return e->d;
}

uint32_t ReplayBoard::set_port(uint32_t port, uint32_t value, uint32_t size) {
    if (stopped() || !library_writes(nullptr)) {
        return 0;
    }
    Event came(Kind::PortWrite);
    came.a = port;
    came.b = value;
    came.c = size;
    const Event* e = expect(came);
    if (!e) {
        return 0;
    }
    apply_board();
    return e->d;
}

void* ReplayBoard::map(uint32_t physical, uint32_t length, uint32_t* handle) {
    if (stopped() || !library_writes(nullptr)) {
        return nullptr;
    }
    Event came(Kind::Map);
    came.a = physical;
    came.b = length;
    came.d = 1;
    const Event* e = expect(came);
    if (!e || !e->d) {
        if (e) {
            apply_board();
        }
        return nullptr;
    }
    if (handle) {
        *handle = e->c;
    }
    LiveMapping m = make_mapping(physical, length, e->c, true);
    apply_board();
    return m.linear;
}

uint32_t ReplayBoard::unmap(uint32_t handle, void* linear) {
    if (stopped()) {
        return 0;
    }
    std::optional<LiveMapping> m;
    if (const LiveMapping* held = observer_.releasing(handle, linear)) {
        m = *held;
    }
    if (!library_writes(m ? &*m : nullptr)) {
        return 0;
    }
    Event came(Kind::Unmap);
    came.a = handle;
    came.b = m ? m->ordinal + 1 : 0;
    // Two live mappings of the same range under the same handle may have
    // shared an address on the board, where the recorder could not tell
    // which one went: either is the same release.
    if (const Event* e = peek();
        m && e && e->kind == Kind::Unmap && e->b != came.b && e->b != 0 && same_range(e->b - 1, m->ordinal)) {
        came.b = e->b;
    }
    const Event* e = expect(came);
    if (!e) {
        return 0;
    }
    if (m && e->d) {
        drop_mapping(m->ordinal);
    }
    apply_board();
    return e->d;
}

uint32_t ReplayBoard::allocate(uint32_t length, uint32_t* handle) {
    if (stopped() || !library_writes(nullptr)) {
        return 0;
    }
    Event came(Kind::Alloc);
    came.a = length;
    const Event* e = expect(came);
    if (!e) {
        return 0;
    }
    if (handle && e->d) {
        *handle = e->b;
    }
    apply_board();
    return e->d;
}

uint32_t ReplayBoard::free(uint32_t handle) {
    if (stopped() || !library_writes(nullptr)) {
        return 0;
    }
    Event came(Kind::Free);
    came.a = handle;
    const Event* e = expect(came);
    if (!e) {
        return 0;
    }
    apply_board();
    return e->d;
}

void ReplayBoard::callback(uint32_t handle, const flash_command_record& record) {
    if (stopped() || !library_writes(nullptr)) {
        return;
    }
    Event came(Kind::Callback);
    came.a = handle;
    came.data.resize(RECORD_BYTES);
    std::memcpy(came.data.data(), &record, RECORD_BYTES);
    if (expect(came)) {
        apply_board();
    }
}

size_t ReplayBoard::play_host() {
    while (const Event* e = peek()) {
        switch (e->kind) {
        case Kind::Note:
            return next_;
        case Kind::Map:
            // The host's mappings take part in what the library's
            // operations are compared with only when they are small (a
            // large one is looked at only as it is released, by the host);
            // a large one is counted and given no buffer.
            if (e->d && e->b <= SMALL_MAPPING_MAX_BYTES) {
                make_mapping(e->a, e->b, e->c, false);
            } else if (e->d) {
                made_[observer_.next_ordinal++] = {e->a, e->b};
            }
            break;
        case Kind::Unmap:
            if (e->b && e->d) {
                drop_mapping(e->b - 1);
            }
            break;
        case Kind::LibWrite:
            observer_.apply(e->a, e->data.data(), uint32_t(e->data.size()));
            break;
        default:
            break;
        }
        ++next_;
        apply_board();
    }
    return next_;
}

}  // namespace trace
