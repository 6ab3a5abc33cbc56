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

#include <cstddef>
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
};

// The fields of each shape; a record that names a program ends with its path.
constexpr Field kUdpFields[] = {{"LocalIp", nullptr}, {"LocalPort", nullptr}, {"PID", nullptr}, {"Path", nullptr}};
constexpr Field kTcpFields[] = {{"LocalIp", nullptr}, {"LocalPort", nullptr}, {"RemoteIp", nullptr},
                                {"RemotePort", nullptr}, {"PID", nullptr}, {"Path", nullptr}};
constexpr Field kProcessFields[] = {{"PID", nullptr}, {"Path", nullptr}};
constexpr Field kEthernetFields[] = {{"Adapter", nullptr}, {"TxD", "Bytes/s"}, {"RxD", "Bytes/s"}};
constexpr Field kPingFields[] = {{"Server", nullptr}, {"Actual", nullptr}};
constexpr Field kKeyFields[] = {{"Name", nullptr}};
constexpr Field kSysInfoFields[] = {{"Value", nullptr}};
constexpr Field kStartFields[] = {{"UserId", nullptr}, {"MatchId", nullptr}};

template <std::size_t N>
constexpr std::size_t countOf(const Field (&)[N]) {
    return N;
}

// In the order of Kind.
constexpr Shape kShapes[] = {
    {"UDP", "Add", "", kUdpFields, countOf(kUdpFields), countOf(kUdpFields) - 1},
    {"UDP", "Del", "", kUdpFields, countOf(kUdpFields), countOf(kUdpFields) - 1},
    {"TCP", "Add", "", kTcpFields, countOf(kTcpFields), countOf(kTcpFields) - 1},
    {"TCP", "Del", "", kTcpFields, countOf(kTcpFields), countOf(kTcpFields) - 1},
    {"Process", "Add", "", kProcessFields, countOf(kProcessFields), countOf(kProcessFields) - 1},
    {"Process", "Del", "", kProcessFields, countOf(kProcessFields), countOf(kProcessFields) - 1},
    {"Ethernet", "Stats", "", kEthernetFields, countOf(kEthernetFields), 0},
    {"Ping", "Stats", "", kPingFields, countOf(kPingFields), countOf(kPingFields) - 1},
    {"Key", "Pressed", "", kKeyFields, countOf(kKeyFields), 0},
    {"SysInfo", nullptr, "", kSysInfoFields, countOf(kSysInfoFields), 0},
    {"Info", "Start", "Logfile start:", kStartFields, countOf(kStartFields), countOf(kStartFields) - 1},
    {"Info", "Stop", "Logfile end", nullptr, 0, 0},
};
constexpr std::size_t kShapeCount = sizeof kShapes / sizeof kShapes[0];
static_assert(kShapeCount == std::size_t(Kind::InfoStop) + 1, "one shape per kind, in the order of Kind");

// Units follow only fields after the open one, where the reader looks for them.
constexpr bool unitsAfterOpenOnly() {
    for (const Shape& s : kShapes)
        for (std::size_t i = 0; i <= s.open && i < s.count; ++i)
            if (s.fields[i].unit) return false;
    return true;
}
static_assert(unitsAfterOpenOnly(), "a unit before or on the open field cannot be read back");

constexpr const Shape& shape(Kind kind) { return kShapes[std::size_t(kind)]; }

// The shape of a record with this kind and action, or null.
inline const Shape* find(std::string_view kind, std::string_view action) {
    for (const Shape& s : kShapes)
        if (kind == s.kind && (s.action == nullptr || action == s.action)) return &s;
    return nullptr;
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

}  // namespace schema
}  // namespace vt
