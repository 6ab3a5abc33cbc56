#include "common/printable.h"

#include "common/hex.h"
#include "common/utf8.h"

namespace vt {

namespace {

void escaped(std::string& out, unsigned char c) {
    out += "\\x";
    hex::appendByte(out, c);
}

}  // namespace

std::string printable(std::string_view text, std::string_view keep) {
    std::string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t left = text.size();
    while (left) {
        const unsigned char c = *p;
        if (c < 0x80) {
            if ((c < 0x20 && keep.find(char(c)) == std::string_view::npos) || c == 0x7F) escaped(out, c);
            else out += char(c);
            ++p, --left;
            continue;
        }
        std::uint32_t cp = 0;
        const std::size_t n = utf8::decode(p, left, cp);
        if (n == 0) {
            if (c <= 0x9F) escaped(out, c);
            else out += char(c);
            ++p, --left;
            continue;
        }
        for (std::size_t i = 0; i < n; ++i) {
            if (cp <= 0x9F) escaped(out, p[i]);
            else out += char(p[i]);
        }
        p += n;
        left -= n;
    }
    return out;
}

}  // namespace vt
