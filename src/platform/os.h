// The platform seam. Every call the library makes into the operating system
// goes through this namespace, in the shape of the Win32 call the monitors
// were written against (EnumProcesses, GetExtendedTcpTable, GetIfTable,
// IcmpSendEcho, ...): same parameters, same results, same error codes and the
// same buffer-size protocol. The monitors implement their behaviour once,
// against these shapes, and cannot tell the machines behind them apart: win32/
// forwards to Windows, linux/ answers the same contracts from /proc, /sys and
// sockets, and the tests link a scripted fake that gives every failure the
// Win32 calls can give. One of the three is chosen at link time.
//
// This header is self-contained on purpose: it defines its own copies of the
// few Win32 types it needs (with the Windows layouts of a 32-bit process), so
// nothing above the seam ever sees a system header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

namespace os {

using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using WORD = std::uint16_t;
using BYTE = std::uint8_t;
using UINT = unsigned int;
using BOOL = int;
using HANDLE = void*;
using IPAddr = std::uint32_t;  // IPv4 address in network byte order

// Error codes (GetLastError values and direct results).
constexpr DWORD NO_ERROR = 0;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;

HANDLE invalidHandle();  // INVALID_HANDLE_VALUE

constexpr DWORD PROCESS_QUERY_INFORMATION = 0x0400;
constexpr DWORD READ_CONTROL = 0x00020000;
constexpr UINT CP_ACP = 0;
constexpr ULONG AF_INET_FAMILY = 2;
constexpr int TCP_TABLE_OWNER_PID_ALL = 5;
constexpr int UDP_TABLE_OWNER_PID = 1;

constexpr DWORD IF_TYPE_OTHER = 1;
constexpr DWORD IF_TYPE_ETHERNET_CSMACD = 6;
constexpr DWORD IF_TYPE_PPP = 23;
constexpr DWORD IF_TYPE_SOFTWARE_LOOPBACK = 24;
constexpr DWORD IF_TYPE_IEEE80211 = 71;

struct MIB_TCPROW_OWNER_PID {
    DWORD dwState;
    DWORD dwLocalAddr;
    DWORD dwLocalPort;
    DWORD dwRemoteAddr;
    DWORD dwRemotePort;
    DWORD dwOwningPid;
};
struct MIB_TCPTABLE_OWNER_PID {
    DWORD dwNumEntries;
    MIB_TCPROW_OWNER_PID table[1];
};
struct MIB_UDPROW_OWNER_PID {
    DWORD dwLocalAddr;
    DWORD dwLocalPort;
    DWORD dwOwningPid;
};
struct MIB_UDPTABLE_OWNER_PID {
    DWORD dwNumEntries;
    MIB_UDPROW_OWNER_PID table[1];
};

constexpr std::size_t MAX_INTERFACE_NAME_LEN = 256;
constexpr std::size_t MAXLEN_PHYSADDR = 8;
constexpr std::size_t MAXLEN_IFDESCR = 256;

struct MIB_IFROW {
    std::uint16_t wszName[MAX_INTERFACE_NAME_LEN];  // WCHAR is 16 bits on Windows
    DWORD dwIndex;
    DWORD dwType;
    DWORD dwMtu;
    DWORD dwSpeed;
    DWORD dwPhysAddrLen;
    BYTE bPhysAddr[MAXLEN_PHYSADDR];
    DWORD dwAdminStatus;
    DWORD dwOperStatus;
    DWORD dwLastChange;
    DWORD dwInOctets;
    DWORD dwInUcastPkts;
    DWORD dwInNUcastPkts;
    DWORD dwInDiscards;
    DWORD dwInErrors;
    DWORD dwInUnknownProtos;
    DWORD dwOutOctets;
    DWORD dwOutUcastPkts;
    DWORD dwOutNUcastPkts;
    DWORD dwOutDiscards;
    DWORD dwOutErrors;
    DWORD dwOutQLen;
    DWORD dwDescrLen;
    BYTE bDescr[MAXLEN_IFDESCR];
};
struct MIB_IFTABLE {
    DWORD dwNumEntries;
    MIB_IFROW table[1];
};
static_assert(sizeof(MIB_IFROW) == 860, "MIB_IFROW must keep the Windows layout");

// ICMP_ECHO_REPLY as a 32-bit Windows process lays it out (pointers are 4 bytes).
struct ICMP_ECHO_REPLY {
    IPAddr Address;
    ULONG Status;
    ULONG RoundTripTime;
    WORD DataSize;
    WORD Reserved;
    std::uint32_t Data;
    BYTE Ttl, Tos, Flags, OptionsSize;
    std::uint32_t OptionsData;
};
static_assert(sizeof(ICMP_ECHO_REPLY) == 28, "ICMP_ECHO_REPLY must keep the 32-bit layout");

// ---- byte order (Winsock): the library only runs on little-endian machines
inline std::uint16_t ntohs(std::uint16_t v) { return static_cast<std::uint16_t>((v >> 8) | (v << 8)); }
inline std::uint32_t htonl(std::uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}
inline std::uint32_t ntohl(std::uint32_t v) { return htonl(v); }

// ---- clock
std::int64_t currentTime();                       // _time64: seconds since 1970
bool localTime(std::int64_t t, std::tm& out);     // thread-safe _localtime64

// ---- memory (HeapAlloc-like; may fail and return null)
void* allocate(std::size_t bytes);
void release(void* p);
struct Releaser {
    void operator()(void* p) const { release(p); }
};
using Buffer = std::unique_ptr<unsigned char[], Releaser>;
inline Buffer allocateBuffer(std::size_t bytes) {
    Buffer b(static_cast<unsigned char*>(allocate(bytes)));
    return b;
}

DWORD GetLastError();
BOOL CloseHandle(HANDLE h);

// ---- processes (PSAPI, kernel32)
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

BOOL EnumProcesses(DWORD* ids, DWORD cb, DWORD* bytesReturned);
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD pid);
// Fails with ERROR_INSUFFICIENT_BUFFER when the path and its terminator do not fit.
DWORD GetProcessImageFileNameW(HANDLE process, wchar_t* name, DWORD size);
// Only the creation time is used, as part of a process's identity. On Linux
// it is a value made of the start time in /proc/PID/stat and the device and
// inode of the executable, so that it also changes when the process executes
// a new image; the other three times are zero there, and the call fails for
// a process without an executable (a kernel thread).
BOOL GetProcessTimes(HANDLE process, FILETIME* creation, FILETIME* exit, FILETIME* kernel, FILETIME* user);

// ---- volumes and text
HANDLE FindFirstVolumeW(wchar_t* name, DWORD length);
BOOL FindNextVolumeW(HANDLE find, wchar_t* name, DWORD length);
BOOL FindVolumeClose(HANDLE find);
DWORD QueryDosDeviceW(const wchar_t* deviceName, wchar_t* target, DWORD max);
BOOL GetVolumePathNamesForVolumeNameW(const wchar_t* volumeName, wchar_t* names, DWORD length,
                                      DWORD* returnLength);
int WideCharToMultiByte(UINT codePage, DWORD flags, const wchar_t* wide, int wideCount, char* narrow,
                        int narrowSize, const char* defaultChar, BOOL* usedDefault);
BOOL GetVolumeInformationA(const char* root, char* volumeName, DWORD volumeNameSize, DWORD* serial,
                           DWORD* maxComponentLength, DWORD* flags, char* fsName, DWORD fsNameSize);

// ---- IP helper
DWORD GetExtendedTcpTable(void* table, DWORD* size, BOOL order, ULONG af, int tableClass, ULONG reserved);
DWORD GetExtendedUdpTable(void* table, DWORD* size, BOOL order, ULONG af, int tableClass, ULONG reserved);
DWORD GetIfTable(MIB_IFTABLE* table, ULONG* size, BOOL order);
HANDLE IcmpCreateFile();
DWORD IcmpSendEcho(HANDLE icmp, IPAddr destination, const void* data, WORD dataSize, void* options,
                   void* reply, DWORD replySize, DWORD timeoutMs);
BOOL IcmpCloseHandle(HANDLE icmp);

// ---- files: the log writes through an exclusively created file.
class File {
public:
    virtual ~File() = default;
    // Writes the bytes at offset, which is at most the end of what this object
    // wrote (a file never gets a hole), and returns how many reached the file:
    // all of them, or fewer when the system refused the rest (a full disk, an
    // I/O error). What was taken is always a prefix, so the caller may offer
    // the rest again later. Bytes that replace bytes already written need no
    // new space, so the write limit below never cuts them.
    std::size_t writeAt(std::uint64_t offset, const void* data, std::size_t size);
    // Appends after the end of what this object wrote.
    std::size_t write(const void* data, std::size_t size) { return writeAt(end_, data, size); }
    // The end of what this object wrote: the file's size.
    std::uint64_t end() const { return end_; }
    virtual bool close() = 0;

protected:
    // The system's positional write: how many of size bytes it took at offset.
    virtual std::size_t writeRaw(std::uint64_t offset, const char* data, std::size_t size) = 0;

private:
    std::uint64_t end_ = 0;
};
// Creates a new file at path for writing. Fails (null) when anything already
// exists at that name; never follows a symbolic link there. Other processes may
// open the file for reading and writing while it is open.
std::unique_ptr<File> createNewFile(const std::string& path);

// The times of a file, in seconds since 1970, for finding out when a log was
// made: its birth (creation) time where the file system keeps one, its last
// modification, and the last change of its entry where the system keeps
// that apart (POSIX ctime; not on Windows). False when the path cannot be
// examined.
struct FileTimes {
    bool hasBirth = false;
    std::int64_t birth = 0;
    std::int64_t modified = 0;
    bool hasChange = false;
    std::int64_t changed = 0;
};
bool fileTimes(const std::string& path, FileTimes& out);

// ---- files: reading. A file is opened for reading without ever waiting (a
// FIFO without a writer or a device is opened at once, not waited on), then
// judged by what was opened, never by a look at the name before: a name
// swapped for something else between a look and the open cannot make a
// reader wait.
enum class FileKind { Regular, Directory, Fifo, Device, Socket, Missing, Unreadable };
class ReadFile {
public:
    virtual ~ReadFile() = default;
    // The size when it was opened.
    virtual std::uint64_t size() const = 0;
    // Reads size bytes at offset: how many were read (fewer at the end or on an error).
    virtual std::size_t readAt(std::uint64_t offset, void* data, std::size_t size) = 0;
};
// A regular file opened for reading, or null with what is there instead in
// kind (and for Unreadable, the system's reason in why).
std::unique_ptr<ReadFile> openForReading(const std::string& path, FileKind& kind, std::string& why);

// Makes what was written to the file at path, or to the entries of the
// directory at path, reach the disk (fsync). False when it cannot be opened or
// the system reports a failure; Windows keeps directory entries itself, so a
// directory there is always true.
bool syncPath(const std::string& path);

// ---- path texts. A narrow path is in the system's code page (ANSI on
// Windows); a UTF-8 path is converted to the file system's own text where that
// differs (UTF-16 on Windows, so the wide calls take it whatever the code
// page). On POSIX systems both are the bytes as given.
enum class PathText { Narrow, Utf8 };
#if defined(_WIN32)
using PathChar = wchar_t;
#else
using PathChar = char;
#endif
using NativePath = std::basic_string<PathChar>;
// The file system's own text of a path; false when it cannot be converted.
bool nativePath(const std::string& path, PathText text, NativePath& out);
// A path's text in UTF-8; false when it cannot be converted.
bool pathToUtf8(const std::string& path, PathText text, std::string& out);
// createNewFile for a path in the given text.
std::unique_ptr<File> createNewFile(const std::string& path, PathText text);

// Failure injection for the tests and the fake machine: while a limit is set,
// every File write that grows the file asks it how many of its new bytes may
// reach the file (0 plays a full disk) and stops short there, as a write to a
// full disk does. An empty
// function writes normally again. Safe to call while files are written.
using WriteLimit = std::function<std::size_t(std::size_t requested)>;
void setWriteLimit(WriteLimit limit);
// The number of bytes of a write of size bytes that may reach the file.
std::size_t allowedWrite(std::size_t size);

// The separator the log puts between its directory and the file name.
char pathSeparator();

// Releases what the platform layer keeps for the whole process (on Linux the
// socket owner map). Called when the library is unloaded, after the last
// poll; a later call into the seam starts afresh.
void releaseMachine();

}  // namespace os
