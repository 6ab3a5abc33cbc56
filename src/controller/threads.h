// The worker's thread, and the one operating-system service it needs beyond
// the platform seam: a counted reference on the library's own image.
//
// A thread that runs the library's code must keep the library mapped until
// its very last instruction. On Windows the thread holds a reference on its
// module from before it starts and drops it in the same call that ends the
// thread (FreeLibraryAndExitThread), so a FreeLibrary by the host can never
// unmap code the thread still runs in, and the thread's exit never waits for
// the library's unload. Elsewhere the library is unloaded only after its
// worker has been joined, and no reference is needed.
#pragma once

#include <memory>

namespace vt {

class thread {
public:
    virtual ~thread() = default;
    // Waits until the thread has ended. Never under the loader lock: a
    // thread's exit needs it on Windows.
    virtual void join() = 0;
    // Lets the thread end on its own.
    virtual void detach() = 0;
};

class threads {
public:
    using Body = void (*)(void* context);
    virtual ~threads() = default;
    // Runs body(context) on a new thread that keeps the library mapped until
    // it has ended; null when the thread or the reference cannot be had.
    virtual std::unique_ptr<thread> start(Body body, void* context) = 0;
};

// The operating system's threads.
threads& systemThreads();

}  // namespace vt
