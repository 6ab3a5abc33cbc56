// The log's write failing once, as a full disk or a lost file makes it: a
// slot calls it first, and the n-th call throws (0: never).
#pragma once

#include <stdexcept>

namespace testsupport {

struct FailingWrite {
    int failAt = 0;
    int calls = 0;
    void operator()() {
        if (++calls == failAt) throw std::runtime_error("the log could not be written");
    }
    // The next call throws.
    void failNext() { failAt = calls + 1; }
};

}  // namespace testsupport
