#include "monitors/netstats/netstats.h"

#include "common/hex.h"

#include "monitors/common/lookups.h"
#include "monitors/common/sized.h"
#include "platform/os.h"

#include <cstring>
#include <utility>

namespace vt {
namespace {

constexpr char kPayload[] = "OXAvantorelle ICMP pingtime test";
static_assert(sizeof kPayload == 33, "the echo carries 32 characters and their terminator");
constexpr os::DWORD kReplySize = sizeof(os::ICMP_ECHO_REPLY) + sizeof kPayload;  // 61
constexpr os::DWORD kEchoTimeoutMs = 500;

// Owns an ICMP handle.
class IcmpHandle {
public:
    IcmpHandle() : h_(os::IcmpCreateFile()) {}
    ~IcmpHandle() {
        if (valid()) os::IcmpCloseHandle(h_);
    }
    IcmpHandle(const IcmpHandle&) = delete;
    IcmpHandle& operator=(const IcmpHandle&) = delete;
    bool valid() const { return h_ != os::invalidHandle(); }
    os::HANDLE get() const { return h_; }

private:
    os::HANDLE h_;
};

}  // namespace

int icmpPingTime(std::uint32_t address) {
    char payload[sizeof kPayload];
    std::memcpy(payload, kPayload, sizeof payload);
    if (!usableServer(os::ntohl(address))) return -1;
    IcmpHandle icmp;
    if (!icmp.valid()) return -2;
    os::Buffer reply = os::allocateBuffer(kReplySize);
    if (!reply) return -3;
    std::memset(reply.get(), 0, kReplySize);
    if (os::IcmpSendEcho(icmp.get(), address, payload, sizeof payload, nullptr, reply.get(), kReplySize,
                         kEchoTimeoutMs) == 0)
        return -4;
    os::ICMP_ECHO_REPLY first;
    std::memcpy(&first, reply.get(), sizeof first);
    if (first.RoundTripTime == 0 || first.RoundTripTime > 500) return 501;
    return int(first.RoundTripTime);
}

std::string hardwareAddressText(const unsigned char* bytes, std::uint32_t length) {
    if (length != 6) return {};
    std::string out;
    for (int i = 0; i < 6; ++i) {
        if (i) out += '-';
        hex::appendByte(out, bytes[i]);
    }
    return out;
}

netstats::netstats() = default;
netstats::~netstats() = default;

void netstats::resetAdapters() { samples.clear(); }

void netstats::sampleAdapters() {
    SizedResult table = callSized(4096, 1, os::ERROR_INSUFFICIENT_BUFFER, 2, [](void* buffer, os::DWORD* size) {
        return os::GetIfTable(static_cast<os::MIB_IFTABLE*>(buffer), size, 0);
    });
    if (!table.data || table.size < sizeof(os::DWORD)) return;
    const os::DWORD size = table.size;
    const unsigned char* buffer = table.data.get();

    os::DWORD n = 0;
    std::memcpy(&n, buffer, sizeof n);
    n = std::min<os::DWORD>(n, (size - sizeof(os::DWORD)) / sizeof(os::MIB_IFROW));
    for (os::DWORD i = 0; i < n; ++i) {
        os::MIB_IFROW row;
        std::memcpy(&row, buffer + sizeof(os::DWORD) + i * sizeof row, sizeof row);
        if (row.dwType != os::IF_TYPE_ETHERNET_CSMACD && row.dwType != os::IF_TYPE_PPP &&
            row.dwType != os::IF_TYPE_IEEE80211)
            continue;
        SAdapterEntry entry;
        os::DWORD descrLen = std::min<os::DWORD>(row.dwDescrLen, os::MAXLEN_IFDESCR);
        if (descrLen > 0) entry.description.assign(reinterpret_cast<const char*>(row.bDescr), descrLen - 1);
        entry.index = row.dwIndex;
        entry.inUcastPkts = row.dwInUcastPkts;
        entry.outUcastPkts = row.dwOutUcastPkts;
        entry.inOctets = row.dwInOctets;
        entry.outOctets = row.dwOutOctets;
        const std::string address = hardwareAddressText(row.bPhysAddr, row.dwPhysAddrLen);

        // A slot may throw (the log's write failing), and the pass ends there.
        // A sample is kept only with its report, so the next pass reports
        // what this one did not: its deltas reach back to the last one reported.
        auto known = samples.find(entry.index);
        if (known != samples.end()) {
            entry.rxDelta = entry.inOctets - known->second.inOctets;  // modulo 2^32: a wrap still counts right
            entry.txDelta = entry.outOctets - known->second.outOctets;
            std::swap(known->second, entry);  // entry: the sample reported last
            try {
                adapterStatsSignal(known->second);
            } catch (...) {
                std::swap(known->second, entry);
                throw;
            }
        } else if (entry.inOctets != 0 || entry.outOctets != 0) {
            auto stored = samples.emplace(entry.index, entry).first;
            try {
                if (!entry.description.empty() && !address.empty()) adapterInfoSignal(entry.description, address);
            } catch (...) {
                samples.erase(stored);
                throw;
            }
        }
    }
}

void netstats::pingServer(std::uint32_t address) {
    if (!usableServer(address)) return;
    const std::uint32_t target = os::htonl(address);
    const std::string server = ipToString(target);
    const int result = icmpPingTime(target);
    pingSignal(result >= 0 ? result : 1000, server);
}

}  // namespace vt
