// The POSIX pieces that every build shares, the fake machine included: the
// clock and the log's files.
#include "platform/os.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace os {
namespace {

// A positional read or write repeated until size bytes are done, the call
// fails or it takes no more: how many were done. call(done) moves the bytes
// from done on.
template <class Call>
std::size_t repeated(std::size_t size, Call call) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = call(done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += std::size_t(n);
    }
    return done;
}

class PosixFile : public File {
public:
    explicit PosixFile(int fd) : fd_(fd) {}
    ~PosixFile() override { close(); }
    bool close() override {
        if (fd_ < 0) return true;
        int rc = ::close(fd_);
        fd_ = -1;
        return rc == 0;
    }

protected:
    std::size_t writeRaw(std::uint64_t offset, const char* data, std::size_t size) override {
        if (fd_ < 0) return 0;
        return repeated(size, [&](std::size_t done) {
            return ::pwrite(fd_, data + done, size - done, off_t(offset + done));
        });
    }

private:
    int fd_;
};

class PosixReadFile : public ReadFile {
public:
    PosixReadFile(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
    ~PosixReadFile() override { ::close(fd_); }
    std::uint64_t size() const override { return size_; }
    std::size_t readAt(std::uint64_t offset, void* data, std::size_t size) override {
        return repeated(size, [&](std::size_t done) {
            return ::pread(fd_, static_cast<char*>(data) + done, size - done, off_t(offset + done));
        });
    }

private:
    int fd_;
    std::uint64_t size_;
};

}  // namespace

HANDLE invalidHandle() { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)); }

std::int64_t currentTime() { return std::int64_t(::time(nullptr)); }

bool localTime(std::int64_t t, std::tm& out) {
    time_t tt = time_t(t);
    if (std::int64_t(tt) != t) return false;
    return ::localtime_r(&tt, &out) != nullptr;
}

std::unique_ptr<File> createNewFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    return std::unique_ptr<File>(new PosixFile(fd));
}

std::unique_ptr<ReadFile> openForReading(const std::string& path, FileKind& kind, std::string& why) {
    why.clear();
    // O_NONBLOCK: a FIFO opens at once even without a writer; O_NOCTTY: a
    // terminal never becomes this process's.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        kind = e == ENOENT || e == ENOTDIR ? FileKind::Missing : FileKind::Unreadable;
        why = std::strerror(e);
        return nullptr;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        why = std::strerror(errno);
        ::close(fd);
        kind = FileKind::Unreadable;
        return nullptr;
    }
    if (S_ISREG(st.st_mode)) kind = FileKind::Regular;
    else if (S_ISDIR(st.st_mode)) kind = FileKind::Directory;
    else if (S_ISFIFO(st.st_mode)) kind = FileKind::Fifo;
    else if (S_ISSOCK(st.st_mode)) kind = FileKind::Socket;
    else kind = FileKind::Device;
    if (kind != FileKind::Regular) {
        ::close(fd);
        return nullptr;
    }
    // Reads of a regular file never wait anyway; the flag goes so that nothing else sees it.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return std::unique_ptr<ReadFile>(new PosixReadFile(fd, std::uint64_t(st.st_size)));
}

bool fileTimes(const std::string& path, FileTimes& out) {
    out = FileTimes();
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    out.modified = std::int64_t(st.st_mtime);
    out.changed = std::int64_t(st.st_ctime);
    out.hasChange = true;
#if defined(STATX_BTIME)
    // Birth times are Linux's statx, where the file system keeps them.
    struct statx sx;
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME)) {
        out.hasBirth = true;
        out.birth = std::int64_t(sx.stx_btime.tv_sec);
    }
#endif
    return true;
}

bool syncPath(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    int rc;
    do rc = ::fsync(fd);
    while (rc != 0 && errno == EINTR);
    const bool closed = ::close(fd) == 0;
    return rc == 0 && closed;
}

// UTF-8 is the narrow encoding here: both texts are the bytes as given.
std::unique_ptr<File> createNewFile(const std::string& path, PathText) { return createNewFile(path); }

bool nativePath(const std::string& path, PathText, NativePath& out) {
    out = path;
    return true;
}

bool pathToUtf8(const std::string& path, PathText, std::string& out) {
    out = path;
    return true;
}

char pathSeparator() { return '/'; }

}  // namespace os
