// vtl index as a user runs it: two runs at once on one database, and a run
// killed or interrupted midway, then run again.
#include "support/index_contents.h"
#include "support/log_text.h"
#include "support/match_logs.h"
#include "support/spawned.h"
#include "support/temp_dir.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
namespace fs = boost::filesystem;

const std::string kVtl = VT_VTL_PATH;

// vtl with its standard output and error sent to files; killed with the object.
class Vtl : public testsupport::Spawned {
public:
    Vtl(std::vector<std::string> args, const std::string& out, const std::string& err)
        : Spawned(withVtl(std::move(args)), out, err) {}

private:
    static std::vector<std::string> withVtl(std::vector<std::string> args) {
        args.insert(args.begin(), kVtl);
        return args;
    }
};

std::vector<std::string> lines(const std::string& file) {
    std::istringstream in(testsupport::readBytes(file));
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

int countWith(const std::vector<std::string>& ls, const std::string& text) {
    int n = 0;
    for (const auto& l : ls) n += l.find(text) != std::string::npos;
    return n;
}

class IndexTools : public ::testing::Test {
protected:
    void SetUp() override {
        logs = dir.join("logs");
        fs::create_directory(logs);
        for (int i = 0; i < kFiles; ++i) {
            testsupport::MatchSpec m;
            m.user = 1 + i % 37;
            m.match = i;
            m.ticks = 150;
            m.facts = {{"Volume ID from C-Drive", "V-" + std::to_string(i % 50)}};
            testsupport::writeBytes(logs + "/m" + std::to_string(1000 + i) + ".vtl",
                                    testsupport::sealedLog(testsupport::matchText(m)));
        }
        reference = dir.join("reference.db");
        Vtl one({"index", reference, logs, "--no-search"}, dir.join("ref.out"), dir.join("ref.err"));
        ASSERT_EQ(one.wait(), 0) << testsupport::readBytes(dir.join("ref.err"));
        ASSERT_EQ(countWith(lines(dir.join("ref.out")), ": indexed 459 records"), kFiles);
    }

    // What a database holds beyond doubt: every recording's rows whole.
    void expectWholeRecordings(const std::string& db) {
        vt::index::Db d(db, vt::index::Db::Mode::ReadOnly);
        vt::index::Stmt check(d, "PRAGMA integrity_check");
        ASSERT_TRUE(check.step());
        EXPECT_EQ(check.text(0), "ok");
        EXPECT_EQ(d.integer("SELECT count(*) FROM recordings r WHERE "
                            "(SELECT count(*) FROM pings p WHERE p.recording_id = r.id) <> 150 OR "
                            "(SELECT count(*) FROM summaries s WHERE s.recording_id = r.id) <> 1"),
                  0);
        EXPECT_EQ(d.integer("SELECT count(*) FROM files"), d.integer("SELECT count(*) FROM recordings"));
    }

    static constexpr int kFiles = 120;
    testsupport::TempDir dir;
    std::string logs, reference;
};

TEST_F(IndexTools, TwoRunsAtOnceIndexEachFileOnce) {
    const std::string db = dir.join("shared.db");
    Vtl a({"index", db, logs, "--no-search"}, dir.join("a.out"), dir.join("a.err"));
    Vtl b({"index", db, logs, "--no-search"}, dir.join("b.out"), dir.join("b.err"));
    EXPECT_EQ(a.wait(), 0) << testsupport::readBytes(dir.join("a.err"));
    EXPECT_EQ(b.wait(), 0) << testsupport::readBytes(dir.join("b.err"));
    const auto la = lines(dir.join("a.out")), lb = lines(dir.join("b.out"));
    EXPECT_EQ(la.size(), std::size_t(kFiles));
    EXPECT_EQ(lb.size(), std::size_t(kFiles));
    EXPECT_EQ(countWith(la, ": indexed ") + countWith(lb, ": indexed "), kFiles);
    EXPECT_EQ(countWith(la, ": already indexed") + countWith(lb, ": already indexed"), kFiles);
    EXPECT_EQ(testsupport::indexContents(db), testsupport::indexContents(reference));
}

TEST_F(IndexTools, AKilledOrInterruptedRunLeavesWholeFilesAndARerunFinishes) {
    for (const int sig : {SIGKILL, SIGINT}) {
        SCOPED_TRACE(sig);
        const std::string out = dir.join("cut.out"), err = dir.join("cut.err");
        std::string db;
        // On a busy machine the run may end before the signal reaches it: then again, on a new database.
        for (int attempt = 0; attempt < 5; ++attempt) {
            db = dir.join("cut" + std::to_string(sig) + "-" + std::to_string(attempt) + ".db");
            Vtl run({"index", db, logs, "--no-search", "--batch", "4"}, out, err);
            // Once some files are in, end it.
            const auto deadline = std::chrono::steady_clock::now() + 20s;
            while (lines(out).size() < 10 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
            run.signal(sig);
            const int status = run.wait();
            if (status == 0 && lines(out).size() == std::size_t(kFiles)) continue;
            EXPECT_EQ(status, sig == SIGINT ? 130 : 128 + SIGKILL) << testsupport::readBytes(err);
            break;
        }
        const auto said = lines(out);
        vt::index::Db d(db, vt::index::Db::Mode::ReadOnly);
        const std::int64_t held = d.integer("SELECT count(*) FROM recordings");
        EXPECT_LT(held, kFiles) << "the run ended before its end";
        // Every file said to be indexed is there; with Ctrl-C, exactly those.
        EXPECT_GE(held, countWith(said, ": indexed "));
        if (sig == SIGINT) {
            EXPECT_EQ(held, countWith(said, ": indexed "));
            EXPECT_NE(testsupport::readBytes(err).find("interrupted"), std::string::npos);
        }
        expectWholeRecordings(db);

        Vtl again({"index", db, logs, "--no-search"}, out, err);
        EXPECT_EQ(again.wait(), 0) << testsupport::readBytes(err);
        EXPECT_EQ(countWith(lines(out), ": indexed "), kFiles - held);
        EXPECT_EQ(testsupport::indexContents(db), testsupport::indexContents(reference));
    }
}

TEST_F(IndexTools, ReadVerbsAnswerAndRefuseAsTheOthers) {
    Vtl links({"links", reference, "--kind", "volume", "--common", "3", "--min-strength", "0"}, dir.join("l.out"),
              dir.join("l.err"));
    EXPECT_EQ(links.wait(), 0);
    // Volume V-k is on matches k, k+50, k+100 (fewer for k >= 20): users 1 + i % 37.
    const auto l = lines(dir.join("l.out"));
    ASSERT_FALSE(l.empty());
    EXPECT_EQ(l[0].rfind("user_a\tuser_b\tstrength\tshared\tkind\tidentifier\t", 0), 0u);
    EXPECT_EQ(l.size(), 1u + 20 * 3 + 30);
    Vtl help({"links", "--help"}, dir.join("h.out"), dir.join("h.err"));
    EXPECT_EQ(help.wait(), 0);
    EXPECT_NE(testsupport::readBytes(dir.join("h.out")).find("A link is evidence, not a verdict"), std::string::npos);
    Vtl bad({"find", reference, "--program", "a", "--remote", "1.2.3.4"}, dir.join("b.out"), dir.join("b.err"));
    EXPECT_EQ(bad.wait(), 2);
    Vtl full({"query", reference, "SELECT * FROM pings"}, "/dev/full", dir.join("f.err"));
    EXPECT_EQ(full.wait(), 2);
    Vtl sql({"find", reference, "--program", "client.exe", "--sql"}, dir.join("s.out"), dir.join("s.err"));
    EXPECT_EQ(sql.wait(), 0);
    EXPECT_EQ(testsupport::readBytes(dir.join("s.out")).rfind("SELECT ", 0), 0u);
}

// The league's questions on the command line: by identifier, by account, by
// window and by pair; a day that is no day, or an identifier that is neither a
// MAC nor a volume id, is refused as every bad argument is.
TEST_F(IndexTools, QuestionsByIdentifierAccountAndWindow) {
    const auto ask = [&](std::vector<std::string> args) {
        args.insert(args.begin() + 1, reference);
        Vtl run(args, dir.join("q.out"), dir.join("q.err"));
        const int status = run.wait();
        return std::make_pair(status, lines(dir.join("q.out")));
    };
    // Volume V-3 is on matches 3, 53 and 103, of users 4, 17 and 30.
    auto said = ask({"find", "--identifier", "v-3", "--kind", "volume"});
    EXPECT_EQ(said.first, 0);
    ASSERT_EQ(said.second.size(), 4u);
    EXPECT_EQ(said.second[0], "day\tuser_id\tmatch_id\tstarted\tended\tkind\tidentifier\tweak\tmark\tfact\trecording_id");
    EXPECT_EQ(said.second[2].rfind("2026-12-08\t17\t53\t", 0), 0u) << said.second[2];
    said = ask({"find", "--user", "4", "--from", "2026-12-08", "--to", "2026-12-08"});
    EXPECT_EQ(said.first, 0);
    EXPECT_EQ(said.second.size(), 1u + 4);  // matches 3, 40, 77 and 114
    said = ask({"links", "--pairs", "--kind", "volume", "--common", "3", "--min-strength", "0", "--from", "2026-12-08"});
    EXPECT_EQ(said.first, 0);
    ASSERT_FALSE(said.second.empty());
    EXPECT_EQ(said.second[0].rfind("user_a\tuser_b\tstrength\tshared\tidentifiers\t", 0), 0u);
    EXPECT_EQ(said.second.size(), 1u + 57);  // the 90 rows of one pair and identifier, by pair
    said = ask({"links", "--to", "2026-12-07"});
    EXPECT_EQ(said.first, 0);
    EXPECT_EQ(said.second.size(), 1u);
    said = ask({"trend", "--ping", "--from", "2026-12-08", "--to", "2026-12-08"});
    EXPECT_EQ(said.first, 0);
    EXPECT_EQ(said.second.size(), 2u);

    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"links", "--from", "2026-13-01"}, "vtl links: a day is YYYY-MM-DD: 2026-13-01"},
        {{"trend", "--rate", "--to", "yesterday"}, "vtl trend: a day is YYYY-MM-DD: yesterday"},
        {{"find", "--identifier", "00:1b:21"}, "vtl find: neither a MAC address (six hex pairs) nor a volume id"},
        {{"find", "--identifier", "v-3", "--kind", "mac"}, "vtl find: not a MAC address"},
        {{"find", "--user", "4", "--from", "2026-12-09", "--to", "2026-12-08"}, "is before --from"},
        {{"find", "--kind", "mac", "--user", "4"}, "--kind requires --identifier"},
    };
    for (const auto& r : refused) {
        said = ask(r.first);
        EXPECT_EQ(said.first, 2) << r.second;
        EXPECT_TRUE(said.second.empty()) << r.second;
        EXPECT_NE(testsupport::readBytes(dir.join("q.err")).find(r.second), std::string::npos)
            << testsupport::readBytes(dir.join("q.err"));
    }
}

// As root, permissions bind only a process without the capabilities that pass
// them by: vtl runs without those.
TEST_F(IndexTools, ADirectoryThatCannotBeReadIsNamedAndTheRunSaysSo) {
    const std::string tree = dir.join("tree"), closed = tree + "/closed";
    fs::create_directories(closed);
    fs::copy_file(logs + "/m1000.vtl", tree + "/open.vtl");
    fs::copy_file(logs + "/m1001.vtl", closed + "/shut.vtl");
    fs::permissions(closed, fs::no_perms);
    std::vector<std::string> args = {kVtl, "index", dir.join("tree.db"), tree, "--no-search"};
    if (geteuid() == 0) {
        if (!fs::exists("/usr/bin/setpriv")) {
            fs::permissions(closed, fs::all_all);
            GTEST_SKIP() << "running as root without setpriv: a directory cannot be closed to vtl";
        }
        const std::string caps = "-dac_override,-dac_read_search";
        args.insert(args.begin(), {"/usr/bin/setpriv", "--bounding-set=" + caps, "--inh-caps=" + caps});
    }
    testsupport::Spawned run(args, dir.join("t.out"), dir.join("t.err"));
    const int status = run.wait();
    fs::permissions(closed, fs::all_all);
    const std::string out = testsupport::readBytes(dir.join("t.out")), err = testsupport::readBytes(dir.join("t.err"));
    if (out.find("shut.vtl") != std::string::npos || err.find("setpriv:") != std::string::npos)
        GTEST_SKIP() << "the directory could not be closed to vtl here: " << err;
    EXPECT_EQ(status, 1) << err;
    EXPECT_NE(out.find(tree + "/open.vtl: indexed"), std::string::npos) << out;
    EXPECT_NE(err.find("vtl index: " + closed + ": cannot be read ("), std::string::npos) << err;
}

}  // namespace
