// The operators' console as operators use it: search, a match and its files,
// an account and its links, an identifier pasted from a log, trends, and the
// API's rows; texts from forged logs shown as text.
#include "support/console_fixture.h"

#include "index/queries.h"

#include <sstream>

namespace {

using namespace testsupport;
using nlohmann::json;

class ConsolePages : public ConsoleTest {
protected:
    void SetUp() override {
        ConsoleTest::SetUp();
        upload();
        browser = std::make_unique<Browser>(url);
        ASSERT_EQ(browser->login("alice", kPassword), 303);
        secrets.push_back(browser->session);
        secrets.push_back(browser->csrf_);
    }
    std::string page(const std::string& path, int status = 200) {
        auto r = browser->get(path);
        if (!r) return ADD_FAILURE() << path, std::string();
        EXPECT_EQ(r->status, status) << path << ": " << r->body;
        return r->body;
    }
    json api(const std::string& path) {
        const std::string body = page(path);
        return json::parse(body, nullptr, false);
    }
    // The rows `--json` prints for a question.
    json cliRows(const std::string& sql) {
        vt::index::Db db(server->options().database, vt::index::Db::Mode::ReadOnly);
        std::ostringstream out;
        vt::index::printRows(db, sql, true, out);
        json rows = json::array();
        std::istringstream lines(out.str());
        for (std::string l; std::getline(lines, l);) rows.push_back(json::parse(l));
        return rows;
    }
    std::unique_ptr<Browser> browser;
};

TEST_F(ConsolePages, MatchesAreSearchedAndPaged) {
    const std::string all = page("/matches");
    EXPECT_NE(all.find("<form id=\"search\" method=\"get\" action=\"/matches\">"), std::string::npos);
    EXPECT_NE(all.find("<a class=\"match\" href=\"/match/" + std::to_string(recording(3, 7004)) + "\">"),
              std::string::npos);
    EXPECT_EQ(all.find("rel=\"next\""), std::string::npos);
    // By account and by day; by an identifier pasted in another spelling; by a program's path.
    const json one = api("/api/v1/matches?user=1&from=2026-12-09");
    ASSERT_EQ(one["rows"].size(), 1u) << one;
    EXPECT_EQ(one["rows"][0]["match_id"], 7002);
    EXPECT_EQ(api("/api/v1/matches?match=7001")["rows"].size(), 2u);
    EXPECT_EQ(api("/api/v1/matches?remote=203.0.113.0/24:443")["rows"].size(), 5u);
    EXPECT_EQ(api("/api/v1/matches?remote=198.51.100.1")["rows"].size(), 0u);
    EXPECT_EQ(api("/api/v1/matches?identifier=00:1A:2B:3C:4D:13")["rows"].size(), 1u);
    EXPECT_EQ(api("/api/v1/matches?identifier=aaaa-1111")["rows"].size(), 3u);
    const json byPath = api("/api/v1/matches?path=%3Cscript%3E");
    ASSERT_EQ(byPath["rows"].size(), 1u);
    EXPECT_EQ(byPath["rows"][0]["user_id"], 2);
    EXPECT_NE(page("/matches?from=yesterday", 400).find("YYYY-MM-DD"), std::string::npos);

    // More than a page: 50 rows and a link to the next.
    vt::server::ClientOptions quick;
    quick.attempts = 1;
    for (int i = 0; i < 51; ++i)
        ASSERT_EQ(vt::server::uploadLog(url, InProcessServer::kToken, "p.vtl", log(9, 8000 + i, "9999-0000"), quick)
                      .status, 201);
    server->server().waitIndexed();
    const std::string first = page("/matches?user=9");
    EXPECT_NE(first.find("<a rel=\"next\" href=\"/matches?user=9&amp;page=1\">"), std::string::npos);
    std::size_t rows = 0;
    for (std::size_t at = first.find("class=\"match\""); at != std::string::npos; at = first.find("class=\"match\"", at + 1))
        ++rows;
    EXPECT_EQ(rows, 50u);
    const std::string second = page("/matches?user=9&page=1");
    EXPECT_EQ(second.find("class=\"match\""), second.rfind("class=\"match\""));
    EXPECT_NE(second.find("class=\"match\""), std::string::npos);
    EXPECT_EQ(second.find("rel=\"next\""), std::string::npos);
}

TEST_F(ConsolePages, AMatchShowsItsReportFileAndDownloads) {
    const std::string rid = std::to_string(recording(2, 7003));
    const std::string sha = vt::server::sha256Hex(uploaded[3]);
    const std::string m = page("/match/" + rid);
    EXPECT_NE(m.find("<dd id=\"sha256\">" + sha + "</dd>"), std::string::npos);
    EXPECT_NE(m.find("<dd id=\"token\">backend</dd>"), std::string::npos);
    EXPECT_NE(m.find("<dd id=\"state\">whole</dd>"), std::string::npos);
    EXPECT_NE(m.find("<a id=\"download-log\" href=\"/match/" + rid + "/log\">"), std::string::npos);
    EXPECT_EQ(m.find("/recovered"), std::string::npos);
    EXPECT_NE(m.find("<iframe id=\"report\" src=\"/match/" + rid + "/report\""), std::string::npos);

    auto report = browser->get("/match/" + rid + "/report");
    ASSERT_TRUE(report);
    EXPECT_NE(report->get_header_value("Content-Security-Policy").find("script-src 'sha256-"), std::string::npos);
    EXPECT_NE(report->body.find(vt::report::kGenerator), std::string::npos);
    auto log = browser->get("/match/" + rid + "/log");
    EXPECT_EQ(log->body, uploaded[3]);
    EXPECT_EQ(log->get_header_value("Content-Type"), "application/octet-stream");
    EXPECT_EQ(log->get_header_value("Content-Disposition").rfind("attachment; filename=\"", 0), 0u);
    const std::string lines = page("/match/" + rid + "/jsonl");
    std::istringstream in(lines);
    std::size_t n = 0;
    for (std::string l; std::getline(in, l); ++n) EXPECT_TRUE(json::parse(l).contains("time")) << l;
    EXPECT_EQ(std::int64_t(n), api("/api/v1/match/" + rid)["rows"][0]["records"].get<std::int64_t>());
    EXPECT_EQ(api("/api/v1/match/" + rid)["rows"][0]["file_sha256"], sha);
    EXPECT_EQ(api("/api/v1/match/" + rid)["rows"][0]["current"], true);
    page("/match/" + rid + "/recovered", 404);
    page("/match/999999", 404);
}

TEST_F(ConsolePages, AnAccountShowsItsIdentifiersLinksAndCluster) {
    const std::string a = page("/account/1");
    for (const char* part : {"<section id=\"account-matches\">", "<section id=\"identifiers\">", "<table id=\"links\">",
                             "<svg id=\"graph\"", "A link is evidence, not a verdict."})
        EXPECT_NE(a.find(part), std::string::npos) << part;
    EXPECT_NE(a.find("<a class=\"account\" href=\"/account/2\">"), std::string::npos);
    EXPECT_NE(a.find("href=\"/identifier?kind=volume&amp;value="), std::string::npos);
    // Both played match 7001 at once on one volume: flagged.
    EXPECT_NE(a.find("same time (1 matches)"), std::string::npos);
    // A window of days before the shared matches: no link.
    EXPECT_NE(page("/account/1?to=2026-12-07").find("No account is linked"), std::string::npos);
    EXPECT_NE(page("/account/3").find("No account is linked"), std::string::npos);

    // The API's rows are those of vtl links --json.
    vt::index::LinksQuestion q;
    q.user = 1;
    q.pairs = true;
    std::string error;
    EXPECT_EQ(api("/api/v1/links?user=1&pairs=1")["rows"], cliRows(vt::index::linksSql(q, error)));
    EXPECT_EQ(api("/api/v1/account/1")["links"].size(), 1u);
    page("/api/v1/links?common=1", 400);
}

TEST_F(ConsolePages, IdentifiersAndTrendsAnswerAsTheCommandsDo) {
    const std::string id = page("/identifier?kind=mac&value=00:1a:2b:3c:4d:11");
    EXPECT_NE(id.find("<a class=\"account\" href=\"/account/1\">"), std::string::npos);
    EXPECT_EQ(id.find("href=\"/account/2\""), std::string::npos);
    vt::index::FindQuestion f;
    f.identifier = "AAAA-1111";
    std::string error;
    EXPECT_EQ(api("/api/v1/identifier?value=AAAA-1111&kind=volume")["rows"].size(), 3u);
    f.identifierKind = "volume";
    EXPECT_EQ(api("/api/v1/identifier?value=AAAA-1111&kind=volume")["rows"], cliRows(vt::index::findSql(f, error)));
    page("/identifier?kind=mac&value=nothing", 400);

    const std::string t = page("/trends?by=match&user=1");
    EXPECT_EQ(std::count(t.begin(), t.end(), '\n') >= 0, true);
    EXPECT_NE(t.find("<svg class=\"chart\""), std::string::npos);
    EXPECT_NE(t.find("<polyline class=\"series-0\" fill=\"none\" points=\""), std::string::npos);
    vt::index::TrendQuestion tq;
    tq.rate = true;
    tq.by = "week";
    EXPECT_EQ(api("/api/v1/trend?rate=1&by=week")["rows"], cliRows(vt::index::trendSql(tq, error)));
    page("/trends?by=year", 400);
}

TEST_F(ConsolePages, TextsFromForgedLogsShowAsText) {
    const std::string rid = std::to_string(recording(2, 7003));
    for (const std::string& path : {std::string("/account/2"), "/identifier?kind=volume&value=" +
                                                                   vt::server::console::urlEncode(kHostileVolume),
                                    "/match/" + rid + "/report", std::string("/matches?path=%3Cscript%3E")}) {
        const std::string body = page(path);
        EXPECT_EQ(body.find("<script>alert"), std::string::npos) << path;
        EXPECT_EQ(body.find("<b>V"), std::string::npos) << path;
        EXPECT_EQ(body.find('\x1b'), std::string::npos) << path;
        EXPECT_EQ(body.find('\x01'), std::string::npos) << path;
    }
    EXPECT_NE(page("/account/2").find("&lt;b&gt;V\\x01\\x1B[31mX&lt;/b&gt;"), std::string::npos);
    // JSON carries the text as it is, escaped as JSON escapes it.
    const std::string raw = page("/api/v1/account/2");
    EXPECT_EQ(raw.find('\x1b'), std::string::npos);
    bool found = false;
    const json parsed = json::parse(raw);
    for (const auto& r : parsed["rows"]) found = found || r["value"] == kHostileVolume;
    EXPECT_TRUE(found) << raw;
}

}  // namespace
