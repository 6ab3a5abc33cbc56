// Network statistics: bytes per adapter between two samples, and the ICMP
// round-trip time to the game server.
#pragma once

#include <boost/signals2/signal.hpp>

#include <cstdint>
#include <map>
#include <string>

namespace vt {

// One echo to an address in network byte order:
//  1..500 the round-trip time in ms; 501 a reply whose time is 0 or above 500;
//  -1 a refused address (0.0.0.0, 127.0.0.1, 255.255.255.255), nothing sent;
//  -2 no ICMP handle; -3 no reply buffer; -4 no reply within 500 ms.
int icmpPingTime(std::uint32_t address);

// The six bytes of a hardware address as 00-1a-2b-3c-4d-5e; empty unless the
// length is exactly 6.
std::string hardwareAddressText(const unsigned char* bytes, std::uint32_t length);

class netstats {
public:
    struct SAdapterEntry {
        std::uint32_t index = 0;
        std::uint32_t inUcastPkts = 0;   // travel with the sample; the log does not write them
        std::uint32_t outUcastPkts = 0;
        std::uint32_t inOctets = 0;
        std::uint32_t outOctets = 0;
        std::uint32_t rxDelta = 0;
        std::uint32_t txDelta = 0;
        std::string description;
    };

    netstats();
    virtual ~netstats();
    netstats(const netstats&) = delete;
    netstats& operator=(const netstats&) = delete;

    void resetAdapters();
    void sampleAdapters();
    // address in host byte order (127.0.0.1 is 0x7F000001).
    void pingServer(std::uint32_t address);

    boost::signals2::signal<void(SAdapterEntry)> adapterStatsSignal;
    boost::signals2::signal<void(int, const std::string&)> pingSignal;
    boost::signals2::signal<void(const std::string&, const std::string&)> adapterInfoSignal;

    const std::map<std::uint32_t, SAdapterEntry>& lastSamples() const { return samples; }

private:
    std::map<std::uint32_t, SAdapterEntry> samples;
};

}  // namespace vt
