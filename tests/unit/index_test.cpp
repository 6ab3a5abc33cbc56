// The index: what a log becomes in its tables, which file a recording keeps,
// a batch that fails, and the questions of links, find, trend and query.
#include "index/ingest.h"
#include "index/queries.h"
#include "index/schema.h"
#include "log/keygen.h"
#include "log/logger.h"
#include "platform/os.h"
#include "support/index_contents.h"
#include "support/log_text.h"
#include "support/match_logs.h"
#include "support/temp_dir.h"
#include "verbs.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace {

using testsupport::MatchSpec;
using testsupport::matchText;
using testsupport::readBytes;
using testsupport::sealedLog;
using testsupport::writeBytes;
namespace fs = boost::filesystem;

std::size_t lineCount(const std::string& text) { return std::size_t(std::count(text.begin(), text.end(), '\n')); }

struct Said {
    int status = -1;
    std::string out, err;
};

class IndexTest : public ::testing::Test {
protected:
    std::string db() const { return dir.join("index.db"); }

    std::string log(const std::string& name, const MatchSpec& m) {
        const std::string path = dir.join(name);
        writeBytes(path, sealedLog(matchText(m)));
        return path;
    }

    Said runIndex(const std::vector<std::string>& paths, bool search = false) {
        vtl::IndexArgs a;
        a.database = db();
        a.paths = paths;
        a.search = search;
        std::ostringstream out, err;
        Said r;
        r.status = vtl::indexLogs(a, out, err);
        r.out = out.str();
        r.err = err.str();
        return r;
    }

    std::int64_t count(const std::string& sql) {
        vt::index::Db d(db(), vt::index::Db::Mode::ReadOnly);
        return d.integer(sql);
    }

    Said ask(const std::function<int(std::ostream&, std::ostream&)>& verb) {
        std::ostringstream out, err;
        Said r;
        r.status = verb(out, err);
        r.out = out.str();
        r.err = err.str();
        return r;
    }

    testsupport::TempDir dir;
};

// ---- what a log becomes -----------------------------------------------------------

TEST_F(IndexTest, EveryRecordLandsInItsTableAndUnknownKindsAreKept) {
    MatchSpec m;
    m.user = 7;
    m.match = 70;
    m.ticks = 10;
    m.facts = {{"Volume ID from C-Drive", "1A2B-3C4D"},
               {"Mac Address", "Intel(R) Ethernet @ 00-1b-21-aa-bb-cc"},
               {"Mac Address", "Virtual @ 02-00-4c-4f-4f-50"},
               {"GPU", "Vendor:Model"}};
    m.extra = {{3, "Process;Add;PID:300:Path:D:\\Tools\\cheat_x.exe"},
               {4, "Process;Del;PID:300:Path:D:\\Tools\\cheat_x.exe"},
               {5, "Process;Del;PID:77:Path:C:\\early.exe"},
               {5, "UDP;Add;LocalIp:0.0.0.0:LocalPort:5353:PID:200:Path:C:\\Games\\Client\\client.exe"},
               {6, "Hologram;Beam;Power:9000"},
               {6, "not a record at all"},
               {7, "Ping;Stats;Server:203.0.113.7:Actual:501"},
               {8, "Key;Pressed;Name:after the overflow"},
               {8, "Process;Add;PID:99999999999999999999:Path:C:\\huge.exe"}};
    const std::string file = log("a.vtl", m);
    const Said r = runIndex({file});
    EXPECT_EQ(r.status, vtl::kWhole) << r.err;
    const std::int64_t lines = std::int64_t(testsupport::recordLines(file).size());
    EXPECT_EQ(r.out, file + ": indexed " + std::to_string(lines) + " records\n");

    EXPECT_EQ(count("SELECT count(*) FROM recordings WHERE user_id = 7 AND match_id = 70 AND whole = 1 "
                    "AND day = '2026-12-08' AND started = '2026-12-08 10:00:00' AND ended = '2026-12-08 10:00:12' "
                    "AND records = " + std::to_string(lines)),
              1);
    EXPECT_EQ(count("SELECT count(*) FROM pings"), 11);
    EXPECT_EQ(count("SELECT count(*) FROM pings WHERE answered = 0 AND milliseconds IN (501, 1000)"), 3);
    EXPECT_EQ(count("SELECT count(*) FROM throughput WHERE adapter = 'Intel(R) Ethernet' AND tx_bytes_per_s > 1000"),
              10);
    EXPECT_EQ(count("SELECT count(*) FROM keys"), 11);
    EXPECT_EQ(count("SELECT count(*) FROM facts"), 5);
    EXPECT_EQ(count("SELECT count(*) FROM facts WHERE name = 'GPU' AND value = 'Vendor:Model'"), 1);
    EXPECT_EQ(count("SELECT count(*) FROM other_records"), 2);
    EXPECT_EQ(count("SELECT count(*) FROM other_records WHERE kind = 'Hologram' AND raw LIKE '%Power:9000'"), 1);
    // Processes: explorer (already running, still running), the client (already, ended),
    // the short one (started and ended inside), one whose start came before the log.
    EXPECT_EQ(count("SELECT count(*) FROM processes"), 5);
    EXPECT_EQ(count("SELECT count(*) FROM processes WHERE pid IS NULL AND started = '2026-12-08 10:00:08'"), 1);
    EXPECT_EQ(count("SELECT count(*) FROM processes x JOIN programs g ON g.id = x.program_id WHERE "
                    "g.name = 'explorer.exe' AND already_running = 1 AND still_running = 1 AND ended IS NULL"),
              1);
    EXPECT_EQ(count("SELECT count(*) FROM processes x JOIN programs g ON g.id = x.program_id WHERE "
                    "g.name_lower = 'cheat_x.exe' AND already_running = 0 AND still_running = 0 "
                    "AND started = '2026-12-08 10:00:03' AND ended = '2026-12-08 10:00:04'"),
              1);
    EXPECT_EQ(count("SELECT count(*) FROM processes WHERE started IS NULL AND already_running = 1 AND pid = 77"), 1);
    EXPECT_EQ(count("SELECT count(*) FROM connections"), 2);
    EXPECT_EQ(count("SELECT count(*) FROM connections WHERE protocol = 'TCP' AND remote_address = 3405803783 "
                    "AND remote_port = 443 AND still_open = 0 AND closed = '2026-12-08 10:00:11'"),
              1);
    EXPECT_EQ(count("SELECT count(*) FROM connections WHERE protocol = 'UDP' AND still_open = 1"), 1);
    // Identifiers: the volume, a MAC, and Npcap's loopback adapter (weak), as the log spells them.
    EXPECT_EQ(count("SELECT count(*) FROM identifiers"), 3);
    EXPECT_EQ(count("SELECT count(*) FROM identifiers WHERE kind = 'mac' AND value = '00-1b-21-aa-bb-cc' AND weak = 0 "
                    "AND mark IS NULL"),
              1);
    EXPECT_EQ(count("SELECT count(*) FROM identifiers WHERE kind = 'mac' AND value = '02-00-4c-4f-4f-50' AND weak = 1 "
                    "AND mark = 'virtual'"),
              1);
    EXPECT_EQ(count("SELECT count(*) FROM sightings"), 3);
    // The summary: answered pings 21..29 except the fifth and tenth (1000) and the 501.
    EXPECT_EQ(count("SELECT count(*) FROM summaries WHERE pings = 11 AND no_answers = 3 AND ping_p50 = 24 "
                    "AND ping_p95 = 29 AND seconds = 12 AND keys = 11 AND processes = 5 AND connections = 2"),
              1);
    EXPECT_EQ(count("SELECT count(*) FROM ping_servers WHERE server = '203.0.113.7' AND pings = 11"), 1);
    // Every table that holds a recording's rows has its day.
    for (const char* t : {"files", "processes", "connections", "pings", "throughput", "keys", "facts", "other_records",
                          "sightings", "summaries", "ping_servers"})
        EXPECT_EQ(count(std::string("SELECT count(*) FROM ") + t + " WHERE day <> '2026-12-08'"), 0) << t;
    EXPECT_EQ(count("PRAGMA user_version"), vt::index::kSchemaVersion);
}

// Many rows of a kind go in many to a statement: every row keeps its own
// values, those of full statements and those left over alike.
TEST_F(IndexTest, ManyRowsOfAKindKeepEachTheirOwnValues) {
    MatchSpec m;
    m.ticks = 70;
    for (int i = 0; i < 40; ++i) m.extra.push_back({71, "Hologram;Beam;Power:" + std::to_string(i)});
    for (int i = 0; i < 35; ++i) m.extra.push_back({72, "Process;Add;PID:" + std::to_string(1000 + i) + ":Path:C:\\p" +
                                                            std::to_string(i) + ".exe"});
    const Said r = runIndex({log("many.vtl", m)});
    ASSERT_EQ(r.status, vtl::kWhole) << r.err;
    // Tick i (from 1) is on lines 6, 7 and 8 + 3 (i - 1), at 10:00:00 + i s.
    const std::string tick = "((line - 6) / 3 + 1)";
    const std::string atTick = "datetime('2026-12-08 10:00:00', '+' || " + tick + " || ' seconds')";
    EXPECT_EQ(count("SELECT count(*) FROM pings WHERE (line - 6) % 3 = 0 AND at = " + atTick +
                    " AND server = '203.0.113.7' AND server_address = 3405803783 AND milliseconds = CASE WHEN " + tick +
                    " % 5 = 0 THEN 1000 ELSE 20 + " + tick + " % 10 END AND answered = (milliseconds < 1000)"),
              70);
    EXPECT_EQ(count("SELECT count(*) FROM throughput WHERE (line - 7) % 3 = 0 AND at = " +
                    std::string("datetime('2026-12-08 10:00:00', '+' || ((line - 7) / 3 + 1) || ' seconds')") +
                    " AND adapter = 'Intel(R) Ethernet' AND tx_bytes_per_s = 1000 + (line - 7) / 3 + 1 "
                    "AND rx_bytes_per_s = 2000 + (line - 7) / 3 + 1"),
              70);
    EXPECT_EQ(count("SELECT count(*) FROM keys WHERE (line - 8) % 3 = 0 AND at = " +
                    std::string("datetime('2026-12-08 10:00:00', '+' || ((line - 8) / 3 + 1) || ' seconds')") +
                    " AND name = char(65 + ((line - 8) / 3 + 1) % 26)"),
              70);
    // The extra lines follow the 5 + 3 * 70 first ones.
    EXPECT_EQ(count("SELECT count(*) FROM other_records WHERE at = '2026-12-08 10:01:11' AND kind = 'Hologram' "
                    "AND action = 'Beam' AND cut = 0 AND raw = '08.12.2026 10:01:11;Hologram;Beam;Power:' || (line - 216)"),
              40);
    EXPECT_EQ(count("SELECT count(*) FROM processes x JOIN programs g ON g.id = x.program_id WHERE "
                    "x.started = '2026-12-08 10:01:12' AND x.ended IS NULL AND x.pid = 1000 + x.line - 256 "
                    "AND g.path = 'C:\\p' || (x.line - 256) || '.exe' AND x.already_running = 0 AND x.still_running = 1"),
              35);
}

// Records to rows, without a database.
TEST(IndexRows, FromTheEventsOfALog) {
    vt::index::Parsed p;
    vt::index::parseText("08.12.2026 10:00:00;Info;Start;Logfile start:UserId:12:MatchId:47\n"
                         "31.02.2026 10:00:01;Key;Pressed;Name:W\n"
                         "08.12.2026 10:00:02;Ping;Stats;Server:10.0.0.1:Actual:1000\n"
                         "08.12.2026 10:00:03;Info;Start;Logfile start:UserId:13:MatchId:48\n"
                         "08.12.2026 10:00:04;Info;Recovered;Logfile recovered:From:C:\\a.vtl:Records:3\n"
                         "08.12.2026 10:01:05;Info;Stop;Logfile end\n",
                         p);
    ASSERT_TRUE(p.failure.empty()) << p.failure;
    EXPECT_EQ(p.user, 12);
    EXPECT_EQ(p.records, 6);
    EXPECT_EQ(p.untimed, 1);
    ASSERT_EQ(p.keys.size(), 1u);
    EXPECT_EQ(p.time(p.keys[0].at), "");
    ASSERT_EQ(p.pings.size(), 1u);
    EXPECT_FALSE(p.pings[0].answered);
    EXPECT_EQ(p.time(p.pings[0].at), "2026-12-08 10:00:02");
    EXPECT_EQ(p.summary.seconds, 65);
    EXPECT_EQ(p.summary.noAnswers, 1);
    EXPECT_FALSE(p.summary.tx) << "no rate is no average";
    EXPECT_FALSE(p.summary.p50);
    EXPECT_EQ(p.recoveredFrom, "C:\\a.vtl");
    ASSERT_EQ(p.others.size(), 2u) << "a second start record and the recovery note are kept";
    EXPECT_EQ(p.others[0].line, 4);
    EXPECT_EQ(p.others[1].action, "Recovered");

    vt::index::Parsed headless;
    vt::index::parseText("08.12.2026 10:00:02;Ping;Stats;Server:10.0.0.1:Actual:10\n", headless);
    EXPECT_FALSE(headless.failure.empty());
}

TEST_F(IndexTest, HelpersReadTimesAddressesAndMacs) {
    EXPECT_EQ(vt::index::isoTime("08.12.2026 10:00:03"), "2026-12-08 10:00:03");
    EXPECT_EQ(vt::index::isoTime("8.12.2026 10:00:03"), "");
    EXPECT_EQ(vt::index::weekOf("2026-12-08"), "2026-12-07");  // a Tuesday
    EXPECT_EQ(vt::index::weekOf("2026-12-07"), "2026-12-07");
    EXPECT_EQ(vt::index::weekOf("2027-01-03"), "2026-12-28");  // a Sunday, across the year
    EXPECT_EQ(vt::index::weekOf("2026-03-01"), "2026-02-23");  // across the end of February
    EXPECT_EQ(vt::index::weekOf("2028-03-01"), "2028-02-28");  // and of a leap February
    EXPECT_EQ(vt::index::ipv4("10.0.0.1"), 167772161);
    EXPECT_FALSE(vt::index::ipv4("10.0.0.256"));
    EXPECT_FALSE(vt::index::ipv4("10.0.0"));
    EXPECT_FALSE(vt::index::ipv4("10.0.0.1.2"));
    EXPECT_EQ(vt::index::macAddress("00:1B:21:AA:bb:cc"), "00-1b-21-aa-bb-cc");
    EXPECT_EQ(vt::index::macAddress("00-1b-21"), "");
    EXPECT_EQ(vt::index::macAddress("00-1b-21-aa-bb-cg"), "");
    vt::index::Remote r;
    ASSERT_TRUE(vt::index::parseRemote("10.1.2.3/16:443", r));
    EXPECT_EQ(r.first, 167837696);
    EXPECT_EQ(r.last, 167837696 + 65535);
    EXPECT_EQ(r.port, 443);
    for (const char* bad : {"10.1.2.3/33", "10.1.2.3:70000", "10.1.2.3:", "host:80", "::1"})
        EXPECT_FALSE(vt::index::parseRemote(bad, r)) << bad;
}

// One rule for a stamp: the shape of one, and a time that exists.
TEST_F(IndexTest, HelpersRefuseTimesThatDoNotExistAndKnowIdentifiersOfNoOne) {
    for (const char* impossible : {"31.02.2026 10:00:00", "29.02.2026 10:00:00", "31.04.2026 10:00:00",
                                   "00.00.0000 00:00:00", "99.99.9999 99:99:99", "01.01.0000 10:00:00",
                                   "08.12.2026 24:00:00", "08.12.2026 10:60:00", "08.12.2026 10:00:61"})
        EXPECT_EQ(vt::index::isoTime(impossible), "") << impossible;
    EXPECT_EQ(vt::index::isoTime("29.02.2028 23:59:60"), "2028-02-29 23:59:60");
    EXPECT_EQ(vt::index::isoTime("31.12.2026 00:00:00"), "2026-12-31 00:00:00");
    for (const char* bad : {"2026-02-31", "2026-02-29", "2026-04-31", "0000-01-01", "2026-00-10", "2026-1-10"})
        EXPECT_FALSE(vt::index::isDay(bad)) << bad;
    EXPECT_TRUE(vt::index::isDay("2028-02-29"));
    EXPECT_TRUE(vt::index::isDay("2026-01-31"));

    const std::pair<const char*, const char*> marks[] = {
        {"00-1b-21-aa-bb-cc", ""},          {"00-50-56-00-00-01", ""},  // a VMware guest's own address
        {"00-00-00-00-00-00", "zero"},      {"ff-ff-ff-ff-ff-ff", "broadcast"},
        {"00-50-56-c0-00-08", "virtual"},   {"00-1c-42-00-00-09", "virtual"},
        {"0a-00-27-00-00-0c", "virtual"},   {"00-15-5d-01-02-03", "virtual"},
        {"02-00-4c-4f-4f-50", "virtual"},   {"02-42-ac-11-00-02", "virtual"},
        {"00-05-9a-3c-7a-00", "virtual"},   {"01-00-5e-00-00-01", "multicast"},
        {"02-fc-00-00-00-01", "local"},     {"06-00-00-00-00-01", "local"}};
    for (const auto& m : marks) EXPECT_EQ(vt::index::macMark(m.first), m.second) << m.first;
    EXPECT_EQ(vt::index::volumeMark("00000000"), "unreadable");
    EXPECT_EQ(vt::index::volumeMark("0000000a"), "");

    // Names without case beyond ASCII; bytes that are no UTF-8 are kept as they are.
    EXPECT_EQ(vt::index::foldCase("C:\\Spiele\\Zielhilfe-\xC3\x84.EXE"), "c:\\spiele\\zielhilfe-\xC3\xA4.exe");
    EXPECT_EQ(vt::index::foldCase("\xC5\x81\xC3\x93\x44\xC5\xB9 \xC5\xB8"), "\xC5\x82\xC3\xB3\x64\xC5\xBA \xC3\xBF");
    EXPECT_EQ(vt::index::foldCase("\xCE\xA3\xCE\x91\xCE\xA3 \xD0\x9F\xD0\xA0\xD0\x98 \xD0\x81"),
              "\xCF\x83\xCE\xB1\xCF\x83 \xD0\xBF\xD1\x80\xD0\xB8 \xD1\x91");
    EXPECT_EQ(vt::index::foldCase("\xC3\x9F\xC3\x97 A\xC4"), "\xC3\x9F\xC3\x97 a\xC4");
}

// Rates as the library writes them (fractions, exponents), and what cannot be read
// is not counted as nothing.
TEST_F(IndexTest, RatesAreKeptAsWrittenAndUnreadOnesCountNowhere) {
    MatchSpec m;
    m.ticks = 0;
    m.extra = {{1, "Ethernet;Stats;Adapter:eth0:TxD:48397.7:Bytes/s:RxD:0:Bytes/s"},
               {1, "Ethernet;Stats;Adapter:wlan0:TxD:1.53377e+006:Bytes/s:RxD:12.5:Bytes/s"},
               {2, "Ethernet;Stats;Adapter:eth0:TxD:lots:Bytes/s:RxD:7:Bytes/s"},
               {2, "Ethernet;Stats;Adapter:wlan0:TxD:inf:Bytes/s:RxD:0.5:Bytes/s"},
               {3, "Ethernet;Stats;Adapter:eth0:TxD:100:Bytes/s:RxD:1e999:Bytes/s"}};
    const std::string a = log("a.vtl", m);
    // Another player's log of the same match.
    m.user = 2;
    const std::string b = log("b.vtl", m);
    ASSERT_EQ(runIndex({a, b}).status, vtl::kWhole);
    EXPECT_EQ(count("SELECT count(*) FROM throughput WHERE typeof(tx_bytes_per_s) = 'real'"), 6);
    EXPECT_EQ(count("SELECT count(*) FROM throughput WHERE tx_bytes_per_s IS NULL"), 4);
    EXPECT_EQ(count("SELECT count(*) FROM throughput WHERE adapter = 'wlan0' AND tx_bytes_per_s = 1533770"), 2);
    EXPECT_EQ(count("SELECT count(*) FROM throughput WHERE adapter = 'eth0' AND tx_bytes_per_s = 48397.7"), 2);
    // Sent: second 1 holds 1582167.7, second 3 holds 100; second 2 holds nothing readable.
    // Received: 12.5, 7.5 and nothing readable at second 3.
    EXPECT_EQ(count("SELECT count(*) FROM summaries WHERE abs(tx_average - 791133.85) < 1e-6 "
                    "AND abs(rx_average - 10) < 1e-9"),
              2);

    vtl::TrendArgs t;
    t.database = db();
    t.rate = true;
    Said r = ask([&](std::ostream& o, std::ostream& e) { return vtl::trend(t, o, e); });
    EXPECT_EQ(r.out.substr(r.out.find('\n') + 1), "2026-12-08\t1\t791133.85\t10.0\t791133.85\t10.0\n") << r.err;
    // Two players' logs, one match.
    t.rate = false;
    t.ping = true;
    t.by = "week";
    r = ask([&](std::ostream& o, std::ostream& e) { return vtl::trend(t, o, e); });
    EXPECT_EQ(r.out.substr(r.out.find('\n') + 1, 13), "2026-12-07\t1\t") << r.out;
}

// A stamp that names no time makes no day: the record keeps its row without a
// time, and the recording counts it.
TEST_F(IndexTest, StampsThatAreNoTimeMakeNoDay) {
    MatchSpec m;
    m.ticks = 2;
    m.extra = {{3, "Key;Pressed;Name:Q"}};
    std::string text = matchText(m);
    text.replace(0, 10, "31.02.2026");  // the start record
    const std::size_t q = text.find("Key;Pressed;Name:Q");
    text.replace(q - 20, 10, "99.99.9999");
    const std::string file = dir.join("odd.vtl");
    writeBytes(file, sealedLog(text));

    MatchSpec none;
    none.day = "00.00.0000";
    const std::string never = log("never.vtl", none);
    const Said r = runIndex({file, never});
    EXPECT_NE(r.out.find(file + ": indexed "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(never + ": not indexed: no record has a time that exists (the start record's is "
                                 "\"00.00.0000 10:00:00\")"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(count("SELECT count(*) FROM recordings WHERE day = '2026-12-08' AND week = '2026-12-07' "
                    "AND started = '2026-12-08 10:00:00' AND untimed = 2"),
              1);
    EXPECT_EQ(count("SELECT count(*) FROM keys WHERE name = 'Q' AND at IS NULL"), 1);
    EXPECT_EQ(count("SELECT count(*) FROM recordings WHERE day NOT LIKE '2026-%' OR week NOT LIKE '2026-%'"), 0);
}

// Text as every reader shows it: a cp1252 name is found by its UTF-8 spelling, in any case.
TEST_F(IndexTest, NamesOfANarrowCodePageAreFoundInAnyCase) {
    MatchSpec m;
    m.extra = {{2, "Process;Add;PID:5:Path:C:\\Spiele\\Zielhilfe-\xC4.exe"},
               {2, "Process;Add;PID:6:Path:C:\\Spiele\\\xC3\x84rger.exe"}};
    ASSERT_EQ(runIndex({log("a.vtl", m)}).status, vtl::kWhole);
    EXPECT_EQ(count("SELECT count(*) FROM programs WHERE path = 'C:\\Spiele\\Zielhilfe-\xC3\x84.exe' "
                    "AND name_lower = 'zielhilfe-\xC3\xA4.exe'"),
              1);
    for (const char* asked : {"zielhilfe-\xC3\xA4.exe", "ZIELHILFE-\xC3\x84.EXE", "Zielhilfe-\xC4.exe"}) {
        vtl::FindArgs f;
        f.database = db();
        f.question.program = asked;
        f.json = true;
        const Said r = ask([&](std::ostream& o, std::ostream& e) { return vtl::findMatches(f, o, e); });
        EXPECT_EQ(lineCount(r.out), 1u) << asked << r.err;
        EXPECT_NE(r.out.find("Zielhilfe-\xC3\x84.exe"), std::string::npos) << r.out;
    }
    vtl::FindArgs f;
    f.database = db();
    f.question.path = "\\\xC3\xA4rger";
    const Said r = ask([&](std::ostream& o, std::ostream& e) { return vtl::findMatches(f, o, e); });
    EXPECT_EQ(lineCount(r.out), 2u) << r.out;
}

// A sealed log whose last record is not its stop record: the trailer holds its key.
TEST_F(IndexTest, ASealedLogWithoutItsStopRecordIsIndexedWithoutASearch) {
    std::string text = matchText(MatchSpec());
    text.resize(text.rfind("08.12.2026", text.size() - 2));  // without its stop record
    const std::string file = dir.join("nostop.vtl");
    writeBytes(file, sealedLog(text));
    const Said r = runIndex({file}, false);
    EXPECT_EQ(r.status, vtl::kNotWhole);
    EXPECT_EQ(r.out, file + ": indexed " + std::to_string(lineCount(text)) +
                         " records, not whole: the body does not end with a stop record (it is sealed: " +
                         std::to_string(lineCount(text)) + " records read with the key of its trailer)\n");
    EXPECT_EQ(count("SELECT count(*) FROM recordings WHERE state = 'recovered' AND whole = 0 AND ended IS NULL"), 1);
    EXPECT_EQ(count("SELECT count(*) FROM pings"), 10);
}

// A file is judged on its first blocks: gigabytes of zeros are not hashed.
TEST_F(IndexTest, AHugeFileOfZerosIsRefusedBeforeItIsHashed) {
    const std::string zeros = dir.join("zeros.vtl");
    writeBytes(zeros, "");
    fs::resize_file(zeros, std::uint64_t(3) << 30);  // sparse: it costs no disk
    const vt::index::Parsed p = vt::index::parseLog(zeros, vt::read::Options());
    EXPECT_EQ(p.failure, "not a log: its bytes are far from evenly spread, as ciphertext's are");
    EXPECT_EQ(p.sha256, "");
    fs::remove(zeros);
    // A small one is read whole first, and refused for the same reasons.
    const std::string text = dir.join("notes.vtl");
    writeBytes(text, std::string(4096, 'a'));
    const vt::index::Parsed t = vt::index::parseLog(text, vt::read::Options());
    EXPECT_EQ(t.failure, "not a log: it reads as text");
    EXPECT_EQ(t.sha256, "");
    writeBytes(text, "");
    EXPECT_EQ(vt::index::parseLog(text, vt::read::Options()).failure,
              "it is empty: the recording wrote nothing before it ended");
}

TEST_F(IndexTest, ARenamedFileTakesItsNewPath) {
    const std::string a = log("a.vtl", MatchSpec());
    ASSERT_EQ(runIndex({a}).status, vtl::kWhole);
    const std::int64_t generation = count("SELECT max(generation) FROM recordings");
    const std::string b = dir.join("b.vtl");
    fs::rename(a, b);
    Said r = runIndex({b});
    EXPECT_EQ(r.status, vtl::kWhole);
    EXPECT_EQ(r.out, b + ": already indexed (moved from " + a + ")\n");
    EXPECT_EQ(count("SELECT count(*) FROM files f JOIN recordings r ON r.id = f.recording_id WHERE f.path = " +
                    vt::index::quote(b) + " AND r.path = f.path"),
              1);
    EXPECT_GT(count("SELECT max(generation) FROM recordings"), generation);
    // A copy leaves the path as it was.
    fs::copy_file(b, a);
    r = runIndex({a});
    EXPECT_EQ(r.out, a + ": already indexed\n");
    EXPECT_EQ(count("SELECT count(*) FROM files WHERE path = " + vt::index::quote(b)), 1);
}

// ---- which file a recording keeps --------------------------------------------------

TEST_F(IndexTest, RerunsCopiesAndTruncatedCopiesAddNothing) {
    const std::string a = log("a.vtl", MatchSpec());
    ASSERT_EQ(runIndex({a}).status, vtl::kWhole);
    const std::int64_t generation = count("SELECT value FROM meta WHERE name = 'generation'");
    const std::int64_t pings = count("SELECT count(*) FROM pings");

    Said again = runIndex({a});
    EXPECT_EQ(again.status, vtl::kWhole);
    EXPECT_EQ(again.out, a + ": already indexed\n");

    const std::string renamed = dir.join("renamed.vtl");
    fs::copy_file(a, renamed);
    again = runIndex({renamed});
    EXPECT_EQ(again.out, renamed + ": already indexed\n");

    // A partial copy that can be read (a whole log with bytes after it) holds no more.
    const std::string appended = dir.join("appended.vtl");
    writeBytes(appended, readBytes(a) + "xx");
    again = runIndex({appended});
    EXPECT_EQ(again.out, appended + ": already indexed (its recording is held whole by " + a + ")\n");
    EXPECT_EQ(again.status, vtl::kWhole);

    // A truncated copy without its key cannot be read at all.
    const std::string cut = dir.join("cut.vtl");
    const std::string bytes = readBytes(a);
    writeBytes(cut, bytes.substr(0, bytes.size() / 2 / 8 * 8));
    again = runIndex({cut});
    EXPECT_EQ(again.status, vtl::kNotWhole);
    EXPECT_EQ(again.out.rfind(cut + ": not indexed: not whole", 0), 0u) << again.out;

    EXPECT_EQ(count("SELECT count(*) FROM pings"), pings);
    EXPECT_EQ(count("SELECT count(*) FROM recordings"), 1);
    EXPECT_EQ(count("SELECT count(*) FROM files WHERE current = 1"), 1);
    EXPECT_EQ(count("SELECT count(*) FROM files WHERE current = 0 AND whole = 0 AND path LIKE '%appended.vtl'"), 1);
    // Only the appended copy was written (as a file of the recording that is not current): one more
    // generation, which the recording takes, since its day holds one more row.
    EXPECT_EQ(count("SELECT value FROM meta WHERE name = 'generation'"), generation + 1);
    EXPECT_EQ(count("SELECT max(generation) FROM recordings"), generation + 1);
}

TEST_F(IndexTest, AWholeFileAndMoreRecordsReplaceLess) {
    // The same recording: a partial (appended-to) log of 5 ticks, then a
    // partial one of 8, then the whole one of 6 ticks.
    MatchSpec m;
    m.ticks = 5;
    const std::string five = dir.join("five.vtl");
    writeBytes(five, sealedLog(matchText(m)) + "xx");
    m.ticks = 8;
    const std::string eight = dir.join("eight.vtl");
    writeBytes(eight, sealedLog(matchText(m)) + "yy");
    m.ticks = 6;
    const std::string whole = log("six.vtl", m);

    Said r = runIndex({five});
    EXPECT_EQ(r.status, vtl::kNotWhole);
    EXPECT_NE(r.out.find(five + ": indexed 23 records, not whole: "), std::string::npos) << r.out;
    const std::int64_t g1 = count("SELECT generation FROM recordings");
    r = runIndex({eight});
    EXPECT_NE(r.out.find("(in place of " + five + ")"), std::string::npos) << r.out;
    EXPECT_EQ(count("SELECT count(*) FROM pings"), 8);
    EXPECT_GT(count("SELECT generation FROM recordings"), g1);
    r = runIndex({five});
    EXPECT_EQ(r.out, five + ": already indexed\n");
    r = runIndex({whole});
    EXPECT_EQ(r.status, vtl::kWhole);
    EXPECT_EQ(r.out, whole + ": indexed 26 records (in place of " + eight + ")\n");
    EXPECT_EQ(count("SELECT count(*) FROM pings"), 6);
    EXPECT_EQ(count("SELECT count(*) FROM summaries WHERE pings = 6"), 1);
    EXPECT_EQ(count("SELECT count(*) FROM recordings WHERE whole = 1 AND records = 26"), 1);
    EXPECT_EQ(count("SELECT count(*) FROM files"), 3);
    EXPECT_EQ(count("SELECT count(*) FROM files WHERE current = 1 AND path LIKE '%six.vtl'"), 1);
}

TEST_F(IndexTest, ARecoveredLogReplacesItsPartialOne) {
    // A log left open by a crash, keyed as the library keys it.
    vt::keygen::seed(static_cast<std::uint32_t>(os::currentTime() - 5));
    vt::logger logger;
    ASSERT_TRUE(logger.openLog(0, 12, 47, dir.path()));
    logger.writeSysInfo("Volume ID from C-Drive", "ABCD-0001");
    logger.writePingStats(23, "10.0.0.1");
    logger.writeKeyPressed("W");
    logger.flush();
    const std::string partial = logger.currentPath();

    Said r = runIndex({partial}, false);
    EXPECT_EQ(r.status, vtl::kNotWhole);
    EXPECT_NE(r.out.find(partial + ": not indexed: not whole"), std::string::npos) << r.out;
    r = runIndex({partial}, true);
    EXPECT_EQ(r.status, vtl::kNotWhole);
    EXPECT_NE(r.out.find(partial + ": indexed 4 records, not whole: "), std::string::npos) << r.out;
    EXPECT_EQ(count("SELECT count(*) FROM recordings WHERE whole = 0 AND state = 'recovered' AND user_id = 12"), 1);

    vtl::recover::Options o;
    o.files = {partial};
    o.window = 30;
    o.offsets = 20;
    o.seal = true;
    o.outDir = dir.join("out");
    fs::create_directory(o.outDir);
    std::ostringstream said, progress;
    ASSERT_EQ(vtl::recover::run(o, said, progress), 0) << said.str() << progress.str();
    const auto sealed = testsupport::logFiles(o.outDir);
    ASSERT_EQ(sealed.size(), 1u);

    r = runIndex({sealed[0]});
    EXPECT_EQ(r.status, vtl::kWhole) << r.out;
    EXPECT_EQ(r.out, sealed[0] + ": indexed 6 records (in place of " + partial + ")\n");
    EXPECT_EQ(count("SELECT count(*) FROM recordings WHERE whole = 1 AND records = 6 AND recovered_from IS NOT NULL"), 1);
    EXPECT_EQ(count("SELECT count(*) FROM pings"), 1);
    EXPECT_EQ(count("SELECT count(*) FROM sightings"), 1);
    // The partial log, seen again, stays behind the recovered one.
    r = runIndex({partial}, true);
    EXPECT_EQ(r.out, partial + ": already indexed\n");
    logger.closeLog();
}

// ---- a batch that fails --------------------------------------------------------------

TEST_F(IndexTest, AFaultMidBatchLeavesWholeFilesAndARerunFinishes) {
    std::vector<std::string> files;
    for (int i = 0; i < 6; ++i) {
        MatchSpec m;
        m.user = 100 + i;
        m.match = i;
        m.facts = {{"Volume ID from C-Drive", "V" + std::to_string(i % 2)}};
        files.push_back(log("m" + std::to_string(i) + ".vtl", m));
    }
    vt::index::Options options;
    options.search = false;
    options.batch = 3;
    options.idle = false;
    int written = 0;
    options.afterFile = [&](const vt::index::Parsed&) {
        if (++written == 5) throw std::runtime_error("disk I/O error (injected)");
    };
    std::vector<vt::index::Outcome> outcomes;
    std::string error;
    EXPECT_FALSE(vt::index::indexFiles(db(), files, options, [&](const vt::index::Outcome& o) { outcomes.push_back(o); },
                                       error));
    EXPECT_EQ(error, "disk I/O error (injected)");
    ASSERT_EQ(outcomes.size(), 5u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(outcomes[std::size_t(i)].kind, vt::index::Outcome::Indexed);
    for (int i = 3; i < 5; ++i) {
        EXPECT_EQ(outcomes[std::size_t(i)].kind, vt::index::Outcome::NotIndexed);
        EXPECT_NE(outcomes[std::size_t(i)].line.find("refused its batch"), std::string::npos);
    }
    EXPECT_EQ(count("SELECT count(*) FROM recordings"), 3);
    EXPECT_EQ(count("SELECT count(*) FROM files"), 3);
    EXPECT_EQ(count("SELECT count(*) FROM pings"), 30);

    const Said rerun = runIndex(files);
    EXPECT_EQ(rerun.status, vtl::kWhole);
    EXPECT_EQ(std::count(rerun.out.begin(), rerun.out.end(), '\n'), 6);
    EXPECT_EQ(rerun.out.find(files[3] + ": indexed"), rerun.out.find(files[2] + ": already indexed\n") +
                                                          files[2].size() + 18);

    // The same as one clean run.
    testsupport::TempDir other;
    vtl::IndexArgs a;
    a.database = other.join("clean.db");
    a.paths = files;
    std::ostringstream out, err;
    ASSERT_EQ(vtl::indexLogs(a, out, err), vtl::kWhole);
    EXPECT_EQ(testsupport::indexContents(db()), testsupport::indexContents(a.database));
    EXPECT_NE(testsupport::indexContents(db()).find("pings|day=2026-12-08|recording_id=105/5/2026-12-08 10:00:00"), std::string::npos);
}

TEST_F(IndexTest, ArgumentsAndDatabasesThatCannotBeUsed) {
    const std::string a = log("a.vtl", MatchSpec());
    fs::create_directories(dir.join("sub/deeper"));
    const std::string b = log("sub/deeper/b.VTL", [] {
        MatchSpec m;
        m.match = 2;
        return m;
    }());
    writeBytes(dir.join("sub/notes.txt"), "not a log");
    Said r = runIndex({dir.join("sub"), dir.join("missing.vtl")});
    EXPECT_EQ(r.status, vtl::kNotWhole);
    // A file found in a directory is named as the directory walk names it.
    const std::string found = fs::path(b).make_preferred().string();
    EXPECT_NE(r.out.find(found + ": indexed"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(dir.join("missing.vtl") + ": not indexed: "), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("notes.txt"), std::string::npos);

    // A file that is no index is refused, and left as it was.
    const std::string notIndex = dir.join("notes.db");
    writeBytes(notIndex, "plain text, not a database at all, long enough to be looked at.......");
    vtl::IndexArgs args;
    args.database = notIndex;
    args.paths = {a};
    std::ostringstream out, err;
    EXPECT_EQ(vtl::indexLogs(args, out, err), vtl::kUsage);
    EXPECT_NE(err.str().find("vtl index: "), std::string::npos);
    EXPECT_EQ(readBytes(notIndex), "plain text, not a database at all, long enough to be looked at.......");
    EXPECT_EQ(vtl::answer(notIndex, "SELECT 1", false, out, err), vtl::kNotWhole);

    // A database that is no regular file is refused before SQLite makes a journal beside it.
    std::vector<std::string> notFiles = {dir.join("sub")};
#ifndef _WIN32
    notFiles.push_back("/dev/null");
#endif
    for (const auto& notFile : notFiles) {
        args.database = notFile;
        std::ostringstream said, why;
        EXPECT_EQ(vtl::indexLogs(args, said, why), vtl::kUsage) << notFile;
        EXPECT_NE(why.str().find("must be a regular file or not exist yet"), std::string::npos) << why.str();
    }
    EXPECT_FALSE(fs::exists(dir.join("sub-journal")));

    // An index of the first version (rates as integers) is refused, with what to do.
    {
        vt::index::Db old(dir.join("old.db"), vt::index::Db::Mode::ReadWrite);
        old.exec("CREATE TABLE meta (name TEXT PRIMARY KEY, value INTEGER NOT NULL) STRICT; PRAGMA user_version = 1");
    }
    args.database = dir.join("old.db");
    std::ostringstream said, why;
    EXPECT_EQ(vtl::indexLogs(args, said, why), vtl::kUsage);
    EXPECT_NE(why.str().find("schema version 1, made by an earlier vtl"), std::string::npos) << why.str();
    EXPECT_NE(why.str().find("index the logs again into a new database"), std::string::npos) << why.str();
    std::ostringstream asked;
    EXPECT_EQ(vtl::answer(dir.join("old.db"), "SELECT 1", false, out, asked), vtl::kNotWhole);
    EXPECT_NE(asked.str().find("index the logs again into a new database"), std::string::npos) << asked.str();
}

// ---- the questions -----------------------------------------------------------------

class Questions : public IndexTest {
protected:
    void SetUp() override {
        std::vector<std::string> files;
        int n = 0;
        auto match = [&](std::int64_t user, const std::vector<std::pair<std::string, std::string>>& facts,
                         const std::string& day = "08.12.2026", std::vector<std::pair<int, std::string>> extra = {}) {
            MatchSpec m;
            m.user = user;
            m.match = 1000 + n;
            m.day = day;
            m.facts = facts;
            m.extra = std::move(extra);
            files.push_back(log("q" + std::to_string(n++) + ".vtl", m));
        };
        const std::pair<std::string, std::string> volume = {"Volume ID from C-Drive", "AAAA-0001"};
        const std::string mac = "Mac Address";
        // Accounts 1 and 2 share a volume, account 1 in two matches.
        match(1, {volume, {mac, "NIC @ 00-11-22-33-44-01"}});
        match(1, {volume}, "09.12.2026");
        match(2, {volume, {mac, "NIC @ 00-11-22-33-44-02"}});
        // A MAC on 25 accounts: a cloned image.
        for (int u = 100; u < 125; ++u) match(u, {{mac, "Cloned NIC @ 00-50-56-00-00-01"}});
        // A weak MAC (locally administered) shared by 3 and 4.
        match(3, {{mac, "Virtual @ 02-42-ac-11-00-02"}});
        match(4, {{mac, "Virtual @ 02-42-ac-11-00-02"}},  "10.12.2026",
              {{4, "Process;Add;PID:666:Path:D:\\Tools\\Aim_Helper.EXE"},
               {5, "TCP;Add;LocalIp:192.168.1.2:LocalPort:50001:RemoteIp:198.51.100.20:RemotePort:8080:PID:666:Path:D:\\Tools\\Aim_Helper.EXE"}});
        // A chain: 6 - 7 by one volume, 7 - 8 by another.
        match(6, {{"Volume ID from C-Drive", "CHAIN-1"}});
        match(7, {{"Volume ID from C-Drive", "CHAIN-1"}, {"Volume ID from C-Drive", "CHAIN-2"}});
        match(8, {{"Volume ID from C-Drive", "CHAIN-2"}});
        const Said r = runIndex(files);
        ASSERT_EQ(r.status, vtl::kWhole) << r.out << r.err;
    }

    std::string links(vtl::LinksArgs a, bool json = false) {
        a.database = db();
        a.json = json;
        const Said r = ask([&](std::ostream& o, std::ostream& e) { return vtl::links(a, o, e); });
        EXPECT_EQ(r.status, vtl::kWhole) << r.err;
        return r.out;
    }

    Said find(vtl::FindArgs a) {
        a.database = db();
        return ask([&](std::ostream& o, std::ostream& e) { return vtl::findMatches(a, o, e); });
    }
};

const std::string kLinksHeader = "user_a\tuser_b\tstrength\tshared\tkind\tidentifier\tweak\tmark\taccounts\t"
                                 "matches_a\tmatches_b\tfirst_day_a\tlast_day_a\tfirst_day_b\tlast_day_b\tsame_time\n";

TEST_F(Questions, LinksGiveExactlyTheSharedIdentifiers) {
    const std::string chain = "6\t7\t1.0\t1\tvolume\tCHAIN-1\t0\t\\N\t2\t1\t1\t2026-12-08\t2026-12-08\t2026-12-08\t2026-12-08\t0\n"
                              "7\t8\t1.0\t1\tvolume\tCHAIN-2\t0\t\\N\t2\t1\t1\t2026-12-08\t2026-12-08\t2026-12-08\t2026-12-08\t0\n";
    EXPECT_EQ(links({}), kLinksHeader +
                             "1\t2\t1.0\t1\tvolume\tAAAA-0001\t0\t\\N\t2\t2\t1\t2026-12-08\t2026-12-09\t2026-12-08\t2026-12-08\t0\n" +
                             chain);
    // Docker's bridge identifies no one machine: shown only when asked for.
    vtl::LinksArgs a;
    a.kind = "mac";
    EXPECT_EQ(links(a), kLinksHeader);
    a.weak = true;
    const std::string docker =
        "3\t4\t1.0\t1\tmac\t02-42-ac-11-00-02\t1\tvirtual\t2\t1\t1\t2026-12-08\t2026-12-08\t2026-12-10\t2026-12-10\t0\n";
    EXPECT_EQ(links(a), kLinksHeader + docker);
    // The cloned MAC on 25 accounts weighs 2/25 a pair: below the least strength,
    // and with --common 24 not counted at all.
    a.common = 25;
    EXPECT_EQ(links(a), kLinksHeader + docker);
    a.strength = 0;
    const std::string all = links(a);
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 1 + 1 + 300);
    EXPECT_NE(all.find(kLinksHeader + docker + "100\t101\t0.08\t1\tmac\t00-50-56-00-00-01\t0\t\\N\t25\t"), std::string::npos)
        << all.substr(0, 400);
    a.common = 24;
    EXPECT_EQ(links(a), kLinksHeader + docker);
    // A cluster reaches every account linked at any distance, and nothing else.
    vtl::LinksArgs c;
    c.user = 8;
    EXPECT_EQ(links(c), kLinksHeader + chain);
    c.user = 5;
    EXPECT_EQ(links(c), kLinksHeader);
    c.user = 2;
    c.json = true;
    EXPECT_EQ(links(c, true), "{\"user_a\":1,\"user_b\":2,\"strength\":1.0,\"shared\":1,\"kind\":\"volume\","
                              "\"identifier\":\"AAAA-0001\",\"weak\":0,\"mark\":null,\"accounts\":2,\"matches_a\":2,"
                              "\"matches_b\":1,\"first_day_a\":\"2026-12-08\",\"last_day_a\":\"2026-12-09\","
                              "\"first_day_b\":\"2026-12-08\",\"last_day_b\":\"2026-12-08\",\"same_time\":0}\n");
}

TEST_F(Questions, SqlPrintsTheStatementThatRuns) {
    vtl::LinksArgs a;
    a.database = db();
    a.user = 2;
    a.sql = true;
    const Said printed = ask([&](std::ostream& o, std::ostream& e) { return vtl::links(a, o, e); });
    EXPECT_EQ(printed.status, vtl::kWhole);
    ASSERT_EQ(printed.out.substr(printed.out.size() - 2), ";\n");
    const Said direct = ask([&](std::ostream& o, std::ostream& e) {
        return vtl::answer(db(), printed.out.substr(0, printed.out.size() - 2), false, o, e);
    });
    a.sql = false;
    EXPECT_EQ(direct.out, links(a));

    vtl::FindArgs f;
    f.question.program = "it's.exe";
    f.sql = true;
    const Said quoted = find(f);
    EXPECT_NE(quoted.out.find("p.name_lower = 'it''s.exe'"), std::string::npos) << quoted.out;
    f.sql = false;
    const Said none = find(f);
    EXPECT_EQ(none.status, vtl::kWhole) << none.err;
    EXPECT_EQ(std::count(none.out.begin(), none.out.end(), '\n'), 1);
}

TEST_F(Questions, FindByProgramPathAndRemote) {
    vtl::FindArgs f;
    f.question.program = "AIM_helper.exe";
    Said r = find(f);
    const std::string header = "day\tuser_id\tmatch_id\tstarted\tprogram\tprocesses\tfirst_started\tlast_ended\t"
                               "already_running\tstill_running\trecording_id\n";
    EXPECT_EQ(r.out, header + "2026-12-10\t4\t1029\t2026-12-10 10:00:00\tD:\\\\Tools\\\\Aim_Helper.EXE\t1\t"
                              "2026-12-10 10:00:04\t\\N\t0\t1\t30\n");
    f.question.program.clear();
    f.question.path = "tools\\aim_";  // '_' is literal, not any character
    EXPECT_EQ(find(f).out, r.out);
    f.question.path = "tools\\aimx";
    EXPECT_EQ(find(f).out, header);
    f.question.path = "\\client\\";
    EXPECT_EQ(lineCount(find(f).out), 1 + 33);
    f.question.from = "2026-12-09";
    f.question.to = "2026-12-09";
    r = find(f);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2);
    EXPECT_NE(r.out.find("2026-12-09\t1\t1001\t"), std::string::npos);

    vtl::FindArgs n;
    n.question.remote = "198.51.100.0/24:8080";
    r = find(n);
    EXPECT_EQ(r.out, "day\tuser_id\tmatch_id\tstarted\tprotocol\tremote_ip\tremote_port\tprogram\tconnections\t"
                     "first_opened\tlast_closed\tstill_open\trecording_id\n"
                     "2026-12-10\t4\t1029\t2026-12-10 10:00:00\tTCP\t198.51.100.20\t8080\t"
                     "D:\\\\Tools\\\\Aim_Helper.EXE\t1\t2026-12-10 10:00:05\t\\N\t1\t30\n");
    n.question.remote = "198.51.100.20";  // the first address of its block, and the last
    EXPECT_EQ(lineCount(find(n).out), 2);
    n.question.remote = "198.51.100.0/24:8081";
    EXPECT_EQ(lineCount(find(n).out), 1);
    n.question.remote = "203.0.113.0/29";
    EXPECT_EQ(lineCount(find(n).out), 1 + 33);

    for (const auto& bad : {"300.1.1.1", "10.0.0.0/40"}) {
        vtl::FindArgs b;
        b.question.remote = bad;
        const Said r = find(b);
        EXPECT_EQ(r.status, vtl::kUsage) << bad;
        EXPECT_NE(r.err.find("--remote takes an IPv4 address"), std::string::npos) << r.err;
    }
    vtl::FindArgs day;
    day.question.program = "x";
    for (const char* bad : {"2026-13-01", "2026-02-31"}) {
        day.question.from = bad;
        EXPECT_EQ(find(day).status, vtl::kUsage) << bad;
    }
    EXPECT_EQ(find(vtl::FindArgs()).status, vtl::kUsage);
}

TEST_F(Questions, TrendsByDayWeekAndMatch) {
    vtl::TrendArgs t;
    t.database = db();
    t.ping = true;
    Said r = ask([&](std::ostream& o, std::ostream& e) { return vtl::trend(t, o, e); });
    EXPECT_EQ(r.status, vtl::kWhole) << r.err;
    // Every match: 8 answered pings (21..29 without 25 and 30), median 24, p95 29, mean 25.0.
    EXPECT_EQ(r.out, "day\tmatches\tpings\tno_answers\tping_p50\tping_p95\tworst_p95\tping_average\n"
                     "2026-12-08\t31\t310\t62\t24.0\t29.0\t29.0\t25.0\n"
                     "2026-12-09\t1\t10\t2\t24.0\t29.0\t29.0\t25.0\n"
                     "2026-12-10\t1\t10\t2\t24.0\t29.0\t29.0\t25.0\n");
    t.by = "week";
    t.user = 1;
    t.server = "203.0.113.7";
    r = ask([&](std::ostream& o, std::ostream& e) { return vtl::trend(t, o, e); });
    EXPECT_EQ(r.out, "week\tmatches\tpings\tno_answers\tping_p50\tping_p95\tworst_p95\tping_average\n"
                     "2026-12-07\t2\t20\t4\t24.0\t29.0\t29.0\t25.0\n");
    t.server = "192.0.2.1";
    r = ask([&](std::ostream& o, std::ostream& e) { return vtl::trend(t, o, e); });
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1);
    t.ping = false;
    t.rate = true;
    t.server.clear();
    t.by = "match";
    t.json = true;
    r = ask([&](std::ostream& o, std::ostream& e) { return vtl::trend(t, o, e); });
    // Rates 1001..1010 sent, 2001..2010 received.
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')),
              "{\"day\":\"2026-12-08\",\"user_id\":1,\"match_id\":1000,\"started\":\"2026-12-08 10:00:00\","
              "\"matches\":1,\"tx_bytes_per_s\":1005.5,\"rx_bytes_per_s\":2005.5,\"top_tx_bytes_per_s\":1005.5,"
              "\"top_rx_bytes_per_s\":2005.5}");
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2);
}

TEST_F(Questions, QueryIsReadOnlyAndOneStatement) {
    Said r = ask([&](std::ostream& o, std::ostream& e) {
        return vtl::answer(db(), "SELECT 'a\tb' AS x, NULL AS y, 2.5 AS z", false, o, e);
    });
    EXPECT_EQ(r.out, "x\ty\tz\na\\tb\t\\N\t2.5\n");
    r = ask([&](std::ostream& o, std::ostream& e) { return vtl::answer(db(), "DELETE FROM pings", false, o, e); });
    EXPECT_EQ(r.status, vtl::kNotWhole);
    EXPECT_GT(count("SELECT count(*) FROM pings"), 0);
    r = ask([&](std::ostream& o, std::ostream& e) {
        return vtl::answer(db(), "SELECT 1; DELETE FROM pings", false, o, e);
    });
    EXPECT_EQ(r.status, vtl::kNotWhole);
    EXPECT_NE(r.err.find("one statement"), std::string::npos);
    r = ask([&](std::ostream& o, std::ostream& e) { return vtl::answer(db(), "SELECT 1; -- done", false, o, e); });
    EXPECT_EQ(r.status, vtl::kWhole) << r.err;
    r = ask([&](std::ostream& o, std::ostream& e) { return vtl::answer(dir.join("none.db"), "SELECT 1", false, o, e); });
    EXPECT_EQ(r.status, vtl::kNotWhole);
    EXPECT_FALSE(fs::exists(dir.join("none.db")));
}

}  // namespace
