// Pieces of SQL the questions share (queries.cpp, queries_links.cpp).
#pragma once

#include "index/sqlite.h"

#include <cstdint>
#include <string>

namespace vt {
namespace index {
namespace sql {

inline std::string num(std::int64_t v) { return std::to_string(v); }

// " AND column >= 'from' AND column <= 'to'", each part when it is asked.
inline std::string dayRange(const std::string& column, const std::string& from, const std::string& to) {
    std::string out;
    if (!from.empty()) out += " AND " + column + " >= " + quote(from);
    if (!to.empty()) out += " AND " + column + " <= " + quote(to);
    return out;
}

}  // namespace sql
}  // namespace index
}  // namespace vt
