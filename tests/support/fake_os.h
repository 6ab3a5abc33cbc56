// A scripted machine behind the platform seam, for driving the monitors in
// unit tests: processes, volumes, connection tables, interfaces, echo replies
// and volume serials, each with the failures the real calls can have.
#pragma once

#include "platform/os.h"

#include <functional>
#include <string>
#include <vector>

namespace fake {

struct Process {
    os::DWORD pid = 0;
    std::wstring image;       // device form, as GetProcessImageFileNameW gives it
    bool openFails = false;   // OpenProcess refuses
    bool imageFails = false;  // GetProcessImageFileNameW fails
    std::uint64_t created = 0;  // the creation time GetProcessTimes gives
    bool timesFail = false;     // GetProcessTimes fails
};

struct Volume {
    std::wstring name;                 // \\?\Volume{...}\ (may be malformed)
    std::wstring device;               // what QueryDosDeviceW returns
    std::vector<std::wstring> mounts;  // mount paths in listing order
    bool queryFails = false;
    bool pathsFail = false;
    bool moreData = false;  // the first path query asks for a larger buffer
};

struct Machine {
    // processes
    std::vector<Process> processes;
    bool enumFails = false;
    int enumCalls = 0;
    int openCalls = 0;
    int timesCalls = 0;
    // volumes
    std::vector<Volume> volumes;
    bool findFirstFails = false;
    int pathQueries = 0;
    bool narrowFails = false;  // WideCharToMultiByte fails
    // connection tables
    std::vector<os::MIB_TCPROW_OWNER_PID> tcp;
    std::vector<os::MIB_UDPROW_OWNER_PID> udp;
    os::DWORD tcpError = 0;  // returned by the next table call, once, when set
    os::DWORD udpError = 0;
    // runs right after a table call answered ERROR_INSUFFICIENT_BUFFER
    std::function<void()> afterSizeProbe;
    int tcpCalls = 0;
    int udpCalls = 0;
    // interfaces
    std::vector<os::MIB_IFROW> interfaces;
    os::DWORD ifError = 0;  // returned by every GetIfTable call while set
    int ifCalls = 0;
    // ICMP
    bool icmpHandleFails = false;
    bool echoFails = false;   // no reply in time
    os::ULONG echoTime = 0;   // RoundTripTime of the reply
    std::vector<os::IPAddr> echoesSent;
    // volume serial
    os::DWORD serial = 0;
    bool serialFails = false;
    // memory: allocations for which this returns true fail
    std::function<bool(std::size_t)> failAllocation;
    int allocations = 0;
    // handles currently open (every kind)
    int openHandles = 0;
};

Machine& machine();
// A new machine: everything empty, nothing failing.
void reset();

// Row builders; addresses as dotted text, ports in host order.
os::DWORD address(const char* dotted);  // network byte order, as the tables hold it
os::MIB_TCPROW_OWNER_PID tcpRow(const char* local, int localPort, const char* remote, int remotePort, os::DWORD pid,
                                os::DWORD state = 5);
os::MIB_UDPROW_OWNER_PID udpRow(const char* local, int localPort, os::DWORD pid);
os::MIB_IFROW ifRow(os::DWORD index, os::DWORD type, const std::string& description, std::vector<os::BYTE> mac,
                    os::DWORD inOctets, os::DWORD outOctets);

}  // namespace fake
