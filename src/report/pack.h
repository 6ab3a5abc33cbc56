// Packing the page's data: gzip (deflate with the fixed code table) and
// base64; the page unpacks it with its own small decoder of that form.
#pragma once

#include <cstdint>
#include <string>

namespace vt {
namespace report {

std::uint32_t crc32(const std::string& data);
// A complete gzip member holding data.
std::string gzip(const std::string& data);
std::string base64(const std::string& data);

}  // namespace report
}  // namespace vt
