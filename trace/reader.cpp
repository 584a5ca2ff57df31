#include "reader.h"

#include <zlib.h>

#include <cstring>

namespace trace {

namespace {

// What a kind's fields and payload must be; empty when they are.
std::string payload_fault(const Event& e) {
    switch (e.kind) {
    case Kind::Callback:
        return e.data.size() == RECORD_BYTES ? "" : "a command record is 17 bytes";
    case Kind::LibWrite:
        return e.data.empty() ? "a write of no bytes" : "";
    case Kind::BoardWrite:
        if ((e.flags & FLAG_COPY) != 0) {
            return !e.data.empty() ? "a copied range with bytes of its own"
                   : e.b == 0 || e.b > MAX_PAYLOAD_BYTES
                       ? "a copied range of " + std::to_string(e.b) + " bytes"
                       : "";
        }
        return e.data.empty() || e.data.size() != e.b ? "a range whose length is not its bytes'" : "";
    case Kind::PortRead:
    case Kind::PortWrite:
    case Kind::Map:
    case Kind::Unmap:
    case Kind::Alloc:
    case Kind::Free:
        return e.data.empty() ? "" : "an operation with a payload";
    case Kind::End:
        return e.data.size() == CRC_BYTES ? "" : "an end without its CRC";
    case Kind::Header:
    case Kind::Note:
    case Kind::Board:
    case Kind::Cut:
        return "";
    }
    return "an unknown kind";
}

}  // namespace

std::map<std::string, std::string> parse_lines(const std::string& text) {
    std::map<std::string, std::string> out;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        size_t colon = line.find(": ");
        if (colon != std::string::npos) {
            out[line.substr(0, colon)] = line.substr(colon + 2);
        }
        if (end == std::string::npos) {
            break;
        }
        at = end + 1;
    }
    return out;
}

namespace {

// The events' bytes behind the magic, inflated, never more than the bound.
// `cut`: the compressed stream stops short of its end.
Status inflate_events(const std::vector<uint8_t>& file, std::vector<uint8_t>& plain, bool& cut) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) {
        return Error{exitcode::FAILED, "zlib would not start"};
    }
    z.next_in = const_cast<Bytef*>(file.data() + MAGIC_BYTES);
    z.avail_in = uInt(file.size() - MAGIC_BYTES);
    uint8_t out[65536];
    int r = Z_OK;
    while (r == Z_OK) {
        z.next_out = out;
        z.avail_out = sizeof out;
        r = inflate(&z, Z_NO_FLUSH);
        plain.insert(plain.end(), out, out + (sizeof out - z.avail_out));
        if (plain.size() > MAX_TRACE_BYTES) {
            inflateEnd(&z);
            return Error{exitcode::USAGE, "it holds more than " + std::to_string(MAX_TRACE_BYTES >> 20) +
                                              " MiB of events, more than any trace: the trace is damaged"};
        }
        if (r == Z_BUF_ERROR || (r == Z_OK && z.avail_in == 0 && z.avail_out != 0)) {
            break;  // the input ran out before the stream's end
        }
    }
    bool trailing = r == Z_STREAM_END && z.avail_in != 0;
    std::string why = z.msg ? z.msg : "";
    inflateEnd(&z);
    if (r == Z_DATA_ERROR || r == Z_NEED_DICT || r == Z_MEM_ERROR || r == Z_STREAM_ERROR) {
        return Error{exitcode::USAGE,
                     "its compressed events are damaged (" + (why.empty() ? "zlib" : why) + ")"};
    }
    if (trailing) {
        return Error{exitcode::USAGE, "bytes follow its compressed events: the trace is damaged"};
    }
    cut = r != Z_STREAM_END;
    return std::nullopt;
}

}  // namespace

Status read_trace(const std::vector<uint8_t>& file, const std::string& name, bool allow_incomplete,
                  Trace& out) {
    out = Trace{};
    auto bad = [&](const std::string& why) { return Error{exitcode::USAGE, name + ": " + why}; };
    if (file.size() > MAX_FILE_BYTES) {
        return bad("not a trace: " + std::to_string(file.size()) + " bytes, more than any trace holds");
    }
    if (file.size() < MAGIC_BYTES || std::memcmp(file.data(), MAGIC_PREFIX, sizeof MAGIC_PREFIX) != 0) {
        return bad("not a trace (no KVTRACE signature)");
    }
    out.version = file[MAGIC_BYTES - 1];
    if (out.version < FIRST_FORMAT_VERSION || out.version > FORMAT_VERSION) {
        return bad("trace format version " + std::to_string(out.version) + "; this reader reads " +
                   std::to_string(FIRST_FORMAT_VERSION) + " to " + std::to_string(FORMAT_VERSION));
    }
    std::vector<uint8_t> bytes(file.begin(), file.begin() + MAGIC_BYTES);
    bool stream_cut = false;
    if (Status err = inflate_events(file, bytes, stream_cut)) {
        return bad(err->text);
    }
    size_t at = MAGIC_BYTES;
    size_t n = 0;          // events read, the cut among them
    bool stopped = false;  // a Cut event: only the end may follow
    bool ended = false;
    while (at < bytes.size()) {
        const std::string which = "event " + std::to_string(n);
        if (bytes.size() - at < EVENT_HEAD_BYTES) {
            out.cut = "it ends inside " + which;
            break;
        }
        const uint8_t* p = bytes.data() + at;
        if (!known_kind(p[0]) || (p[0] == uint8_t(Kind::Cut) && out.version < 2)) {
            return bad(which + " is of unknown kind " + std::to_string(p[0]) + ": the trace is damaged");
        }
        Event e;
        e.kind = Kind(p[0]);
        e.flags = p[1];
        if ((e.flags & ~KNOWN_FLAGS) != 0) {
            return bad(which + " has unknown flags: the trace is damaged");
        }
        e.a = get32(p + 2);
        e.b = get32(p + 6);
        e.c = get32(p + 10);
        e.d = get32(p + 14);
        uint32_t length = get32(p + 18);
        if (length > MAX_PAYLOAD_BYTES) {
            return bad(which + " claims " + std::to_string(length) + " bytes: the trace is damaged");
        }
        if (bytes.size() - at - EVENT_HEAD_BYTES < length) {
            out.cut = "it ends inside " + which;
            break;
        }
        e.data.assign(p + EVENT_HEAD_BYTES, p + EVENT_HEAD_BYTES + length);
        if (std::string fault = payload_fault(e); !fault.empty()) {
            return bad(which + " (" + kind_name(e.kind) + ") holds " + fault + ": the trace is damaged");
        }
        if ((n == 0) != (e.kind == Kind::Header)) {
            return bad(n == 0 ? "it does not begin with its header" : which + " is a second header");
        }
        if (stopped && e.kind != Kind::End) {
            return bad(which + " follows the point where the recorder stopped: the trace is damaged");
        }
        if (e.kind == Kind::End) {
            uint32_t crc = uint32_t(crc32(crc32(0L, Z_NULL, 0), bytes.data(), uInt(at)));
            if (e.a != n || get32(e.data.data()) != crc) {
                return bad("its end does not match what comes before it: the trace was changed or damaged");
            }
            if (at + EVENT_HEAD_BYTES + length != bytes.size()) {
                return bad("bytes follow its end: the trace is damaged");
            }
            ended = true;
            break;
        }
        ++n;
        at += EVENT_HEAD_BYTES + length;
        if (e.kind == Kind::Cut) {
            stopped = true;
            out.cut = e.text();
            continue;
        }
        if (e.kind == Kind::Header) {
            out.header = parse_lines(e.text());
        } else if (e.kind == Kind::Board) {
            out.board = parse_lines(e.text());
        }
        out.events.push_back(std::move(e));
    }
    if (out.events.empty()) {
        return bad(stream_cut || !out.cut.empty() ? "the trace was cut short before its header was whole"
                                                  : "not a trace (no header)");
    }
    if (ended && stream_cut) {
        out.cut = "its compressed stream stops before zlib's end";
    } else if (!ended && out.cut.empty()) {
        out.cut = "it has no end";
    }
    out.complete = ended && !stream_cut && !stopped;
    if (!out.complete && !allow_incomplete) {
        return bad("the trace is incomplete (" + out.cut + ", after " + std::to_string(out.events.size()) +
                   " whole events)" +
                   (stopped ? std::string() : ": the recording was cut short (a kill, a full disk)"));
    }
    return std::nullopt;
}

}  // namespace trace
