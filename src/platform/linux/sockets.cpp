// Sockets: the kernel's IPv4 TCP and UDP tables, from the sock_diag netlink
// dump or /proc/net, each socket with the process that holds it.
#include "platform/linux/linux_system.h"

#include "platform/linux/owned.h"
#include "platform/linux/procfs.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <unordered_set>

namespace os {
namespace linux_backend {
namespace {

// One sock_diag dump of the IPv4 sockets of a protocol; false when the kernel
// does not offer it, answers with an error or sends something malformed.
bool diagDump(int protocol, std::vector<procfs::SocketRow>& rows) {
    Fd s(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (s.fd < 0) return false;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } req;
    std::memset(&req, 0, sizeof req);
    req.header.nlmsg_len = sizeof req;
    req.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    req.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    req.request.sdiag_family = AF_INET;
    req.request.sdiag_protocol = std::uint8_t(protocol);
    req.request.idiag_states = ~0u;  // every state, listening and time-wait included
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(s.fd, &req, sizeof req, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) return false;
    std::vector<unsigned char> buf(64 * 1024);
    for (;;) {
        ssize_t n = ::recv(s.fd, buf.data(), buf.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        switch (procfs::parseDiagMessages(buf.data(), std::size_t(n), rows)) {
        case procfs::DiagStatus::More: break;
        case procfs::DiagStatus::Done: return true;
        case procfs::DiagStatus::Failed: return false;
        }
    }
}

}  // namespace

bool LinuxSystem::readSockets(const char* name, int protocol, std::vector<procfs::SocketRow>& rows) {
    rows.clear();
    if (sockDiag_ && diagDump(protocol, rows)) return true;
    rows.clear();
    std::string text;
    if (!readFile(procRoot_ + "/net/" + name, text)) return false;
    rows = procfs::parseSocketTable(text);
    return true;
}

std::uint64_t LinuxSystem::ownerScans() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ownerScans_;
}

namespace {
// A directory that could not be opened for want of descriptors or memory: the
// scan is incomplete, and what it did not find may yet have an owner.
bool transient(int error) { return error == EMFILE || error == ENFILE || error == ENOMEM; }
}  // namespace

bool LinuxSystem::scanOwners(std::unordered_map<std::uint64_t, DWORD>& wanted) {
    ++ownerScans_;
    std::size_t left = wanted.size();
    Dir proc(procRoot_);
    if (!proc) return false;
    bool complete = true;
    while (dirent* e = proc.next()) {
        std::uint32_t pid;
        if (!procfs::parsePid(e->d_name, pid)) continue;
        std::string fdPath = std::string(e->d_name) + "/fd";
        Dir fds(proc.fd(), fdPath.c_str());
        if (!fds) {
            // Another user's process (EACCES) or one that has ended (ENOENT) holds nothing to find.
            if (transient(errno)) complete = false;
            continue;
        }
        while (dirent* f = fds.next()) {
            if (f->d_name[0] == '.') continue;
            char link[64];
            ssize_t n = ::readlinkat(fds.fd(), f->d_name, link, sizeof link - 1);
            if (n <= 0) continue;
            std::uint64_t inode = procfs::parseSocketLink(std::string_view(link, std::size_t(n)));
            if (!inode) continue;
            auto it = wanted.find(inode);
            if (it != wanted.end() && it->second == 0) {
                it->second = pid;
                if (--left == 0) return true;
            }
        }
    }
    return complete;
}

std::vector<DWORD> LinuxSystem::ownersOf(OwnerCache& cache, const std::vector<std::uint64_t>& inodes) {
    std::unordered_map<std::uint64_t, DWORD> unknown;
    for (std::uint64_t ino : inodes)
        if (ino && !cache.owners.count(ino)) unknown.emplace(ino, 0);
    if (!unknown.empty()) {
        const bool complete = scanOwners(unknown);
        // 0 stays known as "no owner found" only after a whole scan; otherwise
        // the owner is looked for again on the next call.
        for (auto& kv : unknown)
            if (kv.second != 0 || complete) cache.owners[kv.first] = kv.second;
    }
    // Forget sockets that left the table, so the map stays as large as the table.
    if (cache.owners.size() > inodes.size()) {
        std::unordered_set<std::uint64_t> present(inodes.begin(), inodes.end());
        for (auto it = cache.owners.begin(); it != cache.owners.end();)
            it = present.count(it->first) ? std::next(it) : cache.owners.erase(it);
    }
    std::vector<DWORD> pids;
    pids.reserve(inodes.size());
    for (std::uint64_t ino : inodes) {
        auto it = ino ? cache.owners.find(ino) : cache.owners.end();
        pids.push_back(it == cache.owners.end() ? 0 : it->second);
    }
    return pids;
}

// Reads one of the kernel's IPv4 socket tables into a Windows-shaped table:
// a count, then one row per socket made by `makeRow(row, owner)`.
template <typename Row, typename MakeRow>
DWORD LinuxSystem::socketTable(const char* name, int protocol, OwnerCache& owners, void* table, DWORD* size,
                               MakeRow makeRow) {
    if (!size) return ERROR_INVALID_PARAMETER;
    std::vector<procfs::SocketRow> rows;
    if (!readSockets(name, protocol, rows)) return ERROR_NOT_SUPPORTED;
    DWORD needed = DWORD(sizeof(DWORD) + rows.size() * sizeof(Row));
    if (!table || *size < needed) {
        *size = needed;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    std::vector<std::uint64_t> inodes;
    inodes.reserve(rows.size());
    for (auto& r : rows) inodes.push_back(r.inode);
    std::vector<DWORD> pids;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pids = ownersOf(owners, inodes);
    }
    auto* out = static_cast<unsigned char*>(table);
    DWORD n = DWORD(rows.size());
    std::memcpy(out, &n, sizeof n);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        Row row = makeRow(rows[i], pids[i]);
        std::memcpy(out + sizeof(DWORD) + i * sizeof(Row), &row, sizeof row);
    }
    return NO_ERROR;
}

// The rows hold ports in network order, as the Windows tables do.
DWORD LinuxSystem::tcpTable(void* table, DWORD* size) {
    return socketTable<MIB_TCPROW_OWNER_PID>(
        "tcp", IPPROTO_TCP, tcpOwners_, table, size, [](const procfs::SocketRow& r, DWORD owner) {
            return MIB_TCPROW_OWNER_PID{procfs::windowsTcpState(r.state), r.localAddr, ntohs(r.localPort),
                                        r.remoteAddr, ntohs(r.remotePort), owner};
        });
}

DWORD LinuxSystem::udpTable(void* table, DWORD* size) {
    return socketTable<MIB_UDPROW_OWNER_PID>("udp", IPPROTO_UDP, udpOwners_, table, size,
                                             [](const procfs::SocketRow& r, DWORD owner) {
                                                 return MIB_UDPROW_OWNER_PID{r.localAddr, ntohs(r.localPort), owner};
                                             });
}

}  // namespace linux_backend
}  // namespace os
