#include "platform/linux/linux_system.h"

#include "platform/linux/procfs.h"

#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_set>

namespace os {
namespace linux_backend {
namespace {

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

// What OpenProcess hands out: the image path, read when the handle is made.
struct ProcessHandle : Handle {
    ProcessHandle(DWORD p, bool has, std::string img) : pid(p), hasImage(has), image(std::move(img)) {}
    DWORD pid;
    bool hasImage;
    std::string image;
};

void copyDescription(MIB_IFROW& row, const std::string& name) {
    std::size_t n = std::min(name.size(), MAXLEN_IFDESCR - 1);
    std::memcpy(row.bDescr, name.data(), n);
    row.dwDescrLen = DWORD(n + 1);
}

}  // namespace

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

DWORD LinuxSystem::ifTable(MIB_IFTABLE* table, ULONG* size) {
    if (!size) return ERROR_INVALID_PARAMETER;
    std::string text;
    if (!readFile(procRoot_ + "/net/dev", text)) return ERROR_NOT_SUPPORTED;
    auto devs = procfs::parseNetDev(text);
    ULONG needed = ULONG(sizeof(DWORD) + devs.size() * sizeof(MIB_IFROW));
    if (!table || *size < needed) {
        *size = needed;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    table->dwNumEntries = DWORD(devs.size());
    auto* out = reinterpret_cast<MIB_IFROW*>(reinterpret_cast<unsigned char*>(table) + sizeof(DWORD));
    for (std::size_t i = 0; i < devs.size(); ++i) {
        const auto& d = devs[i];
        MIB_IFROW row;
        std::memset(&row, 0, sizeof row);
        std::string dir = sysRoot_ + "/class/net/" + d.name;
        std::string attr;
        std::uint64_t v = 0;
        if (readFile(dir + "/ifindex", attr) && procfs::parseDecimal(attr, v)) row.dwIndex = DWORD(v);
        std::uint64_t arphrd = 0;
        if (readFile(dir + "/type", attr)) procfs::parseDecimal(attr, arphrd);
        struct stat st;
        bool wireless = ::stat((dir + "/wireless").c_str(), &st) == 0;
        row.dwType = procfs::interfaceType(arphrd, wireless);
        if (readFile(dir + "/address", attr)) {
            auto mac = procfs::parseHardwareAddress(attr);
            if (mac.size() <= MAXLEN_PHYSADDR) {
                std::copy(mac.begin(), mac.end(), row.bPhysAddr);
                row.dwPhysAddrLen = DWORD(mac.size());
            }
        }
        for (std::size_t k = 0; k < d.name.size() && k < MAX_INTERFACE_NAME_LEN - 1; ++k)
            row.wszName[k] = static_cast<unsigned char>(d.name[k]);
        // Counters are 32 bits wide on Windows; they wrap the same way here.
        row.dwInOctets = DWORD(d.rxBytes);
        row.dwOutOctets = DWORD(d.txBytes);
        std::uint64_t inUnicast = d.rxPackets >= d.rxMulticast ? d.rxPackets - d.rxMulticast : 0;
        row.dwInUcastPkts = DWORD(inUnicast);
        row.dwInNUcastPkts = DWORD(d.rxMulticast);
        row.dwOutUcastPkts = DWORD(d.txPackets);
        copyDescription(row, d.name);
        std::memcpy(out + i, &row, sizeof row);
    }
    return NO_ERROR;
}

}  // namespace linux_backend
}  // namespace os
