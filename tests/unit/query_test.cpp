// `vtl query` on statements from anyone: only reads of the index run, and
// what the rows hold never steers the terminal.
#include "index/schema.h"
#include "support/temp_dir.h"
#include "verbs.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

namespace fs = boost::filesystem;

class UntrustedQuery : public ::testing::Test {
protected:
    void SetUp() override {
        vt::index::Db db(path, vt::index::Db::Mode::ReadWrite);
        vt::index::prepareForWriting(db);
        db.exec("INSERT INTO keys (day, recording_id, line, at, name) VALUES "
                "('2026-03-01', 1, 2, '2026-03-01 10:00:00', 'W'), "
                "('2026-03-01', 1, 3, NULL, char(27) || '[31mred' || char(127) || char(155) || 'x')");
        vt::index::Db other(dir.join("other.db"), vt::index::Db::Mode::ReadWrite);
        other.exec("CREATE TABLE secrets (x TEXT); INSERT INTO secrets VALUES ('theirs')");
    }
    // The status, with what was printed in out and err.
    int ask(const std::string& sql, bool json = false) {
        out.str("");
        err.str("");
        return vtl::answer(path, sql, json, out, err);
    }
    testsupport::TempDir dir;
    const std::string path = dir.join("index.db");
    std::ostringstream out, err;
};

TEST_F(UntrustedQuery, OnlyReadsOfTheIndexRun) {
    const std::string made = dir.join("made.db");
    const std::string refused[] = {
        "VACUUM INTO '" + made + "'",
        "ATTACH '" + dir.join("other.db") + "' AS o",
        "SELECT fts3_tokenizer('simple')",
        "SELECT load_extension('" + dir.join("x.so") + "')",
        "PRAGMA query_only = 0",
        "PRAGMA writable_schema = 1",
        "CREATE TEMP TABLE t (x)",
        "DELETE FROM keys",
        "SELECT * FROM temp.sqlite_schema",
        "BEGIN",
        "ANALYZE",
    };
    for (const std::string& sql : refused) {
        EXPECT_EQ(ask(sql), vtl::kNotWhole) << sql << ": " << out.str();
        EXPECT_FALSE(err.str().empty()) << sql;
    }
    EXPECT_FALSE(fs::exists(made));

    // What reads runs: tables, aggregates, JSON, recursion, dates.
    EXPECT_EQ(ask("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 3) "
                  "SELECT count(*) AS n, (SELECT sum(x) FROM c) AS s, json_object('k', max(line)) AS j, "
                  "date('2026-03-01', '+1 day') AS d, lower(name) AS l FROM keys WHERE name = 'W'"),
              vtl::kWhole)
        << err.str();
    EXPECT_EQ(out.str(), "n\ts\tj\td\tl\n1\t6\t{\"k\":2}\t2026-03-02\tw\n");
    EXPECT_EQ(ask("SELECT name FROM sqlite_schema WHERE name = 'keys'"), vtl::kWhole) << err.str();
}

TEST_F(UntrustedQuery, ControlCharactersOfTheRowsAreEscapedAsCopyReadsThem) {
    EXPECT_EQ(ask("SELECT name, at FROM keys WHERE line = 3"), vtl::kWhole) << err.str();
    EXPECT_EQ(out.str(), "name\tat\n\\x1b[31mred\\x7f\\xc2\\x9bx\t\\N\n");
    // JSON keeps the exact text, in its own escapes.
    EXPECT_EQ(ask("SELECT name FROM keys WHERE line = 3", true), vtl::kWhole) << err.str();
    EXPECT_EQ(out.str(), "{\"name\":\"\\u001b[31mred\x7f\xc2\x9bx\"}\n");
}

}  // namespace
