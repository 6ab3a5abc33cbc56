#include "read/newfile.h"

#include <boost/filesystem.hpp>

namespace vt {

namespace fs = boost::filesystem;

namespace {

bool nothingAt(const std::string& path) {
    boost::system::error_code ec;
    return fs::symlink_status(path, ec).type() == fs::file_not_found;
}

}  // namespace

NewFile::~NewFile() {
    if (!committed_) discard();
}

void NewFile::discard() {
    if (file_) file_->close();
    file_.reset();
    if (!made_.empty()) {
        boost::system::error_code ec;
        fs::remove(made_, ec);
    }
    made_.clear();
}

bool NewFile::createFree(const std::string& dir, const std::string& stem, const std::string& ext,
                         std::string& error) {
    for (int i = 0; i < 100; ++i) {
        const std::string name = stem + (i ? "_" + std::to_string(i) : std::string()) + ext;
        const std::string path = (fs::path(dir) / name).string();
        if (!nothingAt(path)) continue;
        file_ = os::createNewFile(path);
        if (file_) {
            final_ = made_ = path;
            return true;
        }
        if (!nothingAt(path)) continue;  // it appeared meanwhile
        error = "cannot create " + path;
        return false;
    }
    error = "no free name for " + stem + ext + " in " + dir;
    return false;
}

bool NewFile::createAt(const std::string& path, std::string& error) {
    boost::system::error_code ec;
    const fs::file_status st = fs::symlink_status(path, ec);
    if (st.type() == fs::file_not_found) {
        file_ = os::createNewFile(path);
        if (!file_) {
            error = "cannot create " + path;
            return false;
        }
        final_ = made_ = path;
        return true;
    }
    if (st.type() != fs::regular_file && st.type() != fs::symlink_file) {
        error = path + " is not a regular file";
        return false;
    }
    final_ = path;
    const fs::path p(path);
    const std::string dir = p.has_parent_path() ? p.parent_path().string() : std::string(".");
    NewFile beside;
    if (!beside.createFree(dir, "." + p.filename().string() + ".new", "", error)) return false;
    file_ = std::move(beside.file_);
    made_ = beside.made_;
    beside.made_.clear();
    return true;
}

bool NewFile::write(const void* data, std::size_t size) {
    if (!file_ || refused_) {
        refused_ += size;
        return false;
    }
    const std::size_t n = file_->write(data, size);
    written_ += n;
    refused_ += size - n;
    return n == size;
}

bool NewFile::commit(std::string& error) {
    if (!file_) {
        error = "nothing was made";
        return false;
    }
    const bool closed = file_->close();
    file_.reset();
    if (refused_ || !closed) {
        error = "cannot write " + final_ + ": " +
                (refused_ ? "the disk took " + std::to_string(written_) + " of " + std::to_string(written_ + refused_) +
                                " bytes"
                          : std::string("it could not be closed"));
        discard();
        return false;
    }
    if (made_ != final_) {
        boost::system::error_code ec;
        fs::rename(made_, final_, ec);
        if (ec) {
            error = "cannot replace " + final_ + " (" + ec.message() + ")";
            discard();
            return false;
        }
    }
    committed_ = true;
    return true;
}

}  // namespace vt
