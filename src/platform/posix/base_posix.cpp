// The POSIX pieces that every build shares, the fake machine included: the
// clock and the log's files.
#include "platform/os.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace os {
namespace {

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
        std::size_t done = 0;
        while (done < size && fd_ >= 0) {
            ssize_t n = ::pwrite(fd_, data + done, size - done, off_t(offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += std::size_t(n);
        }
        return done;
    }

private:
    int fd_;
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
