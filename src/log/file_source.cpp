#include "log/file_source.h"

#include <filesystem>
#include <system_error>

namespace vt {

namespace fs = std::filesystem;

std::string notRegularFile(const std::string& path, bool& missing) {
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    missing = false;
    switch (st.type()) {
    case fs::file_type::regular: return {};
    case fs::file_type::directory: return "a directory";
    case fs::file_type::fifo: return "a FIFO";
    case fs::file_type::character:
    case fs::file_type::block: return "a device";
    case fs::file_type::socket: return "a socket";
    case fs::file_type::not_found:
        missing = true;
        return "no such file";
    default:
        missing = true;
        return ec ? ec.message() : "not a regular file";
    }
}

bool FileSource::open(const std::string& path, std::string& reason) {
    std::error_code ec;
    size_ = fs::file_size(path, ec);
    if (ec) {
        reason = "cannot be read (" + ec.message() + ")";
        return false;
    }
    in_.open(fs::path(path), std::ios::binary);
    if (!in_) {
        reason = "cannot be read";
        return false;
    }
    pos_ = 0;
    return true;
}

bool FileSource::read(std::uint64_t offset, unsigned char* out, std::size_t size) {
    if (offset != pos_) {
        in_.clear();
        in_.seekg(static_cast<std::streamoff>(offset));
    }
    in_.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(size));
    const bool ok = in_.gcount() == static_cast<std::streamsize>(size);
    pos_ = ok ? offset + size : ~std::uint64_t(0);
    return ok;
}

}  // namespace vt
