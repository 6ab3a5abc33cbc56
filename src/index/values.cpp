// Values of the index's rows: times, days and weeks, addresses, names
// folded for comparing.
#include "index/calendar.h"
#include "index/ingest.h"

#include "common/civil.h"
#include "common/utf8.h"

#include <cctype>
#include <cstdio>
#include <string_view>

namespace vt {
namespace index {

namespace {

int digits(const std::string& s, std::size_t at, std::size_t n) {
    int v = 0;
    for (std::size_t i = 0; i < n; ++i) v = v * 10 + (s[at + i] - '0');
    return v;
}

}  // namespace

// Days since 1970-01-01 of a civil date, and back: the project's one calendar.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) { return civil::daysFromCivil(y, m, d); }

std::string civilFromDays(std::int64_t z) {
    const civil::Date d = civil::civilFromDays(z);
    char out[48];
    std::snprintf(out, sizeof out, "%04lld-%02u-%02u", static_cast<long long>(d.year), d.month, d.day);
    return out;
}

// Seconds since 1970 of "YYYY-MM-DD hh:mm:ss" (no time zone: only differences are used).
std::optional<std::int64_t> secondsOf(const std::string& iso) {
    if (iso.size() != 19) return {};
    return daysFromCivil(digits(iso, 0, 4), unsigned(digits(iso, 5, 2)), unsigned(digits(iso, 8, 2))) * 86400 +
           digits(iso, 11, 2) * 3600 + digits(iso, 14, 2) * 60 + digits(iso, 17, 2);
}

std::string isoTime(const std::string& stamp) {
    std::int64_t seconds = 0;
    if (!civil::stampSeconds(stamp, seconds)) return {};
    std::string iso(19, ' ');
    civil::isoFromStamp(stamp, &iso[0]);
    return iso;
}

std::string weekOf(const std::string& day) {
    if (day.size() != 10) return day;
    const std::int64_t days = daysFromCivil(digits(day, 0, 4), unsigned(digits(day, 5, 2)), unsigned(digits(day, 8, 2)));
    // 1970-01-01 was a Thursday: Monday is three days before.
    const std::int64_t sinceMonday = ((days + 3) % 7 + 7) % 7;
    return civilFromDays(days - sinceMonday);
}

std::optional<std::int64_t> ipv4(const std::string& text) {
    std::int64_t value = 0;
    std::size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        std::size_t end = at;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
        if (end == at || end - at > 3) return {};
        int octet = 0;
        for (std::size_t i = at; i < end; ++i) octet = octet * 10 + (text[i] - '0');
        if (octet > 255) return {};
        value = value * 256 + octet;
        if (part < 3) {
            if (end >= text.size() || text[end] != '.') return {};
            at = end + 1;
        } else if (end != text.size()) {
            return {};
        }
    }
    return value;
}

std::string macAddress(const std::string& text) {
    std::string hex;
    for (char c : text) {
        if (c == '-' || c == ':') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
        hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (hex.size() != 12) return {};
    std::string out;
    for (int i = 0; i < 6; ++i) {
        if (i) out += '-';
        out += hex.substr(std::size_t(i) * 2, 2);
    }
    return out;
}

std::string macMark(const std::string& mac) {
    if (mac.size() != 17) return {};
    if (mac == "00-00-00-00-00-00") return "zero";
    if (mac == "ff-ff-ff-ff-ff-ff") return "broadcast";
    // Fixed addresses of virtual adapters, the same on every machine that has
    // one (prefixes: what follows them is a fixed adapter number at most).
    static const char* const kVirtual[] = {
        "00-50-56-c0-00-",    // VMware's host-only and NAT adapters (VMnet1, VMnet8, ...)
        "00-1c-42-00-00-",    // Parallels' host-only and shared adapters
        "0a-00-27-00-00-",    // VirtualBox's host-only adapters
        "00-15-5d-",          // Hyper-V's virtual adapters
        "02-00-4c-4f-4f-50",  // Npcap's loopback adapter
        "02-42-",             // Docker's bridges
        "00-05-9a-3c-7a-00",  // Cisco AnyConnect's virtual adapter
    };
    for (const char* prefix : kVirtual)
        if (mac.compare(0, std::char_traits<char>::length(prefix), prefix) == 0) return "virtual";
    const int first = std::stoi(mac.substr(0, 2), nullptr, 16);
    // Bit 0 of the first octet: a group address; bit 1: locally administered.
    if (first & 0x01) return "multicast";
    if (first & 0x02) return "local";
    return {};
}

std::string volumeMark(const std::string& volume) { return volume == "00000000" ? "unreadable" : std::string(); }

std::string lowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

namespace {

// The lower case of a letter of Latin-1, Latin Extended-A, Greek or Cyrillic;
// any other code point as it is.
std::uint32_t lowerLetter(std::uint32_t cp) {
    if (cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) return cp + 0x20;
    if (cp >= 0x100 && cp <= 0x17F) {
        if (cp == 0x130) return 'i';
        if (cp == 0x178) return 0xFF;
        if (cp == 0x131 || cp == 0x138 || cp == 0x149 || cp == 0x17F) return cp;
        // Capitals on odd code points here, on even ones elsewhere.
        const bool oddCapitals = (cp >= 0x139 && cp <= 0x148) || (cp >= 0x179 && cp <= 0x17E);
        return (cp % 2 == 1) == oddCapitals ? cp + 1 : cp;
    }
    if (cp >= 0x391 && cp <= 0x3A9 && cp != 0x3A2) return cp + 0x20;
    if (cp == 0x386) return 0x3AC;
    if (cp >= 0x388 && cp <= 0x38A) return cp + 0x25;
    if (cp == 0x38C) return 0x3CC;
    if (cp == 0x38E || cp == 0x38F) return cp + 0x3F;
    if (cp == 0x3C2) return 0x3C3;  // the final sigma
    if (cp >= 0x410 && cp <= 0x42F) return cp + 0x20;
    if (cp >= 0x400 && cp <= 0x40F) return cp + 0x50;
    return cp;
}

}  // namespace

std::string foldCase(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        std::uint32_t cp = 0;
        const std::size_t n = p[i] < 0x80 ? 0 : utf8::decode(p + i, text.size() - i, cp);
        if (n == 0) {
            const char c = text[i++];
            out += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        } else {
            utf8::append(out, lowerLetter(cp));
            i += n;
        }
    }
    return out;
}
}  // namespace index
}  // namespace vt
