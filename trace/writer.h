// Writes a trace event by event into a sink (a file, memory): the magic,
// then the events through one zlib deflate pass. flush() hands the sink
// every whole event written so far (the recorder calls it once per call
// the host notes and on a timer), so a trace cut short by a kill holds
// every event before its last flush. The CRC runs over the uncompressed
// bytes; finish() adds the end event and zlib's end. Once the sink refuses
// a write the writer writes nothing more: the trace then lacks its ends
// and reads as cut short, never as whole. An event that would take the
// events past MAX_TRACE_BYTES is not written: a Cut event says the trace
// stopped at its bound, and nothing but the end follows it.
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
    // `bound`: the uncompressed bytes (magic included) the trace may hold.
    explicit Writer(Sink sink, size_t bound = MAX_TRACE_BYTES);
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void put(const Event& e);
    // Every event put so far, whole, into the sink.
    void flush();
    // The end event and zlib's end; false when any write failed.
    bool finish();
    bool failed() const { return failed_; }
    // True once the bound stopped the recording.
    bool bounded() const { return bounded_; }
    uint32_t events() const { return events_; }
    size_t bytes() const { return plain_bytes_; }

private:
    enum class Flush { None, Sync, Finish };
    void emit(const uint8_t* bytes, size_t n, Flush flush);

    Sink sink_;
    struct Deflate;
    std::unique_ptr<Deflate> z_;
    unsigned long crc_;
    size_t bound_;
    size_t plain_bytes_ = 0;
    uint32_t events_ = 0;
    bool failed_ = false;
    bool finished_ = false;
    bool bounded_ = false;
};

// The bytes of one event as the format lays them out.
std::vector<uint8_t> encode(const Event& e);

}  // namespace trace

#endif
