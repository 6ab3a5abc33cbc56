// Threads for the worker as the library gets them from the system, with the
// Windows loader lock modelled: a thread holds a reference on the library
// from before it starts until it has ended, and while the loader lock is held
// a thread whose work is done cannot end (its exit needs the lock), so a join
// then would never return. Such a join is counted instead of made.
#pragma once

#include "controller/threads.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

// ThreadSanitizer does not see a lock taken with a time limit
// (pthread_mutex_clocklock, as std::timed_mutex::try_lock_for uses) and
// reports its unlock as one of an unlocked mutex: tests of the paths that
// take the log that way skip themselves under it.
#if defined(__SANITIZE_THREAD__)
#define VT_TEST_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VT_TEST_UNDER_TSAN 1
#endif
#endif

namespace fake {

class Threads : public vt::threads {
public:
    // Back to a fresh state; only while no thread of it runs.
    void reset();

    std::unique_ptr<vt::thread> start(Body body, void* context) override;

    void holdLoaderLock(bool held);
    // Waits until every thread started so far has ended; false after waitMs.
    bool waitAllEnded(int waitMs);

    std::atomic<bool> failStart{false};
    std::atomic<int> started{0};
    std::atomic<int> references{0};  // on the library, held by threads
    std::atomic<int> joinsUnderLoaderLock{0};

private:
    friend class Thread;
    void exit();  // the end of a thread: needs the loader lock

    std::mutex mutex_;
    std::condition_variable changed_;
    bool loaderLockHeld_ = false;
    int running_ = 0;
};

// One for the whole test program: threads that were let go may still be
// leaving it when a test ends.
Threads& threads();

}  // namespace fake
