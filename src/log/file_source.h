// A log file as a source of bytes for the container's bounded-memory reading.
#pragma once

#include "log/container.h"
#include "platform/os.h"

#include <cstdint>
#include <memory>
#include <string>

namespace vt {

// Why a path cannot be read as a log: "a directory", "a FIFO", "a device", "a
// socket", or empty for a regular file. missing is set when nothing (or
// nothing that can be opened) is there, with the reason in the result. The
// path is opened to tell, never waiting, and closed again.
std::string notRegularFile(const std::string& path, bool& missing);

class FileSource : public ByteSource {
public:
    // Opens a regular file for reading, without ever waiting, and judges what
    // it opened; false with the reason when it cannot be read: "a FIFO" and
    // the like when it is not a regular file (notRegular() tells which), else
    // "cannot be read (...)".
    bool open(const std::string& path, std::string& reason);
    bool notRegular() const { return notRegular_; }
    std::uint64_t size() const override { return size_; }
    bool read(std::uint64_t offset, unsigned char* out, std::size_t size) override;

private:
    std::unique_ptr<os::ReadFile> file_;
    std::uint64_t size_ = 0;
    bool notRegular_ = false;
};

}  // namespace vt
