// Writes a trace event by event into a sink (a file, memory): the magic,
// then the events through zlib's deflate, flushed after every event so
// that a trace cut short by a kill holds every event written before it.
// The CRC runs over the uncompressed bytes; finish() adds the end event.
// Once the sink refuses a write the writer writes nothing more: the trace
// then lacks its end event and reads as cut short, never as whole.
#ifndef KOVA_TRACE_WRITER_H
#define KOVA_TRACE_WRITER_H

#include <cstdint>
#include <functional>
#include <memory>

#include "format.h"

namespace trace {

class Writer {
public:
    using Sink = std::function<bool(const uint8_t* bytes, size_t n)>;
    explicit Writer(Sink sink);
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void put(const Event& e);
    // The end event; false when any write failed.
    bool finish();
    bool failed() const { return failed_; }
    uint32_t events() const { return events_; }

private:
    void emit(const uint8_t* bytes, size_t n, bool last);

    Sink sink_;
    struct Deflate;
    std::unique_ptr<Deflate> z_;
    unsigned long crc_;
    uint32_t events_ = 0;
    bool failed_ = false;
    bool finished_ = false;
};

// The bytes of one event as the format lays them out.
std::vector<uint8_t> encode(const Event& e);

}  // namespace trace

#endif
