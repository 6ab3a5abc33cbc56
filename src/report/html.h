// The match report as one self-contained HTML page: charts drawn as inline
// SVG here, the timeline and tables drawn by the page's own script from data
// packed into the page. Nothing is fetched when the page is opened.
#pragma once

#include "report/model.h"

#include <ostream>
#include <string>

namespace vt {
namespace report {

// Log text as displayable UTF-8: control characters (and the ones that turn
// the direction of text) become \xHH or \uHHHH, bytes that are not UTF-8 are
// taken as Latin-1. Nothing is dropped.
std::string visible(const std::string& text);
// visible(), then markup characters as entities; safe in text and attributes.
std::string escapeHtml(const std::string& text);
// A JSON string literal of visible(text).
std::string jsonString(const std::string& text);
// At most max characters of visible text, with an ellipsis when cut.
std::string shorten(const std::string& text, std::size_t max);

// "0 B/s", "950 B/s", "1.5 kB/s", "12 MB/s".
std::string rateText(double bytesPerSecond);
// The data the page's script draws the timeline and tables from (JSON).
std::string pageData(const Model& model);

void writePage(const Model& model, std::ostream& out);

}  // namespace report
}  // namespace vt
