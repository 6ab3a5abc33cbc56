// Log text made safe for the page: no character that turns the text's
// direction survives, and the page's JSON strings, which the report quotes
// itself in one pass, are exactly what nlohmann-json writes for the same
// visible text (which the page's reader and every other tool rely on).
#include "common/utf8.h"
#include "report/text.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using vt::report::jsonString;
using vt::report::visible;

TEST(ReportText, StringsAreWhatTheJsonLibraryWrites) {
    // Pieces that take every way through the quoting: plain runs, quotes and
    // backslashes beside them, control characters, Latin-1 bytes, whole and
    // broken UTF-8, and the characters that turn the text's direction.
    const std::vector<std::string> pieces = {
        "a",  "C:\\Games", "\"",         "\\",           std::string(1, '\0'), "\x01",         "\n",
        "\t", "\x7f",      "\xe9",       "\xc3\xa9",     "\xe2\x80\xae",       "\xed\xa0\x80", "\xc2\x85",
        " ",  "\xe2\x80",  "\xef\xbb\xbf", "\xf0\x9f\x8e\xae", "\xe2\x80\xa8",  "</script>",
    };
    std::mt19937 random(20261210);
    for (int i = 0; i < 4000; ++i) {
        std::string text;
        for (unsigned n = random() % 7; n-- > 0;) text += pieces[random() % pieces.size()];
        const std::string shown = visible(text);
        const std::string quoted = jsonString(text);
        ASSERT_EQ(quoted, nlohmann::json(shown).dump()) << "for " << nlohmann::json(shown).dump();
        ASSERT_EQ(nlohmann::json::parse(quoted).get<std::string>(), shown);
    }
}

TEST(ReportText, EveryCharacterThatTurnsTheTextIsShownByItsCode) {
    // The marks and embeddings of either direction, the separators of lines
    // and paragraphs and the byte-order mark, with their neighbours on both
    // sides, which stay as they are.
    const std::set<std::uint32_t> hidden = {0x200e, 0x200f, 0x2028, 0x2029, 0x202a, 0x202b, 0x202c,
                                            0x202d, 0x202e, 0x2066, 0x2067, 0x2068, 0x2069, 0xfeff};
    for (std::uint32_t cp : hidden) {
        for (std::uint32_t near : {cp - 1, cp, cp + 1}) {
            std::string text;
            ASSERT_TRUE(vt::utf8::append(text, near));
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04X", unsigned(near));
            const std::string expected = hidden.count(near) ? code : text;
            EXPECT_EQ(visible(text), expected) << std::hex << near;
        }
    }
}

}  // namespace
