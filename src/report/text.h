// Text from a log made safe to show: control characters and the characters
// that turn the direction of text made visible, markup escaped, JSON quoted.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vt {
namespace report {

// Log text as displayable UTF-8: control characters (and the ones that turn
// the direction of text) become \xHH or \uHHHH, bytes that are not UTF-8 are
// taken as Latin-1. Nothing is dropped.
std::string visible(std::string_view text);
// visible(), then markup characters as entities; safe in text and attributes.
std::string escapeHtml(std::string_view text);
// A JSON string literal of visible(text).
std::string jsonString(std::string_view text);
// The same, appended to out.
void appendJson(std::string& out, std::string_view text);
// At most max characters of visible text, with an ellipsis when cut.
std::string shorten(std::string_view text, std::size_t max);

// "0 B/s", "950 B/s", "1.5 kB/s", "12 MB/s".
std::string rateText(double bytesPerSecond);

}  // namespace report
}  // namespace vt
