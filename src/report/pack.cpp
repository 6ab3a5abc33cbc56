#include "report/pack.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <ostream>
#include <stdexcept>

#if defined(VT_HAVE_ZLIB)
#include <zlib.h>
#endif

namespace vt {
namespace report {

namespace {

constexpr std::size_t kPiece = 1 << 16;  // text handed to zlib at a time

// Bytes written as base64 in pieces of whole 3-byte groups.
class Base64Out {
public:
    explicit Base64Out(std::ostream& out) : out_(out) {}
    void put(std::string_view bytes) {
        while (!bytes.empty()) {
            const std::size_t take = std::min(bytes.size(), 3 * kPiece - buf_.size());
            buf_.append(bytes.substr(0, take));
            bytes.remove_prefix(take);
            if (buf_.size() == 3 * kPiece) {
                out_ << base64(buf_);
                buf_.clear();
            }
        }
    }
    void finish() {
        out_ << base64(buf_);
        buf_.clear();
    }

private:
    std::ostream& out_;
    std::string buf_;
};

}  // namespace

#if defined(VT_HAVE_ZLIB)

// Level 3: the one-hour log's page at 0.27 of its text; levels 1 to 3 cost
// about the same, higher ones more (bench_report).
constexpr int kLevel = 3;

// zlib works on a thread of its own, a few pieces behind the text it is
// handed, so that packing overlaps reading and parsing the records.
struct Packed::Stream {
    z_stream z{};
    std::string out;
    std::uint32_t crc = 0;
    std::uint64_t size = 0;

    struct Piece {
        std::string text;
        int mode;
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Piece> queue;
    bool failed = false;
    std::thread worker;

    Stream() {
        if (deflateInit2(&z, kLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            throw std::runtime_error("zlib cannot start");
        crc = static_cast<std::uint32_t>(crc32(0, nullptr, 0));
    }
    ~Stream() {
        submit(std::string(), -1);  // ends the worker
        if (worker.joinable()) worker.join();
        deflateEnd(&z);
    }

    // Waits while the queue is full (memory stays bounded).
    void submit(std::string text, int mode) {
        std::unique_lock<std::mutex> lock(mutex);
        if (!worker.joinable()) {
            if (mode == -1) return;
            worker = std::thread([this] { run(); });
        }
        changed.wait(lock, [this] { return queue.size() < 4; });
        queue.push_back({std::move(text), mode});
        changed.notify_all();
    }

    // The last piece handed over is packed; false when zlib failed.
    bool finish() {
        if (worker.joinable()) {
            submit(std::string(), -1);
            worker.join();
        }
        return !failed;
    }

    void run() {
        for (;;) {
            Piece piece;
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [this] { return !queue.empty(); });
                piece = std::move(queue.front());
                queue.pop_front();
                changed.notify_all();
            }
            if (piece.mode == -1) return;
            if (!failed && !deflatePiece(piece.text, piece.mode)) failed = true;
        }
    }

    bool deflatePiece(const std::string& text, int mode) {
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
        z.avail_in = static_cast<uInt>(text.size());
        crc = static_cast<std::uint32_t>(crc32(crc, z.next_in, z.avail_in));
        size += text.size();
        char buf[kPiece];
        for (;;) {
            z.next_out = reinterpret_cast<Bytef*>(buf);
            z.avail_out = sizeof buf;
            const int rc = deflate(&z, mode);
            if (rc == Z_STREAM_ERROR) return false;
            out.append(buf, sizeof buf - z.avail_out);
            if (mode == Z_FINISH ? rc == Z_STREAM_END : z.avail_out != 0) return true;
        }
    }
};

bool packs() { return true; }

Packed::Packed() : z_(new Stream) { crc_ = z_->crc; }

void Packed::pack(bool flush, bool last) {
    const int mode = last ? Z_FINISH : flush ? Z_SYNC_FLUSH : Z_NO_FLUSH;
    z_->submit(std::move(pending_), mode);
    pending_ = std::string();
    pending_.reserve(kPiece + 1024);
    if (!flush) return;
    if (!z_->finish()) throw std::runtime_error("zlib failed");
    out_ = std::move(z_->out);
    crc_ = z_->crc;
    size_ = z_->size;
    z_.reset();
}

void writeGzipBase64(const Packed& head, const Packed& tail, std::ostream& out) {
    // RFC 1952: the header (deflate, no name, no time, unknown system), the
    // blocks, the CRC-32 and the size of the text.
    const std::uint32_t crc =
        static_cast<std::uint32_t>(crc32_combine(head.crc(), tail.crc(), static_cast<z_off_t>(tail.size())));
    const std::uint32_t size = static_cast<std::uint32_t>(head.size() + tail.size());
    std::string trailer;
    for (int i = 0; i < 4; ++i) trailer += char((crc >> (8 * i)) & 0xff);
    for (int i = 0; i < 4; ++i) trailer += char((size >> (8 * i)) & 0xff);
    Base64Out b(out);
    b.put(std::string_view("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10));
    b.put(head.bytes());
    b.put(tail.bytes());
    b.put(trailer);
    b.finish();
}

#else

struct Packed::Stream {};

bool packs() { return false; }

Packed::Packed() = default;

void Packed::pack(bool, bool) {
    size_ += pending_.size();
    out_ += pending_;
    pending_.clear();
}

void writeGzipBase64(const Packed& head, const Packed& tail, std::ostream& out) {
    Base64Out b(out);
    b.put(head.bytes());
    b.put(tail.bytes());
    b.finish();
}

#endif

Packed::~Packed() = default;
Packed::Packed(Packed&&) noexcept = default;
Packed& Packed::operator=(Packed&&) noexcept = default;

void Packed::append(std::string_view text) {
    pending_.append(text);
    if (pending_.size() >= kPiece) pack(false, false);
}

void Packed::close(bool last) { pack(true, last); }

std::string base64(std::string_view data) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        const unsigned v = (unsigned(static_cast<unsigned char>(data[i])) << 16) |
                           (unsigned(static_cast<unsigned char>(data[i + 1])) << 8) |
                           unsigned(static_cast<unsigned char>(data[i + 2]));
        out += digits[v >> 18];
        out += digits[(v >> 12) & 63];
        out += digits[(v >> 6) & 63];
        out += digits[v & 63];
    }
    if (i < data.size()) {
        unsigned v = unsigned(static_cast<unsigned char>(data[i])) << 16;
        if (i + 1 < data.size()) v |= unsigned(static_cast<unsigned char>(data[i + 1])) << 8;
        out += digits[v >> 18];
        out += digits[(v >> 12) & 63];
        out += i + 1 < data.size() ? digits[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

}  // namespace report
}  // namespace vt
