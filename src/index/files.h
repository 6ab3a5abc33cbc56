// Reading the files to index, for the index's files.
#pragma once

#include <string>

namespace vt {
namespace index {

// Whether a file known by path `was` and found at `now` was renamed: a copy
// leaves the file where it was.
bool gone(const std::string& was, const std::string& now);

}  // namespace index
}  // namespace vt
