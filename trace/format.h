// A field trace: everything KOVA.dll and a board said to each other through
// the seven ZUNDA operations, in order, and what the board's memory held
// where the library looked. One file: an 8-byte magic whose last byte is
// the format version, then one zlib stream of events ending with an end
// event that holds the number of events before it and the CRC-32 of every
// byte before it (the magic and the events as they are uncompressed), and
// then zlib's own end. A trace without both ends was cut short (a kill, a
// full disk) and says so. The stream is flushed once per call the host
// notes and at least once a second, not per event: a killed recording keeps
// its events up to its last flush, and the whole stays one zlib pass.
//
// Every event has the same head, little-endian: kind (1 byte), flags (1),
// four 32-bit fields a, b, c, d, and the length of its payload (4), then
// the payload. What the fields hold, per kind:
//   Header      payload: "key: value" lines (format, board, time, tool, maker, maker-sha256, recorder)
//   Note        payload: a line from the host (a call into KOVA.dll and its outcome);
//               from version 2, a: milliseconds since the recording began
//   PortRead    a port, b size, c value stored, d result; FLAG_VALUE_STORED when it stored one
//   PortWrite   a port, b value, c size, d result
//   Map         a physical, b length, c handle, d 1 when mapped
//   Unmap       a handle, b the mapping the pointer belongs to (its Map's ordinal + 1; 0: none), d result
//   Alloc       a length, b handle, d physical address (0: refused)
//   Free        a handle, d result
//   Callback    a handle; payload: the 17-byte command record as passed
//   LibWrite    a physical; payload: bytes the library wrote there through a mapping
//   BoardWrite  a physical, b length; payload: bytes the board holds there (when mapped,
//               or changed by the call before); FLAG_COPY: no payload, the bytes are
//               those at physical c
//   Board       payload: the board's identity strings, "key: value" lines
//   Cut         (version 2) the recorder stopped recording here; payload: why
//               (the trace reached its bound). Only the end follows it.
//   End         a events before it; payload: CRC-32 (4 bytes) of the file before it
#ifndef KOVA_TRACE_FORMAT_H
#define KOVA_TRACE_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace trace {

// What the recorder writes; the reader reads this and every one before.
constexpr uint8_t FORMAT_VERSION = 2;
constexpr uint8_t FIRST_FORMAT_VERSION = 1;
constexpr char MAGIC_PREFIX[7] = {'K', 'V', 'T', 'R', 'A', 'C', 'E'};
constexpr size_t MAGIC_BYTES = 8;  // the prefix, then the format version
constexpr size_t EVENT_HEAD_BYTES = 22;
constexpr size_t CRC_BYTES = 4;

enum class Kind : uint8_t {
    Header = 1,
    Note = 2,
    PortRead = 3,
    PortWrite = 4,
    Map = 5,
    Unmap = 6,
    Alloc = 7,
    Free = 8,
    Callback = 9,
    LibWrite = 10,
    BoardWrite = 11,
    Board = 12,
    Cut = 13,
    End = 0x7F,
};

constexpr uint8_t FLAG_FROM_LIBRARY = 0x01;  // the operation was called from KOVA.dll
constexpr uint8_t FLAG_VALUE_STORED = 0x02;  // PortRead: the operation stored a value
constexpr uint8_t FLAG_COPY = 0x04;          // BoardWrite: the bytes are those at physical c
constexpr uint8_t KNOWN_FLAGS = FLAG_FROM_LIBRARY | FLAG_VALUE_STORED | FLAG_COPY;

// Bounds a reader holds every trace to, and the writer keeps every trace
// within: a whole update is a few MiB of events, an EC that never answers
// about 11 MiB a wait. The writer stops recording (a Cut event) before
// its events would pass MAX_TRACE_BYTES; deflate never makes a file more
// than a few bytes per 16 KiB larger than its input, which the file bound
// leaves room for.
constexpr uint32_t MAX_PAYLOAD_BYTES = 0x02000000;  // 32 MiB
constexpr size_t MAX_TRACE_BYTES = 0x04000000;      // 64 MiB: the magic and the events, uncompressed
constexpr size_t MAX_FILE_BYTES = MAX_TRACE_BYTES + MAX_TRACE_BYTES / 64;
constexpr uint32_t RECORD_BYTES = 17;  // flash_command_record

// Mappings the recorder compares at every operation; a larger one (the
// 2 MiB flash window) only when it is released.
constexpr uint32_t SMALL_MAPPING_MAX_BYTES = 0x10000;

struct Event {
    Event() = default;
    explicit Event(Kind k, uint8_t f = 0) : kind(k), flags(f) {}
    Kind kind{};
    uint8_t flags = 0;
    uint32_t a = 0, b = 0, c = 0, d = 0;
    std::vector<uint8_t> data;
    bool from_library() const { return (flags & FLAG_FROM_LIBRARY) != 0; }
    std::string text() const { return std::string(data.begin(), data.end()); }
};

const char* kind_name(Kind kind);
// A little-endian 32-bit field, as the format and the tables it holds lay them out.
inline uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
bool known_kind(uint8_t kind);

}  // namespace trace

#endif
