#include "monitors/udptcpcon/udptcpcon.h"

#include "monitors/procwatch/procwatch.h"
#include "platform/os.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <unordered_map>

namespace vt {

std::string ipToString(std::uint32_t address) {
    if (address == 0) return "0.0.0.0";
    std::string out;
    out.reserve(15);
    for (int i = 0; i < 4; ++i) {
        if (i) out += '.';
        out += std::to_string((address >> (8 * i)) & 0xFFu);
    }
    return out;
}

struct udptcpcon::TcpTraits {
    using Record = STcpCon;
    using Key = TcpKey;
    using Row = os::MIB_TCPROW_OWNER_PID;
    using TableState = Table<STcpCon, TcpKey>;
    static os::DWORD read(void* buf, os::DWORD* size) {
        return os::GetExtendedTcpTable(buf, size, 0, os::AF_INET_FAMILY, os::TCP_TABLE_OWNER_PID_ALL, 0);
    }
    static Key key(const Row& r) {
        return Key(r.dwOwningPid, r.dwRemoteAddr, os::ntohs(std::uint16_t(r.dwRemotePort)), r.dwLocalAddr,
                   os::ntohs(std::uint16_t(r.dwLocalPort)));
    }
    static Key key(const Record& r) { return Key(r.pid, r.remoteAddr, r.remotePort, r.localAddr, r.localPort); }
    static Record record(const Row& r) {
        Record c;
        c.localAddr = r.dwLocalAddr;
        c.remoteAddr = r.dwRemoteAddr;
        c.localPort = os::ntohs(std::uint16_t(r.dwLocalPort));
        c.remotePort = os::ntohs(std::uint16_t(r.dwRemotePort));
        c.pid = r.dwOwningPid;
        c.localIp = ipToString(c.localAddr);
        c.remoteIp = ipToString(c.remoteAddr);
        return c;
    }
    static void added(udptcpcon& self, const Record& r) { self.tcpAdded(r); }
    static void removed(udptcpcon& self, const Record& r) { self.tcpRemoved(r); }
};

struct udptcpcon::UdpTraits {
    using Record = SUdpCon;
    using Key = UdpKey;
    using Row = os::MIB_UDPROW_OWNER_PID;
    using TableState = Table<SUdpCon, UdpKey>;
    static os::DWORD read(void* buf, os::DWORD* size) {
        return os::GetExtendedUdpTable(buf, size, 0, os::AF_INET_FAMILY, os::UDP_TABLE_OWNER_PID, 0);
    }
    static Key key(const Row& r) { return Key(r.dwOwningPid, r.dwLocalAddr, os::ntohs(std::uint16_t(r.dwLocalPort))); }
    static Key key(const Record& r) { return Key(r.pid, r.localAddr, r.localPort); }
    static Record record(const Row& r) {
        Record c;
        c.localAddr = r.dwLocalAddr;
        c.localPort = os::ntohs(std::uint16_t(r.dwLocalPort));
        c.pid = r.dwOwningPid;
        c.localIp = ipToString(c.localAddr);
        return c;
    }
    static void added(udptcpcon& self, const Record& r) { self.udpAdded(r); }
    static void removed(udptcpcon& self, const Record& r) { self.udpRemoved(r); }
};

udptcpcon::udptcpcon() { buildVolumeMap(devicePaths); }

udptcpcon::~udptcpcon() = default;

void udptcpcon::reset() {
    // The learnt buffer sizes stay: they describe the machine, not a recording.
    const std::uint32_t tcpSize = tcpConnections.lastSize, udpSize = udpEndpoints.lastSize;
    tcpConnections = Table<STcpCon, TcpKey>();
    udpEndpoints = Table<SUdpCon, UdpKey>();
    tcpConnections.lastSize = tcpSize;
    udpEndpoints.lastSize = udpSize;
}

int udptcpcon::pollTcpTable() { return poll<TcpTraits>(tcpConnections); }
int udptcpcon::pollUdpTable() { return poll<UdpTraits>(udpEndpoints); }

template <typename Traits>
int udptcpcon::poll(typename Traits::TableState& table) {
    using Key = typename Traits::Key;
    using Row = typename Traits::Row;

    // The table starts at 8192 bytes, or at the size it last needed and some,
    // so that a large table is not read twice on every tick.
    os::DWORD size = std::max<os::DWORD>(8192, table.lastSize);
    os::Buffer buffer = os::allocateBuffer(size);
    if (!buffer) return -1;
    std::memset(buffer.get(), 0, size);
    os::DWORD rc = Traits::read(buffer.get(), &size);
    if (rc == os::ERROR_INSUFFICIENT_BUFFER) {
        buffer.reset();
        buffer = os::allocateBuffer(size);
        if (!buffer) return -2;
        std::memset(buffer.get(), 0, size);
        const os::DWORD needed = size;
        if (Traits::read(buffer.get(), &size) != os::NO_ERROR) return -3;
        table.lastSize = needed + needed / 4;  // room for the table to grow a little
    } else if (rc == os::ERROR_INVALID_PARAMETER) {
        return -4;
    } else if (rc != os::NO_ERROR) {
        return -5;
    }

    os::DWORD n = 0;
    std::memcpy(&n, buffer.get(), sizeof n);
    if (std::size_t(n) > (size - sizeof(os::DWORD)) / sizeof(Row)) return -5;  // a count the buffer cannot hold
    std::vector<Row> rows(n);
    if (n) std::memcpy(rows.data(), buffer.get() + sizeof(os::DWORD), n * sizeof(Row));
    buffer.reset();

    std::vector<Key> keys;
    keys.reserve(n);
    for (const Row& r : rows) keys.push_back(Traits::key(r));
    std::vector<Key> sorted = keys;
    std::sort(sorted.begin(), sorted.end());
    if (sorted == table.sortedKeys) return 0;  // the common tick: nothing changed

    int reported = 0;
    // Rows that vanished, in stored order. Keys may repeat, so match by count.
    std::map<Key, int> present;
    for (const Key& k : keys) ++present[k];
    for (auto it = table.rows.begin(); it != table.rows.end();) {
        auto p = present.find(Traits::key(*it));
        if (p != present.end() && p->second > 0) {
            --p->second;
            ++it;
            continue;
        }
        typename Traits::Record gone = *it;
        gone.marked = false;
        Traits::removed(*this, gone);
        it = table.rows.erase(it);
        --table.count;
        ++reported;
    }

    // Rows that appeared, in table order; each owner is looked up once.
    std::map<Key, int> stored;
    for (const auto& r : table.rows) ++stored[Traits::key(r)];
    std::unordered_map<std::uint32_t, std::string> paths;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        auto s = stored.find(keys[i]);
        if (s != stored.end() && s->second > 0) {
            --s->second;
            continue;
        }
        typename Traits::Record rec = Traits::record(rows[i]);
        auto known = paths.find(rec.pid);
        if (known == paths.end()) known = paths.emplace(rec.pid, processPath(rec.pid, devicePaths)).first;
        rec.path = known->second;
        rec.name = fileNameOf(rec.path);
        table.rows.push_back(rec);
        ++table.count;
        ++reported;
        Traits::added(*this, rec);
    }
    table.sortedKeys.swap(sorted);
    return reported;
}

}  // namespace vt
