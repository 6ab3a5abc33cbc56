#include "common/utf8.h"

namespace vt {
namespace utf8 {

bool append(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        if (cp >= 0xD800 && cp <= 0xDFFF) return false;
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp <= 0x10FFFF) {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        return false;
    }
    return true;
}

std::size_t decode(const unsigned char* p, std::size_t left, std::uint32_t& cp) {
    if (left == 0) return 0;
    const unsigned char b = p[0];
    std::size_t n;
    std::uint32_t v, min;
    if (b < 0x80) {
        cp = b;
        return 1;
    }
    if (b >= 0xC2 && b <= 0xDF) n = 2, v = b & 0x1F, min = 0x80;
    else if (b >= 0xE0 && b <= 0xEF) n = 3, v = b & 0x0F, min = 0x800;
    else if (b >= 0xF0 && b <= 0xF4) n = 4, v = b & 0x07, min = 0x10000;
    else return 0;  // a continuation byte, an overlong lead (C0, C1) or beyond U+10FFFF (F5 to FF)
    if (left < n) return 0;
    for (std::size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        v = (v << 6) | (p[i] & 0x3F);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
    cp = v;
    return n;
}

std::string fromNarrow(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t i = 0;
    while (i < text.size() && p[i] < 0x80) ++i;
    if (i == text.size()) return std::string(text);
    std::string out(text.substr(0, i));
    out.reserve(text.size() + 8);
    while (i < text.size()) {
        std::uint32_t cp;
        const std::size_t n = decode(p + i, text.size() - i, cp);
        if (n == 0) {
            append(out, p[i]);
            ++i;
        } else {
            out.append(text.data() + i, n);
            i += n;
        }
    }
    return out;
}

}  // namespace utf8
}  // namespace vt
