// The league's questions on a small league whose answers are known: a machine
// sold on from one account to another, a machine two accounts share, a disk
// image cloned onto two machines that played one match at the same time;
// looked up by time window, by identifier as pasted, and by account.
#include "index/ingest.h"
#include "index/queries.h"
#include "support/log_text.h"
#include "support/match_logs.h"
#include "support/temp_dir.h"
#include "verbs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace {

using testsupport::MatchSpec;

struct Said {
    int status = -1;
    std::string out, err;
};

std::size_t rows(const std::string& out) { return std::size_t(std::count(out.begin(), out.end(), '\n')) - 1; }

// "DD.03.2026" of a day of March.
std::string march(int day) {
    char out[16];
    std::snprintf(out, sizeof out, "%02d.03.2026", day);
    return out;
}

class League : public ::testing::Test {
protected:
    void SetUp() override {
        const std::pair<std::string, std::string> soldVolume = {"Volume ID from C-Drive", "5a1d0001"},
                                                  soldMac = {"Mac Address", "Intel(R) Ethernet @ 00-1b-21-0a-0b-01"},
                                                  sharedVolume = {"Volume ID from C-Drive", "5a1d0002"},
                                                  clone = {"Volume ID from C-Drive", "c10e0003"};
        for (int day = 1; day <= 20; ++day) {
            // Account 10 until the 10th, account 11 from the 11th on one machine.
            play(day <= 10 ? 10 : 11, ++match_, march(day), {soldVolume, soldMac});
            // Accounts 20 and 21 take turns on another, all month.
            play(day % 2 ? 20 : 21, ++match_, march(day), {sharedVolume});
        }
        // One image on the machines of 30 and 31: both in match 500 at once;
        // in match 501 one after the other.
        play(30, 500, march(5), {clone, {"Mac Address", "A @ 00-1b-21-0c-00-30"}});
        play(31, 500, march(5), {clone, {"Mac Address", "B @ 00-1b-21-0c-00-31"}});
        play(30, 501, march(6), {clone});
        play(31, 501, march(6), {clone}, true);
        vt::index::Options options;
        options.search = false;
        std::string error;
        int indexed = 0;
        ASSERT_TRUE(vt::index::indexFiles(db(), files_, options,
                                          [&](const vt::index::Outcome& o) { indexed += o.kind == o.Indexed; }, error))
            << error;
        ASSERT_EQ(indexed, int(files_.size()));
    }

    // A match of ten seconds from 10:00, or from 12:00 when later.
    void play(std::int64_t user, std::int64_t match, const std::string& day,
              std::vector<std::pair<std::string, std::string>> facts, bool later = false) {
        MatchSpec m;
        m.user = user;
        m.match = match;
        m.day = day;
        m.facts = std::move(facts);
        std::string text = testsupport::matchText(m);
        if (later)
            for (std::size_t at = text.find(" 10:"); at != std::string::npos; at = text.find(" 10:", at))
                text.replace(at, 4, " 12:");
        const std::string path = dir.join("m" + std::to_string(files_.size()) + ".vtl");
        testsupport::writeBytes(path, testsupport::sealedLog(text));
        files_.push_back(path);
    }

    std::string db() const { return dir.join("league.db"); }

    Said links(vtl::LinksArgs a) {
        a.database = db();
        Said r;
        std::ostringstream out, err;
        r.status = vtl::links(a, out, err);
        r.out = out.str();
        r.err = err.str();
        return r;
    }
    Said find(vt::index::FindQuestion q, bool json = false) {
        vtl::FindArgs a;
        a.database = db();
        a.question = std::move(q);
        a.json = json;
        Said r;
        std::ostringstream out, err;
        r.status = vtl::findMatches(a, out, err);
        r.out = out.str();
        r.err = err.str();
        return r;
    }
    // "user_a user_b" of each row.
    static std::string pairsOf(const std::string& out) {
        std::istringstream in(out);
        std::string line, said;
        std::getline(in, line);
        while (std::getline(in, line)) {
            long long a = 0, b = 0;
            if (std::sscanf(line.c_str(), "%lld\t%lld", &a, &b) == 2)
                said += std::to_string(a) + "-" + std::to_string(b) + " ";
        }
        return said;
    }

    testsupport::TempDir dir;
    std::vector<std::string> files_;
    std::int64_t match_ = 1000;
};

// The machine sold on links its two accounts over the month, but in no window
// that ends before the sale or starts after it; the shared one links in every
// window; each row tells the clone playing twice at once.
TEST_F(League, WindowsTellAMachineSoldOnFromAShared) {
    vtl::LinksArgs a;
    a.pairs = true;
    EXPECT_EQ(pairsOf(links(a).out), "10-11 20-21 30-31 ");
    a.to = "2026-03-10";
    EXPECT_EQ(pairsOf(links(a).out), "20-21 30-31 ");
    a.to.clear();
    a.from = "2026-03-11";
    EXPECT_EQ(pairsOf(links(a).out), "20-21 ");
    // A window that holds the sale links them again: the days show when.
    a.from = "2026-03-10";
    a.to = "2026-03-11";
    const Said sale = links(a);
    EXPECT_EQ(sale.out, "user_a\tuser_b\tstrength\tshared\tidentifiers\tweak\tmatches_a\tmatches_b\tfirst_day_a\t"
                        "last_day_a\tfirst_day_b\tlast_day_b\tsame_time\n"
                        "10\t11\t2.0\t2\tvolume 5a1d0001, mac 00-1b-21-0a-0b-01\t0\t1\t1\t2026-03-10\t2026-03-10\t"
                        "2026-03-11\t2026-03-11\t0\n"
                        "20\t21\t1.0\t1\tvolume 5a1d0002\t0\t1\t1\t2026-03-11\t2026-03-11\t2026-03-10\t2026-03-10\t0\n");
    // The same window on the rows of each identifier, and on trends.
    a.pairs = false;
    EXPECT_EQ(pairsOf(links(a).out), "10-11 10-11 20-21 ");
    vtl::TrendArgs t;
    t.database = db();
    t.ping = true;
    t.from = "2026-03-05";
    t.to = "2026-03-06";
    std::ostringstream out, err;
    ASSERT_EQ(vtl::trend(t, out, err), vtl::kWhole) << err.str();
    EXPECT_EQ(out.str().substr(0, out.str().find('\t', out.str().find('\n') + 12)),
              "day\tmatches\tpings\tno_answers\tping_p50\tping_p95\tworst_p95\tping_average\n2026-03-05\t3");
    EXPECT_EQ(rows(out.str()), 2u);
}

TEST_F(League, SameTimeCountsMatchesPlayedTwiceAtOnce) {
    vtl::LinksArgs a;
    a.user = 31;
    a.json = true;
    EXPECT_EQ(links(a).out,
              "{\"user_a\":30,\"user_b\":31,\"strength\":1.0,\"shared\":1,\"kind\":\"volume\",\"identifier\":"
              "\"c10e0003\",\"weak\":0,\"mark\":null,\"accounts\":2,\"matches_a\":2,\"matches_b\":2,"
              "\"first_day_a\":\"2026-03-05\",\"last_day_a\":\"2026-03-06\",\"first_day_b\":\"2026-03-05\","
              "\"last_day_b\":\"2026-03-06\",\"same_time\":1}\n");
    a.pairs = true;
    const Said pair = links(a);
    EXPECT_NE(pair.out.find("\"identifiers\":\"volume c10e0003\",\"weak\":0,\"matches_a\":2,\"matches_b\":2,"),
              std::string::npos)
        << pair.out;
    EXPECT_NE(pair.out.find("\"same_time\":1}"), std::string::npos) << pair.out;
    // Taking turns on one machine is never at once.
    a.user = 20;
    a.pairs = false;
    a.json = false;
    const Said shared = links(a);
    EXPECT_EQ(shared.out.substr(shared.out.find('\n') + 1, 6), "20\t21\t");
    EXPECT_EQ(shared.out.substr(shared.out.size() - 3), "\t0\n");
}

TEST_F(League, IdentifiersAsPastedFindTheirSightings) {
    vt::index::FindQuestion q;
    q.identifier = "00:1B:21:0A:0B:01";
    Said r = find(q);
    ASSERT_EQ(r.status, vtl::kWhole) << r.err;
    EXPECT_EQ(rows(r.out), 20u);
    EXPECT_EQ(r.out.substr(0, r.out.find('\n', r.out.find('\n') + 1)),
              "day\tuser_id\tmatch_id\tstarted\tended\tkind\tidentifier\tweak\tmark\tfact\trecording_id\n"
              "2026-03-01\t10\t1001\t2026-03-01 10:00:00\t2026-03-01 10:00:12\tmac\t00-1b-21-0a-0b-01\t0\t\\N\t"
              "Mac Address\t1");
    for (const char* same : {"001b210a0b01", "Intel(R) Ethernet @ 00-1B-21-0A-0B-01", " 001b.210a.0b01\n"}) {
        q.identifier = same;
        EXPECT_EQ(find(q).out, r.out) << same;
    }
    q.identifierKind = "mac";
    EXPECT_EQ(find(q).out, r.out);
    // A volume id in any case, and as Windows shows it; within a window and an account.
    q.identifier = "5A1D-0001";
    q.identifierKind.clear();
    q.user = 11;
    q.to = "2026-03-12";
    r = find(q);
    EXPECT_EQ(rows(r.out), 2u);
    EXPECT_NE(r.out.find("\n2026-03-11\t11\t"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\tvolume\t5a1d0001\t0\t\\N\tVolume ID from C-Drive\t"), std::string::npos) << r.out;
    // Any other text is a volume id only when said so.
    q = {};
    q.identifier = "5a1d-01";
    r = find(q);
    EXPECT_EQ(r.status, vtl::kUsage);
    EXPECT_NE(r.err.find("neither a MAC address (six hex pairs) nor a volume id"), std::string::npos) << r.err;
    q.identifierKind = "volume";
    r = find(q);
    EXPECT_EQ(r.status, vtl::kWhole) << r.err;
    EXPECT_EQ(rows(r.out), 0u);
    q.identifier = "5a1d0001";
    q.identifierKind = "mac";
    r = find(q);
    EXPECT_EQ(r.status, vtl::kUsage);
    EXPECT_NE(r.err.find("not a MAC address"), std::string::npos) << r.err;
}

TEST_F(League, AnAccountsMatchesAloneOrWithAnotherQuestion) {
    vt::index::FindQuestion q;
    q.user = 30;
    Said r = find(q);
    ASSERT_EQ(r.status, vtl::kWhole) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1),
              "day\tuser_id\tmatch_id\tstarted\tended\twhole\tstate\trecords\tpath\trecording_id\n");
    EXPECT_EQ(rows(r.out), 2u);
    EXPECT_NE(r.out.find("\n2026-03-05\t30\t500\t2026-03-05 10:00:00\t2026-03-05 10:00:12\t1\twhole\t"),
              std::string::npos)
        << r.out;
    q.user.reset();
    q.match = 501;
    r = find(q);
    EXPECT_NE(r.out.find("\t31\t501\t2026-03-06 12:00:00\t"), std::string::npos) << r.out;
    EXPECT_EQ(rows(r.out), 2u);
    // The client's whole path, pasted from a log in another case, and quoted.
    q.match.reset();
    q.user = 11;
    q.program = "\"c:\\games\\CLIENT\\Client.exe\"";
    r = find(q);
    EXPECT_EQ(rows(r.out), 10u) << r.out;
    q.from = "2026-03-19";
    EXPECT_EQ(rows(find(q).out), 2u);
    q.program.clear();
    q.path = "C:\\Games\\";
    EXPECT_EQ(rows(find(q).out), 2u);
    q.path = "C:\\Games_";  // '_' is no wildcard
    EXPECT_EQ(rows(find(q).out), 0u);
}

TEST_F(League, QuestionsNotWellFormedAreRefused) {
    vtl::LinksArgs a;
    for (const auto& days : std::vector<std::pair<std::string, std::string>>{
             {"2026-02-30", ""}, {"", "march"}, {"2026-03-11", "2026-03-10"}}) {
        a.from = days.first;
        a.to = days.second;
        const Said r = links(a);
        EXPECT_EQ(r.status, vtl::kUsage) << days.first << days.second;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("vtl links: "), std::string::npos);
    }
    vtl::TrendArgs t;
    t.database = db();
    t.ping = true;
    t.to = "2026-3-1";
    std::ostringstream out, err;
    EXPECT_EQ(vtl::trend(t, out, err), vtl::kUsage);
    EXPECT_NE(err.str().find("a day is YYYY-MM-DD: 2026-3-1"), std::string::npos) << err.str();

    vt::index::FindQuestion two;
    two.program = "client.exe";
    two.identifier = "5a1d0001";
    EXPECT_EQ(find(two).status, vtl::kUsage);
    vt::index::FindQuestion kindAlone;
    kindAlone.identifierKind = "mac";
    kindAlone.user = 10;
    EXPECT_EQ(find(kindAlone).status, vtl::kUsage);
    vt::index::FindQuestion badKind;
    badKind.identifier = "5a1d0001";
    badKind.identifierKind = "disk";
    EXPECT_NE(find(badKind).err.find("--kind is mac or volume"), std::string::npos);
}

}  // namespace
