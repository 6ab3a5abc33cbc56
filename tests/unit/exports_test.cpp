#include "controller/library.h"
#include "support/fake_os.h"
#include "support/log_text.h"
#include "support/temp_dir.h"
#include "vantorelle/vantorelle.h"

#include <gtest/gtest.h>

namespace {

using testsupport::countPrefix;
using testsupport::logFiles;
using testsupport::recordLines;

class Exports : public ::testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        ASSERT_TRUE(vt::attachLibrary());
    }
    void TearDown() override { vt::detachLibrary(vt::vantorelle::Unload::Normal); }
    testsupport::TempDir dir;
};

TEST(ExportsWithoutController, ReportNoController) {
    EXPECT_EQ(vtStart(12, 47, 0, 0, nullptr), 1);
    EXPECT_EQ(vtStop(), 1);
    EXPECT_EQ(vtGetErrorSignal(), nullptr);
    EXPECT_EQ(vtGetInfoSignal(), nullptr);
    vtSendKey(1, "W");
    vtSendInfo("a", "b");
    EXPECT_FALSE(vt::detachLibrary(vt::vantorelle::Unload::Normal));
}

TEST_F(Exports, StartAndStopCodes) {
    EXPECT_EQ(vtStart(0, 47, 0, 0, dir.path().c_str()), 2);
    EXPECT_TRUE(logFiles(dir.path()).empty());
    EXPECT_EQ(vtStart(12, 47, 0, 0, nullptr), 0);
    EXPECT_EQ(vtStart(12, 47, 0, 0, dir.path().c_str()), 3);  // one recording at a time
    EXPECT_EQ(vtStop(), 0);
    EXPECT_EQ(vtStop(), 0);
    EXPECT_EQ(vtStart(12, 47, 0, 0, ""), 0);
    EXPECT_EQ(vtStop(), 0);
    const std::string missingParent = dir.join("a") + os::pathSeparator() + "b";
    EXPECT_EQ(vtStart(12, 47, 0, 0, missingParent.c_str()), 3);
    const std::string tooLong(10000, 'x');
    EXPECT_EQ(vtStart(12, 47, 0, 0, tooLong.c_str()), 3);
    EXPECT_EQ(vtStart(12, 47, 0, 0, dir.path().c_str()), 0);
    EXPECT_EQ(vtStop(), 0);
    EXPECT_EQ(logFiles(dir.path()).size(), 1u);
}

TEST_F(Exports, KeysAndFactsAreFiltered) {
    ASSERT_EQ(vtStart(12, 47, 0, 0, dir.path().c_str()), 0);
    vtSendKey(0, "zero");
    vtSendKey(-1, "negative");
    vtSendKey(1, "");
    vtSendKey(1, "W");
    vtSendInfo("", "v");
    vtSendInfo("n", "");
    vtSendInfo("Map", "0");
    ASSERT_EQ(vtStop(), 0);
    vtSendKey(1, "after");
    auto lines = recordLines(logFiles(dir.path())[0]);
    EXPECT_EQ(countPrefix(lines, "Key;"), 1);
    EXPECT_EQ(countPrefix(lines, "Key;Pressed;Name:W"), 1);
    EXPECT_EQ(countPrefix(lines, "SysInfo;Map;Value:0"), 1);
    EXPECT_EQ(countPrefix(lines, "SysInfo;n;"), 0);
}

TEST_F(Exports, SignalGettersReturnStableDistinctObjects) {
    vtErrorSignal* e = vtGetErrorSignal();
    vtInfoSignal* i = vtGetInfoSignal();
    ASSERT_NE(e, nullptr);
    ASSERT_NE(i, nullptr);
    EXPECT_EQ(vtGetErrorSignal(), e);
    EXPECT_EQ(vtGetInfoSignal(), i);
    EXPECT_NE(static_cast<void*>(e), static_cast<void*>(i));
}

TEST_F(Exports, UnloadDuringARecordingClosesItsLog) {
    ASSERT_EQ(vtStart(12, 47, 0, 0, dir.path().c_str()), 0);
    vtSendKey(1, "W");
    EXPECT_TRUE(vt::detachLibrary(vt::vantorelle::Unload::Normal));
    EXPECT_EQ(vtStop(), 1);
    auto lines = recordLines(logFiles(dir.path())[0]);
    EXPECT_EQ(countPrefix(lines, "Info;Stop;"), 1);
}

}  // namespace
