// The files the vtl commands write: always made new, never through a link,
// never over a file the command did not make, and never left half written.
#pragma once

#include "platform/os.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vt {

class NewFile {
public:
    NewFile() = default;
    ~NewFile();  // a file not committed is removed
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    // In dir: stem + ext, or stem_1 + ext, ... stem_99 + ext, the first name
    // at which nothing exists (not even a dangling link).
    bool createFree(const std::string& dir, const std::string& stem, const std::string& ext, std::string& error);
    // At path, which the user named: made there when nothing is there; when a
    // regular file or a link is there, written beside it and renamed over it
    // once complete, so that a link is replaced, never followed.
    bool createAt(const std::string& path, std::string& error);

    // False once the disk has refused a byte; nothing is written after that.
    bool write(const void* data, std::size_t size);
    bool write(const std::string& text) { return write(text.data(), text.size()); }
    // Closes the file and puts it in its place. False, with what was made
    // removed and the reason in error, when any write or the close failed.
    bool commit(std::string& error);

    const std::string& path() const { return final_; }
    std::uint64_t size() const { return written_; }

private:
    void discard();

    std::unique_ptr<os::File> file_;
    std::string final_;  // where the file ends up
    std::string made_;   // where it is written: final_, or a name beside it
    std::uint64_t written_ = 0, refused_ = 0;
    bool committed_ = false;
};

}  // namespace vt
