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

namespace {

// Room kept for what ends a trace at its bound: the Cut event with its
// reason, and the end event.
constexpr size_t ENDING_BYTES = 2 * EVENT_HEAD_BYTES + 256 + CRC_BYTES;

}  // namespace

Writer::Writer(Sink sink, size_t bound)
    : sink_(std::move(sink)), z_(std::make_unique<Deflate>()), crc_(crc32(0L, Z_NULL, 0)), bound_(bound) {
    uint8_t magic[MAGIC_BYTES];
    for (size_t i = 0; i < sizeof MAGIC_PREFIX; ++i) {
        magic[i] = uint8_t(MAGIC_PREFIX[i]);
    }
    magic[MAGIC_BYTES - 1] = FORMAT_VERSION;
    crc_ = crc32(crc_, magic, sizeof magic);
    plain_bytes_ = sizeof magic;
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

// Compresses `bytes` and hands the sink what deflate gives back. With a
// flush, deflate is called until it has given everything (its output
// buffer left with room), so the sink ends on a whole event; without, it
// keeps what it has not yet compressed, which the next call carries on.
void Writer::emit(const uint8_t* bytes, size_t n, Flush flush) {
    if (failed_ || finished_) {
        return;
    }
    if (n > 0) {  // crc32 of a null buffer is its starting value, not the running one
        crc_ = crc32(crc_, bytes, uInt(n));
    }
    plain_bytes_ += n;
    z_stream& z = z_->stream;
    z.next_in = const_cast<Bytef*>(bytes);
    z.avail_in = uInt(n);
    const int mode = flush == Flush::Finish ? Z_FINISH : flush == Flush::Sync ? Z_SYNC_FLUSH : Z_NO_FLUSH;
    uint8_t out[65536];
    for (;;) {
        z.next_out = out;
        z.avail_out = sizeof out;
        int r = deflate(&z, mode);
        if (r == Z_STREAM_ERROR) {
            failed_ = true;
            return;
        }
        size_t produced = sizeof out - z.avail_out;
        if (produced > 0 && !sink_(out, produced)) {
            failed_ = true;
            return;
        }
        if (mode == Z_FINISH ? r == Z_STREAM_END : z.avail_in == 0 && z.avail_out != 0) {
            return;
        }
    }
}

void Writer::put(const Event& e) {
    if (bounded_ || finished_) {
        return;
    }
    std::vector<uint8_t> bytes = encode(e);
    if (plain_bytes_ + bytes.size() + ENDING_BYTES > bound_) {
        Event cut(Kind::Cut);
        std::string why = "the trace reached its bound of " + std::to_string(bound_ >> 20) +
                          " MiB of events: the recorder stopped recording here";
        cut.data.assign(why.begin(), why.end());
        bytes = encode(cut);
        emit(bytes.data(), bytes.size(), Flush::Sync);
        ++events_;
        bounded_ = true;
        return;
    }
    emit(bytes.data(), bytes.size(), Flush::None);
    ++events_;
}

void Writer::flush() { emit(nullptr, 0, Flush::Sync); }

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
    emit(bytes.data(), bytes.size(), Flush::Finish);
    finished_ = true;
    return !failed_;
}

}  // namespace trace
