// A log file as a source of bytes for the container's bounded-memory reading.
#pragma once

#include "log/container.h"

#include <cstdint>
#include <fstream>
#include <string>

namespace vt {

// Why a path cannot be read as a log, checked before it is opened (so that a
// FIFO never blocks): "a directory", "a FIFO", "a device", "a socket", or
// empty for a regular file. missing is set when nothing (or nothing that can
// be examined) is there, with the reason in the result.
std::string notRegularFile(const std::string& path, bool& missing);

class FileSource : public ByteSource {
public:
    // Opens a regular file for reading; false with the reason when it cannot.
    bool open(const std::string& path, std::string& reason);
    std::uint64_t size() const override { return size_; }
    bool read(std::uint64_t offset, unsigned char* out, std::size_t size) override;

private:
    std::ifstream in_;
    std::uint64_t size_ = 0;
    std::uint64_t pos_ = 0;
};

}  // namespace vt
