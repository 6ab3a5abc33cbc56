#include "report/pack.h"

#include <algorithm>
#include <array>
#include <vector>

namespace vt {
namespace report {
namespace {

constexpr int kWindow = 32768;
constexpr int kMinMatch = 3, kMaxMatch = 258;
constexpr int kHashBits = 15;
constexpr int kMaxChain = 8;   // candidates tried per position
constexpr int kGoodEnough = 48; // a match this long ends the search

const unsigned short kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                        31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const unsigned char kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                        2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const unsigned short kDistBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                      193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const unsigned char kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                      6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

class Bits {
public:
    explicit Bits(std::string& out) : out_(out) {}
    // Values go least significant bit first; codes are stored reversed to match.
    void put(std::uint32_t value, int count) {
        acc_ |= std::uint64_t(value) << n_;
        n_ += count;
        while (n_ >= 8) {
            out_.push_back(char(acc_ & 0xff));
            acc_ >>= 8;
            n_ -= 8;
        }
    }
    void flush() {
        if (n_ > 0) put(0, 8 - n_);
    }

private:
    std::string& out_;
    std::uint64_t acc_ = 0;
    int n_ = 0;
};

std::uint32_t reversed(std::uint32_t value, int count) {
    std::uint32_t r = 0;
    for (int i = 0; i < count; ++i) r |= ((value >> i) & 1u) << (count - 1 - i);
    return r;
}

// The fixed code table, bit-reversed for writing: code | length << 16.
struct FixedCodes {
    std::array<std::uint32_t, 288> literal{};
    std::array<std::uint32_t, 30> distance{};
    FixedCodes() {
        for (unsigned s = 0; s < 288; ++s) {
            const std::uint32_t code = s < 144 ? 0x30 + s : s < 256 ? 0x190 + s - 144 : s < 280 ? s - 256 : 0xc0 + s - 280;
            const int length = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
            literal[s] = reversed(code, length) | std::uint32_t(length) << 16;
        }
        for (unsigned d = 0; d < 30; ++d) distance[d] = reversed(d, 5) | 5u << 16;
    }
};
const FixedCodes kCodes;

void literal(Bits& bits, unsigned symbol) {
    const std::uint32_t c = kCodes.literal[symbol];
    bits.put(c & 0xffff, int(c >> 16));
}

void match(Bits& bits, int length, int distance) {
    int l = 28;
    while (kLengthBase[l] > length) --l;
    literal(bits, 257 + unsigned(l));
    if (kLengthExtra[l]) bits.put(unsigned(length - kLengthBase[l]), kLengthExtra[l]);
    int d = 29;
    while (kDistBase[d] > distance) --d;
    bits.put(kCodes.distance[d] & 0xffff, 5);
    if (kDistExtra[d]) bits.put(unsigned(distance - kDistBase[d]), kDistExtra[d]);
}

unsigned hash3(const unsigned char* p) {
    return ((unsigned(p[0]) << 10) ^ (unsigned(p[1]) << 5) ^ unsigned(p[2])) & ((1u << kHashBits) - 1);
}

void deflateFixed(const std::string& data, std::string& out) {
    Bits bits(out);
    bits.put(1, 1);  // the last block
    bits.put(1, 2);  // fixed codes
    const auto* in = reinterpret_cast<const unsigned char*>(data.data());
    const int n = int(data.size());
    std::vector<int> head(std::size_t(1) << kHashBits, -1);
    std::vector<int> prev(kWindow, -1);
    auto insert = [&](int pos) {
        if (pos + kMinMatch > n) return;
        unsigned h = hash3(in + pos);
        prev[pos & (kWindow - 1)] = head[h];
        head[h] = pos;
    };
    int pos = 0;
    while (pos < n) {
        int bestLength = 0, bestDistance = 0;
        if (pos + kMinMatch <= n) {
            const int limit = std::min(kMaxMatch, n - pos);
            int candidate = head[hash3(in + pos)];
            for (int chain = 0; chain < kMaxChain && candidate >= 0 && pos - candidate <= kWindow - 1; ++chain) {
                if (in[candidate + bestLength] == in[pos + bestLength]) {
                    int length = 0;
                    while (length < limit && in[candidate + length] == in[pos + length]) ++length;
                    if (length > bestLength) {
                        bestLength = length;
                        bestDistance = pos - candidate;
                        if (length >= kGoodEnough || length == limit) break;
                    }
                }
                const int older = prev[candidate & (kWindow - 1)];
                if (older >= candidate) break;  // the slot was reused by a newer position
                candidate = older;
            }
        }
        if (bestLength >= kMinMatch) {
            match(bits, bestLength, bestDistance);
            for (int i = 0; i < bestLength; ++i) insert(pos + i);
            pos += bestLength;
        } else {
            literal(bits, in[pos]);
            insert(pos);
            ++pos;
        }
    }
    literal(bits, 256);
    bits.flush();
}

}  // namespace

std::uint32_t crc32(const std::string& data) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t c = 0xffffffffu;
    for (unsigned char b : data) c = table[(c ^ b) & 0xff] ^ (c >> 8);
    return c ^ 0xffffffffu;
}

std::string gzip(const std::string& data) {
    std::string out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
    out.reserve(data.size() / 3 + 64);
    deflateFixed(data, out);
    auto le32 = [&out](std::uint32_t v) {
        for (int i = 0; i < 4; ++i) out.push_back(char((v >> (8 * i)) & 0xff));
    };
    le32(crc32(data));
    le32(std::uint32_t(data.size()));
    return out;
}

std::string base64(const std::string& data) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    std::size_t i = 0;
    const auto* d = reinterpret_cast<const unsigned char*>(data.data());
    for (; i + 3 <= data.size(); i += 3) {
        const std::uint32_t v = (std::uint32_t(d[i]) << 16) | (std::uint32_t(d[i + 1]) << 8) | d[i + 2];
        out += digits[v >> 18];
        out += digits[(v >> 12) & 63];
        out += digits[(v >> 6) & 63];
        out += digits[v & 63];
    }
    if (i < data.size()) {
        std::uint32_t v = std::uint32_t(d[i]) << 16;
        if (i + 1 < data.size()) v |= std::uint32_t(d[i + 1]) << 8;
        out += digits[v >> 18];
        out += digits[(v >> 12) & 63];
        out += i + 1 < data.size() ? digits[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

}  // namespace report
}  // namespace vt
