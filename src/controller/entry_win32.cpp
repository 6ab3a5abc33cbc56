// The DLL entry point: the controller lives from process attach to detach.
#include "controller/library.h"

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        return vt::attachLibrary() ? TRUE : FALSE;
    case DLL_PROCESS_DETACH:
        // The loader lock is held here. At process exit (reserved non-null)
        // every other thread has already been terminated.
        return vt::detachLibrary(reserved ? vt::vantorelle::Unload::ProcessExit
                                          : vt::vantorelle::Unload::LoaderLockHeld)
                   ? TRUE
                   : FALSE;
    default:
        return TRUE;
    }
}
