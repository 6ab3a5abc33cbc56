// The seam's free functions on Linux.
#include "platform/os.h"

#include "platform/linux/linux_system.h"
#include "platform/linux/procfs.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace os {
namespace {

using linux_backend::LinuxSystem;

thread_local DWORD lastError = 0;

using linux_backend::Handle;

struct IcmpHandle : Handle {
    int fd = -1;
    bool raw = false;
    ~IcmpHandle() override {
        if (fd >= 0) ::close(fd);
    }
};

std::uint16_t icmpChecksum(const unsigned char* data, std::size_t len) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < len; i += 2) sum += std::uint32_t(data[i] << 8 | data[i + 1]);
    if (len & 1) sum += std::uint32_t(data[len - 1] << 8);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return std::uint16_t(~sum);
}

}  // namespace

void* allocate(std::size_t bytes) { return std::malloc(bytes); }
void release(void* p) { std::free(p); }

DWORD GetLastError() { return lastError; }

BOOL CloseHandle(HANDLE h) {
    if (!h || h == invalidHandle()) return 0;
    delete static_cast<Handle*>(h);
    return 1;
}

void releaseMachine() { LinuxSystem::releaseMachine(); }

BOOL EnumProcesses(DWORD* ids, DWORD cb, DWORD* bytesReturned) {
    return LinuxSystem::machine().enumProcesses(ids, cb, bytesReturned);
}

HANDLE OpenProcess(DWORD, BOOL, DWORD pid) { return LinuxSystem::machine().openProcess(pid); }

DWORD GetProcessImageFileNameW(HANDLE process, wchar_t* name, DWORD size) {
    if (!process) return 0;
    DWORD n = LinuxSystem::machine().processImage(process, name, size);
    if (n == 0) lastError = ERROR_INSUFFICIENT_BUFFER;
    return n;
}

BOOL GetProcessTimes(HANDLE process, FILETIME* creation, FILETIME* exit, FILETIME* kernel, FILETIME* user) {
    std::uint64_t identity = 0;
    if (!process || !creation || !LinuxSystem::machine().processIdentity(process, identity)) return 0;
    creation->dwLowDateTime = DWORD(identity);
    creation->dwHighDateTime = DWORD(identity >> 32);
    for (FILETIME* t : {exit, kernel, user})
        if (t) *t = FILETIME{0, 0};
    return 1;
}

// Linux paths are already mount paths: there are no volumes to translate.
HANDLE FindFirstVolumeW(wchar_t*, DWORD) {
    lastError = ERROR_NOT_SUPPORTED;
    return invalidHandle();
}
BOOL FindNextVolumeW(HANDLE, wchar_t*, DWORD) { return 0; }
BOOL FindVolumeClose(HANDLE) { return 1; }
DWORD QueryDosDeviceW(const wchar_t*, wchar_t*, DWORD) { return 0; }
BOOL GetVolumePathNamesForVolumeNameW(const wchar_t*, wchar_t*, DWORD, DWORD*) { return 0; }

int WideCharToMultiByte(UINT, DWORD, const wchar_t* wide, int wideCount, char* narrow, int narrowSize,
                        const char*, BOOL* usedDefault) {
    if (usedDefault) *usedDefault = 0;
    if (!wide || narrowSize < 0) return 0;
    std::wstring_view in = wideCount < 0 ? std::wstring_view(wide) : std::wstring_view(wide, std::size_t(wideCount));
    std::string out;
    // What UTF-8 cannot hold (a lone surrogate, from a path that was not UTF-8) becomes '?'.
    const bool exact = procfs::wideToUtf8(in, out);
    std::size_t need = out.size() + (wideCount < 0 ? 1 : 0);  // the terminator counts with length -1
    if (narrowSize == 0) return int(need);
    if (need > std::size_t(narrowSize)) {
        lastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    std::memcpy(narrow, out.data(), out.size());
    if (wideCount < 0) narrow[out.size()] = '\0';
    if (usedDefault) *usedDefault = exact ? 0 : 1;
    return int(need);
}

// The serial of the file system that holds "/": the kernel's file system id,
// folded to 32 bits. For ext4, xfs and btrfs it comes from the file system's
// UUID, so it stays the same across mounts and reboots, and it needs no
// privileges to read.
BOOL GetVolumeInformationA(const char*, char* volumeName, DWORD volumeNameSize, DWORD* serial, DWORD* maxComponentLength,
                           DWORD* flags, char* fsName, DWORD fsNameSize) {
    struct statfs st;
    if (::statfs("/", &st) != 0) return 0;
    std::uint32_t words[2];
    static_assert(sizeof(st.f_fsid) == sizeof(words), "fsid is two 32-bit words");
    std::memcpy(words, &st.f_fsid, sizeof words);
    if (serial) *serial = words[0] ^ words[1];
    if (volumeName && volumeNameSize) volumeName[0] = '\0';
    if (fsName && fsNameSize) fsName[0] = '\0';
    if (maxComponentLength) *maxComponentLength = DWORD(st.f_namelen);
    if (flags) *flags = 0;
    return 1;
}

DWORD GetExtendedTcpTable(void* table, DWORD* size, BOOL, ULONG af, int tableClass, ULONG) {
    if (af != AF_INET_FAMILY || tableClass != TCP_TABLE_OWNER_PID_ALL) return ERROR_INVALID_PARAMETER;
    return LinuxSystem::machine().tcpTable(table, size);
}

DWORD GetExtendedUdpTable(void* table, DWORD* size, BOOL, ULONG af, int tableClass, ULONG) {
    if (af != AF_INET_FAMILY || tableClass != UDP_TABLE_OWNER_PID) return ERROR_INVALID_PARAMETER;
    return LinuxSystem::machine().udpTable(table, size);
}

DWORD GetIfTable(MIB_IFTABLE* table, ULONG* size, BOOL) { return LinuxSystem::machine().ifTable(table, size); }

// An unprivileged ICMP datagram socket when net.ipv4.ping_group_range allows
// it, a raw socket otherwise (root or CAP_NET_RAW).
HANDLE IcmpCreateFile() {
    auto h = new IcmpHandle;
    h->fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (h->fd < 0) {
        h->fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        h->raw = true;
    }
    if (h->fd < 0) {
        delete h;
        return invalidHandle();
    }
    return static_cast<Handle*>(h);
}

BOOL IcmpCloseHandle(HANDLE icmp) { return CloseHandle(icmp); }

DWORD IcmpSendEcho(HANDLE icmp, IPAddr destination, const void* data, WORD dataSize, void*, void* reply,
                   DWORD replySize, DWORD timeoutMs) {
    if (!icmp || icmp == invalidHandle()) return 0;
    auto* h = static_cast<IcmpHandle*>(static_cast<Handle*>(icmp));
    if (!reply || replySize < sizeof(ICMP_ECHO_REPLY) + dataSize) return 0;
    static std::atomic<std::uint16_t> sequence{0};
    const std::uint16_t seq = ++sequence;
    const std::uint16_t id = std::uint16_t(::getpid());

    unsigned char packet[8 + 1024];
    if (dataSize > 1024) return 0;
    std::memset(packet, 0, 8);
    packet[0] = 8;  // echo request
    packet[4] = std::uint8_t(id >> 8);
    packet[5] = std::uint8_t(id);
    packet[6] = std::uint8_t(seq >> 8);
    packet[7] = std::uint8_t(seq);
    std::memcpy(packet + 8, data, dataSize);
    std::uint16_t sum = icmpChecksum(packet, 8u + dataSize);
    packet[2] = std::uint8_t(sum >> 8);
    packet[3] = std::uint8_t(sum);

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = destination;
    auto started = std::chrono::steady_clock::now();
    if (::sendto(h->fd, packet, 8u + dataSize, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) return 0;

    auto deadline = started + std::chrono::milliseconds(timeoutMs);
    unsigned char in[2048];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) return 0;
        pollfd p{h->fd, POLLIN, 0};
        int rc = ::poll(&p, 1, int(left.count()));
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) return 0;
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        ssize_t n = ::recvfrom(h->fd, in, sizeof in, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0) continue;
        auto elapsed = std::chrono::steady_clock::now() - started;
        const unsigned char* icmpMsg = in;
        std::size_t len = std::size_t(n);
        if (h->raw) {  // a raw socket delivers the IP header too
            if (len < 20) continue;
            std::size_t ihl = std::size_t(in[0] & 0x0F) * 4;
            if (len < ihl + 8) continue;
            icmpMsg += ihl;
            len -= ihl;
        }
        if (len < 8 || icmpMsg[0] != 0) continue;  // not an echo reply
        if (from.sin_addr.s_addr != destination) continue;
        std::uint16_t rseq = std::uint16_t(icmpMsg[6] << 8 | icmpMsg[7]);
        std::uint16_t rid = std::uint16_t(icmpMsg[4] << 8 | icmpMsg[5]);
        if (rseq != seq || (h->raw && rid != id)) continue;  // the kernel sets the id of datagram sockets

        ICMP_ECHO_REPLY r{};
        r.Address = from.sin_addr.s_addr;
        r.Status = 0;
        r.RoundTripTime = ULONG(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
        std::size_t echoed = std::min<std::size_t>(len - 8, replySize - sizeof r);
        r.DataSize = WORD(echoed);
        std::memcpy(reply, &r, sizeof r);
        std::memcpy(static_cast<unsigned char*>(reply) + sizeof r, icmpMsg + 8, echoed);
        return 1;
    }
}

}  // namespace os
