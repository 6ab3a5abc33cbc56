#include "read/salvage.h"

#include "common/schema.h"

#include <algorithm>
#include <cstring>

namespace vt {
namespace salvage {
namespace {

// Reads lines as they are decrypted, without keeping them: only the first
// bytes of each, enough for its stamp and for the stop record.
class Scanner {
public:
    explicit Scanner(Scan& s) : s_(s) {}

    // False once reading has stopped (damage or the stop record).
    bool feed(const char* text, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            const unsigned char c = static_cast<unsigned char>(text[i]);
            if (c == '\n') {
                if (!endLine()) return false;
                continue;
            }
            if (c < 0x20 || c == 0x7F) valid_ = false;
            if (head_.size() < kHead) head_ += char(c);
            if (lineLength_ == schema::kStampedWidth - 1 && !schema::isStamp(head_)) valid_ = false;
            ++lineLength_;
        }
        return true;
    }

    // What follows the last line feed: padding, or an unfinished record.
    void finish(std::uint64_t body) {
        s_.unread = body - s_.length;
        if (!s_.damaged && !s_.stopRecord && s_.unread < kBlock && lineLength_ == s_.unread &&
            head_.find_first_not_of(' ') == std::string::npos)
            s_.unread = 0;
    }

private:
    static constexpr std::size_t kHead = 64;

    bool endLine() {
        if (!valid_ || !schema::isStamp(head_)) {
            s_.damaged = true;
            return false;
        }
        static const std::string stop = schema::head(schema::Kind::InfoStop);
        const std::uint64_t start = s_.length;
        ++s_.count;
        s_.length += lineLength_ + 1;
        if (lineLength_ == schema::kStampedWidth + stop.size() && head_.compare(schema::kStampedWidth, stop.size(), stop) == 0) {
            s_.stopRecord = true;  // what follows is padding and the trailer
            s_.stopAt = start;
            s_.stopLine = head_ + "\n";
            return false;
        }
        head_.clear();
        lineLength_ = 0;
        valid_ = true;
        return true;
    }

    Scan& s_;
    std::string head_;
    std::uint64_t lineLength_ = 0;
    bool valid_ = true;
};

}  // namespace

Scan scan(ByteSource& source, const Key16& key, std::uint64_t size) {
    Scan s;
    Scanner scanner(s);
    const std::uint64_t body = size - size % kBlock;
    bool stopped = false;
    s.readable = decryptBody(source, key, body, body, [&](const char* text, std::size_t n) {
        if (!scanner.feed(text, n)) stopped = true;
        return !stopped;
    }) || stopped;
    scanner.finish(body);
    return s;
}

bool text(ByteSource& source, const Key16& key, const Scan& found, const TextSink& sink) {
    const std::uint64_t blocks = (found.length + kBlock - 1) / kBlock * kBlock;
    return decryptBody(source, key, blocks, found.length, sink);
}

std::string notCiphertext(const unsigned char* head, std::size_t size) {
    const std::size_t n = std::min<std::size_t>(size, 4096);
    if (n == 0) return {};  // nothing to judge by: no verdict
    std::size_t counts[256] = {};
    for (std::size_t i = 0; i < n; ++i) ++counts[head[i]];
    std::size_t printable = counts['\n'] + counts['\r'] + counts['\t'];
    for (int c = 0x20; c < 0x7F; ++c) printable += counts[c];
    if (printable * 10 >= n * 9) return "it reads as text";
    if (n >= 1024) {
        // Chi-square against even bytes: 255 degrees of freedom, mean 255,
        // deviation 23; ciphertext stays far below 700.
        const double expected = double(n) / 256;
        double chi = 0;
        for (std::size_t c : counts) chi += (double(c) - expected) * (double(c) - expected) / expected;
        if (chi > 700) return "its bytes are far from evenly spread, as ciphertext's are";
    } else if (counts[0] > n / 8 + 4) {
        return "it holds too many zero bytes for ciphertext";
    }
    return {};
}

Records readRecords(const std::string& bytes, const Key16& key) {
    MemorySource source(bytes.data(), bytes.size());
    const Scan s = scan(source, key, bytes.size());
    Records r;
    r.count = std::size_t(s.count);
    r.unread = std::size_t(s.unread);
    r.stopRecord = s.stopRecord;
    r.damaged = s.damaged;
    r.text.reserve(std::size_t(s.length));
    text(source, key, s, [&r](const char* t, std::size_t n) {
        r.text.append(t, n);
        return true;
    });
    return r;
}

}  // namespace salvage
}  // namespace vt
