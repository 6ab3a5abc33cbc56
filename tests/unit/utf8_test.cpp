#include "common/utf8.h"

#include <gtest/gtest.h>

#include <iomanip>
#include <sstream>
#include <string>

namespace {

using vt::utf8::append;
using vt::utf8::decode;

// What decode makes of the start of a text: "length U+XXXX", or "0".
std::string decoded(const std::string& text) {
    std::uint32_t cp = 0xFFFFFFFFu;
    const std::size_t n = decode(text, cp);
    if (n == 0) return cp == 0xFFFFFFFFu ? "0" : "0 but cp written";
    std::ostringstream o;
    o << n << " U+" << std::hex << std::uppercase << std::setw(4) << std::setfill('0') << cp;
    return o.str();
}

TEST(Utf8Codec, DecodesEachWellFormedSequenceAtTheStart) {
    EXPECT_EQ(decoded(std::string(1, '\0')), "1 U+0000");
    EXPECT_EQ(decoded("Az"), "1 U+0041");
    EXPECT_EQ(decoded("\x7f"), "1 U+007F");
    EXPECT_EQ(decoded("\xc2\x80"), "2 U+0080");  // the ends of each length
    EXPECT_EQ(decoded("\xc3\xa9tc"), "2 U+00E9");
    EXPECT_EQ(decoded("\xdf\xbf"), "2 U+07FF");
    EXPECT_EQ(decoded("\xe0\xa0\x80"), "3 U+0800");
    EXPECT_EQ(decoded("\xe2\x82\xac"), "3 U+20AC");
    EXPECT_EQ(decoded("\xed\x9f\xbf"), "3 U+D7FF");  // around the surrogates
    EXPECT_EQ(decoded("\xee\x80\x80"), "3 U+E000");
    EXPECT_EQ(decoded("\xef\xbf\xbf"), "3 U+FFFF");
    EXPECT_EQ(decoded("\xf0\x90\x80\x80"), "4 U+10000");
    EXPECT_EQ(decoded("\xf0\x9f\x8e\xae"), "4 U+1F3AE");
    EXPECT_EQ(decoded("\xf4\x8f\xbf\xbf"), "4 U+10FFFF");
}

TEST(Utf8Codec, FindsNoSequenceInWhatIsNotUtf8) {
    for (const char* bad : {
             "",
             "\x80", "\xbf",                          // a continuation byte alone
             "\xc0\x80", "\xc1\xbf",                  // overlong two-byte forms
             "\xe0\x9f\xbf", "\xf0\x8f\xbf\xbf",      // overlong three- and four-byte forms
             "\xed\xa0\x80", "\xed\xbf\xbf",          // surrogates
             "\xf4\x90\x80\x80", "\xf5\x80\x80\x80",  // beyond U+10FFFF
             "\xf8\x88\x80\x80\x80", "\xf9\x90\x80\x80",   // bytes that begin nothing
             "\xfc\x80\x80\x80", "\xfe", "\xff",
             "\xc3", "\xe2\x82", "\xf0\x9f\x8e",      // cut short
             "\xc3\x28", "\xe2\x28\xac", "\xf0\x9f\x8e\xc3\xa9",  // broken off
         })
        EXPECT_EQ(decoded(bad), "0") << testing::PrintToString(std::string(bad));
    // Only the bytes it is given: a sequence that runs past them is cut short.
    const unsigned char euro[] = {0xe2, 0x82, 0xac};
    std::uint32_t cp = 0;
    EXPECT_EQ(decode(euro, 2, cp), 0u);
    EXPECT_EQ(decode(euro, 0, cp), 0u);
    EXPECT_EQ(decode(euro, 3, cp), 3u);
}

TEST(Utf8Codec, AppendsScalarValuesAndRefusesTheRest) {
    std::string out = "x";
    EXPECT_TRUE(append(out, 0x41));
    EXPECT_TRUE(append(out, 0xE9));
    EXPECT_TRUE(append(out, 0x20AC));
    EXPECT_TRUE(append(out, 0x1F3AE));
    EXPECT_EQ(out, "xA\xc3\xa9\xe2\x82\xac\xf0\x9f\x8e\xae");
    for (std::uint32_t cp : {0xD800u, 0xDBFFu, 0xDC00u, 0xDFFFu, 0x110000u, 0xFFFFFFFFu}) {
        EXPECT_FALSE(append(out, cp)) << cp;
        EXPECT_EQ(out.size(), 11u) << cp;
    }
}

// Every scalar value goes there and back, in as few bytes as it takes.
TEST(Utf8Codec, EveryScalarValueRoundTrips) {
    std::string out;
    for (std::uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        out.clear();
        const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
        ASSERT_EQ(append(out, cp), !surrogate) << cp;
        if (surrogate) continue;
        const std::size_t length = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
        std::uint32_t back = 0;
        ASSERT_EQ(out.size(), length) << cp;
        ASSERT_EQ(decode(out, back), length) << cp;
        ASSERT_EQ(back, cp);
    }
}

}  // namespace
