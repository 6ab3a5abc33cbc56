// Text for a terminal: what a forged log or a file name may hold must not
// steer the operator's terminal, nor split a line.
#pragma once

#include <string>
#include <string_view>

namespace vt {

// The text with every control character written as \xNN, one per byte: the
// C0 controls (bytes 0x00 to 0x1F) except those in keep, DEL (0x7F), and the
// C1 controls, as UTF-8 (U+0080 to U+009F) or as lone bytes 0x80 to 0x9F
// that begin no UTF-8 sequence. Everything else, well-formed or not, stays
// as it is.
std::string printable(std::string_view text, std::string_view keep = {});

}  // namespace vt
