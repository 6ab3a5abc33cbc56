#include "host.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include <cstdio>

#if !defined(VT_LIBRARY_SONAME)
#define VT_LIBRARY_SONAME "libvantorelle.so"
#endif

namespace vtrecord {

Library::Library(const std::string& path) {
#if defined(_WIN32)
    handle_ = reinterpret_cast<void*>(::LoadLibraryA(path.c_str()));
    if (!handle_) error_ = "LoadLibrary failed with error " + std::to_string(::GetLastError());
#else
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* e = ::dlerror();
        error_ = e ? e : "dlopen failed";
    }
#endif
}

Library::~Library() { unload(); }

void Library::unload() {
    if (!handle_) return;
#if defined(_WIN32)
    ::FreeLibrary(reinterpret_cast<HMODULE>(handle_));
#else
    ::dlclose(handle_);
#endif
    handle_ = nullptr;
    start = nullptr;
    stop = nullptr;
    sendKey = nullptr;
    sendInfo = nullptr;
    errorSignal = nullptr;
    infoSignal = nullptr;
}

void* Library::symbol(const char* name) {
#if defined(_WIN32)
    return reinterpret_cast<void*>(::GetProcAddress(reinterpret_cast<HMODULE>(handle_), name));
#else
    return ::dlsym(handle_, name);
#endif
}

bool Library::bind() {
    if (!handle_) return false;
    start = reinterpret_cast<vtStartFn>(symbol("vtStart"));
    stop = reinterpret_cast<vtStopFn>(symbol("vtStop"));
    sendKey = reinterpret_cast<vtSendKeyFn>(symbol("vtSendKey"));
    sendInfo = reinterpret_cast<vtSendInfoFn>(symbol("vtSendInfo"));
    errorSignal = reinterpret_cast<vtGetErrorSignalFn>(symbol("vtGetErrorSignal"));
    infoSignal = reinterpret_cast<vtGetInfoSignalFn>(symbol("vtGetInfoSignal"));
    if (start && stop && sendKey && sendInfo && errorSignal && infoSignal) return true;
    error_ = "the library lacks one of the six exports";
    return false;
}

bool stderrIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

std::string defaultLibraryPath(const char* argv0) {
    std::string self = argv0 ? argv0 : "";
#if defined(_WIN32)
    char module[MAX_PATH];
    DWORD n = ::GetModuleFileNameA(nullptr, module, MAX_PATH);
    if (n > 0 && n < MAX_PATH) self.assign(module, n);
#else
    // argv[0] of a program found on PATH has no directory; the current
    // directory is no place to load a library from.
    char exe[4096];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe);
    if (n > 0 && static_cast<std::size_t>(n) < sizeof exe) self.assign(exe, static_cast<std::size_t>(n));
#endif
    std::size_t slash = self.find_last_of("/\\");
    std::string dir = slash == std::string::npos ? std::string(".") : self.substr(0, slash);
#if defined(_WIN32)
    return dir + "\\vantorelle.dll";
#else
    // Beside the program in a build tree; in an installed tree the library
    // lives in the library directory, where the loader finds it by its SONAME.
    std::string beside = dir + "/libvantorelle.so";
    if (slash != std::string::npos && ::access(beside.c_str(), F_OK) == 0) return beside;
    return VT_LIBRARY_SONAME;
#endif
}

}  // namespace vtrecord
