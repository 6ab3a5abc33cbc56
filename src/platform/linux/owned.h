// Owners of the descriptors and directory streams the Linux back end opens.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace os {
namespace linux_backend {

// Owns an open directory stream.
class Dir {
public:
    explicit Dir(const std::string& path) : d_(opendir(path.c_str())) {}
    Dir(int dirfd, const char* name) : d_(nullptr) {
        int fd = openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0 && !(d_ = fdopendir(fd))) {
            const int error = errno;  // for the caller, past close
            ::close(fd);
            errno = error;
        }
    }
    ~Dir() {
        if (d_) closedir(d_);
    }
    Dir(const Dir&) = delete;
    Dir& operator=(const Dir&) = delete;
    explicit operator bool() const { return d_ != nullptr; }
    dirent* next() { return readdir(d_); }
    int fd() const { return dirfd(d_); }

private:
    DIR* d_;
};

// Owns a file or socket descriptor.
struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

}  // namespace linux_backend
}  // namespace os
