// Monitor records built in one line, for tests that write them through the log.
#pragma once

#include "monitors/netstats/netstats.h"
#include "monitors/procwatch/procwatch.h"
#include "monitors/udptcpcon/udptcpcon.h"

#include <cstdint>
#include <string>

namespace testsupport {

inline vt::udptcpcon::SUdpCon udpRecord(const std::string& ip, std::uint16_t port, std::uint32_t pid,
                                        const std::string& path) {
    vt::udptcpcon::SUdpCon r;
    r.localIp = ip;
    r.localPort = port;
    r.pid = pid;
    r.path = path;
    return r;
}

inline vt::udptcpcon::STcpCon tcpRecord(const std::string& localIp, std::uint16_t localPort,
                                        const std::string& remoteIp, std::uint16_t remotePort, std::uint32_t pid,
                                        const std::string& path) {
    vt::udptcpcon::STcpCon r;
    r.localIp = localIp;
    r.localPort = localPort;
    r.remoteIp = remoteIp;
    r.remotePort = remotePort;
    r.pid = pid;
    r.path = path;
    return r;
}

inline vt::procwatch::SProcessEntry processRecord(std::uint32_t pid, const std::string& path) {
    vt::procwatch::SProcessEntry r;
    r.pid = pid;
    r.path = path;
    return r;
}

inline vt::netstats::SAdapterEntry adapterRecord(const std::string& description, std::uint32_t txDelta,
                                                 std::uint32_t rxDelta) {
    vt::netstats::SAdapterEntry r;
    r.description = description;
    r.txDelta = txDelta;
    r.rxDelta = rxDelta;
    return r;
}

}  // namespace testsupport
