// The index and the report read one log alike: the same processes and
// connections, each with the same start, end and marks.
#include "index/ingest.h"
#include "report/model.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

// A lifetime as both readers can give it: its texts, its times as
// "YYYY-MM-DD hh:mm:ss" (empty for an Add not seen, or an end not seen) and its marks.
using Row = std::tuple<std::string, std::string, std::string, std::string, std::string, std::string, bool, bool>;

std::string iso(long long seconds) {
    return vt::index::isoTime(vt::report::dateText(seconds) + " " + vt::report::clockText(seconds));
}

std::vector<Row> fromReport(const vt::report::Model& m) {
    std::vector<Row> rows;
    for (const auto& p : m.processes)
        rows.emplace_back("Process", std::string(m.text(p.pid)), std::string(m.text(p.path)), "",
                          p.addSeen ? iso(p.start) : "", p.open ? "" : iso(p.end), p.atStart, p.open);
    for (const auto& c : m.connections)
        rows.emplace_back(std::string(m.text(c.proto)), std::string(m.text(c.pid)), std::string(m.text(c.path)),
                          std::string(m.text(c.local)) + ">" + std::string(m.text(c.remote)),
                          c.addSeen ? iso(c.start) : "", c.open ? "" : iso(c.end), c.atStart, c.open);
    return rows;
}

std::string number(const std::optional<std::int64_t>& n) { return n ? std::to_string(*n) : std::string(); }

std::vector<Row> fromIndex(const vt::index::Parsed& p) {
    std::vector<Row> rows;
    for (const auto& x : p.processes)
        rows.emplace_back("Process", number(x.pid), x.path, "", x.started, x.ended, x.already, x.still);
    for (const auto& c : p.connections) {
        const std::string remote = c.remoteIp.empty() ? "" : c.remoteIp + ":" + number(c.remotePort);
        rows.emplace_back(c.protocol, number(c.pid), c.path, c.localIp + ":" + number(c.localPort) + ">" + remote,
                          c.opened, c.closed, c.already, c.still);
    }
    return rows;
}

// 500 ms ticks: the awkward cases of an ordinary log.
const char kLog[] =
    "08.12.2026 10:00:00;Info;Start;Logfile start:UserId:12:MatchId:47\n"
    "08.12.2026 10:00:00;UDP;Add;LocalIp:0.0.0.0:LocalPort:53:PID:7:Path:/dns\n"
    "08.12.2026 10:00:00;Process;Add;PID:1:Path:/init\n"
    // The first poll crosses a second.
    "08.12.2026 10:00:01;Process;Add;PID:2:Path:/game\n"
    // Two seconds in: started during the recording.
    "08.12.2026 10:00:02;Process;Add;PID:3:Path:/late\n"
    // A Del without an Add.
    "08.12.2026 10:00:05;Process;Del;PID:9:Path:/ghost\n"
    // A swap within one tick: the same key goes and comes again.
    "08.12.2026 10:00:06;Process;Del;PID:2:Path:/game\n"
    "08.12.2026 10:00:06;Process;Add;PID:2:Path:/game\n"
    "08.12.2026 10:00:07;TCP;Add;LocalIp:10.0.0.2:LocalPort:5001:RemoteIp:10.0.0.9:RemotePort:80:PID:3:Path:/late\n"
    // The owner's path reads differently when the connection goes.
    "08.12.2026 10:00:09;TCP;Del;LocalIp:10.0.0.2:LocalPort:5001:RemoteIp:10.0.0.9:RemotePort:80:PID:3:"
    "Path:System: No Handle available\n"
    // A kind with no meaning of its own to either reader, and one of no known shape.
    "08.12.2026 10:00:10;Info;Recovered;Logfile recovered:From:a.vtl:Records:3\n"
    "08.12.2026 10:00:10;Hologram;Beam;Power:9\n"
    "08.12.2026 10:00:12;Info;Stop;Logfile end\n";

TEST(ReadersAgree, OnEveryLifetimeOfTheAwkwardLog) {
    const vt::report::Model m = vt::report::buildModel({vt::report::Source{"match.vtl", true, "", kLog}});
    vt::index::Parsed p;
    vt::index::parseText(kLog, p);
    ASSERT_TRUE(p.failure.empty()) << p.failure;

    const std::vector<Row> expected = {
        {"Process", "1", "/init", "", "2026-12-08 10:00:00", "", true, true},
        {"Process", "2", "/game", "", "2026-12-08 10:00:01", "2026-12-08 10:00:06", true, false},
        {"Process", "3", "/late", "", "2026-12-08 10:00:02", "", false, true},
        {"Process", "9", "/ghost", "", "", "2026-12-08 10:00:05", true, false},
        {"Process", "2", "/game", "", "2026-12-08 10:00:06", "", false, true},
        {"UDP", "7", "/dns", "0.0.0.0:53>", "2026-12-08 10:00:00", "", true, true},
        {"TCP", "3", "/late", "10.0.0.2:5001>10.0.0.9:80", "2026-12-08 10:00:07", "2026-12-08 10:00:09", false,
         false},
    };
    EXPECT_EQ(fromReport(m), expected);
    EXPECT_EQ(fromIndex(p), expected);

    // Neither reader drops the records it has no view of.
    ASSERT_EQ(m.otherKinds.size(), 1u);
    EXPECT_EQ(m.otherKinds[0].kind, vt::schema::Kind::InfoRecovered);
    EXPECT_EQ(m.otherKinds[0].rows, 1u);
    ASSERT_EQ(p.others.size(), 2u);
    EXPECT_EQ(p.others[0].raw, "08.12.2026 10:00:10;Info;Recovered;Logfile recovered:From:a.vtl:Records:3");
    EXPECT_EQ(p.others[0].kind, "Info");
    EXPECT_EQ(p.recoveredFrom, "a.vtl");
    EXPECT_EQ(p.others[1].raw, "08.12.2026 10:00:10;Hologram;Beam;Power:9");
    EXPECT_EQ(p.records, 13);
}

}  // namespace
