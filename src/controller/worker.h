// The recording's worker: one thread that runs a tick, then pauses for the
// tick interval or until it is stopped, and again, until it is stopped.
//
// It owns the thread, the wake-up, the finished signal and how the thread is
// ended when the library goes away. A tick that throws is counted and
// skipped; the next one runs as usual.
#pragma once

#include "controller/threads.h"

#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

namespace vt {

// How stop ends the thread.
//   Normal          joins it.
//   LoaderLockHeld  the library is being unloaded under the loader lock
//                   (Windows): a thread cannot end then, so stop waits a
//                   bounded time for the loop to finish and lets it go.
//   ProcessExit     the process is ending and the system has already
//                   terminated the thread, possibly inside a locked section:
//                   stop neither waits nor takes a lock.
enum class Unload { Normal, LoaderLockHeld, ProcessExit };

class worker {
public:
    using Tick = std::function<void()>;

    explicit worker(threads& system = systemThreads());
    // Stops a running loop as the unload mode says.
    ~worker();
    worker(const worker&) = delete;
    worker& operator=(const worker&) = delete;

    // Starts the loop; false when the thread could not be started.
    bool start(Tick tick, int intervalMs);
    // Ends the loop. In every mode but ProcessExit no tick runs any more when
    // it returns (LoaderLockHeld: unless the tick outlasts unloadWaitMs).
    void stop();
    void setUnload(Unload mode) { unload_ = mode; }
    Unload unload() const { return unload_; }

    bool running() const { return running_.load(); }
    // Ticks done since the last start, and those of them that threw.
    std::uint64_t ticks() const { return ticks_.load(); }
    std::uint64_t failedTicks() const { return failedTicks_.load(); }

    // How long stop waits for the loop under the loader lock: the longest tick
    // (polls, a 500 ms echo, the pause being cut short) with room.
    static constexpr int unloadWaitMs = 5000;

private:
    friend class workerTestAccess;
    static void entry(void* self);
    void loop();

    threads& system_;
    std::unique_ptr<thread> thread_;
    Tick tick_;
    int intervalMs_ = 0;
    Unload unload_ = Unload::Normal;

    std::atomic<bool> running_{false};
    std::atomic<std::uint64_t> ticks_{0}, failedTicks_{0};

    // The loop pauses on `wake_` so that stop ends the pause at once; it sets
    // `finished_` when it has left the loop for good.
    boost::mutex mutex_;
    boost::condition_variable wake_;
    bool finished_ = true;
};

}  // namespace vt
