// Dates of the (proleptic Gregorian) calendar, and the log's stamps as
// seconds: the one rule by which every reader of a log turns a stamp into a
// time. The stamps are the recording machine's local time, so the seconds
// are those of a calendar without time zones: only their differences and
// their dates mean anything.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace vt {
namespace civil {

// The days of a month; 0 for a month that is none.
constexpr unsigned daysInMonth(unsigned year, unsigned month) {
    return month < 1 || month > 12 ? 0
           : month == 2            ? (year % 4 == 0 && (year % 100 != 0 || year % 400 == 0) ? 29 : 28)
           : month == 4 || month == 6 || month == 9 || month == 11 ? 30
                                                                   : 31;
}

// Whether a date and clock time exist: a year from 1, a month, a day of that
// month, hh 0-23, mm 0-59, ss 0-60 (a leap second).
constexpr bool realTime(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second) {
    return year >= 1 && day >= 1 && day <= daysInMonth(year, month) && hour <= 23 && minute <= 59 && second <= 60;
}

// Days since 1970-01-01 of a date.
constexpr std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct Date {
    std::int64_t year = 1970;
    unsigned month = 1, day = 1;
};

// The date of a day count (the inverse of daysFromCivil).
constexpr Date civilFromDays(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    Date out;
    out.day = doy - (153 * mp + 2) / 5 + 1;
    out.month = mp < 10 ? mp + 3 : mp - 9;
    out.year = static_cast<std::int64_t>(yoe) + era * 400 + (out.month <= 2);
    return out;
}

// The days of `seconds`, rounded down (so that a negative second belongs to the day before 1970).
constexpr std::int64_t dayOf(std::int64_t seconds) { return (seconds >= 0 ? seconds : seconds - 86399) / 86400; }

// "DD.MM.YYYY hh:mm:ss" as seconds. False for any other text and for a time
// that does not exist ("31.02.2026 10:00:00", "01.01.2026 24:00:00"). A leap
// second (ss 60) is the first second of the next minute.
constexpr bool stampSeconds(std::string_view stamp, std::int64_t& seconds) {
    constexpr char pattern[] = "99.99.9999 99:99:99";
    if (stamp.size() != sizeof pattern - 1) return false;
    for (std::size_t i = 0; i < stamp.size(); ++i) {
        const char c = stamp[i];
        if (pattern[i] == '9' ? (c < '0' || c > '9') : c != pattern[i]) return false;
    }
    auto n = [&](std::size_t from, std::size_t count) {
        unsigned v = 0;
        for (std::size_t i = 0; i < count; ++i) v = v * 10 + unsigned(stamp[from + i] - '0');
        return v;
    };
    const unsigned day = n(0, 2), month = n(3, 2), year = n(6, 4), hour = n(11, 2), minute = n(14, 2),
                   second = n(17, 2);
    if (!realTime(year, month, day, hour, minute, second)) return false;
    seconds = daysFromCivil(year, month, day) * 86400 + hour * 3600LL + minute * 60LL + second;
    return true;
}

// The stamp "DD.MM.YYYY hh:mm:ss" (of the shape stampSeconds takes) written
// as "YYYY-MM-DD hh:mm:ss" into out, which holds 19 characters; the clock is
// kept as written (a leap second stays ":60").
inline void isoFromStamp(std::string_view stamp, char* out) {
    const char* s = stamp.data();
    const char order[19] = {6, 7, 8, 9, -1, 3, 4, -1, 0, 1, 10, 11, 12, 13, 14, 15, 16, 17, 18};
    for (int i = 0; i < 19; ++i) out[i] = order[i] < 0 ? '-' : s[int(order[i])];
}

// Seconds since 1970 as "YYYY-MM-DD hh:mm:ss".
inline std::string isoOfSeconds(std::int64_t seconds) {
    const std::int64_t days = dayOf(seconds), s = seconds - days * 86400;
    const Date d = civilFromDays(days);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d", int(d.year), d.month,
                  d.day, int(s / 3600), int(s / 60 % 60), int(s % 60));
    return text;
}

// Now, in UTC, as "YYYY-MM-DD hh:mm:ss": when a file was indexed or uploaded.
inline std::string utcNow() {
    using namespace std::chrono;
    return isoOfSeconds(duration_cast<seconds>(system_clock::now().time_since_epoch()).count());
}

}  // namespace civil
}  // namespace vt
