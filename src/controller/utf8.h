// Checking the texts that hosts hand to the C interface.
#pragma once

#include <cstddef>

namespace vt {

// Whether size bytes at text are well-formed UTF-8 without a NUL: no
// overlong forms, no surrogates, nothing above U+10FFFF, no sequence cut off.
inline bool validUtf8(const char* text, std::size_t size) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    std::size_t i = 0;
    while (i < size) {
        const unsigned char c = p[i];
        if (c == 0) return false;
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t extra;
        unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            if (c == 0xE0) low = 0xA0;   // overlong below U+0800
            if (c == 0xED) high = 0x9F;  // surrogates U+D800..U+DFFF
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            if (c == 0xF0) low = 0x90;   // overlong below U+10000
            if (c == 0xF4) high = 0x8F;  // above U+10FFFF
        } else {
            return false;  // a continuation byte first, C0, C1, F5..FF
        }
        if (size - i <= extra) return false;
        if (p[i + 1] < low || p[i + 1] > high) return false;
        for (std::size_t k = 2; k <= extra; ++k)
            if (p[i + k] < 0x80 || p[i + k] > 0xBF) return false;
        i += extra + 1;
    }
    return true;
}

}  // namespace vt
