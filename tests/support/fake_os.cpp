// The seam's machine calls, answered from fake::machine().
#include "support/fake_os.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>

namespace fake {
namespace {

Machine* current = new Machine;  // never destroyed: threads may still ask at exit
thread_local os::DWORD lastError = 0;

enum class Kind { Process, Search, Icmp };
struct Handle {
    Kind kind;
    std::size_t index;  // process or volume position
};

os::HANDLE open(Kind kind, std::size_t index) {
    ++current->openHandles;
    return new Handle{kind, index};
}
Handle* as(os::HANDLE h, Kind kind) {
    auto* p = static_cast<Handle*>(h);
    return p && h != os::invalidHandle() && p->kind == kind ? p : nullptr;
}
bool close(os::HANDLE h, Kind kind) {
    Handle* p = as(h, kind);
    if (!p) return false;
    delete p;
    --current->openHandles;
    return true;
}

void copyName(const std::wstring& s, wchar_t* out, os::DWORD length) {
    std::size_t n = std::min<std::size_t>(s.size(), length ? length - 1 : 0);
    std::copy(s.begin(), s.begin() + std::ptrdiff_t(n), out);
    if (length) out[n] = L'\0';
}

template <typename Row>
os::DWORD table(std::vector<Row>& rows, os::DWORD& error, int& calls, void* buffer, os::DWORD* size) {
    ++calls;
    if (error) {
        os::DWORD e = error;
        error = 0;
        return e;
    }
    os::DWORD needed = os::DWORD(sizeof(os::DWORD) + rows.size() * sizeof(Row));
    if (*size < needed) {
        *size = needed;
        if (current->afterSizeProbe) current->afterSizeProbe();
        return os::ERROR_INSUFFICIENT_BUFFER;
    }
    os::DWORD n = os::DWORD(rows.size());
    std::memcpy(buffer, &n, sizeof n);
    if (n) std::memcpy(static_cast<unsigned char*>(buffer) + sizeof n, rows.data(), n * sizeof(Row));
    return os::NO_ERROR;
}

}  // namespace

Machine& machine() { return *current; }

void reset() { *current = Machine(); }

os::DWORD address(const char* dotted) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    std::sscanf(dotted, "%u.%u.%u.%u", &a, &b, &c, &d);
    return os::DWORD(a | (b << 8) | (c << 16) | (d << 24));
}

os::MIB_TCPROW_OWNER_PID tcpRow(const char* local, int localPort, const char* remote, int remotePort, os::DWORD pid,
                                os::DWORD state) {
    return {state, address(local), os::ntohs(std::uint16_t(localPort)), address(remote),
            os::ntohs(std::uint16_t(remotePort)), pid};
}

os::MIB_UDPROW_OWNER_PID udpRow(const char* local, int localPort, os::DWORD pid) {
    return {address(local), os::ntohs(std::uint16_t(localPort)), pid};
}

os::MIB_IFROW ifRow(os::DWORD index, os::DWORD type, const std::string& description, std::vector<os::BYTE> mac,
                    os::DWORD inOctets, os::DWORD outOctets) {
    os::MIB_IFROW row;
    std::memset(&row, 0, sizeof row);
    row.dwIndex = index;
    row.dwType = type;
    row.dwPhysAddrLen = os::DWORD(mac.size());
    std::copy(mac.begin(), mac.begin() + std::ptrdiff_t(std::min<std::size_t>(mac.size(), os::MAXLEN_PHYSADDR)),
              row.bPhysAddr);
    row.dwInOctets = inOctets;
    row.dwOutOctets = outOctets;
    std::memcpy(row.bDescr, description.data(), std::min<std::size_t>(description.size(), 255));
    row.dwDescrLen = description.empty() ? 0 : os::DWORD(description.size() + 1);
    return row;
}

}  // namespace fake

namespace os {

using fake::current;
using fake::Kind;

void* allocate(std::size_t bytes) {
    ++current->allocations;
    if (current->failAllocation && current->failAllocation(bytes)) return nullptr;
    return std::malloc(bytes);
}
void release(void* p) { std::free(p); }

void releaseMachine() {}  // the scripted machine outlives every test

DWORD GetLastError() { return fake::lastError; }

BOOL CloseHandle(HANDLE h) { return fake::close(h, Kind::Process) ? 1 : 0; }

BOOL EnumProcesses(DWORD* ids, DWORD cb, DWORD* bytesReturned) {
    ++current->enumCalls;
    if (current->enumFails) return 0;
    DWORD n = 0;
    for (const auto& p : current->processes) {
        if ((n + 1) * sizeof(DWORD) > cb) break;
        ids[n++] = p.pid;
    }
    *bytesReturned = n * DWORD(sizeof(DWORD));
    return 1;
}

HANDLE OpenProcess(DWORD, BOOL, DWORD pid) {
    ++current->openCalls;
    for (std::size_t i = 0; i < current->processes.size(); ++i) {
        const auto& p = current->processes[i];
        if (p.pid == pid) return p.openFails ? nullptr : fake::open(Kind::Process, i);
    }
    return nullptr;
}

DWORD GetProcessImageFileNameW(HANDLE process, wchar_t* name, DWORD size) {
    fake::Handle* h = fake::as(process, Kind::Process);
    if (!h || h->index >= current->processes.size()) return 0;
    const auto& p = current->processes[h->index];
    if (p.imageFails || p.image.size() + 1 > size) {
        fake::lastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    fake::copyName(p.image, name, size);
    return DWORD(p.image.size());
}

BOOL GetProcessTimes(HANDLE process, FILETIME* creation, FILETIME* exit, FILETIME* kernel, FILETIME* user) {
    ++current->timesCalls;
    fake::Handle* h = fake::as(process, Kind::Process);
    if (!h || h->index >= current->processes.size() || current->processes[h->index].timesFail) return 0;
    const std::uint64_t created = current->processes[h->index].created;
    *creation = FILETIME{DWORD(created), DWORD(created >> 32)};
    *exit = *kernel = *user = FILETIME{0, 0};
    return 1;
}

HANDLE FindFirstVolumeW(wchar_t* name, DWORD length) {
    if (current->findFirstFails || current->volumes.empty()) return invalidHandle();
    fake::copyName(current->volumes[0].name, name, length);
    return fake::open(Kind::Search, 0);
}

BOOL FindNextVolumeW(HANDLE find, wchar_t* name, DWORD length) {
    fake::Handle* h = fake::as(find, Kind::Search);
    if (!h || ++h->index >= current->volumes.size()) return 0;
    fake::copyName(current->volumes[h->index].name, name, length);
    return 1;
}

BOOL FindVolumeClose(HANDLE find) { return fake::close(find, Kind::Search) ? 1 : 0; }

DWORD QueryDosDeviceW(const wchar_t* deviceName, wchar_t* target, DWORD max) {
    for (const auto& v : current->volumes) {
        if (v.name.size() < 5 || v.name.substr(4, v.name.size() - 5) != deviceName) continue;
        if (v.queryFails) return 0;
        fake::copyName(v.device, target, max);
        return DWORD(v.device.size() + 2);
    }
    return 0;
}

BOOL GetVolumePathNamesForVolumeNameW(const wchar_t* volumeName, wchar_t* names, DWORD length, DWORD* returnLength) {
    ++current->pathQueries;
    for (auto& v : current->volumes) {
        if (v.name != volumeName) continue;
        if (v.pathsFail) return 0;
        std::wstring list;
        for (const auto& m : v.mounts) list += m + L'\0';
        list += L'\0';
        if (v.moreData || list.size() > length) {
            v.moreData = false;
            *returnLength = DWORD(std::max<std::size_t>(list.size(), length + 100));
            fake::lastError = ERROR_MORE_DATA;
            return 0;
        }
        std::copy(list.begin(), list.end(), names);
        *returnLength = DWORD(list.size());
        return 1;
    }
    return 0;
}

// Like a narrow code page: characters up to 0xFF map to one byte, others (a
// lone surrogate too) to '?'. A size of 0 asks for the size needed.
int WideCharToMultiByte(UINT, DWORD, const wchar_t* wide, int wideCount, char* narrow, int narrowSize, const char*,
                        BOOL* usedDefault) {
    if (current->narrowFails) return 0;
    std::wstring in = wideCount < 0 ? std::wstring(wide) : std::wstring(wide, std::size_t(wideCount));
    std::string out;
    bool replaced = false;
    for (wchar_t c : in) {
        replaced = replaced || c > 0xFF;
        out += c <= 0xFF ? char(c) : '?';
    }
    if (usedDefault) *usedDefault = replaced ? 1 : 0;
    std::size_t need = out.size() + (wideCount < 0 ? 1 : 0);
    if (narrowSize == 0) return int(need);
    if (need > std::size_t(narrowSize)) {
        fake::lastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    std::memcpy(narrow, out.c_str(), need);
    return int(need);
}

BOOL GetVolumeInformationA(const char*, char*, DWORD, DWORD* serial, DWORD*, DWORD*, char*, DWORD) {
    if (current->serialFails) return 0;
    *serial = current->serial;
    return 1;
}

DWORD GetExtendedTcpTable(void* table, DWORD* size, BOOL, ULONG, int, ULONG) {
    return fake::table(current->tcp, current->tcpError, current->tcpCalls, table, size);
}

DWORD GetExtendedUdpTable(void* table, DWORD* size, BOOL, ULONG, int, ULONG) {
    return fake::table(current->udp, current->udpError, current->udpCalls, table, size);
}

DWORD GetIfTable(MIB_IFTABLE* table, ULONG* size, BOOL) {
    ++current->ifCalls;
    if (current->ifError) return current->ifError;
    os::DWORD noError = 0;
    int calls = 0;
    return fake::table(current->interfaces, noError, calls, table, size);
}

HANDLE IcmpCreateFile() { return current->icmpHandleFails ? invalidHandle() : fake::open(Kind::Icmp, 0); }

DWORD IcmpSendEcho(HANDLE icmp, IPAddr destination, const void* data, WORD dataSize, void*, void* reply,
                   DWORD replySize, DWORD) {
    if (!fake::as(icmp, Kind::Icmp)) return 0;
    current->echoesSent.push_back(destination);
    if (current->echoFails || replySize < sizeof(ICMP_ECHO_REPLY) + dataSize) return 0;
    ICMP_ECHO_REPLY r{};
    r.Address = destination;
    r.RoundTripTime = current->echoTime;
    r.DataSize = dataSize;
    std::memcpy(reply, &r, sizeof r);
    std::memcpy(static_cast<unsigned char*>(reply) + sizeof r, data, dataSize);
    return 1;
}

BOOL IcmpCloseHandle(HANDLE icmp) { return fake::close(icmp, Kind::Icmp) ? 1 : 0; }

}  // namespace os
