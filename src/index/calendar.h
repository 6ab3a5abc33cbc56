// Civil dates as days, for the index's files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vt {
namespace index {

// Days since 1970-01-01 of a civil date, and back ("YYYY-MM-DD").
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d);
std::string civilFromDays(std::int64_t z);
// Seconds since 1970 of "YYYY-MM-DD hh:mm:ss" (no time zone: only differences are used).
std::optional<std::int64_t> secondsOf(const std::string& iso);

}  // namespace index
}  // namespace vt
