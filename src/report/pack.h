// The page's data, packed as it is made: zlib's deflate when the build has
// zlib (every Linux build), the text as it is otherwise. The page unpacks it
// with the browser's DecompressionStream("gzip").
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

namespace vt {
namespace report {

// Whether this build packs (with zlib); without it the data is the text itself.
bool packs();

// Text packed piece by piece in bounded memory beside its result: raw
// deflate blocks that end either at a byte boundary, so that another Packed
// may follow them (open), or with the last block (closed).
class Packed {
public:
    Packed();
    ~Packed();
    Packed(Packed&&) noexcept;
    Packed& operator=(Packed&&) noexcept;

    void append(std::string_view text);
    // No more text. last: the stream's last block; otherwise it ends at a
    // byte boundary, so that another Packed's blocks may follow.
    void close(bool last);

    const std::string& bytes() const { return out_; }  // complete once closed
    std::uint32_t crc() const { return crc_; }          // CRC-32 of the text
    std::uint64_t size() const { return size_; }        // bytes of text

private:
    void pack(bool flush, bool last);

    struct Stream;
    std::unique_ptr<Stream> z_;
    std::string pending_, out_;
    std::uint32_t crc_ = 0;
    std::uint64_t size_ = 0;
};

// One gzip member of the text of head and then tail (head closed open, tail
// closed last), as base64 onto out; without zlib, the text as base64.
void writeGzipBase64(const Packed& head, const Packed& tail, std::ostream& out);
std::string base64(std::string_view data);

}  // namespace report
}  // namespace vt
