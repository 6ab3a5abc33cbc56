#include "controller/worker.h"

#include <boost/chrono/duration.hpp>

namespace vt {

worker::worker(threads& system) : system_(system) {}

worker::~worker() {
    try {
        stop();
    } catch (...) {
        // nothing leaves a destructor
    }
}

bool worker::start(Tick tick, int intervalMs) {
    if (running_ || thread_) return false;
    tick_ = std::move(tick);
    intervalMs_ = intervalMs;
    ticks_ = 0;
    failedTicks_ = 0;
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        finished_ = false;
    }
    running_ = true;
    thread_ = system_.start(&worker::entry, this);
    if (!thread_) {
        running_ = false;  // no thread: nothing will wait for `finished_`
        return false;
    }
    return true;
}

void worker::stop() {
    if (!thread_) {
        running_ = false;
        return;
    }
    if (unload_ == Unload::ProcessExit) {
        // The thread is gone, perhaps inside its locked section: no lock, no wait.
        running_ = false;
        thread_->detach();
        thread_.reset();
        return;
    }
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        running_ = false;
    }
    wake_.notify_all();
    if (unload_ == Unload::Normal) {
        thread_->join();
    } else {
        // The loop can finish under the loader lock; the thread's exit cannot.
        boost::unique_lock<boost::mutex> lock(mutex_);
        wake_.wait_for(lock, boost::chrono::milliseconds(unloadWaitMs), [this] { return finished_; });
        lock.unlock();
        thread_->detach();
    }
    thread_.reset();
}

void worker::entry(void* self) { static_cast<worker*>(self)->loop(); }

void worker::loop() {
    while (running_) {
        try {
            tick_();
        } catch (...) {
            // This tick is lost; the next one runs as usual.
            ++failedTicks_;
        }
        ++ticks_;
        try {
            boost::unique_lock<boost::mutex> lock(mutex_);
            wake_.wait_for(lock, boost::chrono::milliseconds(intervalMs_), [this] { return !running_; });
        } catch (...) {
            // a failed wait only shortens the pause
        }
    }
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        finished_ = true;
        wake_.notify_all();
    }
}

}  // namespace vt
