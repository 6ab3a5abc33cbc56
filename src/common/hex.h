// Bytes and numbers as hexadecimal digits, lower-case unless asked, and
// digits read back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vt {
namespace hex {

inline char digit(unsigned value, bool upper = false) {
    return (upper ? "0123456789ABCDEF" : "0123456789abcdef")[value & 15];
}

// The value of one digit of either case, or -1 for any other character.
inline int value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Two digits for one byte, appended.
inline void appendByte(std::string& out, unsigned char byte, bool upper = false) {
    out += digit(byte >> 4, upper);
    out += digit(byte, upper);
}

// Two digits for each byte.
inline std::string bytes(const void* data, std::size_t size) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) appendByte(out, p[i]);
    return out;
}

// The low `width` digits of a number, zeros in front ("0000002a").
inline std::string number(std::uint64_t value, unsigned width, bool upper = false) {
    std::string out(width, '0');
    for (std::size_t i = width; i-- > 0; value >>= 4) out[i] = digit(unsigned(value), upper);
    return out;
}

}  // namespace hex
}  // namespace vt
