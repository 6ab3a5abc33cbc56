// The page's JSON strings: the report quotes them itself, in one pass over
// the log's text, and must write exactly what nlohmann-json writes for the
// same visible text (which the page's reader and every other tool rely on).
#include "report/text.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <random>
#include <string>
#include <vector>

namespace {

using vt::report::jsonString;
using vt::report::visible;

TEST(ReportJson, StringsAreWhatTheJsonLibraryWrites) {
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

}  // namespace
