// What every back end's new files promise, checked against the real machine:
// writes the disk cuts short say how much it took, bytes that replace bytes
// already written need no room, a file never gets a hole, and an existing
// name is never replaced.
#pragma once

#include "platform/os.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <string>

namespace testsupport {

// Makes `file` (which must not exist yet) holding "abcdEF".
inline void expectNewFileContract(const std::string& file) {
    auto f = os::createNewFile(file);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->write("abc", 3), 3u);
    os::setWriteLimit([](std::size_t) { return std::size_t(1); });
    EXPECT_EQ(f->write("def", 3), 1u);
    os::setWriteLimit(nullptr);
    EXPECT_EQ(f->write("ef", 2), 2u);
    os::setWriteLimit([](std::size_t) { return std::size_t(0); });
    EXPECT_EQ(f->writeAt(4, "EFG", 3), 2u);
    os::setWriteLimit(nullptr);
    EXPECT_EQ(f->writeAt(7, "x", 1), 0u);  // never a hole
    EXPECT_EQ(f->end(), 6u);
    EXPECT_TRUE(f->close());
    EXPECT_FALSE(os::createNewFile(file));
    EXPECT_EQ(readBytes(file), "abcdEF");
}

}  // namespace testsupport
