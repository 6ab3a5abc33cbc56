// The Linux machine behind the platform seam: processes, sockets, interfaces
// and the root file system, read from a /proc and a /sys tree. The roots are
// parameters so that tests can point an instance at a fixture tree; the seam's
// free functions use one instance over the real /proc and /sys. Each job has
// its own file: processes.cpp, sockets.cpp (with the socket owners) and
// interfaces.cpp.
#pragma once

#include "platform/linux/procfs.h"
#include "platform/os.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace os {
namespace linux_backend {

// Every handle the Linux side hands out derives from this, so CloseHandle can
// release any of them.
struct Handle {
    virtual ~Handle() = default;
};

class LinuxSystem {
public:
    // With sockDiag, the socket tables come from the kernel's sock_diag
    // netlink dump (one walk of the tables, about half the cost of reading
    // /proc/net/tcp), falling back to /proc/net when it is not available.
    explicit LinuxSystem(std::string procRoot = "/proc", std::string sysRoot = "/sys", bool sockDiag = false);
    LinuxSystem(const LinuxSystem&) = delete;
    LinuxSystem& operator=(const LinuxSystem&) = delete;

    BOOL enumProcesses(DWORD* ids, DWORD cb, DWORD* bytesReturned);
    HANDLE openProcess(DWORD pid);
    DWORD processImage(HANDLE process, wchar_t* name, DWORD size);
    // The start time of the process mixed with the device and inode of its
    // executable; never 0. False when either cannot be read.
    bool processIdentity(HANDLE process, std::uint64_t& identity);

    DWORD tcpTable(void* table, DWORD* size);
    DWORD udpTable(void* table, DWORD* size);
    DWORD ifTable(MIB_IFTABLE* table, ULONG* size);

    // The IPv4 sockets of "tcp" or "udp" (IPPROTO_TCP or IPPROTO_UDP), without owners.
    bool readSockets(const char* name, int protocol, std::vector<procfs::SocketRow>& rows);

    // How many times the owner map was rebuilt from /proc/*/fd (for tests and
    // benchmarks: a steady table must not cause scans).
    std::uint64_t ownerScans() const;

    static LinuxSystem& machine();
    static void releaseMachine();

private:
    struct OwnerCache {
        std::unordered_map<std::uint64_t, DWORD> owners;  // inode -> pid (0: not found)
    };
    // Fills pids for the inodes, scanning /proc/*/fd only when one is unknown,
    // and forgets inodes that are no longer in the table.
    std::vector<DWORD> ownersOf(OwnerCache& cache, const std::vector<std::uint64_t>& inodes);
    // False when the scan could not look everywhere (out of descriptors).
    bool scanOwners(std::unordered_map<std::uint64_t, DWORD>& wanted);
    template <typename Row, typename MakeRow>
    DWORD socketTable(const char* name, int protocol, OwnerCache& owners, void* table, DWORD* size, MakeRow makeRow);

    std::string procRoot_;
    std::string sysRoot_;
    bool sockDiag_;
    mutable std::mutex mutex_;
    OwnerCache tcpOwners_;
    OwnerCache udpOwners_;
    std::uint64_t ownerScans_ = 0;
};

// Reads a whole file; false when it cannot be opened or read.
bool readFile(const std::string& path, std::string& out);

}  // namespace linux_backend
}  // namespace os
