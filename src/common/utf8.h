// UTF-8, one code point at a time. Well-formed UTF-8 only: no overlong
// forms, no surrogates (U+D800 to U+DFFF), nothing beyond U+10FFFF. What a
// caller does with bytes that are not UTF-8 is its own choice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vt {
namespace utf8 {

// Appends the one to four bytes of a Unicode scalar value. False, and
// nothing appended, for a surrogate or a value beyond U+10FFFF.
bool append(std::string& out, std::uint32_t cp);

// The length (1 to 4) of the well-formed sequence that begins at p, of the
// `left` bytes there, with its code point in cp; 0, and cp untouched, when
// none begins there: no bytes, a byte that begins no sequence, a sequence
// cut short or broken off, an overlong form, a surrogate, a value beyond
// U+10FFFF. Only the bytes of the one sequence are read.
std::size_t decode(const unsigned char* p, std::size_t left, std::uint32_t& cp);
inline std::size_t decode(std::string_view text, std::uint32_t& cp) {
    return decode(reinterpret_cast<const unsigned char*>(text.data()), text.size(), cp);
}

// Narrow text of the recording machine as UTF-8, as every reader shows it:
// well-formed UTF-8 is kept, and every other byte is read as Latin-1 (so
// cp1252's 0xC4 becomes U+00C4). Nothing is dropped.
std::string fromNarrow(std::string_view text);

}  // namespace utf8
}  // namespace vt
