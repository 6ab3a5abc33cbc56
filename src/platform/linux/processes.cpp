// Processes: the identifiers in /proc, the image behind /proc/PID/exe and an
// identity made of the start time and the executable's file.
#include "platform/linux/linux_system.h"

#include "platform/linux/owned.h"
#include "platform/linux/procfs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace os {
namespace linux_backend {
namespace {

// What OpenProcess hands out: the image path, read when the handle is made.
struct ProcessHandle : Handle {
    ProcessHandle(DWORD p, bool has, std::string img) : pid(p), hasImage(has), image(std::move(img)) {}
    DWORD pid;
    bool hasImage;
    std::string image;
};

}  // namespace

BOOL LinuxSystem::enumProcesses(DWORD* ids, DWORD cb, DWORD* bytesReturned) {
    Dir dir(procRoot_);
    if (!dir || !bytesReturned) return 0;
    DWORD capacity = cb / sizeof(DWORD), n = 0;
    while (dirent* e = dir.next()) {
        std::uint32_t pid;
        if (!procfs::parsePid(e->d_name, pid)) continue;
        if (n == capacity) break;  // like EnumProcesses: a full buffer tells the caller to grow it
        ids[n++] = pid;
    }
    *bytesReturned = n * DWORD(sizeof(DWORD));
    return 1;
}

HANDLE LinuxSystem::openProcess(DWORD pid) {
    std::string base = procRoot_ + "/" + std::to_string(pid);
    struct stat st;
    if (::stat(base.c_str(), &st) != 0) return nullptr;  // gone (ENOENT/ESRCH) or hidden
    char buf[4096];
    ssize_t n = ::readlink((base + "/exe").c_str(), buf, sizeof buf);
    auto* h = new ProcessHandle(pid, false, {});
    if (n >= 0) {
        h->hasImage = true;
        h->image.assign(buf, std::size_t(n));
        if (std::size_t(n) == sizeof buf) h->image.clear();  // truncated: treat as too long
    } else if (errno == EACCES || errno == EPERM || errno == ESRCH) {
        delete h;
        return nullptr;
    } else if (errno == ENOENT && ::stat(base.c_str(), &st) != 0) {
        delete h;  // ended in between
        return nullptr;
    }
    // ENOENT with the process still there: no image (a kernel thread).
    return static_cast<Handle*>(h);
}

DWORD LinuxSystem::processImage(HANDLE process, wchar_t* name, DWORD size) {
    auto* h = static_cast<ProcessHandle*>(static_cast<Handle*>(process));
    if (!h || !h->hasImage || h->image.empty() || size == 0) return 0;
    std::wstring wide = procfs::utf8ToWide(h->image);
    if (wide.size() + 1 > size) return 0;  // does not fit, as GetProcessImageFileNameW fails then
    std::copy(wide.begin(), wide.end(), name);
    name[wide.size()] = L'\0';
    return DWORD(wide.size());
}

bool LinuxSystem::processIdentity(HANDLE process, std::uint64_t& identity) {
    auto* h = static_cast<ProcessHandle*>(static_cast<Handle*>(process));
    if (!h) return false;
    const std::string base = procRoot_ + "/" + std::to_string(h->pid);
    std::string stat;
    std::uint64_t start = 0;
    if (!readFile(base + "/stat", stat) || !procfs::parseStartTime(stat, start)) return false;
    // Without its executable (a kernel thread, another user's process, or
    // one in the middle of an exec) the identity is not known.
    struct stat exe;
    if (::stat((base + "/exe").c_str(), &exe) != 0) return false;
    const std::uint64_t dev = std::uint64_t(exe.st_dev), ino = std::uint64_t(exe.st_ino);
    // A 64-bit mix (splitmix64's finaliser) of the three.
    std::uint64_t v = start;
    for (std::uint64_t part : {dev, ino}) {
        v ^= part + 0x9E3779B97F4A7C15ull + (v << 6) + (v >> 2);
        v = (v ^ (v >> 30)) * 0xBF58476D1CE4E5B9ull;
        v = (v ^ (v >> 27)) * 0x94D049BB133111EBull;
        v ^= v >> 31;
    }
    identity = v ? v : 1;
    return true;
}

}  // namespace linux_backend
}  // namespace os
