#include "writer.h"

#include <zlib.h>

namespace trace {

namespace {

void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(uint8_t(v >> (8 * i)));
    }
}

}  // namespace

std::vector<uint8_t> encode(const Event& e) {
    std::vector<uint8_t> out;
    out.reserve(EVENT_HEAD_BYTES + e.data.size());
    out.push_back(uint8_t(e.kind));
    out.push_back(e.flags);
    for (uint32_t v : {e.a, e.b, e.c, e.d, uint32_t(e.data.size())}) {
        put32(out, v);
    }
    out.insert(out.end(), e.data.begin(), e.data.end());
    return out;
}

struct Writer::Deflate {
    z_stream stream{};
    bool open = false;
};

Writer::Writer(Sink sink)
    : sink_(std::move(sink)), z_(std::make_unique<Deflate>()), crc_(crc32(0L, Z_NULL, 0)) {
    uint8_t magic[MAGIC_BYTES];
    for (size_t i = 0; i < sizeof MAGIC_PREFIX; ++i) {
        magic[i] = uint8_t(MAGIC_PREFIX[i]);
    }
    magic[MAGIC_BYTES - 1] = FORMAT_VERSION;
    crc_ = crc32(crc_, magic, sizeof magic);
    if (!sink_(magic, sizeof magic)) {
        failed_ = true;
        return;
    }
    z_->open = deflateInit(&z_->stream, Z_BEST_COMPRESSION) == Z_OK;
    failed_ = !z_->open;
}

Writer::~Writer() {
    if (z_->open) {
        deflateEnd(&z_->stream);
    }
}

// Compresses `bytes` and hands what comes out to the sink, flushed so the
// sink holds every whole event (the stream's end with the last).
void Writer::emit(const uint8_t* bytes, size_t n, bool last) {
    if (failed_ || finished_) {
        return;
    }
    crc_ = crc32(crc_, bytes, uInt(n));
    z_stream& z = z_->stream;
    z.next_in = const_cast<Bytef*>(bytes);
    z.avail_in = uInt(n);
    uint8_t out[65536];
    int flush = last ? Z_FINISH : Z_SYNC_FLUSH;
    do {
        z.next_out = out;
        z.avail_out = sizeof out;
        int r = deflate(&z, flush);
        if (r == Z_STREAM_ERROR || !sink_(out, sizeof out - z.avail_out)) {
            failed_ = true;
            return;
        }
    } while (z.avail_out == 0 || z.avail_in != 0);
}

void Writer::put(const Event& e) {
    std::vector<uint8_t> bytes = encode(e);
    emit(bytes.data(), bytes.size(), false);
    ++events_;
}

bool Writer::finish() {
    if (finished_) {
        return !failed_;
    }
    Event end(Kind::End);
    end.a = events_;
    uint32_t crc = uint32_t(crc_);
    for (int i = 0; i < 4; ++i) {
        end.data.push_back(uint8_t(crc >> (8 * i)));
    }
    std::vector<uint8_t> bytes = encode(end);
    emit(bytes.data(), bytes.size(), true);
    finished_ = true;
    return !failed_;
}

}  // namespace trace
