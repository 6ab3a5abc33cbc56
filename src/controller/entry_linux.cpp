// Load and unload hooks: the same lifetime as the Windows entry point, for
// dlopen/dlclose and for process start and exit.
#include "controller/library.h"
#include "platform/os.h"

namespace {

__attribute__((constructor)) void onLoad() { vt::attachLibrary(); }

__attribute__((destructor)) void onUnload() {
    vt::detachLibrary(vt::vantorelle::Unload::Normal);
    os::releaseMachine();
}

}  // namespace
