#include "platform/os.h"
#include "read/newfile.h"
#include "support/log_text.h"
#include "support/temp_dir.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

namespace {

namespace fs = boost::filesystem;
using testsupport::readBytes;
using testsupport::writeBytes;

TEST(NewFile, AFreeNameIsNeverOneInUse) {
    testsupport::TempDir dir;
    writeBytes(dir.join("a.txt"), "theirs");
#if !defined(_WIN32)
    fs::create_symlink(dir.join("nowhere"), dir.join("a_1.txt"));  // even a dangling link is in use
#endif
    vt::NewFile f;
    std::string error;
    ASSERT_TRUE(f.createFree(dir.path(), "a", ".txt", error)) << error;
#if !defined(_WIN32)
    EXPECT_EQ(fs::path(f.path()).filename().string(), "a_2.txt");
#else
    EXPECT_EQ(fs::path(f.path()).filename().string(), "a_1.txt");
#endif
    EXPECT_TRUE(f.write("mine"));
    ASSERT_TRUE(f.commit(error)) << error;
    EXPECT_EQ(readBytes(f.path()), "mine");
    EXPECT_EQ(readBytes(dir.join("a.txt")), "theirs");
}

TEST(NewFile, ANamedFileIsReplacedWholeAndALinkNeverFollowed) {
    testsupport::TempDir dir;
    const std::string page = dir.join("page.html"), target = dir.join("target");
    writeBytes(page, "old page");
    std::string error;
    {
        vt::NewFile f;
        ASSERT_TRUE(f.createAt(page, error)) << error;
        EXPECT_EQ(readBytes(page), "old page");  // written beside it until complete
        EXPECT_TRUE(f.write("new page"));
        ASSERT_TRUE(f.commit(error)) << error;
    }
    EXPECT_EQ(readBytes(page), "new page");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
#if !defined(_WIN32)
    writeBytes(target, "keep me");
    fs::remove(page);
    fs::create_symlink(target, page);
    vt::NewFile f;
    ASSERT_TRUE(f.createAt(page, error)) << error;
    EXPECT_TRUE(f.write("page"));
    ASSERT_TRUE(f.commit(error)) << error;
    EXPECT_EQ(readBytes(target), "keep me");
    EXPECT_FALSE(fs::is_symlink(page));
    EXPECT_EQ(readBytes(page), "page");
#endif
    vt::NewFile d;
    EXPECT_FALSE(d.createAt(dir.path(), error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
}

TEST(NewFile, WhatIsNotCommittedWholeIsRemoved) {
    testsupport::TempDir dir;
    std::string error;
    {
        vt::NewFile f;
        ASSERT_TRUE(f.createFree(dir.path(), "left", ".txt", error));
        f.write("half");
    }  // never committed
    EXPECT_TRUE(fs::is_empty(dir.path()));

    writeBytes(dir.join("named.txt"), "before");
    for (const bool named : {false, true}) {
        vt::NewFile f;
        ASSERT_TRUE(named ? f.createAt(dir.join("named.txt"), error) : f.createFree(dir.path(), "short", ".txt", error));
        os::setWriteLimit([](std::size_t n) { return n / 2; });  // the disk takes half
        EXPECT_FALSE(f.write("0123456789"));
        os::setWriteLimit(nullptr);
        EXPECT_FALSE(f.write("more"));  // nothing after a refusal
        EXPECT_FALSE(f.commit(error));
        EXPECT_NE(error.find("the disk took 5 of 14 bytes"), std::string::npos) << error;
    }
    EXPECT_EQ(readBytes(dir.join("named.txt")), "before");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(NewFile, NoFreeNameAndNothingMadeAreSaid) {
    testsupport::TempDir dir;
    writeBytes(dir.join("x.txt"), "");
    for (int i = 1; i < 100; ++i) writeBytes(dir.join("x_" + std::to_string(i) + ".txt"), "");
    vt::NewFile f;
    std::string error;
    EXPECT_FALSE(f.createFree(dir.path(), "x", ".txt", error));
    EXPECT_NE(error.find("no free name for x.txt in"), std::string::npos) << error;
    EXPECT_FALSE(f.commit(error));
    EXPECT_EQ(error, "nothing was made");
}

}  // namespace
