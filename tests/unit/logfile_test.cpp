// A log read from bytes its caller holds reads as the same file read from disk.
#include "read/logfile.h"
#include "read/sealed.h"
#include "support/log_text.h"
#include "support/match_logs.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using testsupport::MatchSpec;

struct Seen {
    vt::read::State state = vt::read::State::Unreadable;
    std::string reason, text;
    std::uint64_t size = 0;
};

Seen readAll(vt::read::LogFile& log) {
    Seen s{log.state(), log.reason(), {}, log.size()};
    log.readText([&](const char* text, std::size_t size) {
        s.text.append(text, size);
        return true;
    });
    return s;
}

TEST(HeldBytes, ALogReadFromItsBytesIsTheFileReadFromDisk) {
    testsupport::TempDir dir;
    const std::string text = testsupport::matchText(MatchSpec());
    const std::string sealed = testsupport::sealedLog(text);
    std::string noStop = text;
    noStop.resize(noStop.rfind("08.12.2026", noStop.size() - 2));
    const std::pair<const char*, std::string> cases[] = {
        {"whole", sealed},
        {"appended", sealed + "xyz"},
        {"sealed without its stop record", testsupport::sealedLog(noStop)},
        {"damaged", sealed.substr(0, sealed.size() - 3)},
        {"text", std::string(4096, 'a')},
        {"empty", ""},
    };
    for (const auto& c : cases) {
        const std::string path = dir.join("log.vtl");
        testsupport::writeBytes(path, c.second);
        vt::read::Options noSearch;
        noSearch.search = false;
        vt::read::LogFile fromDisk(path, noSearch);
        vt::read::LogFile fromBytes(path, std::make_unique<vt::read::HeldBytes>(c.second), noSearch);
        const Seen a = readAll(fromDisk), b = readAll(fromBytes);
        EXPECT_EQ(int(a.state), int(b.state)) << c.first;
        EXPECT_EQ(a.reason, b.reason) << c.first;
        EXPECT_EQ(a.text, b.text) << c.first;
        EXPECT_EQ(b.size, c.second.size()) << c.first;
    }
    // The whole one reads as its text, and the one without a stop record as far as it goes.
    vt::read::LogFile whole(dir.join("none.vtl"), std::make_unique<vt::read::HeldBytes>(sealed));
    EXPECT_EQ(readAll(whole).text, text);
}

TEST(HeldBytes, ReadsOutsideTheBytesFail) {
    vt::read::HeldBytes bytes("12345678");
    unsigned char out[8];
    EXPECT_TRUE(bytes.read(4, out, 4));
    EXPECT_EQ(out[0], '5');
    EXPECT_FALSE(bytes.read(5, out, 4));
    EXPECT_FALSE(bytes.read(9, out, 0));
    EXPECT_TRUE(bytes.read(8, out, 0));
}

// A recovered log written through a sink: whole when every write was taken,
// and a failure when one was refused, even if the writes after it are taken.
TEST(WriteRecovered, IsWholeOnlyWhenEveryWriteWasTaken) {
    testsupport::TempDir dir;
    std::string text = testsupport::matchText(MatchSpec());
    text.resize(text.rfind("08.12.2026", text.size() - 2));  // without its stop record
    const std::string sealed = testsupport::sealedLog(text);
    vt::read::Options noSearch;
    noSearch.search = false;
    std::string out;
    int writes = 0;
    auto collect = [&](const unsigned char* data, std::size_t size) {
        out.append(reinterpret_cast<const char*>(data), size);
        return ++writes > 0;
    };
    vt::read::LogFile log(dir.join("m.vtl"), std::make_unique<vt::read::HeldBytes>(sealed), noSearch);
    ASSERT_EQ(int(log.state()), int(vt::read::State::Recovered));
    ASSERT_TRUE(vt::read::writeRecovered(log, "m.vtl", collect));
    ASSERT_GT(writes, 1);
    vt::read::LogFile again(dir.join("r.vtl"), std::make_unique<vt::read::HeldBytes>(out), noSearch);
    const Seen r = readAll(again);
    EXPECT_EQ(int(r.state), int(vt::read::State::Whole));
    const std::string& body = text;
    ASSERT_GT(r.text.size(), body.size());
    EXPECT_EQ(r.text.substr(0, body.size()), body);
    EXPECT_NE(r.text.find("m.vtl", body.size()), std::string::npos) << r.text.substr(body.size());
    EXPECT_EQ(r.text.substr(r.text.size() - 23), ";Info;Stop;Logfile end\n");

    // The first write refused (while the records are read), or the last (the trailer, after them).
    for (const int refusedAt : {1, writes}) {
        int calls = 0;
        vt::read::LogFile refused(dir.join("m.vtl"), std::make_unique<vt::read::HeldBytes>(sealed), noSearch);
        EXPECT_FALSE(vt::read::writeRecovered(refused, "m.vtl", [&](const unsigned char*, std::size_t) {
            return ++calls != refusedAt;
        })) << refusedAt;
        EXPECT_GE(calls, refusedAt);
    }
}

}  // namespace
