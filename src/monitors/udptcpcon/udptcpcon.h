// The connection watch: the IPv4 TCP connection table and UDP endpoint table,
// each row with its owning program, reporting rows that appear and vanish.
#pragma once

#include "monitors/common/devicepaths.h"

#include <boost/signals2/signal.hpp>

#include <cstdint>
#include <list>
#include <string>
#include <tuple>
#include <vector>

namespace vt {

class udptcpcon {
public:
    // `marked` is false and `name` is fileNameOf(path) in every record that is
    // signalled; both travel in the record, the log does not write them.
    struct STcpCon {
        bool marked = false;
        std::uint32_t localAddr = 0;
        std::uint32_t remoteAddr = 0;
        std::uint16_t localPort = 0;
        std::uint16_t remotePort = 0;
        std::uint32_t pid = 0;
        std::string name;
        std::string path;
        std::string localIp;
        std::string remoteIp;
    };
    struct SUdpCon {
        bool marked = false;
        std::uint32_t localAddr = 0;
        std::uint16_t localPort = 0;
        std::uint32_t pid = 0;
        std::string name;
        std::string path;
        std::string localIp;
    };

    udptcpcon();
    virtual ~udptcpcon();
    udptcpcon(const udptcpcon&) = delete;
    udptcpcon& operator=(const udptcpcon&) = delete;

    // One poll of a table: removed rows are reported first (stored order), then
    // new rows (table order). Returns the number of rows reported, or
    //  -1 the first buffer could not be allocated,
    //  -2 the buffer of the size the table asked for could not be allocated,
    //  -3 the second table call failed (the table grew again in between),
    //  -4 the first table call failed with ERROR_INVALID_PARAMETER,
    //  -5 the first table call failed with another error, or the table is malformed.
    int pollTcpTable();
    int pollUdpTable();
    void reset();

    boost::signals2::signal<void(STcpCon)> tcpAdded;
    boost::signals2::signal<void(STcpCon)> tcpRemoved;
    boost::signals2::signal<void(SUdpCon)> udpAdded;
    boost::signals2::signal<void(SUdpCon)> udpRemoved;

    int tcpRows() const { return tcpConnections.count; }
    int udpRows() const { return udpEndpoints.count; }

    // Keys: every field must be equal for two rows to be the same entry.
    using TcpKey = std::tuple<std::uint32_t, std::uint32_t, std::uint16_t, std::uint32_t, std::uint16_t>;
    using UdpKey = std::tuple<std::uint32_t, std::uint32_t, std::uint16_t>;

    // What is known of one table: its rows in the order they were added, with
    // their count beside them.
    template <typename Record, typename Key>
    struct Table {
        std::int32_t count = 0;
        std::list<Record> rows;
        std::vector<Key> sortedKeys;  // keys of `rows`, sorted
        std::uint32_t lastSize = 0;   // the buffer size the table last needed, and some
    };

private:
    template <typename Traits>
    int poll(typename Traits::TableState& table);
    template <typename Traits>
    static int read(typename Traits::TableState& table, std::vector<typename Traits::Row>& rows);
    template <typename Traits>
    struct Changes;
    template <typename Traits>
    static Changes<Traits> compare(typename Traits::TableState& table, const std::vector<typename Traits::Key>& keys);
    template <typename Traits>
    int report(typename Traits::TableState& table, const std::vector<typename Traits::Row>& rows,
               const Changes<Traits>& changes);

    Table<STcpCon, TcpKey> tcpConnections;
    Table<SUdpCon, UdpKey> udpEndpoints;
    VolumeMap devicePaths;

    struct TcpTraits;
    struct UdpTraits;
};

}  // namespace vt
