// Reads a trace strictly: the magic and a version it knows, each event's
// head within the file and its payload within the bounds and the file,
// known kinds and flags, each kind's payload of the size it must have, one
// header and first, the end event last with the right count and CRC, and
// zlib's end right after it with nothing behind. Anything else is an input
// error naming the event and what is wrong, never a read outside the bytes
// given.
#ifndef KOVA_TRACE_READER_H
#define KOVA_TRACE_READER_H

#include <map>
#include <string>
#include <vector>

#include "error.h"
#include "format.h"

namespace trace {

struct Trace {
    uint8_t version = FORMAT_VERSION;
    std::vector<Event> events;  // the cut and end events not among them
    bool complete = false;      // the end event is there and agrees, and zlib's end follows
    std::string cut;            // when not complete: where and why the trace stops
    std::map<std::string, std::string> header;
    std::map<std::string, std::string> board;  // empty until a Board event
};

// `name` is how messages name the trace. A trace cut short (no end event,
// a last event that is not whole, no zlib end, or stopped at its bound) is
// read as far as it is whole when `allow_incomplete`, and refused
// otherwise.
Status read_trace(const std::vector<uint8_t>& bytes, const std::string& name, bool allow_incomplete,
                  Trace& out);

// "key: value" lines into a map; lines without ": " are skipped.
std::map<std::string, std::string> parse_lines(const std::string& text);

}  // namespace trace

#endif
