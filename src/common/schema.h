// The records of the log: one table that the logger writes from and the
// reader parses with.
//
// A record is one line:
//
//   DD.MM.YYYY hh:mm:ss;Kind;Action;<lead>Label:value:Label:value\n
//
// The lead is literal text that some records carry before their fields. A
// field is its label, ':', its value and, for measured values, ':' and a unit.
// Fields are separated by ':'. Values are written as they are, so one field of
// each shape, its open field, may hold ':' (a path, a fact, an adapter's
// description); every other value is free of ':'. The open field is the last
// one, so that it takes the rest of the line, except where a shape says
// otherwise (the adapter's description, followed by two numbers). The reader
// therefore takes the fields before the open one from the left and those after
// it from the right.
#pragma once

#include "common/civil.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vt {
namespace schema {

// "DD.MM.YYYY hh:mm:ss" and the ';' that ends it.
constexpr std::size_t kStampWidth = 19;
constexpr std::size_t kStampedWidth = kStampWidth + 1;
constexpr char kStampPattern[] = "99.99.9999 99:99:99;";  // 9: a digit
static_assert(sizeof kStampPattern - 1 == kStampedWidth, "the pattern is the stamp and its separator");

constexpr char kPartSeparator = ';';   // between stamp, kind, action and body
constexpr char kFieldSeparator = ':';  // between labels, values and units

struct Field {
    const char* label;
    const char* unit;  // written after the value, or null
};

struct Shape {
    const char* kind;
    const char* action;   // null: the action is free text (the name of a fact)
    const char* lead;     // literal text before the first field
    const Field* fields;  // in the order written
    std::size_t count;
    std::size_t open;     // the field whose value may hold ':'
};

enum class Kind {
    UdpAdd,
    UdpDel,
    TcpAdd,
    TcpDel,
    ProcessAdd,
    ProcessDel,
    EthernetStats,
    PingStats,
    KeyPressed,
    SysInfo,
    InfoStart,
    InfoStop,
    InfoRecovered,  // written by `vtl recover --seal` before the stop record
};

// The words of the records. Every text a record carries comes from here.
namespace word {
constexpr char kUdp[] = "UDP";
constexpr char kTcp[] = "TCP";
constexpr char kProcess[] = "Process";
constexpr char kEthernet[] = "Ethernet";
constexpr char kPing[] = "Ping";
constexpr char kKey[] = "Key";
constexpr char kSysInfo[] = "SysInfo";
constexpr char kInfo[] = "Info";

constexpr char kAdd[] = "Add";
constexpr char kDel[] = "Del";
constexpr char kStats[] = "Stats";
constexpr char kPressed[] = "Pressed";
constexpr char kStart[] = "Start";
constexpr char kStop[] = "Stop";
constexpr char kRecovered[] = "Recovered";

constexpr char kLogfileStart[] = "Logfile start:";
constexpr char kLogfileEnd[] = "Logfile end";
constexpr char kLogfileRecovered[] = "Logfile recovered:";
constexpr char kBytesPerSecond[] = "Bytes/s";
}  // namespace word

namespace label {
constexpr char kLocalIp[] = "LocalIp";
constexpr char kLocalPort[] = "LocalPort";
constexpr char kRemoteIp[] = "RemoteIp";
constexpr char kRemotePort[] = "RemotePort";
constexpr char kPid[] = "PID";
constexpr char kPath[] = "Path";
constexpr char kAdapter[] = "Adapter";
constexpr char kTxD[] = "TxD";
constexpr char kRxD[] = "RxD";
constexpr char kServer[] = "Server";
constexpr char kActual[] = "Actual";
constexpr char kName[] = "Name";
constexpr char kValue[] = "Value";
constexpr char kUserId[] = "UserId";
constexpr char kMatchId[] = "MatchId";
constexpr char kFrom[] = "From";
constexpr char kRecords[] = "Records";
}  // namespace label

// The names of the facts ("SysInfo;NAME;Value:...") that the library writes
// itself. Any other name comes from the host.
namespace fact {
constexpr char kUserId[] = "User ID";
constexpr char kMatchId[] = "Match ID";
constexpr char kNtpTime[] = "NTP Time";
constexpr char kVolumeId[] = "Volume ID from C-Drive";
constexpr char kMacAddress[] = "Mac Address";
constexpr char kRecordsLost[] = "Records lost";  // records refused while the disk was full
constexpr const char* kLibrary[] = {kUserId, kMatchId, kNtpTime, kVolumeId, kMacAddress, kRecordsLost};
}  // namespace fact

inline bool libraryFact(std::string_view name) {
    for (const char* f : fact::kLibrary)
        if (name == f) return true;
    return false;
}

// The fields of each shape; a record that names a program ends with its path.
constexpr Field kUdpFields[] = {{label::kLocalIp, nullptr}, {label::kLocalPort, nullptr}, {label::kPid, nullptr},
                                {label::kPath, nullptr}};
constexpr Field kTcpFields[] = {{label::kLocalIp, nullptr},    {label::kLocalPort, nullptr},
                                {label::kRemoteIp, nullptr},   {label::kRemotePort, nullptr},
                                {label::kPid, nullptr},        {label::kPath, nullptr}};
constexpr Field kProcessFields[] = {{label::kPid, nullptr}, {label::kPath, nullptr}};
constexpr Field kEthernetFields[] = {
    {label::kAdapter, nullptr}, {label::kTxD, word::kBytesPerSecond}, {label::kRxD, word::kBytesPerSecond}};
constexpr Field kPingFields[] = {{label::kServer, nullptr}, {label::kActual, nullptr}};
constexpr Field kKeyFields[] = {{label::kName, nullptr}};
constexpr Field kSysInfoFields[] = {{label::kValue, nullptr}};
constexpr Field kStartFields[] = {{label::kUserId, nullptr}, {label::kMatchId, nullptr}};
// The name of the file the records came from may hold ':'.
constexpr Field kRecoveredFields[] = {{label::kFrom, nullptr}, {label::kRecords, nullptr}};

template <std::size_t N>
constexpr std::size_t countOf(const Field (&)[N]) {
    return N;
}

// In the order of Kind.
constexpr Shape kShapes[] = {
    {word::kUdp, word::kAdd, "", kUdpFields, countOf(kUdpFields), countOf(kUdpFields) - 1},
    {word::kUdp, word::kDel, "", kUdpFields, countOf(kUdpFields), countOf(kUdpFields) - 1},
    {word::kTcp, word::kAdd, "", kTcpFields, countOf(kTcpFields), countOf(kTcpFields) - 1},
    {word::kTcp, word::kDel, "", kTcpFields, countOf(kTcpFields), countOf(kTcpFields) - 1},
    {word::kProcess, word::kAdd, "", kProcessFields, countOf(kProcessFields), countOf(kProcessFields) - 1},
    {word::kProcess, word::kDel, "", kProcessFields, countOf(kProcessFields), countOf(kProcessFields) - 1},
    {word::kEthernet, word::kStats, "", kEthernetFields, countOf(kEthernetFields), 0},
    {word::kPing, word::kStats, "", kPingFields, countOf(kPingFields), countOf(kPingFields) - 1},
    {word::kKey, word::kPressed, "", kKeyFields, countOf(kKeyFields), 0},
    {word::kSysInfo, nullptr, "", kSysInfoFields, countOf(kSysInfoFields), 0},
    {word::kInfo, word::kStart, word::kLogfileStart, kStartFields, countOf(kStartFields), countOf(kStartFields) - 1},
    {word::kInfo, word::kStop, word::kLogfileEnd, nullptr, 0, 0},
    {word::kInfo, word::kRecovered, word::kLogfileRecovered, kRecoveredFields, countOf(kRecoveredFields), 0},
};
constexpr std::size_t kShapeCount = sizeof kShapes / sizeof kShapes[0];
static_assert(kShapeCount == std::size_t(Kind::InfoRecovered) + 1, "one shape per kind, in the order of Kind");

// Units follow only fields after the open one, where the reader looks for them.
constexpr bool unitsAfterOpenOnly() {
    for (const Shape& s : kShapes)
        for (std::size_t i = 0; i <= s.open && i < s.count; ++i)
            if (s.fields[i].unit) return false;
    return true;
}
static_assert(unitsAfterOpenOnly(), "a unit before or on the open field cannot be read back");

constexpr const Shape& shape(Kind kind) { return kShapes[std::size_t(kind)]; }
inline Kind kindOf(const Shape& s) { return Kind(&s - kShapes); }

// The shape of a record with this kind and action, or null.
inline const Shape* find(std::string_view kind, std::string_view action) {
    for (const Shape& s : kShapes)
        if (kind == s.kind && (s.action == nullptr || action == s.action)) return &s;
    return nullptr;
}

// A record's text after its stamp and ';', up to its first value: for the
// start record "Info;Start;Logfile start:UserId:", for the stop record the
// whole "Info;Stop;Logfile end". For a shape whose action is free text, the
// kind and its ';' only.
inline std::string head(Kind kind) {
    const Shape& s = shape(kind);
    std::string out = s.kind;
    out += kPartSeparator;
    if (!s.action) return out;
    out += s.action;
    out += kPartSeparator;
    out += s.lead;
    if (s.count > 0) {
        out += s.fields[0].label;
        out += kFieldSeparator;
    }
    return out;
}

// Whether text holds a stamp and its separator at `at`.
inline bool isStamp(std::string_view text, std::size_t at = 0) {
    if (at > text.size() || text.size() - at < kStampedWidth) return false;
    for (std::size_t i = 0; i < kStampedWidth; ++i) {
        const char c = text[at + i];
        if (kStampPattern[i] == '9' ? (c < '0' || c > '9') : c != kStampPattern[i]) return false;
    }
    return true;
}

using civil::daysInMonth;
using civil::realTime;

// Whether text holds at `at` a stamp and its separator (isStamp) that names a
// time that exists: "31.02.2026", "00.00.0000" and "99.99.9999" have the
// shape of a stamp, and name none.
inline bool isRealStamp(std::string_view text, std::size_t at = 0) {
    std::int64_t seconds = 0;
    return isStamp(text, at) && civil::stampSeconds(text.substr(at, kStampWidth), seconds);
}

}  // namespace schema
}  // namespace vt
