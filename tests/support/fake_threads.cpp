#include "support/fake_threads.h"

#include <chrono>
#include <thread>

namespace fake {

class Thread : public vt::thread {
public:
    Thread(Threads& owner, vt::threads::Body body, void* context)
        : owner_(owner), t_([&owner, body, context] {
              body(context);
              owner.exit();
          }) {}
    ~Thread() override { detach(); }
    void join() override {
        if (!t_.joinable()) return;
        bool held;
        {
            std::lock_guard<std::mutex> lock(owner_.mutex_);
            held = owner_.loaderLockHeld_;
        }
        if (held) {
            ++owner_.joinsUnderLoaderLock;  // would never return
            t_.detach();
            return;
        }
        t_.join();
    }
    void detach() override {
        if (t_.joinable()) t_.detach();
    }

private:
    Threads& owner_;
    std::thread t_;
};

std::unique_ptr<vt::thread> Threads::start(Body body, void* context) {
    if (failStart) return nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++running_;
    }
    ++references;  // taken before the thread runs, on the starting thread
    ++started;
    return std::unique_ptr<vt::thread>(new Thread(*this, body, context));
}

void Threads::exit() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !loaderLockHeld_; });
    --references;  // dropped by the same call that ends the thread
    --running_;
    changed_.notify_all();
}

void Threads::holdLoaderLock(bool held) {
    std::lock_guard<std::mutex> lock(mutex_);
    loaderLockHeld_ = held;
    changed_.notify_all();
}

bool Threads::waitAllEnded(int waitMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(waitMs), [this] { return running_ == 0; });
}

void Threads::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    loaderLockHeld_ = false;
    failStart = false;
    started = 0;
    references = 0;
    joinsUnderLoaderLock = 0;
}

Threads& threads() {
    static Threads* one = new Threads;  // never destroyed: see the header
    return *one;
}

}  // namespace fake
