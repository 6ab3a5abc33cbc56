#include "log/container.h"
#include "log/reader.h"
#include "support/log_text.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using vt::reader::parseRecord;
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
        {"01.02.2026 03:04:05;Ping;Stats;Server:10.0.0.1:Actual:1000", "Ping", "Stats",
         {{"Server", "10.0.0.1"}, {"Actual", "1000"}}},
        {"01.02.2026 03:04:05;Key;Pressed;Name:Ctrl:Alt", "Key", "Pressed", {{"Name", "Ctrl:Alt"}}},
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
    }
}

TEST(ParseRecord, ToleratesLinesOfNoKnownShape) {
    auto r = parseRecord("garbage without separators");
    EXPECT_TRUE(r.kind.empty());
    EXPECT_EQ(r.raw, "garbage without separators");
    auto odd = parseRecord("01.02.2026 03:04:05;New;Kind;A:1:B");
    EXPECT_EQ(odd.fields, (Fields{{"A", "1"}, {"B", ""}}));
}

TEST(Json, CarriesEveryPartOfTheRecord) {
    auto j = vt::reader::toJson(parseRecord("01.02.2026 03:04:05;Ping;Stats;Server:10.0.0.1:Actual:20"));
    EXPECT_EQ(j,
              "{\"time\":\"01.02.2026 03:04:05\",\"kind\":\"Ping\",\"action\":\"Stats\",\"fields\":[{\"label\":"
              "\"Server\",\"value\":\"10.0.0.1\"},{\"label\":\"Actual\",\"value\":\"20\"}],\"raw\":\"01.02.2026 "
              "03:04:05;Ping;Stats;Server:10.0.0.1:Actual:20\"}");
    // Bytes that are not UTF-8 are replaced, not refused.
    EXPECT_NO_THROW(vt::reader::toJson(parseRecord("01.02.2026 03:04:05;Key;Pressed;Name:\xff")));
}

class ReaderCommands : public ::testing::Test {
protected:
    void SetUp() override {
        vt::Key16 key{};
        key[0] = 9;
        std::string bytes;
        vt::CipherStream s([&](const unsigned char* d, std::size_t n) { bytes.append(reinterpret_cast<const char*>(d), n); });
        s.resetCipher(key.data());
        s.encryptAppend(text);
        s.writeTrailer(key);
        file = dir.join("a.vtl");
        testsupport::writeBytes(file, bytes);
    }
    const std::string text = "01.02.2026 03:04:05;Info;Start;Logfile start:UserId:1:MatchId:2\n"
                             "01.02.2026 03:04:06;Info;Stop;Logfile end\n";
    testsupport::TempDir dir;
    std::string file;
    std::ostringstream out, err;
};

TEST_F(ReaderCommands, VerifyTellsWholeFromNotWhole) {
    const std::string damaged = dir.join("b.vtl"), shortFile = dir.join("c.vtl");
    std::string bytes = testsupport::readBytes(file);
    bytes[3] ^= 1;
    testsupport::writeBytes(damaged, bytes);
    testsupport::writeBytes(shortFile, bytes.substr(0, 13));

    EXPECT_EQ(vt::reader::verify({file}, out), 0);
    EXPECT_EQ(vt::reader::verify({file, damaged, shortFile, dir.join("missing.vtl")}, out), 1);
    const std::string report = out.str();
    EXPECT_NE(report.find("a.vtl: whole"), std::string::npos);
    EXPECT_NE(report.find("b.vtl: not whole: the trailer does not decrypt"), std::string::npos);
    EXPECT_NE(report.find("c.vtl: not whole: length 13"), std::string::npos);
    EXPECT_NE(report.find("missing.vtl: not whole: cannot be read"), std::string::npos);
}

TEST_F(ReaderCommands, CatShowsTheTextWithoutPadding) {
    EXPECT_EQ(vt::reader::cat(file, false, out, err), 0);
    EXPECT_EQ(out.str(), text);
}

TEST_F(ReaderCommands, CatRefusesAFileThatIsNotWholeUnlessForced) {
    testsupport::writeBytes(file, testsupport::readBytes(file) + "xyz");  // bytes after the trailer
    EXPECT_EQ(vt::reader::cat(file, false, out, err), 1);
    EXPECT_TRUE(out.str().empty());
    EXPECT_NE(err.str().find("not whole"), std::string::npos);
    EXPECT_EQ(vt::reader::cat(file, true, out, err), 0);
    EXPECT_EQ(out.str(), text);

    std::string cut = testsupport::readBytes(file);
    testsupport::writeBytes(file, cut.substr(0, 16));  // never closed: no key to be had
    EXPECT_EQ(vt::reader::cat(file, true, out, err), 1);
    EXPECT_NE(err.str().find("cannot be recovered"), std::string::npos);
}

TEST_F(ReaderCommands, JsonWritesOneObjectPerRecord) {
    EXPECT_EQ(vt::reader::json(file, false, out, err), 0);
    auto lines = vt::reader::lines(out.str());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("{\"time\":\"01.02.2026 03:04:05\",\"kind\":\"Info\",\"action\":\"Start\"", 0), 0u);
}

}  // namespace
