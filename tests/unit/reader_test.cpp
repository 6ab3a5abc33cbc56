#include "common/printable.h"
#include "log/container.h"
#include "log/file_source.h"
#include "log/format.h"
#include "log/logger.h"
#include "read/records.h"
#include "report/report.h"
#include "verbs.h"
#include "common/schema.h"
#include "support/log_text.h"
#include "support/records.h"
#include "support/temp_dir.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <functional>
#include <set>
#include <sstream>

namespace {

using vt::read::parseRecord;
using Fields = std::vector<std::pair<std::string, std::string>>;

TEST(ParseRecord, SplitsEveryKindIntoItsFields) {
    struct Case {
        const char* line;
        const char* kind;
        const char* action;
        Fields fields;
    } cases[] = {
        {"01.02.2026 03:04:05;UDP;Add;LocalIp:0.0.0.0:LocalPort:53:PID:7:Path:C:\\Windows\\dns.exe", "UDP", "Add",
         {{"LocalIp", "0.0.0.0"}, {"LocalPort", "53"}, {"PID", "7"}, {"Path", "C:\\Windows\\dns.exe"}}},
        {"01.02.2026 03:04:05;TCP;Del;LocalIp:192.168.1.10:LocalPort:501:RemoteIp:10.0.0.5:RemotePort:443:PID:204:"
         "Path:C:\\Games\\client.exe",
         "TCP", "Del",
         {{"LocalIp", "192.168.1.10"}, {"LocalPort", "501"}, {"RemoteIp", "10.0.0.5"}, {"RemotePort", "443"},
          {"PID", "204"}, {"Path", "C:\\Games\\client.exe"}}},
        {"01.02.2026 03:04:05;Process;Add;PID:4:Path:System: No Handle available", "Process", "Add",
         {{"PID", "4"}, {"Path", "System: No Handle available"}}},
        {"01.02.2026 03:04:05;Ethernet;Stats;Adapter:Intel: Gigabit:TxD:123.4:Bytes/s:RxD:1.23457e+006:Bytes/s",
         "Ethernet", "Stats", {{"Adapter", "Intel: Gigabit"}, {"TxD", "123.4"}, {"RxD", "1.23457e+006"}}},
        {"01.02.2026 03:04:05;Ethernet;Stats;Adapter:a:RxD:1:TxD:2:Bytes/s:TxD:3:Bytes/s:RxD:4:Bytes/s", "Ethernet",
         "Stats", {{"Adapter", "a:RxD:1:TxD:2:Bytes/s"}, {"TxD", "3"}, {"RxD", "4"}}},
        {"01.02.2026 03:04:05;Ping;Stats;Server:10.0.0.1:Actual:1000", "Ping", "Stats",
         {{"Server", "10.0.0.1"}, {"Actual", "1000"}}},
        {"01.02.2026 03:04:05;Key;Pressed;Name:Ctrl:Alt", "Key", "Pressed", {{"Name", "Ctrl:Alt"}}},
        {"01.02.2026 03:04:05;Key;Pressed;Name:", "Key", "Pressed", {{"Name", ""}}},
        {"01.02.2026 03:04:05;SysInfo;Mac Address;Value:eth0 @ 00-0c-29-aa-bb-cc", "SysInfo", "Mac Address",
         {{"Value", "eth0 @ 00-0c-29-aa-bb-cc"}}},
        {"01.02.2026 03:04:05;Info;Start;Logfile start:UserId:12:MatchId:47", "Info", "Start",
         {{"UserId", "12"}, {"MatchId", "47"}}},
        {"01.02.2026 03:04:05;Info;Stop;Logfile end", "Info", "Stop", {}},
    };
    for (const auto& c : cases) {
        auto r = parseRecord(c.line);
        EXPECT_EQ(r.stamp, "01.02.2026 03:04:05");
        EXPECT_EQ(r.kind, c.kind);
        EXPECT_EQ(r.action, c.action);
        EXPECT_EQ(r.fields, c.fields) << c.line;
        EXPECT_EQ(r.raw, c.line);
        EXPECT_TRUE(r.known);
        EXPECT_FALSE(r.cut);
    }
}

TEST(ParseRecord, LinesOfNoKnownShapeAreSplitIntoPairs) {
    auto r = parseRecord("garbage without separators");
    EXPECT_TRUE(r.kind.empty());
    EXPECT_TRUE(r.fields.empty());
    EXPECT_EQ(r.raw, "garbage without separators");
    EXPECT_EQ(parseRecord("01.02.2026 03:04:05;New;Kind;A:1:B").fields, (Fields{{"A", "1"}, {"B", ""}}));
    EXPECT_EQ(parseRecord("01.02.2026 03:04:05;New;Kind;A:1:").fields, (Fields{{"A", "1"}, {"", ""}}));
    // Known kinds whose fields are not where they belong.
    struct Case {
        const char* line;
        Fields fields;
    } cases[] = {
        // Short Ethernet fields: a number and its unit are missing.
        {"01.02.2026 03:04:05;Ethernet;Stats;Adapter:a:TxD:Bytes/s:RxD:1:Bytes/s",
         {{"Adapter", "a"}, {"TxD", "Bytes/s"}, {"RxD", "1"}, {"Bytes/s", ""}}},
        {"01.02.2026 03:04:05;Ethernet;Stats;Adapter:eth0:TxD:RxD:Bytes/s",
         {{"Adapter", "eth0"}, {"TxD", "RxD"}, {"Bytes/s", ""}}},
        {"01.02.2026 03:04:05;Ethernet;Stats;Adapter:TxD:1:Bytes/s:RxD:2", {{"Adapter", "TxD"}, {"1", "Bytes/s"}, {"RxD", "2"}}},
        {"01.02.2026 03:04:05;Ethernet;Stats;:Bytes/s", {{"", "Bytes/s"}}},
        {"01.02.2026 03:04:05;Process;Add;Path:x:PID:1", {{"Path", "x"}, {"PID", "1"}}},
        {"01.02.2026 03:04:05;TCP;Add;LocalIp:1", {{"LocalIp", "1"}}},
        {"01.02.2026 03:04:05;Info;Stop;Logfile end:x", {{"Logfile end", "x"}}},
        {"01.02.2026 03:04:05;Info;Start;UserId:1:MatchId:2", {{"UserId", "1"}, {"MatchId", "2"}}},
    };
    for (const auto& c : cases) {
        auto r = parseRecord(c.line);
        EXPECT_EQ(r.fields, c.fields) << c.line;
        EXPECT_FALSE(r.known) << c.line;
    }
}

TEST(ParseRecord, FallbackStaysLinearOnAHugeRecordOfColons) {
    const std::string line = "01.02.2026 03:04:05;X;Y;" + std::string(5 << 20, ':');
    auto r = parseRecord(line);
    ASSERT_EQ(r.fields.size(), 64u);  // the last pair takes the rest of the line
    EXPECT_EQ(r.fields.back().second.size(), (5u << 20) - 64 * 2 + 1);
    const std::string j = vt::read::toJson(r);
    EXPECT_LT(j.size(), 3 * line.size());
}

TEST(Json, CarriesEveryPartOfTheRecord) {
    auto j = vt::read::toJson(parseRecord("01.02.2026 03:04:05;Ping;Stats;Server:10.0.0.1:Actual:20"));
    EXPECT_EQ(j,
              "{\"time\":\"01.02.2026 03:04:05\",\"kind\":\"Ping\",\"action\":\"Stats\",\"fields\":[{\"label\":"
              "\"Server\",\"value\":\"10.0.0.1\"},{\"label\":\"Actual\",\"value\":\"20\"}],\"raw\":\"01.02.2026 "
              "03:04:05;Ping;Stats;Server:10.0.0.1:Actual:20\"}");
    // Bytes that are not UTF-8 are replaced, not refused.
    EXPECT_NO_THROW(vt::read::toJson(parseRecord("01.02.2026 03:04:05;Key;Pressed;Name:\xff")));
    auto cut = parseRecord("01.02.2026 03:04:05;Key;Pressed;Name:x");
    cut.cut = true;
    cut.length = 3000000;
    EXPECT_NE(vt::read::toJson(cut).find(",\"cut\":true,\"length\":3000000}"), std::string::npos);
}

TEST(LineSplitter, CutsLongLinesWhateverThePieces) {
    const std::string text = "a\n" + std::string(25, 'b') + "\n\n" + std::string(10, 'c') + "\nlast";
    for (std::size_t piece : {1u, 3u, 10u, 100u}) {
        std::vector<std::string> got;
        vt::read::LineSplitter split(10, [&](const std::string& line, bool cut, std::uint64_t length) {
            got.push_back(line + (cut ? "|cut " + std::to_string(length) : ""));
            return true;
        });
        for (std::size_t at = 0; at < text.size(); at += piece)
            ASSERT_TRUE(split.feed(text.data() + at, std::min(piece, text.size() - at)));
        ASSERT_TRUE(split.finish());
        EXPECT_EQ(got, (std::vector<std::string>{"a", "bbbbbbbbbb|cut 25", "", "cccccccccc", "last"})) << piece;
    }
    int calls = 0;
    vt::read::LineSplitter stop(10, [&](const std::string&, bool, std::uint64_t) { return ++calls < 2; });
    EXPECT_FALSE(stop.feed("1\n2\n3\n", 6));
    EXPECT_EQ(calls, 2);
}

// ---- every kind written by the logger reads back as it was written -----------

struct RoundTrip {
    vt::schema::Kind kind;
    std::function<void(vt::logger&)> write;  // null: written by opening or closing the log
    std::string action;
    Fields fields;
};

TEST(RoundTrip, EveryKindReadsBackWhatTheLoggerWrote) {
    const auto udp = testsupport::udpRecord("0.0.0.0", 65535, 4294967295u, "C:\\Program Files\\a:b;c.exe");
    const auto tcp = testsupport::tcpRecord("192.168.1.10", 501, "10.0.0.5", 443, 204, "System: No Handle available");
    const auto proc = testsupport::processRecord(4, "/usr/bin/x:y");
    const auto adapter = testsupport::adapterRecord("Intel: TxD:1:Bytes/s:RxD: NIC", 12345678, 7);
    using K = vt::schema::Kind;
    const std::vector<RoundTrip> cases = {
        {K::InfoStart, nullptr, "Start", {{"UserId", "12"}, {"MatchId", "47"}}},
        {K::UdpAdd, [&](vt::logger& l) { l.writeUdpAdd(udp); }, "Add",
         {{"LocalIp", "0.0.0.0"}, {"LocalPort", "65535"}, {"PID", "4294967295"}, {"Path", udp.path}}},
        {K::UdpDel, [&](vt::logger& l) { l.writeUdpDel(udp); }, "Del",
         {{"LocalIp", "0.0.0.0"}, {"LocalPort", "65535"}, {"PID", "4294967295"}, {"Path", udp.path}}},
        {K::TcpAdd, [&](vt::logger& l) { l.writeTcpAdd(tcp); }, "Add",
         {{"LocalIp", "192.168.1.10"}, {"LocalPort", "501"}, {"RemoteIp", "10.0.0.5"}, {"RemotePort", "443"},
          {"PID", "204"}, {"Path", tcp.path}}},
        {K::TcpDel, [&](vt::logger& l) { l.writeTcpDel(tcp); }, "Del",
         {{"LocalIp", "192.168.1.10"}, {"LocalPort", "501"}, {"RemoteIp", "10.0.0.5"}, {"RemotePort", "443"},
          {"PID", "204"}, {"Path", tcp.path}}},
        {K::ProcessAdd, [&](vt::logger& l) { l.writeProcessAdd(proc); }, "Add", {{"PID", "4"}, {"Path", proc.path}}},
        {K::ProcessDel, [&](vt::logger& l) { l.writeProcessDel(proc); }, "Del", {{"PID", "4"}, {"Path", proc.path}}},
        {K::EthernetStats, [&](vt::logger& l) { l.writeEthernetStats(adapter); }, "Stats",
         {{"Adapter", adapter.description}, {"TxD", "1.23457e+006"}, {"RxD", "0.7"}}},
        {K::PingStats, [](vt::logger& l) { l.writePingStats(-1, "10.0.0.1"); }, "Stats",
         {{"Server", "10.0.0.1"}, {"Actual", "-1"}}},
        {K::KeyPressed, [](vt::logger& l) { l.writeKeyPressed("Ctrl:Alt;Del\nx"); }, "Pressed",
         {{"Name", "Ctrl:Alt;Del?x"}}},
        {K::SysInfo, [](vt::logger& l) { l.writeSysInfo("Volume ID from C-Drive", "a:b;c"); },
         "Volume ID from C-Drive", {{"Value", "a:b;c"}}},
        {K::InfoStop, nullptr, "Stop", {}},
    };
    testsupport::TempDir dir;
    {
        vt::logger log;
        ASSERT_TRUE(log.openLog(0, 12, 47, dir.path()));
        for (const auto& c : cases)
            if (c.write) c.write(log);
        log.closeLog();
    }
    const auto lines = testsupport::recordLines(testsupport::logFiles(dir.path()).at(0));
    ASSERT_EQ(lines.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        const vt::schema::Shape& shape = vt::schema::shape(c.kind);
        auto r = parseRecord(lines[i]);
        SCOPED_TRACE(lines[i]);
        EXPECT_TRUE(vt::schema::isStamp(r.stamp + ";"));
        EXPECT_EQ(r.kind, shape.kind);
        EXPECT_EQ(r.type, c.kind);
        EXPECT_EQ(r.action, c.action);
        EXPECT_EQ(r.fields, c.fields);
        EXPECT_EQ(r.raw, lines[i]);
    }
}

TEST(RoundTrip, EveryKindOfTheSchemaReadsBackWhatTheGenericWriteWrote) {
    // Made from the schema alone, so that a new kind is covered without a new
    // test: each value names its field, and the field that may hold ':' holds
    // colons and semicolons.
    using K = vt::schema::Kind;
    testsupport::TempDir dir;
    std::vector<std::pair<K, Fields>> written;
    {
        vt::logger log;
        ASSERT_TRUE(log.openLog(0, 12, 47, dir.path()));
        for (std::size_t k = 0; k < vt::schema::kShapeCount; ++k) {
            const K kind = K(k);
            if (kind == K::InfoStart || kind == K::InfoStop) continue;  // written by opening and closing
            const vt::schema::Shape& shape = vt::schema::shape(kind);
            Fields fields;
            std::vector<std::string> values;
            for (std::size_t i = 0; i < shape.count; ++i) {
                values.push_back(i == shape.open ? "C:\\a:b;c " + std::string(shape.fields[i].label)
                                                 : std::string("v-") + shape.fields[i].label);
                fields.emplace_back(shape.fields[i].label, values.back());
            }
            log.write(kind, std::vector<std::string_view>(values.begin(), values.end()), "a fact");
            written.emplace_back(kind, fields);
        }
        log.closeLog();
    }
    const auto lines = testsupport::recordLines(testsupport::logFiles(dir.path()).at(0));
    ASSERT_EQ(lines.size(), written.size() + 2);
    for (std::size_t i = 0; i < written.size(); ++i) {
        const auto r = parseRecord(lines[i + 1]);
        SCOPED_TRACE(lines[i + 1]);
        EXPECT_TRUE(r.known);
        EXPECT_EQ(r.type, written[i].first);
        EXPECT_EQ(r.action, vt::schema::shape(written[i].first).action ? vt::schema::shape(written[i].first).action
                                                                       : std::string("a fact"));
        EXPECT_EQ(r.fields, written[i].second);
    }
}

// ---- the commands over crafted files ------------------------------------------

std::string seal(const std::string& text) {
    vt::Key16 key{};
    key[0] = 9;
    return vt::sealText(text, key);
}

const std::string kStart = "01.02.2026 03:04:05;Info;Start;Logfile start:UserId:1:MatchId:2\n";
const std::string kStop = "01.02.2026 03:04:06;Info;Stop;Logfile end\n";

class ReaderCommands : public ::testing::Test {
protected:
    void SetUp() override {
        file = dir.join("a.vtl");
        testsupport::writeBytes(file, seal(text));
    }
    std::string sealed(const std::string& name, const std::string& body) {
        const std::string path = dir.join(name);
        testsupport::writeBytes(path, seal(body));
        return path;
    }
    const std::string text = kStart + kStop;
    testsupport::TempDir dir;
    std::string file;
    std::ostringstream out, err;
};

TEST_F(ReaderCommands, VerifySaysWhatItFoundAndGoesOn) {
    std::string bytes = testsupport::readBytes(file);
    const std::string damaged = dir.join("b.vtl"), shortFile = dir.join("c.vtl");
    bytes[3] ^= 1;
    testsupport::writeBytes(damaged, bytes);
    testsupport::writeBytes(shortFile, bytes.substr(0, 13));
    const std::string noStart = sealed("d.vtl", "01.02.2026 03:04:05;Key;Pressed;Name:x\n" + kStop);
    const std::string noStop = sealed("e.vtl", kStart + "01.02.2026 03:04:05;Key;Pressed;Name:x\n");
    const std::string stopNotOnItsOwn = sealed("f.vtl", kStart + "x" + kStop);
    const std::string onlyStart = sealed("g.vtl", kStart);
    const std::string tiny = sealed("h.vtl", "x\n");

    EXPECT_EQ(vtl::verify({file}, out), 0);
    EXPECT_EQ(vtl::verify({file, damaged, shortFile, dir.join("missing.vtl"), noStart, noStop,
                                  stopNotOnItsOwn, onlyStart, tiny, dir.path(), file},
                                 out),
              1);
    const std::string report = out.str();
    for (const char* expected : {
             "a.vtl: whole\n",
             "b.vtl: not whole: the trailer does not decrypt to the marker",
             "c.vtl: not whole: length 13 is under 32 bytes",
             "missing.vtl: not whole: cannot be read (no such file)",
             "d.vtl: not whole: the body does not start with a start record",
             "e.vtl: not whole: the body does not end with a stop record",
             "f.vtl: not whole: the body does not end with a stop record",
             "g.vtl: not whole: the body does not end with a stop record",
             "h.vtl: not whole: the body does not start with a start record",
         })
        EXPECT_NE(report.find(expected), std::string::npos) << expected << "\n" << report;
    EXPECT_NE(report.find(dir.path() + ": not a log file (a directory)\n" + file + ": whole\n"), std::string::npos)
        << report;
}

TEST_F(ReaderCommands, SizesThatCannotBeALogAreRefusedWithoutReading) {
    const std::string huge = dir.join("huge.vtl");
    { std::ofstream(huge, std::ios::binary) << "x"; }
#if !defined(_WIN32)  // sparse on Linux file systems; Windows would allocate it
    // A terabyte and one byte, never read (nor allocated).
    boost::filesystem::resize_file(huge, (std::uint64_t(1) << 40) + 1);
    EXPECT_EQ(vtl::verify({huge}, out), 1);
    EXPECT_NE(out.str().find("not whole: length 1099511627777 is not a multiple of 8; not a log"), std::string::npos)
        << out.str();
#endif
    // Zeros are judged on their first 4 KiB, before the file is hashed: its
    // reason is that alone, with nothing of a trailer (which needs it read whole).
    boost::filesystem::resize_file(huge, 8 << 20);
    EXPECT_EQ(vtl::cat(huge, true, out, err), 1);
    EXPECT_NE(err.str().find("huge.vtl: not whole: not a log: its bytes are far from evenly spread, as ciphertext's "
                             "are\n"),
              std::string::npos)
        << err.str();
#if !defined(_WIN32)
    // 20 GB, sparse: refused at once.
    boost::filesystem::resize_file(huge, std::uint64_t(20) << 30);
    std::ostringstream verified;
    EXPECT_EQ(vtl::verify({huge}, verified), 1);
    EXPECT_EQ(verified.str(), huge + ": not whole: not a log: its bytes are far from evenly spread, as ciphertext's "
                                     "are\n");
#endif
}

TEST_F(ReaderCommands, ControlCharactersNeverReachTheTerminalUnlessAskedFor) {
    // ESC colours a terminal, C1's CSI (U+009B) does as well; NUL, DEL and a
    // line feed inside a value.
    const std::string forged = "01.02.2026 03:04:05;Key;Pressed;Name:\x1b[31mred\x7f\xc2\x9b" "2J\x01\n";
    const std::string other = "01.02.2026 03:04:05;Process;Add;PID:7:Path:C:\\Spiele\\Zielhilfe-\xc3\x84 \xe2\x82\xac.exe\n";
    const std::string log = sealed("forged.vtl", kStart + forged + other + kStop);
    EXPECT_EQ(vtl::cat(log, false, out, err), 0) << err.str();
    EXPECT_EQ(out.str(), kStart + "01.02.2026 03:04:05;Key;Pressed;Name:\\x1b[31mred\\x7f\\xc2\\x9b2J\\x01\n" + other + kStop);
    std::ostringstream raw;
    EXPECT_EQ(vtl::cat(log, false, raw, err, true), 0);
    EXPECT_EQ(raw.str(), kStart + forged + other + kStop);

    // The helper: lone C1 bytes too, other broken UTF-8 left alone, the kept controls kept.
    EXPECT_EQ(vt::printable("a\tb\nc\x9b\xff\xc3", "\t"), "a\tb\\x0ac\\x9b\xff\xc3");
    EXPECT_EQ(vt::printable(std::string("\0\x1f\x20\x7e\xc2\xa0", 6)), "\\x00\\x1f ~\xc2\xa0");

#if !defined(_WIN32)  // Windows allows no line feed in a file name
    // A file name with a line feed keeps to its line.
    const std::string named = dir.join("two\nlines.vtl");
    testsupport::writeBytes(named, testsupport::readBytes(file));
    std::ostringstream verified;
    EXPECT_EQ(vtl::verify({named}, verified), 0);
    EXPECT_EQ(verified.str(), dir.join("two\\x0alines.vtl") + ": whole\n");
#endif
}

#if !defined(_WIN32)
TEST_F(ReaderCommands, OnlyRegularFilesAreRead) {
    const std::string fifo = dir.join("fifo.vtl");
    ASSERT_TRUE(testsupport::makeFifo(fifo));  // no writer: opening it would block
    EXPECT_EQ(vtl::verify({fifo, "/dev/zero", file}, out), 1);
    EXPECT_EQ(out.str(), fifo + ": not a log file (a FIFO)\n/dev/zero: not a log file (a device)\n" + file + ": whole\n");
    EXPECT_EQ(vtl::cat(fifo, true, out, err), 1);
    EXPECT_EQ(vtl::json("/dev/zero", false, out, err), 1);
    EXPECT_EQ(vtl::cat(dir.path(), false, out, err), 1);
    EXPECT_EQ(err.str(), fifo + ": not a log file (a FIFO)\n/dev/zero: not a log file (a device)\n" + dir.path() +
                             ": not a log file (a directory)\n");
    std::ostringstream pages;
    EXPECT_NE(vt::report::run({fifo}, dir.join("page.html"), true, pages, err), 0);
    EXPECT_NE(err.str().find(fifo + ": not whole: a FIFO"), std::string::npos) << err.str();
}

TEST_F(ReaderCommands, AFifoIsJudgedByWhatWasOpenedWithoutWaiting) {
    // A name swapped for a FIFO after any look at it: the open itself never
    // waits for a writer, and the opened descriptor is what is judged.
    const std::string fifo = dir.join("swapped.vtl");
    ASSERT_TRUE(testsupport::makeFifo(fifo));
    auto opened = std::async(std::launch::async, [&] {
        vt::FileSource source;
        std::string reason;
        const bool ok = source.open(fifo, reason);
        return std::make_pair(ok || !source.notRegular(), reason);
    });
    if (opened.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ADD_FAILURE() << "the open of a FIFO waits for a writer";
        std::ofstream writer(fifo);  // lets it go
    }
    const auto result = opened.get();
    EXPECT_FALSE(result.first);
    EXPECT_EQ(result.second, "a FIFO");
}

TEST_F(ReaderCommands, OutputThatCannotBeWrittenIsAnError) {
    std::ofstream full("/dev/full");
    ASSERT_TRUE(full.is_open());
    EXPECT_EQ(vtl::cat(file, false, full, err), 2);
    EXPECT_NE(err.str().find("the output cannot be written"), std::string::npos);
    std::ofstream full2("/dev/full");
    EXPECT_EQ(vtl::json(file, false, full2, err), 2);
    std::ofstream full3("/dev/full");
    EXPECT_EQ(vtl::verify({file}, full3), 2);
}
#endif

TEST_F(ReaderCommands, AFailedStreamStopsTheOutput) {
    out.setstate(std::ios::badbit);
    EXPECT_EQ(vtl::cat(file, false, out, err), 2);
    EXPECT_EQ(vtl::verify({file}, out), 2);
}

TEST_F(ReaderCommands, CatShowsTheTextWithoutPadding) {
    EXPECT_EQ(vtl::cat(file, false, out, err), 0);
    EXPECT_EQ(out.str(), text);
    EXPECT_TRUE(err.str().empty());
}

TEST_F(ReaderCommands, LargeLogsAreStreamedWhole) {
    // Several read chunks, the last one partly padding.
    std::string body = kStart;
    for (int i = 0; body.size() < 3 * vt::kReadChunk + 5; ++i)
        body += "01.02.2026 03:04:05;Key;Pressed;Name:key " + std::to_string(i) + "\n";
    body += kStop;
    const std::string big = sealed("big.vtl", body);
    EXPECT_EQ(vtl::cat(big, false, out, err), 0);
    EXPECT_TRUE(out.str() == body);
    EXPECT_EQ(testsupport::openLog(big, false).text.size(), body.size());
}

TEST_F(ReaderCommands, RecordsOverTheLimitAreCutAndMarked) {
    const std::size_t length = vt::read::kRecordLimit * 3 + 11;
    const std::string longLine = "01.02.2026 03:04:05;Key;Pressed;Name:" + std::string(length - 37, 'k');
    const std::string big = sealed("big.vtl", kStart + longLine + "\n" + kStop);
    EXPECT_EQ(vtl::cat(big, false, out, err), 0);
    EXPECT_EQ(out.str(), kStart + longLine.substr(0, vt::read::kRecordLimit) + " [cut at 1048576 of " +
                             std::to_string(length) + " bytes]\n" + kStop);
    std::ostringstream json;
    EXPECT_EQ(vtl::json(big, false, json, err), 0);
    auto objects = vt::read::lines(json.str());
    ASSERT_EQ(objects.size(), 3u);
    EXPECT_NE(objects[1].find("\"cut\":true,\"length\":" + std::to_string(length) + "}"), std::string::npos);
    EXPECT_EQ(objects[2].find("\"cut\""), std::string::npos);
}

TEST_F(ReaderCommands, ForceReadsAWholeLogWithBytesAppended) {
    testsupport::writeBytes(file, testsupport::readBytes(file) + "xyz");
    EXPECT_EQ(vtl::cat(file, false, out, err), 1);
    EXPECT_TRUE(out.str().empty());
    EXPECT_NE(err.str().find("not whole: length 139 is not a multiple of 8"), std::string::npos) << err.str();
    // Shown with a warning, but the exit status still says it is not whole.
    EXPECT_EQ(vtl::cat(file, true, out, err), 1);
    EXPECT_EQ(out.str(), text);
    EXPECT_NE(err.str().find("warning: not whole: length 139 is not a multiple of 8 (a whole log up to its last whole block, with 3 bytes after it"),
              std::string::npos);

    testsupport::writeBytes(file, testsupport::readBytes(file).substr(0, 17));  // never closed: no key to be had
    EXPECT_EQ(vtl::cat(file, true, out, err), 1);
    EXPECT_NE(err.str().find("its records cannot be read, so nothing can be shown"), std::string::npos);
}

TEST_F(ReaderCommands, JsonWritesOneObjectPerRecordWhateverItsShape) {
    // A whole log with short Ethernet fields, and a record that is all colons.
    const std::string odd = sealed("odd.vtl", kStart + "01.02.2026 03:04:05;Ethernet;Stats;Adapter:a:TxD:Bytes/s:RxD:1:Bytes/s\n" +
                                                  "01.02.2026 03:04:05;Ethernet;Stats;Adapter:eth0:TxD:RxD:Bytes/s\n" +
                                                  "01.02.2026 03:04:05;;;" + std::string(100000, ':') + "\n" + kStop);
    EXPECT_EQ(vtl::json(odd, false, out, err), 0) << err.str();
    auto objects = vt::read::lines(out.str());
    ASSERT_EQ(objects.size(), 5u);
    EXPECT_EQ(objects[0].rfind("{\"time\":\"01.02.2026 03:04:05\",\"kind\":\"Info\",\"action\":\"Start\"", 0), 0u);
    EXPECT_EQ(objects[1].rfind("{\"time\":\"01.02.2026 03:04:05\",\"kind\":\"Ethernet\",\"action\":\"Stats\"", 0), 0u);
    EXPECT_LT(objects[3].size(), 3u * 100000);
    EXPECT_TRUE(err.str().empty());
}

}  // namespace
