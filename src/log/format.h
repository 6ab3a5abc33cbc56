// Text pieces of the log's records: time stamps, numbers and values.
#pragma once

#include "common/schema.h"

#include <cstdint>
#include <ctime>
#include <initializer_list>
#include <string>
#include <string_view>

namespace vt {

// Local calendar time of t (seconds since 1970); 1970-01-01 00:00:00 when t
// cannot be converted.
std::tm calendarTime(std::int64_t t);

// DD.MM.YYYY hh:mm:ss
std::string recordStamp(const std::tm& tm);
// YYYY-MM-DD_hh-mm-ss
std::string fileNameStamp(const std::tm& tm);

// A byte delta of the 10-second interval as bytes per second: general format,
// six significant digits, no trailing zeros, an exponent of at least three
// digits (1.23457e+006), alike on every platform.
std::string formatThroughput(std::uint32_t delta);

// Appends value with every control byte (0x00-0x1F, 0x7F) written as '?', so
// that no value can end or split a record.
void appendValue(std::string& out, std::string_view value);
// The same for a name that stands between two ';' of a record (a fact's name):
// a ';' in it is written as '?' as well, so that it cannot add a field.
void appendName(std::string& out, std::string_view name);

// Appends a record's text after its stamp as the shape lays it out: kind,
// action (for a shape without one, `action`), lead and the fields with these
// values in the shape's order; no line feed. Values go through appendValue.
void appendRecord(std::string& out, const schema::Shape& shape, std::string_view action,
                  const std::string_view* values, std::size_t count);
inline void appendRecord(std::string& out, const schema::Shape& shape, std::string_view action,
                         std::initializer_list<std::string_view> values) {
    appendRecord(out, shape, action, values.begin(), values.size());
}

}  // namespace vt
