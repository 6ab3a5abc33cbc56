// POSIX threads: the library is unloaded only after its worker was joined,
// so the thread needs no reference on the library.
#include "controller/threads.h"

#include <thread>

namespace vt {
namespace {

class posixThread : public thread {
public:
    posixThread(threads::Body body, void* context) : t_(body, context) {}
    ~posixThread() override {
        if (t_.joinable()) t_.detach();
    }
    void join() override {
        if (t_.joinable()) t_.join();
    }
    void detach() override {
        if (t_.joinable()) t_.detach();
    }

private:
    std::thread t_;
};

class posixThreads : public threads {
public:
    std::unique_ptr<thread> start(Body body, void* context) override {
        try {
            return std::unique_ptr<thread>(new posixThread(body, context));
        } catch (...) {
            return nullptr;
        }
    }
};

}  // namespace

threads& systemThreads() {
    static posixThreads system;
    return system;
}

}  // namespace vt
