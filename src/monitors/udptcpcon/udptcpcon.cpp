#include "monitors/udptcpcon/udptcpcon.h"

#include "monitors/common/lookups.h"
#include "monitors/common/sized.h"
#include "platform/os.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <unordered_map>

namespace vt {

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

// What a poll found: stored rows that vanished, and rows of the fresh table
// that are new (by their position in it).
template <typename Traits>
struct udptcpcon::Changes {
    std::vector<typename std::list<typename Traits::Record>::iterator> gone;
    std::vector<std::size_t> fresh;
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

// Reads the table's rows. The buffer starts at 8192 bytes, or at the size the
// table last needed and some, so that a large table is not read twice on
// every tick.
template <typename Traits>
int udptcpcon::read(typename Traits::TableState& table, std::vector<typename Traits::Row>& rows) {
    using Row = typename Traits::Row;
    SizedResult r = callSized(std::max<os::DWORD>(8192, table.lastSize), 1, os::ERROR_INSUFFICIENT_BUFFER, 2,
                              [](void* buffer, os::DWORD* size) { return Traits::read(buffer, size); });
    if (r.noMemory) return r.calls == 0 ? -1 : -2;
    if (r.error != os::NO_ERROR) {
        if (r.calls > 1) return -3;
        return r.error == os::ERROR_INVALID_PARAMETER ? -4 : -5;
    }
    if (r.calls > 1) table.lastSize = r.size + r.size / 4;  // room for the table to grow a little

    os::DWORD n = 0;
    std::memcpy(&n, r.data.get(), sizeof n);
    if (std::size_t(n) > (r.size - sizeof(os::DWORD)) / sizeof(Row)) return -5;  // a count the buffer cannot hold
    rows.resize(n);
    if (n) std::memcpy(rows.data(), r.data.get() + sizeof(os::DWORD), n * sizeof(Row));
    return 0;
}

// Matches the stored rows against the fresh keys. Keys may repeat, so they
// are matched by count: the first stored rows with a key stay, and only as
// many fresh rows with that key as are not stored are new.
template <typename Traits>
udptcpcon::Changes<Traits> udptcpcon::compare(typename Traits::TableState& table,
                                              const std::vector<typename Traits::Key>& keys) {
    using Key = typename Traits::Key;
    Changes<Traits> changes;
    std::map<Key, int> present;
    for (const Key& k : keys) ++present[k];
    std::map<Key, int> kept;
    for (auto it = table.rows.begin(); it != table.rows.end(); ++it) {
        const Key k = Traits::key(*it);
        auto p = present.find(k);
        if (p != present.end() && p->second > 0) {
            --p->second;
            ++kept[k];
        } else {
            changes.gone.push_back(it);
        }
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
        auto s = kept.find(keys[i]);
        if (s != kept.end() && s->second > 0)
            --s->second;
        else
            changes.fresh.push_back(i);
    }
    return changes;
}

// Reports the vanished rows in stored order, then the new ones in table
// order, each owner looked up once.
template <typename Traits>
int udptcpcon::report(typename Traits::TableState& table, const std::vector<typename Traits::Row>& rows,
                      const Changes<Traits>& changes) {
    for (auto it : changes.gone) {
        Traits::removed(*this, *it);
        table.rows.erase(it);
        --table.count;
    }
    std::unordered_map<std::uint32_t, std::string> paths;
    for (std::size_t i : changes.fresh) {
        typename Traits::Record rec = Traits::record(rows[i]);
        auto known = paths.find(rec.pid);
        if (known == paths.end()) known = paths.emplace(rec.pid, processPath(rec.pid, devicePaths)).first;
        rec.path = known->second;
        rec.name = fileNameOf(rec.path);
        // Stored before the report, as the slots see it, and taken back when
        // a slot throws: the next poll adds it then.
        table.rows.push_back(rec);
        ++table.count;
        try {
            Traits::added(*this, rec);
        } catch (...) {
            --table.count;
            table.rows.pop_back();
            throw;
        }
    }
    return int(changes.gone.size() + changes.fresh.size());
}

template <typename Traits>
int udptcpcon::poll(typename Traits::TableState& table) {
    std::vector<typename Traits::Row> rows;
    const int rc = read<Traits>(table, rows);
    if (rc < 0) return rc;

    std::vector<typename Traits::Key> keys;
    keys.reserve(rows.size());
    for (const auto& r : rows) keys.push_back(Traits::key(r));
    std::vector<typename Traits::Key> sorted = keys;
    std::sort(sorted.begin(), sorted.end());
    if (sorted == table.sortedKeys) return 0;  // the common tick: nothing changed

    // A slot may throw (the log's write failing), and the poll ends there:
    // every row is stored or forgotten together with its report, and the keys
    // are those of the rows kept, so the next poll reports the rest.
    try {
        const int reported = report<Traits>(table, rows, compare<Traits>(table, keys));
        table.sortedKeys.swap(sorted);
        return reported;
    } catch (...) {
        table.sortedKeys.clear();
        for (const auto& r : table.rows) table.sortedKeys.push_back(Traits::key(r));
        std::sort(table.sortedKeys.begin(), table.sortedKeys.end());
        throw;
    }
}

}  // namespace vt
