#include "verbs.h"

#include <csignal>
#include <exception>
#include <new>
#include <ostream>

namespace vtl {

std::atomic<bool>& recover::interruptFlag() {
    static std::atomic<bool> flag{false};
    return flag;
}

namespace {
extern "C" void onInterrupt(int) { recover::interruptFlag().store(true); }
}  // namespace

InterruptGuard::InterruptGuard() {
    recover::interruptFlag().store(false);
    previous_ = std::signal(SIGINT, onInterrupt);
}

InterruptGuard::~InterruptGuard() {
    if (previous_ != SIG_ERR) std::signal(SIGINT, previous_);
}

int guarded(const std::string& name, std::ostream& err, const std::function<int()>& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        err << name << ": cannot be read (out of memory)\n";
    } catch (const std::exception& e) {
        err << name << ": cannot be read (" << e.what() << ")\n";
    } catch (...) {
        err << name << ": cannot be read\n";
    }
    return kNotWhole;
}

}  // namespace vtl
