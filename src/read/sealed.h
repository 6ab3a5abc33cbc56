// A log that was not whole, sealed again as a whole one.
#pragma once

#include "read/logfile.h"

#include <cstddef>
#include <functional>
#include <string>

namespace vt {
namespace read {

// Takes the next bytes of the new log; false stops the writing.
using ByteSink = std::function<bool(const unsigned char* data, std::size_t size)>;

// The records of log before its stop record, a record that says they were
// recovered from `from`, and the stop record (a new one when the log has
// none), sealed under the log's own key: the new log's body begins with the
// same ciphertext as the original's, and readers take it as whole. True when
// the log's records were read to their end and the sink took every byte.
bool writeRecovered(LogFile& log, const std::string& from, const ByteSink& sink);

}  // namespace read
}  // namespace vt
