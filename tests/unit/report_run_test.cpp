// `vtl report` as a command: where its pages go, and logs that were never closed.
#include "log/container.h"
#include "log/keygen.h"
#include "log/logger.h"
#include "platform/os.h"
#include "read/records.h"
#include "report/report.h"
#include "support/log_text.h"
#include "support/temp_dir.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <sstream>

namespace {

namespace fs = boost::filesystem;
using testsupport::readBytes;
using testsupport::writeBytes;

const std::string kText = "08.12.2026 17:55:21;Info;Start;Logfile start:UserId:12:MatchId:47\n"
                          "08.12.2026 17:55:22;Key;Pressed;Name:W\n"
                          "08.12.2026 18:55:21;Info;Stop;Logfile end\n";

std::string sealed(const std::string& text) {
    vt::Key16 key{};
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<unsigned char>(i * 5 + 3);
    return vt::sealText(text, key);
}

bool isPage(const std::string& path) {
    const std::string text = readBytes(path);
    return text.compare(0, 15, "<!DOCTYPE html>") == 0 && text.find("The log is whole.") != std::string::npos;
}

struct Ran {
    int status;
    std::string out, err;
};

Ran report(const std::vector<std::string>& files, const std::string& output = "", bool search = true) {
    std::ostringstream out, err;
    const int status = vt::report::run(files, output, search, out, err);
    return {status, out.str(), err.str()};
}

// Twice in a row: the second page replaces the first, at the same name.
TEST(ReportPages, TheDefaultPageIsReplacedByTheNextRun) {
    testsupport::TempDir dir;
    const std::string log = dir.join("match.vtl"), page = dir.join("match.html");
    writeBytes(log, sealed(kText));
    Ran first = report({log});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.out.find("match.html"), std::string::npos) << first.out;
    ASSERT_TRUE(isPage(page));
    writeBytes(page, readBytes(page) + "<!-- an earlier run -->");
    Ran second = report({log});
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_TRUE(isPage(page));
    EXPECT_EQ(readBytes(page).find("an earlier run"), std::string::npos) << "replaced";
    EXPECT_FALSE(fs::exists(dir.join("match_1.html")));
    EXPECT_EQ(second.err.find("left alone"), std::string::npos) << second.err;
}

// A file at the default name that vtl report did not make is left alone.
TEST(ReportPages, AFileItDidNotMakeIsLeftAlone) {
    testsupport::TempDir dir;
    const std::string log = dir.join("match.vtl");
    writeBytes(log, sealed(kText));
    writeBytes(dir.join("match.html"), "<!DOCTYPE html><p>the referee's own notes</p>");
    Ran r = report({log});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readBytes(dir.join("match.html")), "<!DOCTYPE html><p>the referee's own notes</p>");
    EXPECT_TRUE(isPage(dir.join("match_1.html")));
    EXPECT_NE(r.out.find("match_1.html"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("left alone"), std::string::npos) << r.err;
    // The next run replaces its own page there.
    Ran again = report({log});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_NE(again.out.find("match_1.html"), std::string::npos) << again.out;
    EXPECT_FALSE(fs::exists(dir.join("match_2.html")));
}

#if !defined(_WIN32)
// A link at the page's name is never followed.
TEST(ReportPages, NeverThroughALink) {
    testsupport::TempDir dir;
    const std::string log = dir.join("match.vtl"), target = dir.join("precious.txt");
    writeBytes(log, sealed(kText));
    writeBytes(target, "precious");
    fs::create_symlink(target, dir.join("match.html"));
    Ran r = report({log});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readBytes(target), "precious");
    EXPECT_TRUE(fs::is_symlink(dir.join("match.html")));
    EXPECT_TRUE(isPage(dir.join("match_1.html")));

    // A dangling link is not followed either.
    const std::string other = dir.join("other.vtl");
    writeBytes(other, sealed(kText));
    fs::create_symlink(dir.join("nowhere.txt"), dir.join("other.html"));
    ASSERT_EQ(report({other}).status, 0);
    EXPECT_FALSE(fs::exists(dir.join("nowhere.txt")));
    EXPECT_TRUE(isPage(dir.join("other_1.html")));

    // Named with -o, the link itself is replaced, never its target.
    fs::create_symlink(target, dir.join("named.html"));
    Ran named = report({log}, dir.join("named.html"));
    ASSERT_EQ(named.status, 0) << named.err;
    EXPECT_EQ(readBytes(target), "precious");
    EXPECT_FALSE(fs::is_symlink(dir.join("named.html")));
    EXPECT_TRUE(isPage(dir.join("named.html")));
}
#endif

// A log that was never closed is read as `vtl cat --force`
// reads it, its key found by the one reading path's search.
TEST(ReportPages, ALogThatWasNeverClosed) {
    testsupport::TempDir dir;
    std::string path;
    {
        vt::logger log;
        vt::keygen::seed(static_cast<std::uint32_t>(os::currentTime() - 5));
        ASSERT_TRUE(log.openLog(0, 12, 47, dir.path()));
        log.writeSysInfo("Map", "harbour");
        log.writeKeyPressed("W");
        log.writePingStats(23, "10.0.0.1");
        log.writeKeyPressed("the last one");
        log.flush();
        path = log.currentPath();
    }  // the logger is gone with the file open, as a crash leaves it
    Ran cut = report({path}, dir.join("cut.html"), false);
    EXPECT_EQ(cut.status, 2);
    EXPECT_NE(readBytes(dir.join("cut.html")).find("nothing could be read"), std::string::npos);

    Ran r = report({path}, dir.join("page.html"));
    EXPECT_EQ(r.status, 2) << "written, but not whole: " << r.err;
    const std::string page = readBytes(dir.join("page.html"));
    EXPECT_NE(page.find("not whole: never closed; 5 records read back with its key found again"), std::string::npos)
        << page.substr(0, 4000);
    EXPECT_NE(page.find("<td>5</td>"), std::string::npos) << "the records read back, in the table of logs";
    EXPECT_NE(page.find("id=\"events-chart\""), std::string::npos);
    EXPECT_NE(r.err.find("the report shows what can be read"), std::string::npos) << r.err;
}

}  // namespace
