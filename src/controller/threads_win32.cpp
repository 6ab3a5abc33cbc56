// Windows threads that hold a reference on the library's module for as long
// as they run, and drop it as they end.
#include "controller/threads.h"

#include <windows.h>

#include <new>

namespace vt {
namespace {

struct launch {
    threads::Body body;
    void* context;
    HMODULE module;
};

DWORD WINAPI threadMain(LPVOID parameter) {
    launch* l = static_cast<launch*>(parameter);
    const launch copy = *l;
    delete l;
    copy.body(copy.context);
    // Drops the reference and ends the thread in one call that does not
    // return here: if this was the last reference, the library is unmapped
    // only after this thread has left its code.
    FreeLibraryAndExitThread(copy.module, 0);
    return 0;  // not reached
}

class win32Thread : public thread {
public:
    explicit win32Thread(HANDLE handle) : handle_(handle) {}
    void adopt(HANDLE handle) { handle_ = handle; }
    ~win32Thread() override { detach(); }
    void join() override {
        if (!handle_) return;
        WaitForSingleObject(handle_, INFINITE);
        detach();
    }
    void detach() override {
        if (handle_) CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_;
};

class win32Threads : public threads {
public:
    std::unique_ptr<thread> start(Body body, void* context) override {
        HMODULE module = nullptr;
        // Taken here, on the caller's thread, while the host holds the
        // library: the new thread owns it from its first instruction.
        if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                reinterpret_cast<LPCWSTR>(&threadMain), &module))
            return nullptr;
        std::unique_ptr<win32Thread> owner(new (std::nothrow) win32Thread(nullptr));
        launch* l = owner ? new (std::nothrow) launch{body, context, module} : nullptr;
        HANDLE handle = l ? CreateThread(nullptr, 0, threadMain, l, 0, nullptr) : nullptr;
        if (handle) {
            owner->adopt(handle);
            return std::unique_ptr<thread>(owner.release());
        }
        delete l;
        FreeLibrary(module);  // the host's own reference keeps the library loaded
        return nullptr;
    }
};

}  // namespace

threads& systemThreads() {
    static win32Threads system;
    return system;
}

}  // namespace vt
