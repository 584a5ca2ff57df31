// Field traces: the reader against every kind of damage, the writer when
// its file stops taking bytes, the memory model's runs, the copy the
// observer makes of a block programmed from the transfer buffer, the
// replay board's strict order, what makes a trace replayable, and the
// phases an update's events are named by.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>

#include "captured_state.h"
#include "describe.h"
#include "observer.h"
#include "reader.h"
#include "replay.h"
#include "replay_board.h"
#include "secrets.h"
#include "writer.h"

namespace {

using trace::Event;
using trace::Kind;

Event ev(Kind k, uint32_t a = 0, uint32_t b = 0, uint32_t c = 0, uint32_t d = 0,
         std::vector<uint8_t> data = {}, uint8_t flags = 0) {
    Event e(k, flags);
    e.a = a;
    e.b = b;
    e.c = c;
    e.d = d;
    e.data = std::move(data);
    return e;
}

std::vector<uint8_t> text(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::vector<uint8_t> record_bytes(uint32_t flash, uint32_t length, uint32_t check, uint8_t code) {
    flash_command_record r{};
    r.flash_address = flash;
    r.length = length;
    r.check = check;
    r.code = code;
    std::vector<uint8_t> bytes(17);
    std::memcpy(bytes.data(), &r, 17);
    return bytes;
}

Event header(const std::string& board = "K5R") {
    return ev(Kind::Header, 0, 0, 0, 0, text("format: 1\nboard: " + board + "\ntool: test\n"));
}

std::vector<uint8_t> write(const std::vector<Event>& events, bool finish = true) {
    std::vector<uint8_t> out;
    trace::Writer w([&](const uint8_t* p, size_t n) {
        out.insert(out.end(), p, p + n);
        return true;
    });
    for (const Event& e : events) {
        w.put(e);
    }
    if (finish) {
        w.finish();
    }
    return out;
}

// The events of a file as they are uncompressed (magic included), and back.
std::vector<uint8_t> unpack(const std::vector<uint8_t>& file) {
    std::vector<uint8_t> plain(file.begin(), file.begin() + 8), out(64 << 20);
    uLongf n = uLongf(out.size());
    EXPECT_EQ(uncompress(out.data(), &n, file.data() + 8, uLong(file.size() - 8)), Z_OK);
    plain.insert(plain.end(), out.begin(), out.begin() + long(n));
    return plain;
}
std::vector<uint8_t> pack(const std::vector<uint8_t>& plain) {
    std::vector<uint8_t> out(compressBound(uLong(plain.size())));
    uLongf n = uLongf(out.size());
    EXPECT_EQ(compress(out.data(), &n, plain.data() + 8, uLong(plain.size() - 8)), Z_OK);
    std::vector<uint8_t> file(plain.begin(), plain.begin() + 8);
    file.insert(file.end(), out.begin(), out.begin() + long(n));
    return file;
}

const std::vector<Event> GOOD = {header(),
                                 ev(Kind::Note, 0, 0, 0, 0, text("call KOVA_get_ec_ram index=64 count=0")),
                                 ev(Kind::PortWrite, 0x66, 0x80, 1, 1, {}, trace::FLAG_FROM_LIBRARY),
                                 ev(Kind::Note, 0, 0, 0, 0, text("return 0x0000005A count=0 message="))};
constexpr size_t HEAD = 22;
constexpr size_t FIRST_EVENT = 8;  // after the magic
size_t second_event() { return FIRST_EVENT + HEAD + GOOD[0].data.size(); }

TEST(TraceReader, RefusesEachDamageAndSaysWhich) {
    const std::vector<uint8_t> good = write(GOOD);
    trace::Trace t;
    ASSERT_EQ(trace::read_trace(good, "t", false, t), std::nullopt);
    ASSERT_TRUE(t.complete);
    ASSERT_EQ(t.events.size(), GOOD.size());
    EXPECT_EQ(t.events[2].b, 0x80u);
    EXPECT_EQ(t.header.at("board"), "K5R");

    auto plain_edit = [&](auto edit) {
        std::vector<uint8_t> p = unpack(good);
        edit(p);
        return pack(p);
    };
    struct Case {
        const char* name;
        std::vector<uint8_t> file;
        const char* said;
    };
    std::vector<uint8_t> other_magic = good, other_version = good, cut = good, flipped = good;
    other_magic[0] = 'X';
    other_version[7] = 3;
    cut.resize(cut.size() / 2);
    flipped[good.size() / 2] ^= 0x55;
    const Case cases[] = {
        {"not a trace", other_magic, "no KVTRACE signature"},
        {"a later version", other_version, "trace format version 3; this reader reads 1 to 2"},
        {"cut short", cut, "the trace is incomplete"},
        {"edited value", plain_edit([](auto& p) { p[second_event() + HEAD + 22 + 6] = 0x81; }),
         "its end does not match what comes before it"},
        {"huge length", plain_edit([](auto& p) { std::memset(&p[FIRST_EVENT + 18], 0xF0, 4); }), "claims"},
        {"unknown kind", plain_edit([](auto& p) { p[second_event()] = 0x40; }),
         "event 1 is of unknown kind 64"},
        {"unknown flags", plain_edit([](auto& p) { p[second_event() + 1] = 0x80; }),
         "event 1 has unknown flags"},
        {"bytes after the end", plain_edit([](auto& p) { p.push_back(0); }), "bytes follow its end"},
        {"an end that counts another number of events",
         plain_edit([](auto& p) { p[p.size() - HEAD - 4 + 2] += 1; }), "its end does not match"},
        {"header not first", pack(unpack(write({GOOD[1], header()}))), "it does not begin with its header"},
        {"short record", write({header(), ev(Kind::Callback, 1, 0, 0, 0, std::vector<uint8_t>(16))}),
         "a command record is 17 bytes"},
        {"corrupted compression", flipped, "damaged"},
        {"a second header", write({header(), GOOD[1], header()}), "event 2 is a second header"},
        {"a second trace behind the first",
         [&] {
             std::vector<uint8_t> two = good;
             two.insert(two.end(), good.begin(), good.end());
             return two;
         }(),
         "bytes follow its compressed events"},
        {"a cut in a version 1 trace",
         [&] {
             std::vector<uint8_t> p = unpack(write({header(), ev(Kind::Cut, 0, 0, 0, 0, text("bound"))}));
             p[7] = 1;
             return pack(p);
         }(),
         "event 1 is of unknown kind 13"},
        {"an event after the recorder stopped",
         write({header(), ev(Kind::Cut, 0, 0, 0, 0, text("bound")), GOOD[1]}), "event 2 follows the point"},
    };
    for (const Case& c : cases) {
        Status err = trace::read_trace(c.file, "t.kvt", false, t);
        ASSERT_TRUE(err.has_value()) << c.name;
        EXPECT_EQ(err->code, exitcode::USAGE) << c.name;
        EXPECT_NE(err->text.find(c.said), std::string::npos) << c.name << ": " << err->text;
        EXPECT_EQ(err->text.rfind("t.kvt: ", 0), 0u) << c.name;
    }
}

// A file cut anywhere in zlib's last bytes (its end and its check) holds
// the end event, yet is not whole.
TEST(TraceReader, AStreamWithoutZlibsEndIsIncomplete) {
    const std::vector<uint8_t> good = write(GOOD);
    for (size_t cut = 1; cut <= 5; ++cut) {
        std::vector<uint8_t> file(good.begin(), good.end() - long(cut));
        trace::Trace t;
        ASSERT_EQ(trace::read_trace(file, "t", true, t), std::nullopt) << cut;
        EXPECT_FALSE(t.complete) << cut << " bytes short";
        Status err = trace::read_trace(file, "t", false, t);
        ASSERT_TRUE(err.has_value()) << cut;
        EXPECT_NE(err->text.find("incomplete"), std::string::npos) << err->text;
    }
}

struct Sink {
    std::vector<uint8_t> out;
    size_t room = SIZE_MAX;
    trace::Writer::Sink fn() {
        return [this](const uint8_t* p, size_t n) {
            if (out.size() + n > room) {
                return false;
            }
            out.insert(out.end(), p, p + n);
            return true;
        };
    }
};

TEST(TraceWriter, AFileThatStopsTakingBytesLeavesATraceMarkedIncomplete) {
    Sink sink;
    trace::Writer w(sink.fn());
    w.put(GOOD[0]);
    w.put(GOOD[1]);
    w.flush();
    sink.room = sink.out.size();  // the disk is full from here on
    w.put(GOOD[2]);
    w.flush();
    EXPECT_TRUE(w.failed());
    EXPECT_FALSE(w.finish());
    trace::Trace t;
    ASSERT_EQ(trace::read_trace(sink.out, "t", true, t), std::nullopt);
    EXPECT_FALSE(t.complete);
    EXPECT_EQ(t.events.size(), 2u);  // every event up to the last flush
    EXPECT_TRUE(trace::read_trace(sink.out, "t", false, t).has_value());
}

// One zlib pass: an event is handed on at a flush, not as it is put, so
// a run of like events costs a few bytes each; and a flush ends on a
// whole event however much deflate has to give (past its 64 KiB buffer).
TEST(TraceWriter, FlushesWholeEventsOnlyWhenAsked) {
    Sink sink;
    trace::Writer w(sink.fn());
    w.put(GOOD[0]);
    w.flush();
    const size_t after_header = sink.out.size();
    for (int i = 0; i < 1000; ++i) {
        w.put(GOOD[2]);
    }
    EXPECT_LT(sink.out.size() - after_header, 1000u) << "events are not flushed one by one";
    uint32_t x = 12345;
    size_t events = 1001;
    for (size_t size : {70000, 140000, 300000, 1 << 20}) {
        std::vector<uint8_t> noise(size);
        for (uint8_t& b : noise) {
            x = x * 1103515245 + 12345;
            b = uint8_t(x >> 16);
        }
        w.put(ev(Kind::BoardWrite, 0xF0000, uint32_t(noise.size()), 0, 0, noise));
        w.flush();
        ++events;
        trace::Trace t;
        ASSERT_EQ(trace::read_trace(sink.out, "t", true, t), std::nullopt) << size;
        ASSERT_EQ(t.events.size(), events) << size << " bytes: the flush left the event unwritten";
        EXPECT_EQ(t.events.back().data, noise) << size;
    }
}

// The writer stops before its events pass the bound: a Cut event says so,
// every event before it is whole, and the trace reads as cut, not damaged.
TEST(TraceWriter, StopsAtItsBound) {
    Sink sink;
    constexpr size_t bound = 4096;
    trace::Writer w(sink.fn(), bound);
    w.put(GOOD[0]);
    size_t put = 1;
    while (!w.bounded() && put < 1000) {
        w.put(GOOD[2]);
        ++put;
    }
    ASSERT_TRUE(w.bounded());
    EXPECT_TRUE(w.finish());
    EXPECT_LE(w.bytes(), bound);
    trace::Trace t;
    ASSERT_EQ(trace::read_trace(sink.out, "t", true, t), std::nullopt);
    EXPECT_FALSE(t.complete);
    EXPECT_EQ(t.events.size(), put - 1) << "the last put found no room";
    EXPECT_NE(t.cut.find("bound"), std::string::npos) << t.cut;
}

TEST(MemoryModel, RunsAreTheUnknownAndChangedBytes) {
    struct Case {
        const char* name;
        std::vector<std::pair<uint32_t, uint8_t>> changes;  // offset, new value, over a known zero page
        std::vector<std::pair<uint32_t, uint32_t>> runs;    // offset, length
    };
    const Case cases[] = {
        {"nothing changed", {}, {}},
        {"one byte", {{5, 1}}, {{5, 1}}},
        {"16 equal bytes between: one run", {{0, 1}, {17, 1}}, {{0, 18}}},
        {"17 equal bytes between: two runs", {{0, 1}, {18, 1}}, {{0, 1}, {18, 1}}},
        {"the last byte of the page", {{4095, 9}}, {{4095, 1}}},
    };
    for (const Case& c : cases) {
        trace::MemoryModel m;
        std::vector<uint8_t> page(4096, 0);
        m.store(0x10000, page.data(), 4096);
        for (auto [at, v] : c.changes) {
            page[at] = v;
        }
        std::vector<trace::Run> runs = m.observe(0x10000, page.data(), 4096);
        ASSERT_EQ(runs.size(), c.runs.size()) << c.name;
        for (size_t i = 0; i < runs.size(); ++i) {
            EXPECT_EQ(runs[i].physical, 0x10000 + c.runs[i].first) << c.name;
            EXPECT_EQ(runs[i].bytes.size(), c.runs[i].second) << c.name;
        }
        EXPECT_TRUE(m.observe(0x10000, page.data(), 4096).empty()) << c.name << ": seen once, known after";
    }
    // Unknown memory is one run however equal its bytes, cut at the longest run.
    trace::MemoryModel m;
    std::vector<uint8_t> big(trace::MemoryModel::MAX_RUN_BYTES + 10, 0xFF);
    std::vector<trace::Run> runs = m.observe(0xFFE00000, big.data(), uint32_t(big.size()));
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].bytes.size(), trace::MemoryModel::MAX_RUN_BYTES);
    EXPECT_EQ(runs[1].physical, 0xFFE00000 + trace::MemoryModel::MAX_RUN_BYTES);
}

TEST(Observer, ABlockProgrammedFromTheTransferBufferIsACopyOfIt) {
    trace::Observer o(false);
    std::vector<uint8_t> transfer(4096);
    for (size_t i = 0; i < transfer.size(); ++i) {
        transfer[i] = uint8_t(i * 7);
    }
    o.model.store(0x500000, transfer.data(), 4096);
    trace::BlockSource source{0xFFE30000, 4096, 0x500000};
    std::vector<uint8_t> other(4096, 0xEE);
    std::vector<Event> events = o.board_events(
        {{0xFFE30100, std::vector<uint8_t>(transfer.begin() + 0x100, transfer.begin() + 0x180)},
         {0xFFE30200, std::vector<uint8_t>(16, 0xEE)},
         {0xFFE31000, std::vector<uint8_t>(transfer.begin(), transfer.begin() + 16)}},
        source, 0);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_TRUE(events[0].flags & trace::FLAG_COPY);
    EXPECT_EQ(events[0].c, 0x500100u);  // the same offset in the transfer buffer
    EXPECT_EQ(events[0].b, 0x80u);
    EXPECT_TRUE(events[0].data.empty());
    EXPECT_FALSE(events[1].flags & trace::FLAG_COPY) << "other bytes are the board's own";
    EXPECT_FALSE(events[2].flags & trace::FLAG_COPY) << "outside the block the record names";
}

TEST(ReplayBoard, AnswersAsRecordedAndStopsAtTheFirstDifference) {
    trace::Trace t;
    t.events = {
        header(),
        ev(Kind::PortWrite, 0x66, 0x80, 1, 1),
        ev(Kind::PortRead, 0x62, 1, 0x5A, 1, {}, trace::FLAG_VALUE_STORED),
        ev(Kind::Map, 0xF0000, 0x10, 7, 1),
        ev(Kind::BoardWrite, 0xF0000, 16, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}),
        ev(Kind::LibWrite, 0xF0002, 0, 0, 0, {9}),
        ev(Kind::Unmap, 7, 1, 0, 1),
        ev(Kind::Callback, 1, 0, 0, 0, record_bytes(0xFFE30000, 0x1000, 0x1234, 0x23))};
    {
        trace::ReplayBoard board(t);
        board.skip();  // the header
        EXPECT_EQ(board.set_port(0x66, 0x80, 1), 1u);
        uint32_t value = 0xAABBCC00;
        EXPECT_EQ(board.get_port(0x62, &value, 1), 1u);
        EXPECT_EQ(value, 0xAABBCC5Au) << "only the port's width is stored";
        uint32_t handle = 0;
        auto* p = static_cast<uint8_t*>(board.map(0xF0000, 0x10, &handle));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(handle, 7u);
        EXPECT_EQ(p[2], 3) << "the board's bytes are served";
        p[2] = 9;
        EXPECT_EQ(board.unmap(7, p), 1u);
        EXPECT_EQ(board.mismatch(), std::nullopt);
        EXPECT_EQ(board.live_mappings(), 0u);
    }
    struct Case {
        const char* name;
        std::function<void(trace::ReplayBoard&)> requests;
        size_t event;
        const char* came;
    };
    // The requests as recorded up to the mapping, and the mapping they make.
    auto mapped = [](trace::ReplayBoard& b, uint32_t length = 0x10) {
        uint32_t h = 0, v = 0;
        b.set_port(0x66, 0x80, 1), b.get_port(0x62, &v, 1);
        return static_cast<uint8_t*>(b.map(0xF0000, length, &h));
    };
    const Case cases[] = {
        {"another value written", [](auto& b) { b.set_port(0x66, 0x81, 1); }, 1, "value 0x81"},
        {"another port read", [](auto& b) { b.set_port(0x66, 0x80, 1), b.get_port(0x63, nullptr, 1); }, 2,
         "GetPortVal(port 0x63"},
        {"another byte written through the mapping",
         [&](auto& b) {
             uint8_t* p = mapped(b);
             p[2] = 8;
             b.unmap(7, p);
         },
         5, "the library wrote 1 byte: 08 at 0x000F0002"},
        {"a port written at another width", [](auto& b) { b.set_port(0x66, 0x80, 2); }, 1, "size 2"},
        {"a mapping of another length", [&](auto& b) { mapped(b, 0x20); }, 3, "length 0x20"},
        {"another command record",
         [&](auto& b) {
             uint8_t* p = mapped(b);
             p[2] = 9;
             b.unmap(7, p);
             flash_command_record r{};
             std::memcpy(&r, record_bytes(0xFFE30000, 0x1000, 0x1235, 0x23).data(), 17);
             b.callback(1, r);
         },
         7, "check 0x00001235"},
        {"nothing written where the trace has a write", [&](auto& b) { b.unmap(7, mapped(b)); }, 5,
         "no more bytes written"},
    };
    for (const Case& c : cases) {
        trace::ReplayBoard board(t);
        board.skip();
        c.requests(board);
        ASSERT_TRUE(board.mismatch().has_value()) << c.name;
        EXPECT_EQ(board.mismatch()->event, c.event) << c.name;
        EXPECT_NE(board.mismatch()->came.find(c.came), std::string::npos)
            << c.name << ": " << board.mismatch()->came;
        EXPECT_EQ(board.set_port(0x66, 0x80, 1), 0u) << c.name << ": nothing is answered after a difference";
    }
}

// A trace cut short: the library's requests are checked up to the cut, and
// what it asks after is no difference; a whole trace that ends early is one.
TEST(ReplayBoard, ATraceCutShortIsCheckedUpToItsCut) {
    for (bool complete : {false, true}) {
        trace::Trace t;
        t.events = {header(), ev(Kind::PortWrite, 0x66, 0x80, 1, 1)};
        t.complete = complete;
        trace::ReplayBoard board(t);
        board.skip();
        EXPECT_EQ(board.set_port(0x66, 0x80, 1), 1u);
        board.set_port(0x62, 0x01, 1);
        EXPECT_EQ(board.mismatch().has_value(), complete) << complete;
        EXPECT_EQ(board.reached_cut(), !complete) << complete;
    }
    trace::Trace t;  // cut, but what came before the cut differs
    t.events = {header(), ev(Kind::PortWrite, 0x66, 0x80, 1, 1)};
    trace::ReplayBoard board(t);
    board.skip();
    board.set_port(0x66, 0x81, 1);
    EXPECT_TRUE(board.mismatch().has_value());
    EXPECT_FALSE(board.reached_cut());
}

// An unmap releases the mapping that starts at its pointer, the one with
// its handle first, else the newest; never one whose range merely holds it.
TEST(Observer, AnUnmapReleasesTheMappingThatStartsAtItsPointer) {
    uint8_t fseg[0x10000];
    trace::Observer o(false);
    o.live = {{0, 0xF0000, 0x10000, 1, fseg},        // oldest: the F-segment
              {1, 0xF1000, 0x84, 2, fseg + 0x1000},  // a table inside it
              {2, 0xF0000, 0x24, 3, fseg}};          // newest: a table at its start
    struct Case {
        const char* name;
        uint32_t handle;
        const uint8_t* pointer;
        int released;  // ordinal, -1: none
    };
    const Case cases[] = {
        {"the newest, by its handle", 3, fseg, 2},
        {"the oldest, by its handle, though a newer one starts there", 1, fseg, 0},
        {"an unknown handle: the newest at the pointer", 9, fseg, 2},
        {"the inner table", 2, fseg + 0x1000, 1},
        {"a pointer inside a mapping, not at its start", 2, fseg + 0x1001, -1},
    };
    for (const Case& c : cases) {
        const trace::LiveMapping* m = o.releasing(c.handle, c.pointer);
        EXPECT_EQ(m ? int(m->ordinal) : -1, c.released) << c.name;
    }
}

// The MSDM table's data never reaches a trace; its header, every other
// byte, and the flash's bytes stay as they are.
TEST(Secrets, AnMsdmTablesDataIsBlanked) {
    auto table = [](uint32_t length, uint32_t data_length) {
        std::vector<uint8_t> t(length, 'K');
        std::memcpy(t.data(), "MSDM", 4);
        std::memcpy(&t[trace::ACPI_TABLE_LENGTH_OFFSET], &length, 4);
        std::memcpy(&t[52], &data_length, 4);  // the data length, which the blanking does not need
        return t;
    };
    constexpr uint32_t LIMIT = 0xFFE00000;
    struct Case {
        const char* name;
        uint32_t physical;
        std::vector<uint8_t> bytes;
        size_t blanked_from, blanked_to;  // offsets in `bytes`; equal: none
    };
    std::vector<uint8_t> in_fseg(0x100, 0);
    std::vector<uint8_t> t85 = table(85, 29);
    std::copy(t85.begin(), t85.end(), in_fseg.begin() + 0x40);
    const Case cases[] = {
        {"a table alone", 0xF1000, table(85, 29), 56, 85},
        {"a table inside the F-segment", 0xF0000, in_fseg, 0x40 + 56, 0x40 + 85},
        {"a data length past the table: the table's end bounds it", 0xF1000, table(85, 300), 56, 85},
        {"a table no longer than its fixed fields", 0xF1000, table(56, 0), 0, 0},
        {"a table length past the bound", 0xF1000, table(0x1001, 29), 0, 0},
        {"the same bytes in the flash", LIMIT + 0x1000, table(85, 29), 0, 0},
    };
    for (const Case& c : cases) {
        trace::Secrets secrets;
        std::vector<uint8_t> b = c.bytes;
        secrets.blank(c.physical, b, LIMIT);
        for (size_t i = 0; i < b.size(); ++i) {
            bool blank = i >= c.blanked_from && i < c.blanked_to;
            ASSERT_EQ(b[i], blank ? trace::BLANKED_BYTE : c.bytes[i]) << c.name << " at " << i;
        }
    }
    // The header mapped first, the data later in bytes of their own: still blanked.
    trace::Secrets secrets;
    const std::vector<uint8_t> whole = table(85, 29);
    std::vector<uint8_t> header36(whole.begin(), whole.begin() + 36), later(16, 'K');
    secrets.blank(0xF1000, header36, LIMIT);
    secrets.blank(0xF1000 + 80, later, LIMIT);
    EXPECT_EQ(later, std::vector<uint8_t>(
                         {'*', '*', '*', '*', '*', 'K', 'K', 'K', 'K', 'K', 'K', 'K', 'K', 'K', 'K', 'K'}));
}

// Two live mappings of one range under one handle at one address on the
// board: the recorder could not tell which one an unmap released, and the
// replay takes either as the same release.
TEST(ReplayBoard, EitherOfTwoLikeMappingsIsTheSameRelease) {
    trace::Trace t;
    t.events = {header(),
                ev(Kind::Map, 0xF0000, 0x10, 7, 1),
                ev(Kind::BoardWrite, 0xF0000, 16, 0, 0, std::vector<uint8_t>(16, 1)),
                ev(Kind::Map, 0xF0000, 0x10, 7, 1),
                ev(Kind::Unmap, 7, 2, 0, 1),  // the recorder took the newer
                ev(Kind::Unmap, 7, 1, 0, 1)};
    trace::ReplayBoard board(t);
    board.skip();
    uint32_t h = 0;
    void* older = board.map(0xF0000, 0x10, &h);
    void* newer = board.map(0xF0000, 0x10, &h);
    EXPECT_EQ(board.unmap(7, older), 1u);
    EXPECT_EQ(board.unmap(7, newer), 1u);
    EXPECT_EQ(board.mismatch(), std::nullopt) << board.mismatch()->came;
    EXPECT_EQ(board.live_mappings(), 0u);
}

TEST(Replayable, ATraceNamesItsBoardItsCallsAndItsImage) {
    std::vector<uint8_t> image(0x200000, 0xFF);
    const std::string image_sha = "1b5ad9a1ce1e5f8dd6d6b3a9d2bd7f9ab5c3bb5ed46e1bbfe5ba8dac00e6e4b7";
    auto with = [](std::vector<Event> events) {
        trace::Trace t;
        t.events = std::move(events);
        t.header = trace::parse_lines(t.events[0].text());
        return t;
    };
    auto call = [](const std::string& line) { return ev(Kind::Note, 0, 0, 0, 0, text(line)); };
    struct Case {
        const char* name;
        trace::Trace t;
        const char* said;  // empty: replayable
    };
    const Case cases[] = {
        {"an EC read", with({header(), call("call KOVA_get_ec_ram index=64 count=0")}), ""},
        {"another board", with({header("K6R"), call("call KOVA_get_ec_ram index=64 count=0")}),
         "recorded for board K6R, not K5R"},
        {"no calls", with({header()}), "holds no call"},
        {"an entry the library lacks", with({header(), call("call KOVA_erase_all count=0")}),
         "does not export"},
        {"an argument missing", with({header(), call("call KOVA_get_ec_ram count=0")}), "lacks its index"},
        {"a call without its outcome, then another call",
         with({header(), call("call KOVA_get_ec_ram index=64 count=0"),
               call("call KOVA_get_ec_ram index=65 count=0")}),
         "event 1 notes the call \"call KOVA_get_ec_ram index=64 count=0\" without its outcome"},
        {"a whole trace whose last call has no outcome",
         [&] {
             trace::Trace t = with({header(), call("call KOVA_get_ec_ram index=64 count=0")});
             t.complete = true;
             return t;
         }(),
         "without its outcome, in a trace that is whole"},
        {"another image",
         with({header(),
               call("call KOVA_check_bios_image image-sha256=" + image_sha + " handle=1 flags=0 count=0")}),
         "not the one"},
    };
    for (const Case& c : cases) {
        Status err = trace::check_replayable(c.t, &image);
        if (std::string(c.said).empty()) {
            EXPECT_EQ(err, std::nullopt) << c.name;
        } else {
            ASSERT_TRUE(err.has_value()) << c.name;
            EXPECT_NE(err->text.find(c.said), std::string::npos) << c.name << ": " << err->text;
        }
    }
}

TEST(Phases, AnUpdateIsNamedPassByPass) {
    auto callback = [](uint8_t code, uint32_t flash_offset) {
        flash_command_record r{};
        r.code = code;
        r.flash_address = 0xFFE00000 + flash_offset;
        std::vector<uint8_t> bytes(17);
        std::memcpy(bytes.data(), &r, 17);
        return ev(Kind::Callback, 1, 0, 0, 0, bytes);
    };
    trace::Trace t;
    t.events = {header(),
                ev(Kind::Note, 0, 0, 0, 0, text("call KOVA_update_bios_firmware handle=1 flags=0")),
                ev(Kind::Map, 0xFFE00000, 0x200000, 1, 1),
                ev(Kind::PortWrite, 0xB2, 0x20, 1, 1),
                callback(0x20, 0),
                callback(0x22, 0x30000),
                callback(0x22, 0x1F0000),
                ev(Kind::PortWrite, 0x381, 0xFE, 1, 1),
                callback(0x22, 0x10000),
                callback(0x22, 0x1F000),
                callback(0x22, 0x10000),  // below the last: pass e walks the copy area again
                callback(0x24, 0),
                ev(Kind::Unmap, 1, 1, 0, 1),
                ev(Kind::Note, 0, 0, 0, 0, text("return 0x00000000 count=0 message=")),
                ev(Kind::PortRead, 0x62, 1, 0, 1)};
    const std::vector<std::string> want = {
        "host",    "host",   "acquisition", "begin",
        "begin",   "pass a", "pass b",      "register 0xFEA1 (whether pass c runs)",
        "pass c",  "pass c", "pass e",      "end",
        "release", "host",   "host"};
    EXPECT_EQ(trace::phases(t), want);
}

}  // namespace

namespace {

TEST(Notes, CallsAndOutcomesAsTheHostWritesThem) {
    struct Case {
        const char* line;
        const char* entry;  // nullptr: not a call
        std::optional<uint32_t> result;
        int32_t count;
        const char* message;
    };
    const Case cases[] = {
        {"call KOVA_get_ec_ram index=64 count=0", "KOVA_get_ec_ram", {}, 0, ""},
        {"call KOVA_get_ec_ram index", nullptr, {}, 0, ""},  // an argument without its value
        {"return 0x80000030 count=-3 message=Flash write failed.", nullptr, 0x80000030u, -3,
         "Flash write failed."},
        {"return 0x00000000 count=0 message=BIOS update successfully completed. ", nullptr, 0u, 0,
         "BIOS update successfully completed. "},  // the trailing blank is the message's
        {"return 0x0000zz00 count=0 message=", nullptr, {}, 0, ""},
        {"returned 0x0 count=0 message=", nullptr, {}, 0, ""},
    };
    for (const Case& c : cases) {
        std::optional<trace::Call> call = trace::parse_call(c.line);
        EXPECT_EQ(call.has_value(), c.entry != nullptr) << c.line;
        if (call && c.entry) {
            EXPECT_EQ(call->entry, c.entry);
            EXPECT_EQ(call->args.at("index"), "64");
        }
        std::optional<trace::Outcome> o = trace::parse_outcome(c.line);
        ASSERT_EQ(o.has_value(), c.result.has_value()) << c.line;
        if (o) {
            EXPECT_EQ(o->result, *c.result) << c.line;
            EXPECT_EQ(o->count, c.count) << c.line;
            EXPECT_EQ(o->message, c.message) << c.line;
        }
    }
}

TEST(CapturedState, AsTheRecordingFoundTheBoardAndAsItLeftIt) {
    auto note = [](const std::string& s) { return ev(Kind::Note, 0, 0, 0, 0, text(s)); };
    trace::Trace t;
    t.events = {header(),
                ev(Kind::BoardWrite, 0xF0000, 4, 0, 0, {1, 2, 3, 4}),
                ev(Kind::LibWrite, 0xF0001, 0, 0, 0, {9}),  // the library's, not what the board held
                ev(Kind::PortWrite, 0x381, 0xFE, 1, 1),
                ev(Kind::PortWrite, 0x382, 0xA1, 1, 1),
                ev(Kind::PortRead, 0x383, 1, 0x80, 1, {}, trace::FLAG_VALUE_STORED),
                ev(Kind::PortRead, 0x383, 1, 0x00, 1, {}, trace::FLAG_VALUE_STORED),
                note("call KOVA_get_ec_ram index=64 count=0"),
                note("return 0x0000005A count=0 message="),
                note("call KOVA_set_ec_ram index=64 value=7 count=0"),
                note("return 0x00000000 count=0 message=")};
    struct Case {
        bool at_end;
        uint8_t fseg_byte_1, reg, ec;
    };
    for (const Case& c : {Case{false, 2, 0x80, 0x5A}, Case{true, 9, 0x00, 7}}) {
        trace::CapturedState s = trace::captured_state(t, c.at_end);
        EXPECT_FALSE(s.flash.has_value()) << "the flash was never seen";
        EXPECT_FALSE(s.fseg.has_value()) << "4 bytes are not the F-segment";
        ASSERT_EQ(s.registers.count(0xFEA1), 1u);
        EXPECT_EQ(s.registers.at(0xFEA1), c.reg) << "at end " << c.at_end;
        ASSERT_TRUE(s.ec_ram[64].has_value());
        EXPECT_EQ(*s.ec_ram[64], c.ec) << "at end " << c.at_end;
        EXPECT_FALSE(s.ec_ram[65].has_value());
    }
    // The F-segment as first seen and as left: the board's byte, then the library's.
    std::vector<Event> whole = t.events;
    whole[1] = ev(Kind::BoardWrite, 0xF0000, 0x10000, 0, 0, std::vector<uint8_t>(0x10000, 2));
    t.events = whole;
    EXPECT_EQ((*trace::captured_state(t, false).fseg)[1], 2);
    EXPECT_EQ((*trace::captured_state(t, true).fseg)[1], 9);
}

}  // namespace
