// The trace reader on any bytes (a trace from the field, perhaps cut short,
// damaged or edited). The first byte chooses what the rest is: 0, a whole
// file; anything else, the events as they are uncompressed, which the
// harness compresses behind a good magic so that the event parser is
// reached: bit 1 picks format 1 or 2, bit 2 leaves zlib's end off (a
// stream cut at a flush). The reader never reads outside its input; a
// stream without zlib's end never reads as whole; what it takes, written
// again event by event, reads back as the same events, and written with a
// bound it cannot hold, as those events cut at the bound; every event it
// takes can be described, in context, and given a phase.
#include <cstddef>
#include <cstdint>
#include <vector>

#include <zlib.h>

#include "describe.h"
#include "reader.h"
#include "writer.h"

namespace {

std::vector<uint8_t> behind_magic(const uint8_t* events, size_t n, uint8_t version, bool ended) {
    std::vector<uint8_t> file(trace::MAGIC_PREFIX, trace::MAGIC_PREFIX + sizeof trace::MAGIC_PREFIX);
    file.push_back(version);
    z_stream z{};
    if (deflateInit(&z, Z_DEFAULT_COMPRESSION) != Z_OK) {
        __builtin_trap();
    }
    std::vector<uint8_t> out(deflateBound(&z, uLong(n)) + 64);
    z.next_in = const_cast<Bytef*>(events);
    z.avail_in = uInt(n);
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    int r = deflate(&z, ended ? Z_FINISH : Z_SYNC_FLUSH);
    if (ended ? r != Z_STREAM_END : r != Z_OK) {
        __builtin_trap();
    }
    file.insert(file.end(), out.begin(), out.begin() + long(out.size() - z.avail_out));
    deflateEnd(&z);
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const bool ended = (data[0] & 4) == 0;
    std::vector<uint8_t> file =
        data[0] == 0
            ? std::vector<uint8_t>(data + 1, data + size)
            : behind_magic(data + 1, size - 1,
                           (data[0] & 2) ? trace::FIRST_FORMAT_VERSION : trace::FORMAT_VERSION, ended);
    trace::Trace t;
    if (trace::read_trace(file, "fuzz", true, t)) {
        return 0;
    }
    if (data[0] != 0 && !ended && t.complete) {
        __builtin_trap();  // no zlib end, yet read as whole
    }
    std::vector<std::string> phase = trace::phases(t);
    if (phase.size() != t.events.size()) {
        __builtin_trap();
    }
    trace::Narrator narrator;
    for (const trace::Event& e : t.events) {
        trace::Context c = narrator.next(e);
        (void)trace::printable(trace::describe(e, &c));
    }
    // Written again with room for half its bytes: cut at the bound, every
    // event before the cut the same.
    std::vector<uint8_t> bounded;
    trace::Writer small(
        [&](const uint8_t* p, size_t k) {
            bounded.insert(bounded.end(), p, p + k);
            return true;
        },
        file.size() / 2 + 512);
    for (const trace::Event& e : t.events) {
        small.put(e);
    }
    small.finish();
    trace::Trace cut;
    if (trace::read_trace(bounded, "bounded", true, cut)) {
        if (!small.bounded()) {
            __builtin_trap();  // written whole, yet refused
        }
    } else {
        if (small.bounded() == cut.complete || cut.events.size() > t.events.size()) {
            __builtin_trap();  // cut at its bound and read as whole, or whole and read as cut
        }
        for (size_t i = 0; i < cut.events.size(); ++i) {
            if (cut.events[i].data != t.events[i].data || cut.events[i].kind != t.events[i].kind) {
                __builtin_trap();
            }
        }
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
