#include "common/civil.h"
#include "events/events.h"
#include "read/records.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <string>
#include <vector>

namespace {

using vt::events::Event;
using vt::events::Family;
using vt::events::Lifetime;
using vt::events::Reader;
using vt::events::Type;

std::int64_t secondsOf(const char* stamp) {
    std::int64_t s = -1;
    EXPECT_TRUE(vt::civil::stampSeconds(stamp, s)) << stamp;
    return s;
}

// A log's lines through one reader; the records are kept for the events' texts.
struct Reading {
    std::deque<vt::read::Record> records;
    std::vector<Event> events;
    Reader reader;
    // A line that ends in "(cut)" stands for one cut short: its first bytes only.
    explicit Reading(const std::vector<std::string>& lines) {
        const std::string mark = " (cut)";
        for (const auto& l : lines) {
            const bool cut = l.size() > mark.size() && l.compare(l.size() - mark.size(), mark.size(), mark) == 0;
            records.push_back(vt::read::parseRecord(cut ? l.substr(0, l.size() - mark.size()) : l));
            records.back().cut = cut;
            events.push_back(reader.take(records.back()));
        }
        reader.finish();
    }
    const Lifetime& life(std::size_t i) const { return reader.lifetimes().at(i); }
};

TEST(Stamps, OneRangeCheckedRule) {
    EXPECT_EQ(secondsOf("01.01.1970 00:00:00"), 0);
    EXPECT_EQ(secondsOf("01.01.1970 00:00:01"), 1);
    EXPECT_EQ(secondsOf("01.03.2024 00:00:00") - secondsOf("28.02.2024 00:00:00"), 2 * 86400) << "2024 is leap";
    EXPECT_EQ(secondsOf("01.03.2100 00:00:00") - secondsOf("28.02.2100 00:00:00"), 86400) << "2100 is not";
    EXPECT_EQ(secondsOf("01.03.2000 00:00:00") - secondsOf("28.02.2000 00:00:00"), 2 * 86400) << "2000 is";
    EXPECT_EQ(secondsOf("01.01.2027 00:00:00") - secondsOf("31.12.2026 23:59:59"), 1);
    EXPECT_EQ(secondsOf("31.12.2026 23:59:60"), secondsOf("01.01.2027 00:00:00")) << "a leap second";
    std::int64_t s = 0;
    for (const char* bad : {"31.02.2026 10:00:00", "29.02.2026 10:00:00", "29.02.1900 10:00:00",
                            "31.04.2026 10:00:00", "00.01.2026 10:00:00", "01.13.2026 10:00:00",
                            "01.01.0000 10:00:00", "08.12.2026 24:00:00", "08.12.2026 10:60:00",
                            "08.12.2026 10:00:61", "8.12.2026 10:00:00", "08.12.2026 10:00:0x",
                            "08.12.20261 10:00:00", "08-12-2026 10:00:00", "08.12.2026 10:00:00 ", ""})
        EXPECT_FALSE(vt::civil::stampSeconds(bad, s)) << bad;
    // And back: the date of a second, before 1970 too.
    for (const char* stamp : {"29.02.2028 12:00:00", "01.01.1969 00:00:00", "31.12.1969 23:59:59"}) {
        const auto d = vt::civil::civilFromDays(vt::civil::dayOf(secondsOf(stamp)));
        char text[32];
        std::snprintf(text, sizeof text, "%02u.%02u.%04lld", d.day, d.month, static_cast<long long>(d.year));
        EXPECT_EQ(std::string(stamp).substr(0, 10), text);
    }
    char iso[19];
    vt::civil::isoFromStamp("29.02.2028 23:59:60", iso);
    EXPECT_EQ(std::string(iso, 19), "2028-02-29 23:59:60");
}

TEST(Events, EachRecordItsTypeAndTime) {
    Reading run({"08.12.2026 10:00:00;Info;Start;Logfile start:UserId:12:MatchId:47",
             "08.12.2026 10:00:00;SysInfo;Volume ID from C-Drive;Value:1a:2b",
             "08.12.2026 10:00:01;Key;Pressed;Name:W",
             "31.02.2026 10:00:01;Key;Pressed;Name:A",
             "08.12.2026 10:00:02;Ping;Stats;Server:10.0.0.1:Actual:42",
             "08.12.2026 10:00:02;Ping;Stats;Server:10.0.0.1:Actual:4x",
             "08.12.2026 10:00:02;Ethernet;Stats;Adapter:eth:0:TxD:1.5e+003:Bytes/s:RxD:inf:Bytes/s",
             "08.12.2026 10:00:03;Info;Recovered;Logfile recovered:From:a.vtl:Records:3",
             "08.12.2026 10:00:03;Hologram;Beam;Power:9",
             "no record at all",
             "08.12.2026 10:00:03;Key;Pressed;Name:X (cut)",
             "08.12.2026 10:00:04;Info;Stop;Logfile end"});
    const auto& e = run.events;
    const Type types[] = {Type::Start, Type::Fact, Type::Key, Type::Key,   Type::Ping, Type::Ping,
                          Type::Rate,  Type::Other, Type::Other, Type::Other, Type::Other, Type::Stop};
    ASSERT_EQ(e.size(), sizeof types / sizeof types[0]);
    for (std::size_t i = 0; i < e.size(); ++i) {
        EXPECT_EQ(e[i].type, types[i]) << i;
        EXPECT_EQ(e[i].line, std::int64_t(i + 1));
        EXPECT_EQ(e[i].record, &run.records[i]);
    }
    EXPECT_EQ(e[0].value, "12");
    EXPECT_EQ(e[0].detail, "47");
    EXPECT_EQ(e[1].name, "Volume ID from C-Drive");
    EXPECT_EQ(e[1].value, "1a:2b");
    EXPECT_EQ(e[2].name, "W");
    EXPECT_EQ(e[4].name, "10.0.0.1");
    EXPECT_EQ(e[4].number, 42);
    EXPECT_FALSE(e[5].number);
    EXPECT_EQ(e[6].name, "eth:0");
    EXPECT_EQ(e[6].tx, 1500.0);
    EXPECT_FALSE(e[6].rx) << "inf is no rate";
    // Times: a stamp that names no time takes the one before it.
    EXPECT_TRUE(e[0].at.own);
    EXPECT_EQ(e[0].at.seconds, secondsOf("08.12.2026 10:00:00"));
    EXPECT_FALSE(e[1].newStamp);
    EXPECT_TRUE(e[2].newStamp);
    EXPECT_FALSE(e[3].at.own);
    EXPECT_EQ(e[3].at.seconds, secondsOf("08.12.2026 10:00:01"));
    EXPECT_FALSE(e[9].at.own);
    EXPECT_EQ(e[11].at.seconds, secondsOf("08.12.2026 10:00:04"));
}

TEST(Events, WhatTheFirstPollListsIsThereAtTheStart) {
    const std::string start = "08.12.2026 10:00:00;Info;Start;Logfile start:UserId:12:MatchId:47";
    struct Case {
        const char* why;
        std::vector<std::string> lines;
        std::vector<bool> atStart;  // of each lifetime in turn
    } cases[] = {
        {"a poll that begins a second late and crosses a second; the next tick begins with UDP again",
         {start, "08.12.2026 10:00:01;UDP;Add;LocalIp:0.0.0.0:LocalPort:53:PID:7:Path:/dns",
          "08.12.2026 10:00:01;TCP;Add;LocalIp:1.0.0.2:LocalPort:5:RemoteIp:1.0.0.9:RemotePort:80:PID:3:Path:/a",
          "08.12.2026 10:00:02;Process;Add;PID:1:Path:/init", "08.12.2026 10:00:02;Key;Pressed;Name:W",
          "08.12.2026 10:00:02;Process;Add;PID:2:Path:/game",
          "08.12.2026 10:00:02;UDP;Add;LocalIp:0.0.0.0:LocalPort:54:PID:7:Path:/dns",
          "08.12.2026 10:00:02;Process;Add;PID:3:Path:/new"},
         {true, true, true, true, false, false}},
        {"the first Del ends it",
         {start, "08.12.2026 10:00:00;Process;Add;PID:1:Path:/init", "08.12.2026 10:00:00;Process;Del;PID:1:Path:/init",
          "08.12.2026 10:00:00;Process;Add;PID:2:Path:/new"},
         {true, false}},
        {"a process that first appears 2 s in started during the recording",
         {start, "08.12.2026 10:00:00;Process;Add;PID:1:Path:/init", "08.12.2026 10:00:01;Process;Add;PID:2:Path:/b",
          "08.12.2026 10:00:02;Process;Add;PID:3:Path:/c", "08.12.2026 10:00:02;Process;Add;PID:4:Path:/d"},
         {true, true, false, false}},
    };
    for (const auto& c : cases) {
        Reading run(c.lines);
        ASSERT_EQ(run.reader.lifetimes().size(), c.atStart.size()) << c.why;
        for (std::size_t i = 0; i < c.atStart.size(); ++i) EXPECT_EQ(run.life(i).atStart, c.atStart[i]) << c.why << " " << i;
    }
}

TEST(Events, AddAndDelPairedByOneKeyPerKind) {
    Reading run({"08.12.2026 10:00:00;Info;Start;Logfile start:UserId:12:MatchId:47",
             "08.12.2026 10:00:10;Process;Add;PID:3:Path:/a",
             "08.12.2026 10:00:10;TCP;Add;LocalIp:10.0.0.2:LocalPort:5001:RemoteIp:10.0.0.9:RemotePort:80:PID:3:Path:/a",
             "08.12.2026 10:00:10;UDP;Add;LocalIp:10.0.0.2:LocalPort:5001:PID:3:Path:/a",
             // A swap within one tick: the same key goes and comes again.
             "08.12.2026 10:00:20;Process;Del;PID:3:Path:/a",
             "08.12.2026 10:00:20;Process;Add;PID:3:Path:/b",
             // The owner's path reads differently when the connection goes.
             "08.12.2026 10:00:30;TCP;Del;LocalIp:10.0.0.2:LocalPort:5001:RemoteIp:10.0.0.9:RemotePort:80:PID:3:Path:System: No Handle available",
             "08.12.2026 10:00:31;Process;Del;PID:9:Path:/ghost",
             "08.12.2026 10:00:40;Process;Del;PID:3:Path:/b (as read later)",
             "08.12.2026 10:00:50;Info;Stop;Logfile end"});
    const auto& e = run.events;
    ASSERT_EQ(run.reader.lifetimes().size(), 5u);
    const Lifetime &a = run.life(0), &tcp = run.life(1), &udp = run.life(2), &b = run.life(3), &ghost = run.life(4);
    EXPECT_EQ(a.family, Family::Process);
    EXPECT_EQ(a.path, "/a");
    EXPECT_EQ(a.closed.seconds - a.opened.seconds, 10);
    EXPECT_EQ(e[4].type, Type::Closed);
    EXPECT_EQ(e[4].lifetime, 0u);
    EXPECT_EQ(e[5].lifetime, 3u);
    EXPECT_EQ(b.path, "/b");
    EXPECT_EQ(b.closed.seconds - b.opened.seconds, 20);
    EXPECT_FALSE(b.open);
    EXPECT_EQ(tcp.family, Family::Tcp);
    EXPECT_EQ(tcp.remoteIp, "10.0.0.9");
    EXPECT_EQ(tcp.remotePort, "80");
    EXPECT_EQ(tcp.path, "/a") << "as the Add read it";
    EXPECT_FALSE(tcp.open);
    EXPECT_EQ(tcp.closed.seconds, secondsOf("08.12.2026 10:00:30"));
    EXPECT_EQ(udp.family, Family::Udp);
    EXPECT_TRUE(udp.open) << "a TCP Del does not close a UDP endpoint of the same address";
    EXPECT_EQ(udp.closed.seconds, secondsOf("08.12.2026 10:00:50"));
    EXPECT_FALSE(udp.closed.own);
    EXPECT_FALSE(ghost.addSeen);
    EXPECT_TRUE(ghost.atStart) << "gone without having come: there before the log";
    EXPECT_EQ(ghost.opened.seconds, secondsOf("08.12.2026 10:00:00"));
    EXPECT_FALSE(ghost.opened.own);
    EXPECT_EQ(ghost.line, 8);
}

TEST(Events, TwoOpenOfOneKeyCloseOldestFirst) {
    Reading run({"08.12.2026 10:00:00;Info;Start;Logfile start:UserId:12:MatchId:47",
             "08.12.2026 10:00:10;Process;Add;PID:3:Path:/a",
             "08.12.2026 10:00:11;Process;Add;PID:3:Path:/a",
             "08.12.2026 10:00:12;Process;Del;PID:3:Path:/a"});
    EXPECT_FALSE(run.life(0).open);
    EXPECT_TRUE(run.life(1).open);
    EXPECT_EQ(run.life(1).closed.seconds, secondsOf("08.12.2026 10:00:12")) << "open to the log's last moment";
    EXPECT_EQ(vt::events::integer("-12"), -12);
    for (const char* bad : {"", "-", "+1", "1 ", "1234567890123456789"}) EXPECT_FALSE(vt::events::integer(bad)) << bad;
}

}  // namespace
