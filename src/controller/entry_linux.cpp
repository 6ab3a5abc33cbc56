// Load and unload hooks: the same lifetime as the Windows entry point, for
// dlopen/dlclose and for process start and exit.
#include "controller/library.h"
#include "platform/os.h"

#include <cxxabi.h>

extern void* __dso_handle;  // this library's, as its static destructors use

namespace {

void unload() {
    vt::detachLibrary(vt::vantorelle::Unload::Normal);
    os::releaseMachine();
}

void unloadAtExit(void*) { unload(); }

__attribute__((constructor)) void onLoad() {
    vt::attachLibrary();
    // At process exit the exit handlers run before the unload hook, and those
    // registered after this one (the library's own function statics among
    // them) run before it: the recording ends here, while all it uses is
    // still there. At dlclose the unload hook has ended it already, and the
    // handler goes with the library (it is registered as the library's own).
    abi::__cxa_atexit(unloadAtExit, nullptr, &__dso_handle);
}

__attribute__((destructor)) void onUnload() { unload(); }

}  // namespace
