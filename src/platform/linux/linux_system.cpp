// What the Linux machine's parts share: whole-file reads and the one instance
// over the real /proc and /sys.
#include "platform/linux/linux_system.h"

#include "platform/linux/owned.h"

#include <cerrno>

namespace os {
namespace linux_backend {

bool readFile(const std::string& path, std::string& out) {
    Fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.fd < 0) return false;
    out.clear();
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(file.fd, buf, sizeof buf);
        if (n > 0) out.append(buf, std::size_t(n));
        else if (n == 0) return true;
        else if (errno != EINTR) return false;
    }
}

LinuxSystem::LinuxSystem(std::string procRoot, std::string sysRoot, bool sockDiag)
    : procRoot_(std::move(procRoot)), sysRoot_(std::move(sysRoot)), sockDiag_(sockDiag) {}

namespace {
// The real machine: made on first use and released only by releaseMachine,
// after the library's worker has stopped, so no exit-time destructor can take
// it away from a poll.
std::mutex machineMutex;
LinuxSystem* theMachine = nullptr;
}  // namespace

LinuxSystem& LinuxSystem::machine() {
    std::lock_guard<std::mutex> lock(machineMutex);
    if (!theMachine) theMachine = new LinuxSystem("/proc", "/sys", true);
    return *theMachine;
}

void LinuxSystem::releaseMachine() {
    std::lock_guard<std::mutex> lock(machineMutex);
    delete theMachine;
    theMachine = nullptr;
}

}  // namespace linux_backend
}  // namespace os
