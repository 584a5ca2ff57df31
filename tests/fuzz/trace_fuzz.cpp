// The trace reader on any bytes (a trace from the field, perhaps cut short,
// damaged or edited). The first byte chooses what the rest is: 0, a whole
// file; anything else, the events as they are uncompressed, which the
// harness compresses behind a good magic so that the event parser is
// reached. The reader never reads outside its input; what it takes, written
// again event by event, reads back as the same events; every event it
// takes can be described and given a phase.
#include <cstddef>
#include <cstdint>
#include <vector>

#include <zlib.h>

#include "describe.h"
#include "reader.h"
#include "writer.h"

namespace {

std::vector<uint8_t> behind_magic(const uint8_t* events, size_t n) {
    std::vector<uint8_t> file(trace::MAGIC_PREFIX, trace::MAGIC_PREFIX + sizeof trace::MAGIC_PREFIX);
    file.push_back(trace::FORMAT_VERSION);
    std::vector<uint8_t> out(compressBound(uLong(n)));
    uLongf size = uLongf(out.size());
    if (compress(out.data(), &size, events, uLong(n)) != Z_OK) {
        __builtin_trap();
    }
    file.insert(file.end(), out.begin(), out.begin() + long(size));
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    std::vector<uint8_t> file =
        data[0] == 0 ? std::vector<uint8_t>(data + 1, data + size) : behind_magic(data + 1, size - 1);
    trace::Trace t;
    if (trace::read_trace(file, "fuzz", true, t)) {
        return 0;
    }
    std::vector<std::string> phase = trace::phases(t);
    if (phase.size() != t.events.size()) {
        __builtin_trap();
    }
    for (const trace::Event& e : t.events) {
        (void)trace::describe(e);
    }
    std::vector<uint8_t> again;
    trace::Writer w([&](const uint8_t* p, size_t k) {
        again.insert(again.end(), p, p + k);
        return true;
    });
    for (const trace::Event& e : t.events) {
        w.put(e);
    }
    w.finish();
    trace::Trace back;
    if (trace::read_trace(again, "again", false, back) || back.events.size() != t.events.size()) {
        __builtin_trap();
    }
    for (size_t i = 0; i < t.events.size(); ++i) {
        const trace::Event &a = t.events[i], &b = back.events[i];
        if (a.kind != b.kind || a.flags != b.flags || a.a != b.a || a.b != b.b || a.c != b.c || a.d != b.d ||
            a.data != b.data) {
            __builtin_trap();
        }
    }
    return 0;
}
