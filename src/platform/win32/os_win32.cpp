// The seam's machine calls on Windows: each forwards to the Win32 function of
// the same name. The seam's types have the Windows layouts; the checks below
// keep it so.
#include "platform/os.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <icmpapi.h>
#include <psapi.h>

// psapi.h maps these names to their kernel32 forms (K32...) as macros; the
// seam's functions keep the plain names.
#undef EnumProcesses
#undef GetProcessImageFileNameW

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#define VT_SAME_LAYOUT(ours, theirs, field) \
    static_assert(offsetof(os::ours, field) == offsetof(::theirs, field), #ours "." #field)

static_assert(sizeof(os::MIB_TCPROW_OWNER_PID) == sizeof(::MIB_TCPROW_OWNER_PID), "tcp row");
VT_SAME_LAYOUT(MIB_TCPROW_OWNER_PID, MIB_TCPROW_OWNER_PID, dwLocalPort);
VT_SAME_LAYOUT(MIB_TCPROW_OWNER_PID, MIB_TCPROW_OWNER_PID, dwOwningPid);
static_assert(sizeof(os::MIB_UDPROW_OWNER_PID) == sizeof(::MIB_UDPROW_OWNER_PID), "udp row");
VT_SAME_LAYOUT(MIB_UDPROW_OWNER_PID, MIB_UDPROW_OWNER_PID, dwOwningPid);
static_assert(sizeof(os::MIB_IFROW) == sizeof(::MIB_IFROW), "interface row");
VT_SAME_LAYOUT(MIB_IFROW, MIB_IFROW, dwIndex);
VT_SAME_LAYOUT(MIB_IFROW, MIB_IFROW, dwPhysAddrLen);
VT_SAME_LAYOUT(MIB_IFROW, MIB_IFROW, bPhysAddr);
VT_SAME_LAYOUT(MIB_IFROW, MIB_IFROW, dwInOctets);
VT_SAME_LAYOUT(MIB_IFROW, MIB_IFROW, dwOutOctets);
VT_SAME_LAYOUT(MIB_IFROW, MIB_IFROW, dwDescrLen);
VT_SAME_LAYOUT(MIB_IFROW, MIB_IFROW, bDescr);
static_assert(offsetof(os::MIB_IFTABLE, table) == offsetof(::MIB_IFTABLE, table), "interface table");
// The seam's echo reply has the 32-bit layout. A 32-bit process gets it from
// Windows as it is; a 64-bit one gets the native reply, whose two pointers are
// 8 bytes wide, and IcmpSendEcho below converts it.
#ifdef _WIN64
static_assert(sizeof(::ICMP_ECHO_REPLY) == 40, "native 64-bit echo reply");
static_assert(offsetof(::ICMP_ECHO_REPLY, Data) == 16 && offsetof(::ICMP_ECHO_REPLY, Options) == 24,
              "native 64-bit echo reply");
#else
static_assert(sizeof(os::ICMP_ECHO_REPLY) == sizeof(::ICMP_ECHO_REPLY), "echo reply");
VT_SAME_LAYOUT(ICMP_ECHO_REPLY, ICMP_ECHO_REPLY, RoundTripTime);
VT_SAME_LAYOUT(ICMP_ECHO_REPLY, ICMP_ECHO_REPLY, Data);
#endif
VT_SAME_LAYOUT(ICMP_ECHO_REPLY, ICMP_ECHO_REPLY, Address);
VT_SAME_LAYOUT(ICMP_ECHO_REPLY, ICMP_ECHO_REPLY, Status);
VT_SAME_LAYOUT(ICMP_ECHO_REPLY, ICMP_ECHO_REPLY, RoundTripTime);
VT_SAME_LAYOUT(ICMP_ECHO_REPLY, ICMP_ECHO_REPLY, DataSize);
static_assert(sizeof(os::FILETIME) == sizeof(::FILETIME), "file time");
VT_SAME_LAYOUT(FILETIME, FILETIME, dwHighDateTime);

namespace os {

void releaseMachine() {}  // nothing is kept between calls

void* allocate(std::size_t bytes) { return std::malloc(bytes); }
void release(void* p) { std::free(p); }

DWORD GetLastError() { return ::GetLastError(); }
BOOL CloseHandle(HANDLE h) { return ::CloseHandle(h); }

BOOL EnumProcesses(DWORD* ids, DWORD cb, DWORD* bytesReturned) {
    return ::K32EnumProcesses(reinterpret_cast<::DWORD*>(ids), cb, reinterpret_cast<::DWORD*>(bytesReturned));
}

HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD pid) { return ::OpenProcess(access, inherit, pid); }

DWORD GetProcessImageFileNameW(HANDLE process, wchar_t* name, DWORD size) {
    return ::K32GetProcessImageFileNameW(process, name, size);
}

BOOL GetProcessTimes(HANDLE process, FILETIME* creation, FILETIME* exit, FILETIME* kernel, FILETIME* user) {
    return ::GetProcessTimes(process, reinterpret_cast<::FILETIME*>(creation), reinterpret_cast<::FILETIME*>(exit),
                             reinterpret_cast<::FILETIME*>(kernel), reinterpret_cast<::FILETIME*>(user));
}

HANDLE FindFirstVolumeW(wchar_t* name, DWORD length) { return ::FindFirstVolumeW(name, length); }
BOOL FindNextVolumeW(HANDLE find, wchar_t* name, DWORD length) { return ::FindNextVolumeW(find, name, length); }
BOOL FindVolumeClose(HANDLE find) { return ::FindVolumeClose(find); }

DWORD QueryDosDeviceW(const wchar_t* deviceName, wchar_t* target, DWORD max) {
    return ::QueryDosDeviceW(deviceName, target, max);
}

BOOL GetVolumePathNamesForVolumeNameW(const wchar_t* volumeName, wchar_t* names, DWORD length, DWORD* returnLength) {
    return ::GetVolumePathNamesForVolumeNameW(volumeName, names, length, reinterpret_cast<PDWORD>(returnLength));
}

int WideCharToMultiByte(UINT codePage, DWORD flags, const wchar_t* wide, int wideCount, char* narrow, int narrowSize,
                        const char* defaultChar, BOOL* usedDefault) {
    return ::WideCharToMultiByte(codePage, flags, wide, wideCount, narrow, narrowSize, defaultChar, usedDefault);
}

BOOL GetVolumeInformationA(const char* root, char* volumeName, DWORD volumeNameSize, DWORD* serial,
                           DWORD* maxComponentLength, DWORD* flags, char* fsName, DWORD fsNameSize) {
    return ::GetVolumeInformationA(root, volumeName, volumeNameSize, reinterpret_cast<LPDWORD>(serial),
                                   reinterpret_cast<LPDWORD>(maxComponentLength), reinterpret_cast<LPDWORD>(flags),
                                   fsName, fsNameSize);
}

DWORD GetExtendedTcpTable(void* table, DWORD* size, BOOL order, ULONG af, int tableClass, ULONG reserved) {
    return ::GetExtendedTcpTable(table, reinterpret_cast<PDWORD>(size), order, af,
                                 static_cast<TCP_TABLE_CLASS>(tableClass), reserved);
}

DWORD GetExtendedUdpTable(void* table, DWORD* size, BOOL order, ULONG af, int tableClass, ULONG reserved) {
    return ::GetExtendedUdpTable(table, reinterpret_cast<PDWORD>(size), order, af,
                                 static_cast<UDP_TABLE_CLASS>(tableClass), reserved);
}

DWORD GetIfTable(MIB_IFTABLE* table, ULONG* size, BOOL order) {
    return ::GetIfTable(reinterpret_cast<::MIB_IFTABLE*>(table), reinterpret_cast<PULONG>(size), order);
}

HANDLE IcmpCreateFile() { return ::IcmpCreateFile(); }

#ifdef _WIN64
// The caller's buffer and options have the 32-bit layouts. Windows fills a
// native buffer as large as the caller's plus what the wider replies need;
// each reply is then written back in the 32-bit layout, its Data field as the
// offset of the echoed bytes in the caller's buffer (a 64-bit pointer does not
// fit), followed by the echoed bytes that fit.
DWORD IcmpSendEcho(HANDLE icmp, IPAddr destination, const void* data, WORD dataSize, void* options, void* reply,
                   DWORD replySize, DWORD timeoutMs) {
    constexpr std::size_t wide = sizeof(::ICMP_ECHO_REPLY), narrow = sizeof(os::ICMP_ECHO_REPLY);
    if (!reply || replySize < narrow) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    ::IP_OPTION_INFORMATION nativeOptions{};
    if (options) {
        // 32-bit IP_OPTION_INFORMATION: Ttl, Tos, Flags, OptionsSize, then a
        // 4-byte pointer that cannot be widened; only options without data pass.
        const auto* o = static_cast<const BYTE*>(options);
        if (o[3] != 0) {
            ::SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        nativeOptions.Ttl = o[0];
        nativeOptions.Tos = o[1];
        nativeOptions.Flags = o[2];
    }
    const std::size_t nativeSize = std::size_t(replySize) + (replySize / narrow + 1) * (wide - narrow);
    if (nativeSize > 0xFFFFFFFFu) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::unique_ptr<unsigned char[]> native(new (std::nothrow) unsigned char[nativeSize]);
    if (!native) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    const DWORD count = ::IcmpSendEcho(icmp, destination, const_cast<void*>(data), dataSize,
                                       options ? &nativeOptions : nullptr, native.get(), DWORD(nativeSize),
                                       timeoutMs);
    if (count == 0) return 0;
    auto* out = static_cast<unsigned char*>(reply);
    const std::size_t fit = std::min<std::size_t>(count, replySize / narrow);
    std::size_t dataAt = fit * narrow;  // the echoed bytes follow the replies, as Windows lays them out
    for (std::size_t i = 0; i < fit; ++i) {
        ::ICMP_ECHO_REPLY r;
        std::memcpy(&r, native.get() + i * wide, wide);
        os::ICMP_ECHO_REPLY n{};
        n.Address = r.Address;
        n.Status = r.Status;
        n.RoundTripTime = r.RoundTripTime;
        n.DataSize = r.DataSize;
        n.Reserved = r.Reserved;
        n.Ttl = r.Options.Ttl;
        n.Tos = r.Options.Tos;
        n.Flags = r.Options.Flags;
        const auto* from = static_cast<const unsigned char*>(r.Data);
        const std::size_t room = dataAt < replySize ? replySize - dataAt : 0;
        if (from && from >= native.get() && from + r.DataSize <= native.get() + nativeSize && r.DataSize <= room) {
            std::memcpy(out + dataAt, from, r.DataSize);
            n.Data = std::uint32_t(dataAt);
            dataAt += r.DataSize;
        } else {
            n.DataSize = 0;
        }
        std::memcpy(out + i * narrow, &n, narrow);
    }
    return DWORD(fit);
}
#else
DWORD IcmpSendEcho(HANDLE icmp, IPAddr destination, const void* data, WORD dataSize, void* options, void* reply,
                   DWORD replySize, DWORD timeoutMs) {
    return ::IcmpSendEcho(icmp, destination, const_cast<void*>(data), dataSize,
                          static_cast<PIP_OPTION_INFORMATION>(options), reply, replySize, timeoutMs);
}
#endif

BOOL IcmpCloseHandle(HANDLE icmp) { return ::IcmpCloseHandle(icmp); }

}  // namespace os
