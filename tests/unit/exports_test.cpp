#include "controller/library.h"
#include "support/controller_access.h"
#include "support/fake_os.h"
#include "support/fake_threads.h"
#include "support/log_text.h"
#include "support/temp_dir.h"
#include "vantorelle/vantorelle.h"

#include <gtest/gtest.h>

#include <memory>

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

// At process exit the system has already terminated the worker, perhaps
// inside a lock: the log is closed, but nothing is destroyed, since
// destruction could wait for such a lock for ever.
TEST_F(Exports, AtProcessExitTheLogIsClosedAndTheControllerLeftStanding) {
#if defined(VT_TEST_UNDER_TSAN)
    GTEST_SKIP() << "the log is closed with a time limit, which ThreadSanitizer cannot follow";
#endif
    vt::detachLibrary(vt::vantorelle::Unload::Normal);
    fake::threads().reset();
    vt::controllerTestAccess::useThreads(&fake::threads());
    ASSERT_TRUE(vt::attachLibrary());
    vt::controllerTestAccess::useThreads(nullptr);
    auto token = std::make_shared<int>(0);
    vtGetInfoSignal()->connect([token](const std::string&, const std::string&) {});
    ASSERT_EQ(token.use_count(), 2);
    ASSERT_EQ(vtStart(12, 47, 0, 0, dir.path().c_str()), 0);
    vtSendKey(1, "W");
    fake::threads().holdLoaderLock(true);  // as it is while the process detaches
    EXPECT_TRUE(vt::detachLibrary(vt::vantorelle::Unload::ProcessExit));
    EXPECT_EQ(fake::threads().joinsUnderLoaderLock, 0);
    fake::threads().holdLoaderLock(false);
    EXPECT_EQ(vtStop(), 1);
    EXPECT_EQ(token.use_count(), 2);  // the controller and its signals are still there
    auto lines = testsupport::withoutStamps(recordLines(logFiles(dir.path())[0]));
    EXPECT_EQ(countPrefix(lines, "Key;Pressed;Name:W"), 1);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Info;Stop;Logfile end");
    EXPECT_TRUE(fake::threads().waitAllEnded(5000));
}

}  // namespace
