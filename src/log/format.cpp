#include "log/format.h"

#include "platform/os.h"

#include <cstdio>
#include <cstring>

namespace vt {
namespace {

void two(std::string& out, int v) {
    out += char('0' + (v / 10) % 10);
    out += char('0' + v % 10);
}

// hh<sep>mm<sep>ss
void appendClock(std::string& s, const std::tm& tm, char sep) {
    two(s, tm.tm_hour);
    s += sep;
    two(s, tm.tm_min);
    s += sep;
    two(s, tm.tm_sec);
}

}  // namespace

std::tm calendarTime(std::int64_t t) {
    std::tm tm{};
    if (!os::localTime(t, tm) || tm.tm_year < 70) {
        tm = std::tm{};
        tm.tm_year = 70;
        tm.tm_mday = 1;
    }
    return tm;
}

std::string recordStamp(const std::tm& tm) {
    std::string s;
    s.reserve(schema::kStampWidth);
    two(s, tm.tm_mday);
    s += '.';
    two(s, tm.tm_mon + 1);
    s += '.';
    s += std::to_string(tm.tm_year + 1900);
    s += ' ';
    appendClock(s, tm, ':');
    return s;
}

std::string fileNameStamp(const std::tm& tm) {
    std::string s = std::to_string(tm.tm_year + 1900);
    s += '-';
    two(s, tm.tm_mon + 1);
    s += '-';
    two(s, tm.tm_mday);
    s += '_';
    appendClock(s, tm, '-');
    return s;
}

std::string formatThroughput(std::uint32_t delta) {
    const float perSecond = static_cast<float>(static_cast<double>(delta) / 10.0);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.6g", static_cast<double>(perSecond));
    std::string s(buf);
    // C libraries differ in the exponent's width; the log always has three digits or more.
    std::size_t e = s.find('e');
    if (e != std::string::npos && e + 2 < s.size()) {
        std::string digits = s.substr(e + 2);
        while (digits.size() > 3 && digits.front() == '0') digits.erase(0, 1);
        while (digits.size() < 3) digits.insert(0, 1, '0');
        s = s.substr(0, e + 2) + digits;
    }
    return s;
}

void appendValue(std::string& out, std::string_view value) {
    std::size_t start = out.size();
    out += value;
    for (std::size_t i = start; i < out.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(out[i]);
        if (c < 0x20 || c == 0x7F) out[i] = '?';
    }
}

void appendName(std::string& out, std::string_view name) {
    const std::size_t start = out.size();
    appendValue(out, name);
    for (std::size_t i = start; i < out.size(); ++i)
        if (out[i] == ';') out[i] = '?';
}

void appendRecord(std::string& out, const schema::Shape& shape, std::string_view action,
                  const std::string_view* values, std::size_t count) {
    out += shape.kind;
    out += schema::kPartSeparator;
    if (shape.action) out += shape.action;
    else appendName(out, action);
    out += schema::kPartSeparator;
    out += shape.lead;
    for (std::size_t i = 0; i < shape.count; ++i) {
        const schema::Field& f = shape.fields[i];
        if (i > 0) out += schema::kFieldSeparator;
        out += f.label;
        out += schema::kFieldSeparator;
        if (i < count) appendValue(out, values[i]);
        if (f.unit) {
            out += schema::kFieldSeparator;
            out += f.unit;
        }
    }
}

}  // namespace vt
