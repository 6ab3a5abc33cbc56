#include "log/file_source.h"

namespace vt {

namespace {

std::string kindName(os::FileKind kind) {
    switch (kind) {
    case os::FileKind::Directory: return "a directory";
    case os::FileKind::Fifo: return "a FIFO";
    case os::FileKind::Device: return "a device";
    case os::FileKind::Socket: return "a socket";
    default: return {};
    }
}

}  // namespace

std::string notRegularFile(const std::string& path, bool& missing) {
    os::FileKind kind = os::FileKind::Missing;
    std::string why;
    const bool opened = os::openForReading(path, kind, why) != nullptr;
    missing = false;
    if (opened) return {};
    if (kind == os::FileKind::Missing) {
        missing = true;
        return "no such file";
    }
    if (kind == os::FileKind::Unreadable) {
        missing = true;
        return why.empty() ? "not a regular file" : why;
    }
    return kindName(kind);
}

bool FileSource::open(const std::string& path, std::string& reason) {
    os::FileKind kind = os::FileKind::Missing;
    std::string why;
    file_ = os::openForReading(path, kind, why);
    size_ = file_ ? file_->size() : 0;
    notRegular_ = !file_ && kind != os::FileKind::Missing && kind != os::FileKind::Unreadable;
    if (file_) return true;
    if (notRegular_) reason = kindName(kind);
    else reason = "cannot be read (" + (kind == os::FileKind::Missing || why.empty() ? std::string("no such file") : why) + ")";
    return false;
}

bool FileSource::read(std::uint64_t offset, unsigned char* out, std::size_t size) {
    return file_ && file_->readAt(offset, out, size) == size;
}

}  // namespace vt
