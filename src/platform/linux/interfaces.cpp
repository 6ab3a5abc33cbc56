// Interfaces: the counters of /proc/net/dev with each adapter's index, type
// and hardware address from /sys/class/net.
#include "platform/linux/linux_system.h"

#include "platform/linux/procfs.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

namespace os {
namespace linux_backend {
namespace {

void copyDescription(MIB_IFROW& row, const std::string& name) {
    std::size_t n = std::min(name.size(), MAXLEN_IFDESCR - 1);
    std::memcpy(row.bDescr, name.data(), n);
    row.dwDescrLen = DWORD(n + 1);
}

}  // namespace

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
