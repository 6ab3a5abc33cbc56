#include "log/container.h"
#include "read/records.h"
#include "report/html.h"
#include "report/model.h"
#include "report/pack.h"
#include "report/text.h"
#include "report/report.h"
#include "support/log_text.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#ifdef VT_HAVE_ZLIB
#include <nlohmann/json.hpp>
#include <zlib.h>
#endif

namespace {

using namespace vt::report;

const std::string kStart = "08.12.2026 17:55:21;Info;Start;Logfile start:UserId:12:MatchId:47\n";
const std::string kStop = "08.12.2026 18:55:21;Info;Stop;Logfile end\n";

Model modelOf(const std::string& text, bool whole = true, const std::string& reason = "") {
    return buildModel({Source{"match.vtl", whole, reason, text}});
}

long long at(const char* clock) {
    long long s = 0;
    EXPECT_TRUE(stampSeconds(std::string("08.12.2026 ") + clock, s)) << clock;
    return s;
}

// A sealed log file holding text, as the logger would write it.
std::string sealed(const std::string& text) {
    vt::Key16 key{};
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<unsigned char>(i * 7 + 1);
    std::string records;
    for (const auto& line : vt::read::lines(text)) records += line + "\n";
    return vt::sealText(records, key);
}

std::string pageOf(const Model& m) {
    std::ostringstream out;
    writePage(m, out);
    return out.str();
}

std::size_t count(const std::string& haystack, const std::string& needle) {
    std::size_t n = 0;
    for (std::size_t p = haystack.find(needle); p != std::string::npos; p = haystack.find(needle, p + 1)) ++n;
    return n;
}

#ifdef VT_HAVE_ZLIB
std::string gunzip(const std::string& packed) {
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, 16 + MAX_WBITS), Z_OK);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
    z.avail_in = static_cast<uInt>(packed.size());
    std::string out;
    char buf[65536];
    int rc;
    do {
        z.next_out = reinterpret_cast<Bytef*>(buf);
        z.avail_out = sizeof buf;
        rc = inflate(&z, Z_NO_FLUSH);
        out.append(buf, sizeof buf - z.avail_out);
    } while (rc == Z_OK);
    EXPECT_EQ(rc, Z_STREAM_END);
    inflateEnd(&z);
    return out;
}

std::string unbase64(const std::string& text) {
    std::string out;
    unsigned acc = 0;
    int bits = 0;
    for (char c : text) {
        int v = c >= 'A' && c <= 'Z' ? c - 'A' : c >= 'a' && c <= 'z' ? c - 'a' + 26 : c >= '0' && c <= '9' ? c - '0' + 52
              : c == '+' ? 62 : c == '/' ? 63 : -1;
        if (v < 0) continue;
        acc = (acc << 6) | unsigned(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += char((acc >> bits) & 0xff);
        }
    }
    return out;
}

// The data the page's script draws from.
std::string dataOf(const std::string& page) {
    const std::size_t at = page.find("id=\"data\"");
    EXPECT_NE(at, std::string::npos);
    const std::size_t a = page.find('>', at) + 1;
    const std::size_t b = page.find("</script>", a);
    const std::string packed = unbase64(page.substr(a, b - a));
    const bool gzip = page.substr(at, a - at).find("data-packing=\"gzip\"") != std::string::npos;
    return gzip ? gunzip(packed) : packed;
}
#endif

TEST(ReportTime, ReadsStampsAndRejectsOthers) {
    long long a, b;
    ASSERT_TRUE(stampSeconds("31.12.2026 23:59:59", a));
    ASSERT_TRUE(stampSeconds("01.01.2027 00:00:01", b));
    EXPECT_EQ(b - a, 2);
    ASSERT_TRUE(stampSeconds("01.03.2024 00:00:00", a));
    ASSERT_TRUE(stampSeconds("28.02.2024 00:00:00", b));
    EXPECT_EQ(a - b, 2 * 86400);  // a leap year
    ASSERT_TRUE(stampSeconds("01.01.1970 00:00:00", a));
    EXPECT_EQ(a, 0);
    for (const char* bad : {"", "1.1.2026 00:00:00", "01.13.2026 00:00:00", "00.01.2026 00:00:00",
                            "01.01.2026 24:00:00", "01.01.2026 00:60:00", "01.01.2026 00:00:00 ", "01.01.2026T00:00:00",
                            "01.01. 00:00:00", "aa.bb.cccc dd:ee:ff"})
        EXPECT_FALSE(stampSeconds(bad, a)) << bad;
    EXPECT_EQ(clockText(at("07:05:09")), "07:05:09");
    for (const char* date : {"29.02.2024", "01.01.1970", "31.12.1969", "01.03.2000", "01.01.0001", "31.12.9999"}) {
        ASSERT_TRUE(stampSeconds(std::string(date) + " 13:00:00", a)) << date;
        EXPECT_EQ(dateText(a), date);
    }
    EXPECT_EQ(durationText(12), "12 s");
    EXPECT_EQ(durationText(200), "3 min 20 s");
    EXPECT_EQ(durationText(3725), "1 h 02 min 05 s");
}

TEST(ReportPing, TellsTimesFromFailureValues) {
    EXPECT_EQ(classifyPing(1), PingClass::Latency);
    EXPECT_EQ(classifyPing(500), PingClass::Latency);
    EXPECT_EQ(classifyPing(501), PingClass::Implausible);
    EXPECT_EQ(classifyPing(1000), PingClass::NoAnswer);
    for (long v : {0L, -1L, 502L, 999L, 1001L}) EXPECT_EQ(classifyPing(v), PingClass::Other) << v;

    Model m = modelOf(kStart +
                      "08.12.2026 17:55:31;Ping;Stats;Server:10.0.0.1:Actual:35\n"
                      "08.12.2026 17:55:41;Ping;Stats;Server:10.0.0.1:Actual:1000\n"
                      "08.12.2026 17:55:51;Ping;Stats;Server:10.0.0.1:Actual:501\n"
                      "08.12.2026 17:56:01;Ping;Stats;Server:10.0.0.1:Actual:oops\n"
                      "08.12.2026 17:56:11;Ping;Stats;Server:10.0.0.2:Actual:-5\n" +
                      kStop);
    ASSERT_EQ(m.pings.size(), 4u);
    EXPECT_EQ(m.pings[0].value, 35);
    EXPECT_EQ(m.pings[0].t, at("17:55:31"));
    EXPECT_EQ(m.pings[1].cls, PingClass::NoAnswer);
    EXPECT_EQ(m.pings[2].cls, PingClass::Implausible);
    EXPECT_EQ(m.pings[3].cls, PingClass::Other);
    EXPECT_EQ(m.servers, (std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));
    {
        // A result that is not a time breaks the line between two times.
        const std::string broken = pageOf(modelOf(kStart +
                                                  "08.12.2026 17:55:31;Ping;Stats;Server:10.0.0.1:Actual:35\n"
                                                  "08.12.2026 17:55:41;Ping;Stats;Server:10.0.0.1:Actual:36\n"
                                                  "08.12.2026 17:55:51;Ping;Stats;Server:10.0.0.1:Actual:1000\n"
                                                  "08.12.2026 17:56:01;Ping;Stats;Server:10.0.0.1:Actual:40\n" +
                                                  kStop));
        const std::size_t d = broken.find("<path class=\"latency\" d=\"");
        ASSERT_NE(d, std::string::npos);
        const std::string path = broken.substr(d, broken.find("\"/>", d) - d);
        EXPECT_EQ(count(path, "M"), 2u) << path;
        EXPECT_EQ(count(path, "L"), 1u) << path;
    }

    // Failure values are drawn in their own bands, never as latencies on the scale.
    const std::string page = pageOf(m);
    EXPECT_EQ(count(page, "<circle class=\"latency\""), 1u);
    EXPECT_EQ(count(page, "<rect class=\"noanswer\""), 1u);
    EXPECT_EQ(count(page, "<rect class=\"implausible\""), 1u);
    EXPECT_EQ(count(page, "<rect class=\"other\""), 1u);
    EXPECT_NE(page.find(">50 ms</text>"), std::string::npos);
    EXPECT_EQ(page.find(">60 ms</text>"), std::string::npos) << "the scale follows the times (35 ms), not the failure values";
}

TEST(ReportThroughput, OneSeriesPerAdapterInBytesPerSecond) {
    Model m = modelOf(kStart +
                      "08.12.2026 17:55:31;Ethernet;Stats;Adapter:eth0:TxD:123.4:Bytes/s:RxD:0:Bytes/s\n"
                      "08.12.2026 17:55:31;Ethernet;Stats;Adapter:Intel: Gigabit:TxD:0.7:Bytes/s:RxD:1.23457e+006:Bytes/s\n"
                      "08.12.2026 17:55:41;Ethernet;Stats;Adapter:eth0:TxD:4.29497e+008:Bytes/s:RxD:512:Bytes/s\n"
                      "08.12.2026 17:55:51;Ethernet;Stats;Adapter:eth0:TxD:x:Bytes/s:RxD:512:Bytes/s\n" +
                      kStop);
    ASSERT_EQ(m.adapters.size(), 2u);
    EXPECT_EQ(m.adapters[0].name, "eth0");
    EXPECT_EQ(m.adapters[1].name, "Intel: Gigabit");
    ASSERT_EQ(m.adapters[0].points.size(), 2u);  // the unreadable sample is left out
    EXPECT_DOUBLE_EQ(m.adapters[0].points[0].sent, 123.4);
    EXPECT_DOUBLE_EQ(m.adapters[0].points[1].sent, 4.29497e8);
    EXPECT_DOUBLE_EQ(m.adapters[0].points[1].received, 512);
    EXPECT_EQ(m.adapters[0].points[1].t, at("17:55:41"));
    EXPECT_DOUBLE_EQ(m.adapters[1].points[0].received, 1234570);
    EXPECT_EQ(rateText(0), "0 B/s");
    EXPECT_EQ(rateText(123.4), "123.4 B/s");
    EXPECT_EQ(rateText(1500), "1.5 kB/s");
    EXPECT_EQ(rateText(1234570), "1.2 MB/s");
    EXPECT_EQ(rateText(-3), "0 B/s");
    EXPECT_EQ(rateText(1e9), "1 GB/s");
    const std::string page = pageOf(m);
    EXPECT_NE(page.find("id=\"throughput-1\""), std::string::npos);
    EXPECT_NE(page.find("500 MB/s"), std::string::npos) << "a scale up to the largest value";
}

// A crafted value blanked the whole adapter chart (a NaN scale).
TEST(ReportThroughput, OnlyFiniteValuesAreDrawnTheRestIsText) {
    const std::string crafted =
        "08.12.2026 17:55:41;Ethernet;Stats;Adapter:eth0:TxD:inf:Bytes/s:RxD:200:Bytes/s\n"
        "08.12.2026 17:55:51;Ethernet;Stats;Adapter:eth0:TxD:300:Bytes/s:RxD:nan:Bytes/s\n"
        "08.12.2026 17:56:01;Ethernet;Stats;Adapter:eth0:TxD:1e999:Bytes/s:RxD:-inf:Bytes/s\n"
        "08.12.2026 17:56:11;Ethernet;Stats;Adapter:eth0:TxD:1e300:Bytes/s:RxD:1:Bytes/s\n"
        "08.12.2026 17:56:16;Ethernet;Stats;Adapter:eth0:TxD:0x1p1023:Bytes/s:RxD:INFINITY:Bytes/s\n";
    Model m = modelOf(kStart + "08.12.2026 17:55:31;Ethernet;Stats;Adapter:eth0:TxD:100:Bytes/s:RxD:200:Bytes/s\n" +
                      crafted + "08.12.2026 17:56:21;Ethernet;Stats;Adapter:eth0:TxD:400:Bytes/s:RxD:500:Bytes/s\n" +
                      kStop);
    ASSERT_EQ(m.adapters.size(), 1u);
    ASSERT_EQ(m.adapters[0].points.size(), 2u) << "only the two plain samples are drawn";
    EXPECT_DOUBLE_EQ(m.adapters[0].points[1].received, 500);
    double v = 0;
    for (const char* bad : {"inf", "-inf", "nan", "NAN", "1e999", "1e300", "infinity", "0x1p1023", ""})
        EXPECT_FALSE(drawableNumber(bad, v)) << bad;
    EXPECT_TRUE(drawableNumber("4.29497e+008", v));
    const std::string page = pageOf(m);
    const std::size_t a = page.find("<svg id=\"throughput-0\"");
    ASSERT_NE(a, std::string::npos);
    const std::string svg = page.substr(a, page.find("</svg>", a) - a);
    for (const char* word : {"nan", "inf", "NaN"}) EXPECT_EQ(svg.find(word), std::string::npos) << word << " in " << svg;
    EXPECT_NE(svg.find("<path class=\"sent\" d=\"M"), std::string::npos);
    EXPECT_NE(svg.find(">1 kB/s</text>"), std::string::npos) << "the scale follows the drawn values";
#ifdef VT_HAVE_ZLIB
    const auto data = nlohmann::json::parse(dataOf(page));
    EXPECT_EQ(data["r"][2], "08.12.2026 17:55:41;Ethernet;Stats;Adapter:eth0:TxD:inf:Bytes/s:RxD:200:Bytes/s")
        << "the crafted record is in the table of all records, as text";
#endif
}

// A kind of the schema with no view of its own gets a table
// from the schema's fields, with no code of the report's for it. Every such
// kind of the schema is tried, today's and those to come.
TEST(ReportOtherKinds, EveryKindWithoutAViewHasATableFromTheSchema) {
    std::string text = kStart;
    std::vector<const vt::schema::Shape*> others;
    for (const auto& shape : vt::schema::kShapes) {
        if (viewed(vt::schema::kindOf(shape))) continue;
        others.push_back(&shape);
        std::string body = std::string(shape.kind) + ";" + (shape.action ? shape.action : "A fact") + ";" + shape.lead;
        for (std::size_t i = 0; i < shape.count; ++i) {
            body += std::string(i ? ":" : "") + shape.fields[i].label + ":value " + std::to_string(i);
            if (shape.fields[i].unit) body += std::string(":") + shape.fields[i].unit;
        }
        text += "08.12.2026 17:56:00;" + body + "\n";
    }
    ASSERT_FALSE(others.empty()) << "the recovered-log record has no view of its own";
    text += "08.12.2026 17:56:10;Disk;Stats;Free:12\n" + kStop;  // no kind of the schema: in the table of all records only
    Model m = modelOf(text);
    ASSERT_EQ(m.otherKinds.size(), others.size());
    for (std::size_t k = 0; k < others.size(); ++k) {
        const auto& table = m.otherKinds[k];
        const auto& shape = *others[k];
        EXPECT_EQ(table.rows, 1u);
        std::vector<std::string> columns{"Time"};
        if (!shape.action) columns.push_back("Action");
        for (std::size_t i = 0; i < shape.count; ++i) columns.push_back(shape.fields[i].label);
        EXPECT_EQ(table.columns, columns) << shape.kind;
    }
    const std::string page = pageOf(m);
    EXPECT_NE(page.find("<section id=\"other-kinds\">"), std::string::npos);
    EXPECT_NE(page.find("id=\"kind-body-0\""), std::string::npos);
    EXPECT_NE(page.find("<th>From</th><th>Records</th>"), std::string::npos);
#ifdef VT_HAVE_ZLIB
    const auto data = nlohmann::json::parse(dataOf(page));
    ASSERT_EQ(data["g"].size(), others.size());
    const auto& first = data["g"][0];
    EXPECT_EQ(first["columns"].size(), m.otherKinds[0].columns.size());
    ASSERT_EQ(first["rows"].size(), 1u);
    EXPECT_EQ(first["rows"][0][0], "08.12.2026 17:56:00");
    EXPECT_EQ(first["rows"][0].back(), "value " + std::to_string(others[0]->count - 1));
    EXPECT_EQ(data["r"].size(), others.size() + 3);
    EXPECT_EQ(data["r"][others.size() + 1], "08.12.2026 17:56:10;Disk;Stats;Free:12");
#endif
    // A page of the known kinds only has no such section.
    EXPECT_EQ(pageOf(modelOf(kStart + kStop)).find("other-kinds"), std::string::npos);
}

// One log streamed without its first stamp known: the lines before it wait
// for it, and the model is the one of the log read whole.
TEST(ReportModel, OneLogLearnsItsStartAsItsLinesCome) {
    const std::string text = "no stamp at all\n"
                             "08.12.2026 17:55:30;Process;Del;PID:9:Path:C:\\ghost.exe\n"
                             "08.12.2026 17:55:40;Key;Pressed;Name:W\n";
    ModelBuilder builder;
    builder.beginLog("match.vtl", true, "");
    for (const auto& line : vt::read::lines(text)) builder.line(line);
    builder.endLog();
    const Model streamed = builder.finish();
    const Model whole = modelOf(text);
    ASSERT_EQ(streamed.processes.size(), 1u);
    EXPECT_EQ(streamed.processes[0].start, at("17:55:30")) << "a Del of nothing open starts with the log";
    EXPECT_EQ(streamed.processes[0].start, whole.processes[0].start);
    EXPECT_EQ(streamed.records, 3u);
    EXPECT_EQ(streamed.unreadable, whole.unreadable);
    EXPECT_EQ(streamed.first, whole.first);
}

TEST(ReportProcesses, LifetimesFromAddAndDelPairs) {
    Model m = modelOf(kStart +
                      "08.12.2026 17:55:21;Process;Add;PID:1:Path:C:\\Windows\\init.exe\n"
                      "08.12.2026 17:55:21;Key;Pressed;Name:W\n"
                      "08.12.2026 17:55:22;Process;Add;PID:2:Path:C:\\game.exe\n"
                      "08.12.2026 17:55:30;Process;Add;PID:3:Path:C:\\cheat.exe\n"
                      "08.12.2026 17:55:40;Process;Del;PID:3:Path:C:\\cheat.exe\n"
                      "08.12.2026 17:55:45;Process;Add;PID:3:Path:C:\\other.exe\n"
                      "08.12.2026 17:55:50;Process;Del;PID:2:Path:C:\\game.exe\n"
                      "08.12.2026 17:55:55;Process;Del;PID:9:Path:C:\\ghost.exe\n"
                      "08.12.2026 17:56:00;Process;Add;PID:3:Path:C:\\other.exe\n"
                      "08.12.2026 17:56:05;Process;Del;PID:3:Path:C:\\other.exe\n"
                      "08.12.2026 17:56:21;Info;Stop;Logfile end\n");
    ASSERT_EQ(m.processes.size(), 6u);
    const auto& init = m.processes[0];
    EXPECT_EQ(m.text(init.path), "C:\\Windows\\init.exe");
    EXPECT_TRUE(init.atStart);
    EXPECT_TRUE(init.open);
    EXPECT_EQ(init.end, at("17:56:21")) << "still present: lasts to the end of the log";
    const auto& game = m.processes[1];
    EXPECT_TRUE(game.atStart) << "the first poll may cross a second";
    EXPECT_FALSE(game.open);
    EXPECT_EQ(game.end, at("17:55:50"));
    const auto& cheat = m.processes[2];
    EXPECT_FALSE(cheat.atStart);
    EXPECT_EQ(cheat.start, at("17:55:30"));
    EXPECT_EQ(cheat.end, at("17:55:40"));
    // The same id again with another image is another process; a second Add
    // of an open one is paired with the oldest.
    EXPECT_EQ(m.text(m.processes[3].path), "C:\\other.exe");
    EXPECT_EQ(m.processes[3].start, at("17:55:45"));
    EXPECT_EQ(m.processes[3].end, at("17:56:05"));
    EXPECT_TRUE(m.processes[5].open);
    const auto& ghost = m.processes[4];
    EXPECT_FALSE(ghost.addSeen);
    EXPECT_TRUE(ghost.atStart) << "gone without having come: running before the log";
    EXPECT_EQ(ghost.start, at("17:55:21"));
    EXPECT_EQ(ghost.end, at("17:55:55"));
}

TEST(ReportConnections, PairedByAddressesAndOwner) {
    Model m = modelOf(kStart +
                      "08.12.2026 17:55:21;UDP;Add;LocalIp:0.0.0.0:LocalPort:53:PID:7:Path:C:\\dns.exe\n"
                      "08.12.2026 17:55:21;TCP;Add;LocalIp:10.0.0.2:LocalPort:5000:RemoteIp:10.0.0.5:RemotePort:443:PID:204:Path:C:\\game.exe\n"
                      "08.12.2026 17:55:30;TCP;Add;LocalIp:10.0.0.2:LocalPort:5001:RemoteIp:10.0.0.9:RemotePort:80:PID:300:Path:C:\\x.exe\n"
                      "08.12.2026 17:55:40;TCP;Del;LocalIp:10.0.0.2:LocalPort:5001:RemoteIp:10.0.0.9:RemotePort:80:PID:300:Path:System: No Handle available\n"
                      "08.12.2026 17:55:50;UDP;Del;LocalIp:0.0.0.0:LocalPort:53:PID:7:Path:C:\\dns.exe\n" +
                      kStop);
    ASSERT_EQ(m.connections.size(), 3u);
    const auto& udp = m.connections[0];
    EXPECT_EQ(m.text(udp.proto), "UDP");
    EXPECT_EQ(m.text(udp.local), "0.0.0.0:53");
    EXPECT_TRUE(m.text(udp.remote).empty());
    EXPECT_TRUE(udp.atStart);
    EXPECT_EQ(udp.end, at("17:55:50"));
    const auto& game = m.connections[1];
    EXPECT_EQ(m.text(game.remote), "10.0.0.5:443");
    EXPECT_EQ(m.text(game.path), "C:\\game.exe");
    EXPECT_TRUE(game.atStart);
    EXPECT_TRUE(game.open);
    const auto& x = m.connections[2];
    EXPECT_FALSE(x.atStart);
    EXPECT_FALSE(x.open) << "closed even though the owner's path read differently";
    EXPECT_EQ(m.text(x.path), "C:\\x.exe");
    EXPECT_EQ(x.end, at("17:55:40"));
}

TEST(ReportModel, HeaderFactsKeysAndSeveralLogs) {
    const std::string second =
        "08.12.2026 19:00:00;Info;Start;Logfile start:UserId:12:MatchId:48\n"
        "08.12.2026 19:00:00;Process;Add;PID:5:Path:/usr/bin/game\n"
        "08.12.2026 19:00:10;Info;Stop;Logfile end\n";
    const std::string first = kStart +
                              "08.12.2026 17:55:21;SysInfo;Volume ID from C-Drive;Value:1a2b3c4d\n"
                              "08.12.2026 17:55:22;SysInfo;Map;Value:harbour\n"
                              "08.12.2026 17:55:23;Key;Pressed;Name:Space\n"
                              "08.12.2026 17:55:24;Process;Add;PID:5:Path:/usr/bin/game\n"
                              "no stamp at all\n" +
                              kStop;
    // Given in the wrong order; read in the order of their stamps.
    Model m = buildModel({Source{"b.vtl", true, "", second}, Source{"a.vtl", false, "damaged", first}});
    ASSERT_EQ(m.logs.size(), 2u);
    EXPECT_EQ(m.logs[0].name, "a.vtl");
    EXPECT_EQ(m.logs[0].records, 7u);
    EXPECT_TRUE(m.logs[0].stopped);
    EXPECT_FALSE(m.allWhole());
    EXPECT_EQ(m.matches, (std::vector<std::string>{"47", "48"}));
    EXPECT_EQ(m.users, (std::vector<std::string>{"12"}));
    EXPECT_EQ(m.firstStamp, "08.12.2026 17:55:21");
    EXPECT_EQ(m.lastStamp, "08.12.2026 19:00:10");
    EXPECT_EQ(m.unreadable, 1u);
    EXPECT_EQ(m.records, 10u);
    EXPECT_EQ(m.facts.size(), 2u);
    ASSERT_EQ(m.hostFacts.size(), 1u);
    EXPECT_EQ(m.hostFacts[0].name, "Map");
    ASSERT_EQ(m.keys.size(), 1u);
    EXPECT_EQ(m.text(m.keys[0].name), "Space");
    // Each log's processes end with that log.
    ASSERT_EQ(m.processes.size(), 2u);
    EXPECT_EQ(m.processes[0].end, at("18:55:21"));
    EXPECT_EQ(m.processes[1].start, at("19:00:00"));
    for (const char* own : {"User ID", "Match ID", "NTP Time", "Mac Address", "Volume ID from C-Drive"})
        EXPECT_TRUE(libraryFact(own)) << own;
    EXPECT_FALSE(libraryFact("Map"));
    EXPECT_FALSE(libraryFact("user id"));
    Model nothing = modelOf("", false, "cannot be read");
    ASSERT_EQ(nothing.logs.size(), 1u);
    EXPECT_FALSE(nothing.logs[0].stopped);
    EXPECT_FALSE(nothing.timed);
    const std::string page = pageOf(m);
    EXPECT_NE(page.find("These logs belong to different matches"), std::string::npos);
    EXPECT_NE(page.find("<tr><th>Records</th><td>10 (1 of no known shape)</td></tr>"), std::string::npos);
    EXPECT_NE(page.find("not whole: damaged"), std::string::npos);
    EXPECT_NE(page.find("1a2b3c4d"), std::string::npos);
    EXPECT_NE(page.find("1 h 04 min 49 s"), std::string::npos);
    EXPECT_NE(page.find("class=\"keyname\""), std::string::npos);
    EXPECT_NE(page.find("class=\"factname\""), std::string::npos) << "a fact near a key still has its label";
#ifdef VT_HAVE_ZLIB
    const auto data = nlohmann::json::parse(dataOf(page));
    EXPECT_EQ(data["r"].size(), 10u);
    EXPECT_EQ(data["r"][0], kStart.substr(0, kStart.size() - 1));
    ASSERT_EQ(data["p"].size(), 2u);
    EXPECT_EQ(data["p"][0][1], "/usr/bin/game");
    EXPECT_EQ(data["p"][0][4], 1 | 2) << "from the start, still running";
    EXPECT_TRUE(data["c"].empty());
#endif

    // Logs a year apart: the axis is labelled with dates and has a bounded number of ticks.
    const std::string later = "08.12.2027 19:00:00;Info;Start;Logfile start:UserId:12:MatchId:47\n"
                              "08.12.2027 19:00:10;Info;Stop;Logfile end\n";
    Model year = buildModel({Source{"a.vtl", true, "", kStart + kStop}, Source{"b.vtl", true, "", later}});
    EXPECT_EQ(durationText(year.last - year.first), "8761 h 04 min 49 s");
#ifdef VT_HAVE_ZLIB
    const auto ticks = nlohmann::json::parse(dataOf(pageOf(year)))["ticks"];
    ASSERT_GE(ticks.size(), 8u);
    EXPECT_LE(ticks.size(), 40u);
    for (std::size_t i = 1; i < ticks.size(); ++i) {
        EXPECT_EQ(ticks[i][0].get<long long>() - ticks[i - 1][0].get<long long>(), 7 * 86400);
        EXPECT_EQ(ticks[i][1].get<std::string>().substr(2, 1), ".") << "a date in the label";
    }
#endif
}

TEST(ReportEscaping, NothingFromALogIsReadAsMarkup) {
    EXPECT_EQ(escapeHtml("<script>alert('x')&\"</script>"),
              "&lt;script&gt;alert(&#39;x&#39;)&amp;&quot;&lt;/script&gt;");
    EXPECT_EQ(visible(std::string("a\x01\x1b[31m\x7f\tb", 10)), "a\\x01\\x1B[31m\\x7F\\x09b");
    EXPECT_EQ(visible(std::string("\0", 1)), "\\x00");
    EXPECT_EQ(visible("caf\xe9"), "caf\xc3\xa9") << "a narrow code page byte is taken as Latin-1";
    EXPECT_EQ(visible("caf\xc3\xa9"), "caf\xc3\xa9") << "UTF-8 stays";
    EXPECT_EQ(visible("\xe2\x80\xaegpj.exe"), "\\u202Egpj.exe") << "no turning of the text's direction";
    EXPECT_EQ(visible("\xc2\x85"), "\\x85");
    EXPECT_EQ(visible("\xdf\xbf\xc2\xa0"), "\xdf\xbf\xc2\xa0") << "the ends of the two-byte range are UTF-8";
    EXPECT_EQ(visible("a\xe2\x80\x8f\xe2\x80\x8e\xe2\x81\xa6"), "a\\u200F\\u200E\\u2066");
    EXPECT_EQ(visible("\xed\xa0\x80"), "\xc3\xad\xc2\xa0\\x80") << "an encoded surrogate is not UTF-8";
    EXPECT_EQ(jsonString("a\"b\\c\nd"), "\"a\\\"b\\\\c\\\\x0Ad\"");
    EXPECT_EQ(shorten("abcdef", 3), "abc\xe2\x80\xa6");
    EXPECT_EQ(shorten("abc", 3), "abc");
    EXPECT_EQ(shorten("\xc3\xa9\xc3\xa9\xc3\xa9", 2), "\xc3\xa9\xc3\xa9\xe2\x80\xa6");

    const std::string hostile = "<script>alert(1)</script>";
    Model m = modelOf(kStart + "08.12.2026 17:55:21;Process;Add;PID:1:Path:C:\\" + hostile + "\n" +
                      "08.12.2026 17:55:22;Key;Pressed;Name:" + hostile + "\n" +
                      "08.12.2026 17:55:23;SysInfo;" + hostile + ";Value:\"><img src=x onerror=alert(1)>\n" +
                      "08.12.2026 17:55:24;Ethernet;Stats;Adapter:" + hostile + ":TxD:1:Bytes/s:RxD:2:Bytes/s\n" +
                      kStop);
    const std::string page = pageOf(m);
    EXPECT_EQ(page.find(hostile), std::string::npos);
    EXPECT_EQ(page.find("<img"), std::string::npos);
    EXPECT_EQ(count(page, "<script"), 2u) << "the page's data and its own script, nothing else";
    EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
    EXPECT_NE(page.find("default-src 'none'"), std::string::npos);
    // The one script runs by its hash; no other inline script would.
    const std::size_t open = page.rfind("<script>") + 8, close = page.find("</script>", open);
    const std::string script = page.substr(open, close - open);
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(script.data()), script.size(), digest);
    const std::string hash = base64(std::string(reinterpret_cast<const char*>(digest), sizeof digest));
    EXPECT_NE(page.find("script-src 'sha256-" + hash + "'\""), std::string::npos);
    EXPECT_EQ(page.find("script-src 'unsafe-inline'"), std::string::npos);
#ifdef VT_HAVE_ZLIB
    const std::string data = dataOf(page);
    EXPECT_NE(data.find("C:\\\\<script>alert(1)</script>"), std::string::npos) << "text for the script's text nodes";
#endif
}

// Head and tail packed apart make one gzip member of their text together.
std::string packedPair(const std::string& head, const std::string& tail) {
    Packed h, t;
    for (std::size_t i = 0; i < head.size(); i += 1000) h.append(std::string_view(head).substr(i, 1000));
    h.close(false);
    t.append(tail);
    t.close(true);
    std::ostringstream out;
    writeGzipBase64(h, t, out);
    return out.str();
}

TEST(ReportPack, ZlibGzipAndBase64) {
    EXPECT_EQ(base64(""), "");
    EXPECT_EQ(base64("f"), "Zg==");
    EXPECT_EQ(base64("fo"), "Zm8=");
    EXPECT_EQ(base64("foo"), "Zm9v");
    EXPECT_EQ(base64(std::string("\xff\xfe\xfd\x00", 4)), "//79AA==");
    std::string logLike;
    for (int i = 0; i < 20000; ++i)
        logLike += "08.12.2026 17:55:" + std::to_string(10 + i % 50) + ";Process;Add;PID:" + std::to_string(i) +
                   ":Path:C:\\Program Files\\App" + std::to_string(i % 37) + "\\app.exe\n";
    std::string noise;
    unsigned x = 12345;
    for (int i = 0; i < 100000; ++i) noise += char((x = x * 1103515245 + 12345) >> 16);
    if (packs()) {
        EXPECT_LT(packedPair(logLike, "").size() * 4, logLike.size()) << "log text packs at least four to one";
    }
#ifdef VT_HAVE_ZLIB
    for (const std::string& a : {std::string(), std::string("a"), std::string(70000, 'z'), logLike, noise})
        for (const std::string& b : {std::string(), std::string("b"), noise})
            EXPECT_EQ(gunzip(unbase64(packedPair(a, b))), a + b);
#endif
}

TEST(ReportHostile, NoPingsHugeLinesAndLinesOfNoShape) {
    const std::string huge(1 << 20, 'A');
    Model m = modelOf(kStart + "08.12.2026 17:55:22;Process;Add;PID:1:Path:C:\\" + huge + "\n" +
                      "08.12.2026 17:55:23;Key;Pressed;Name:" + huge + "\n" + huge + "\n" + kStop);
    EXPECT_TRUE(m.pings.empty());
    EXPECT_EQ(m.unreadable, 1u);
    const std::string page = pageOf(m);
    EXPECT_NE(page.find("No ping records."), std::string::npos);
    EXPECT_NE(page.find("No adapter statistics."), std::string::npos);
    if (packs()) {
        EXPECT_LT(page.size(), huge.size()) << "labels are cut; the data is packed";
    } else {
        EXPECT_LT(page.size(), 6 * huge.size()) << "labels are cut; the data is the lines in base64";
    }
#ifdef VT_HAVE_ZLIB
    // The longest run of the huge line's letter: searching for the line itself
    // would compare a megabyte at every one of millions of places.
    std::size_t run = 0, longest = 0;
    for (const char c : dataOf(page)) {
        run = c == 'A' ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    EXPECT_GE(longest, huge.size()) << "the table still has the whole line";
#endif
    Model empty = modelOf("");
    const std::string nothing = pageOf(empty);
    EXPECT_NE(nothing.find("No readable time stamps"), std::string::npos);
}

TEST(ReportRun, PagesOfWholeAndBrokenLogs) {
    testsupport::TempDir dir;
    const std::string text = kStart + "08.12.2026 17:55:22;Key;Pressed;Name:W\n" + kStop;
    const std::string whole = dir.join("2026-12-08_17-55-21_MID_47_0.vtl");
    testsupport::writeBytes(whole, sealed(text));
    ASSERT_TRUE(testsupport::openLog(whole, false).whole);
    const std::string extra = dir.join("extra.vtl"), cut = dir.join("cut.vtl");
    testsupport::writeBytes(extra, sealed(text) + "xyz");
    const std::string bytes = sealed(text);
    testsupport::writeBytes(cut, bytes.substr(0, bytes.size() - 16));

    std::ostringstream out, err;
    EXPECT_EQ(run({whole}, "", true, out, err), 0) << err.str();
    const std::string page = testsupport::readBytes(dir.join("2026-12-08_17-55-21_MID_47_0.html"));
    EXPECT_NE(page.find("The log is whole."), std::string::npos);
    EXPECT_NE(page.find("id=\"events-chart\""), std::string::npos);

    // Bytes after a whole log: read, and said not to be whole.
    const std::string onePage = dir.join("one.html");
    EXPECT_EQ(run({whole, extra}, onePage, true, out, err), 2);
    const std::string both = testsupport::readBytes(onePage);
    EXPECT_NE(both.find("Not whole"), std::string::npos);
    EXPECT_NE(both.find("the records that could be read are shown"), std::string::npos);
    EXPECT_NE(err.str().find("extra.vtl: not whole"), std::string::npos);

    // A cut log whose key is not searched for cannot be decrypted: the page
    // says so and shows no records.
    EXPECT_EQ(run({cut}, "", false, out, err), 2);
    const std::string cutPage = testsupport::readBytes(dir.join("cut.html"));
    EXPECT_NE(cutPage.find("nothing could be read"), std::string::npos);

    // Never over a log.
    EXPECT_EQ(run({whole, extra}, extra, true, out, err), 1);
    EXPECT_EQ(testsupport::readBytes(extra), sealed(text) + "xyz");
    EXPECT_NE(err.str().find("would overwrite"), std::string::npos);

    // A page that cannot be written.
    EXPECT_EQ(run({whole}, dir.join("no-such-dir/x.html"), true, out, err), 1);
    EXPECT_NE(err.str().find("cannot be written"), std::string::npos);
}

}  // namespace
