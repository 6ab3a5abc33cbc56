// Pure parsers for the text of /proc and /sys. They take the text and return
// values; they never touch the file system, so tests feed them literal samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace procfs {

// One row of /proc/net/tcp or /proc/net/udp. Addresses are the 32-bit values
// the kernel holds (network byte order in memory); ports are host order.
struct SocketRow {
    std::uint32_t localAddr = 0;
    std::uint16_t localPort = 0;
    std::uint32_t remoteAddr = 0;
    std::uint16_t remotePort = 0;
    std::uint32_t state = 0;
    std::uint64_t inode = 0;
};

// Parses the whole table; the header line and malformed lines are skipped.
std::vector<SocketRow> parseSocketTable(std::string_view text);

// Parses the messages of one read of a sock_diag (inet_diag) dump and appends
// their IPv4 sockets to rows. More: the dump goes on in the next read; Done:
// its end was read; Failed: the kernel answered with an error, or a message
// is malformed, so the rows are not the whole table.
enum class DiagStatus { More, Done, Failed };
DiagStatus parseDiagMessages(const void* data, std::size_t length, std::vector<SocketRow>& rows);

// The Windows MIB_TCP_STATE of a Linux TCP state (0 for an unknown one).
std::uint32_t windowsTcpState(std::uint32_t linuxState);

// One interface of /proc/net/dev, counters as the kernel gives them (64 bits).
struct DevCounters {
    std::string name;
    std::uint64_t rxBytes = 0, rxPackets = 0, rxMulticast = 0;
    std::uint64_t txBytes = 0, txPackets = 0;
};
std::vector<DevCounters> parseNetDev(std::string_view text);

// "aa:bb:cc:dd:ee:ff\n" -> bytes; empty on anything else. Any number of
// colon-separated hex pairs is accepted (up to 32), as /sys prints them.
std::vector<std::uint8_t> parseHardwareAddress(std::string_view text);

// "socket:[12345]" -> 12345; 0 when the link is not a socket.
std::uint64_t parseSocketLink(std::string_view link);

// A /proc directory entry that names a process: digits only, fits 32 bits.
bool parsePid(std::string_view name, std::uint32_t& pid);

// A decimal number on the first line of a /sys attribute; false if malformed.
bool parseDecimal(std::string_view text, std::uint64_t& value);

// Windows interface type for an ARPHRD type from /sys/class/net/NAME/type.
std::uint32_t interfaceType(std::uint64_t arphrd, bool wireless);

// UTF-8 bytes to wide characters. Each byte that is not part of well-formed
// UTF-8 becomes a lone surrogate, 0xDC00 + the byte (0xDC80 to 0xDCFF), which
// the narrow conversion writes as '?'.
std::wstring utf8ToWide(std::string_view text);
// Wide characters to UTF-8. A surrogate or a value beyond U+10FFFF becomes
// '?', as a Windows code page writes what it cannot represent; the result
// tells whether that happened.
bool wideToUtf8(std::wstring_view text, std::string& out);

// The start time of a process (field 22 of /proc/PID/stat, in clock ticks
// since boot). The command name in parentheses may hold any byte, ')' and
// blanks included, so the fields are counted from the last ')'.
bool parseStartTime(std::string_view stat, std::uint64_t& start);

}  // namespace procfs
