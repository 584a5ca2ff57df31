// The recording ZUNDA.dll: the seven operations, each forwarded to the
// board maker's library with the same arguments and its result handed
// back unchanged, and each written to the trace with what the memory the
// library had mapped showed before and after it. Recording never changes
// what the library sees or the board does: the recorder only reads the
// mappings, and when the trace cannot be written the operations go on.
#define ZUNDA_BUILD 1
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "board_identity.h"
#include "flash_map.h"
#include "maker.h"
#include "observer.h"
#include "output.h"
#include "secrets.h"
#include "update/identity.h"
#include "zunda.h"

namespace {

using namespace recorder;
using trace::Event;
using trace::Kind;

CRITICAL_SECTION guard;
bool started = false;
bool closed = false;
Output out;
trace::Observer observer{false};
trace::Secrets secrets;
bool board_told = false;
constexpr size_t MAX_NOTE_BYTES = 4096;
DWORD began = 0;       // GetTickCount when the trace was made
DWORD last_flush = 0;  // and when its stream was last flushed
// A trace killed with its host loses at most this much of its end.
constexpr DWORD FLUSH_INTERVAL_MS = 1000;

void said_if_stopped() {
    if (out.writer->failed() && out.error.empty()) {
        out.error = "the trace could not be written on (a full disk?): it is marked incomplete";
    } else if (out.writer->bounded() && out.error.empty()) {
        out.error = out.path + " reached the bound of " + std::to_string(trace::MAX_TRACE_BYTES >> 20) +
                    " MiB of events a trace holds: recording stopped there, the trace is marked as cut";
    }
}

void put(const Event& e) {
    if (out.writer) {
        out.writer->put(e);
        said_if_stopped();
    }
}

// Every event so far into the file: at each call the host notes, and at
// least once a second, so a killed recording keeps what came before.
void flush() {
    if (out.writer) {
        out.writer->flush();
        last_flush = GetTickCount();
        said_if_stopped();
    }
}

// The calls of one operation, under the lock, with the trace begun.
class Recording {
public:
    explicit Recording(const void* return_address) {
        EnterCriticalSection(&guard);
        if (!started && !closed) {
            started = true;
            began = last_flush = GetTickCount();
            out = open_output(maker().path);
        }
        HMODULE from = nullptr, library = GetModuleHandleW(L"KOVA.dll");
        GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<LPCWSTR>(return_address), &from);
        flags = library != nullptr && from == library ? trace::FLAG_FROM_LIBRARY : 0;
    }
    ~Recording() {
        if (GetTickCount() - last_flush >= FLUSH_INTERVAL_MS) {
            flush();
        }
        LeaveCriticalSection(&guard);
    }
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;

    void library_writes(const trace::LiveMapping* releasing) {
        for (const trace::Run& r : observer.library_writes(releasing)) {
            Event e{Kind::LibWrite, flags};
            e.a = r.physical;
            e.data = r.bytes;
            put(e);
        }
    }
    void board(const std::vector<trace::Run>& runs, const std::optional<trace::BlockSource>& source = {}) {
        for (Event& e : observer.board_events(runs, source, flags)) {
            if ((e.flags & trace::FLAG_COPY) == 0) {
                secrets.blank(e.a, e.data, flashmap::FLASH_BASE);
            }
            put(e);
        }
    }
    void board_changes(const std::optional<trace::BlockSource>& source = {}) {
        board(observer.board_changes(), source);
    }
    // The board's identity, once the top 64 KiB of its flash have been seen.
    void tell_board() {
        using namespace kova::identity;
        std::vector<uint8_t> top(TOP_WINDOW_LENGTH);
        if (board_told || !observer.model.load(TOP_WINDOW_PHYSICAL, top.data(), TOP_WINDOW_LENGTH)) {
            return;
        }
        board_told = true;
        Event e{Kind::Board};
        std::string text = trace::board_identity(top.data(), TOP_WINDOW_LENGTH);
        e.data.assign(text.begin(), text.end());
        put(e);
    }

    uint8_t flags = 0;
};

}  // namespace

extern "C" {

uint32_t ZUNDA_CALL GetPortVal(uint32_t port, uint32_t* value, uint32_t size) {
    Recording r(__builtin_return_address(0));
    r.library_writes(nullptr);
    uint32_t before = value ? *value : 0;
    uint32_t result = maker().get_port ? maker().get_port(port, value, size) : 0;
    Event e{Kind::PortRead, r.flags};
    e.a = port;
    e.b = size;
    e.c = value ? *value : 0;
    e.d = result;
    // A read that succeeds stores its value, the same as the one held
    // before or not; one that fails stored something only if it changed.
    if (value && (result != 0 || *value != before)) {
        e.flags |= trace::FLAG_VALUE_STORED;
    }
    put(e);
    r.board_changes();
    return result;
}

uint32_t ZUNDA_CALL SetPortVal(uint32_t port, uint32_t value, uint32_t size) {
    Recording r(__builtin_return_address(0));
    r.library_writes(nullptr);
    uint32_t result = maker().set_port ? maker().set_port(port, value, size) : 0;
    Event e{Kind::PortWrite, r.flags};
    e.a = port;
    e.b = value;
    e.c = size;
    e.d = result;
    put(e);
    r.board_changes();
    return result;
}

void* ZUNDA_CALL MapPhysToLin(uint32_t physical, uint32_t length, uint32_t* handle) {
    Recording r(__builtin_return_address(0));
    r.library_writes(nullptr);
    void* linear = maker().map ? maker().map(physical, length, handle) : nullptr;
    Event e{Kind::Map, r.flags};
    e.a = physical;
    e.b = length;
    e.c = linear && handle ? *handle : 0;
    e.d = linear ? 1 : 0;
    put(e);
    if (linear) {
        trace::LiveMapping m{observer.next_ordinal, physical, length, e.c, static_cast<uint8_t*>(linear)};
        r.board(observer.mapped(m));
        r.tell_board();
    }
    r.board_changes();
    return linear;
}

uint32_t ZUNDA_CALL UnmapPhysicalMemory(uint32_t handle, void* linear) {
    Recording r(__builtin_return_address(0));
    const trace::LiveMapping* held = observer.releasing(handle, linear);
    std::optional<trace::LiveMapping> m;
    if (held) {
        m = *held;
    }
    r.library_writes(m ? &*m : nullptr);
    uint32_t result = maker().unmap ? maker().unmap(handle, linear) : 0;
    Event e{Kind::Unmap, r.flags};
    e.a = handle;
    e.b = m ? m->ordinal + 1 : 0;
    e.d = result;
    put(e);
    if (m && result) {
        observer.released(m->ordinal);
    }
    r.board_changes();
    return result;
}

uint32_t ZUNDA_CALL AllocatePhysMemory(uint32_t length, uint32_t* handle) {
    Recording r(__builtin_return_address(0));
    r.library_writes(nullptr);
    uint32_t physical = maker().allocate ? maker().allocate(length, handle) : 0;
    Event e{Kind::Alloc, r.flags};
    e.a = length;
    e.b = physical && handle ? *handle : 0;
    e.d = physical;
    put(e);
    r.board_changes();
    return physical;
}

uint32_t ZUNDA_CALL FreePhysMemory(uint32_t handle) {
    Recording r(__builtin_return_address(0));
    r.library_writes(nullptr);
    uint32_t result = maker().free ? maker().free(handle) : 0;
    Event e{Kind::Free, r.flags};
    e.a = handle;
    e.d = result;
    put(e);
    r.board_changes();
    return result;
}

void ZUNDA_CALL SEG32_CALLBACK(uint32_t handle, flash_command_record record) {
    Recording r(__builtin_return_address(0));
    r.library_writes(nullptr);
    if (maker().callback) {
        maker().callback(handle, record);
    }
    Event e{Kind::Callback, r.flags};
    e.a = handle;
    e.data.resize(trace::RECORD_BYTES);
    std::memcpy(e.data.data(), &record, trace::RECORD_BYTES);
    put(e);
    trace::BlockSource source{record.flash_address, record.length, record.transfer_address};
    r.board_changes(source);
    // The block the record names, as the firmware left it, read through a
    // mapping of the recorder's own.
    uint32_t length = std::min<uint32_t>(record.length, trace::SMALL_MAPPING_MAX_BYTES);
    uint32_t own = 0;
    void* block = length != 0 && maker().map ? maker().map(record.flash_address, length, &own) : nullptr;
    if (block) {
        r.board(observer.model.observe(record.flash_address, static_cast<uint8_t*>(block), length), source);
        maker().unmap(own, block);
        r.tell_board();
    }
}

// A line from the host: the call into KOVA.dll it makes next, or what that
// call returned. Written into the trace in its place.
void ZUNDA_CALL KovaTraceNote(const char* line) {
    Recording r(__builtin_return_address(0));
    Event e{Kind::Note};
    e.a = GetTickCount() - began;
    size_t n = 0;
    while (line && n < MAX_NOTE_BYTES && line[n] != 0) {
        ++n;
    }
    e.data.assign(line, line + n);
    put(e);
    flush();
}

// Where this process's trace goes, or why there is none, as UTF-8 in
// `text` (cut to `size` bytes with its terminator). 1 while recording.
uint32_t ZUNDA_CALL KovaTraceStatus(char* text, uint32_t size) {
    Recording r(__builtin_return_address(0));
    // A trace that stopped at its bound records no more: said with why.
    bool recording = out.writer && !out.writer->failed() && !out.writer->bounded();
    std::string said = recording ? "recording to " + out.path
                                 : "not recording: " + (out.error.empty() ? maker().error : out.error);
    if (recording && !maker().error.empty()) {
        said += " (" + maker().error + ")";
    }
    if (text && size > 0) {
        size_t n = std::min<size_t>(said.size(), size - 1);
        std::memcpy(text, said.data(), n);
        text[n] = '\0';
    }
    return recording ? 1 : 0;
}

// Ends the trace and lets the maker's library go: a host calls it before it
// unloads KOVA.dll and releases the board, so the board is left whole.
void ZUNDA_CALL KovaTraceClose() {
    EnterCriticalSection(&guard);
    close_output(out);
    closed = true;
    release_maker();
    LeaveCriticalSection(&guard);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&guard);
    } else if (reason == DLL_PROCESS_DETACH) {
        // A host that never said it was done: the trace ends here, whole.
        close_output(out);
        DeleteCriticalSection(&guard);
    }
    return TRUE;
}

}  // extern "C"
