#include "log/format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace {

TEST(Throughput, MatchesTheLogFormat) {
    struct Case {
        std::uint32_t delta;
        const char* text;
    } cases[] = {
        {0, "0"},
        {7, "0.7"},
        {1234, "123.4"},
        {5120, "512"},
        {9999990, "999999"},
        {10000000, "1e+006"},
        {12345678, "1.23457e+006"},
        {4294967295u, "4.29497e+008"},
    };
    for (const auto& c : cases) EXPECT_EQ(vt::formatThroughput(c.delta), c.text) << c.delta;
}

TEST(Stamps, HaveFixedWidthFields) {
    std::tm tm{};
    tm.tm_year = 2026 - 1900;
    tm.tm_mon = 0;
    tm.tm_mday = 5;
    tm.tm_hour = 7;
    tm.tm_min = 3;
    tm.tm_sec = 9;
    EXPECT_EQ(vt::recordStamp(tm), "05.01.2026 07:03:09");
    EXPECT_EQ(vt::fileNameStamp(tm), "2026-01-05_07-03-09");
}

TEST(Stamps, UnconvertibleTimeBecomesTheEpoch) {
    for (std::int64_t t : {std::numeric_limits<std::int64_t>::max(), std::int64_t(-5000000000LL)}) {
        std::tm tm = vt::calendarTime(t);
        EXPECT_EQ(vt::recordStamp(tm), "01.01.1970 00:00:00") << t;
        EXPECT_EQ(vt::fileNameStamp(tm), "1970-01-01_00-00-00") << t;
    }
}

TEST(Values, ControlBytesCannotBreakALine) {
    std::string out = "x:";
    vt::appendValue(out, std::string("a\nb\rc\0d\x7f" "e\x1f;:", 12));
    EXPECT_EQ(out, "x:a?b?c?d?e?;:");
    std::string utf8 = "caf\xc3\xa9";
    std::string kept;
    vt::appendValue(kept, utf8);
    EXPECT_EQ(kept, utf8);  // bytes above 0x7F are text, not control
}

}  // namespace
