// The library's lifetime: the one controller, made when the library is loaded
// and destroyed when it is unloaded.
#pragma once

#include "controller/vantorelle.h"

namespace vt {

// Creates the controller; true when it exists afterwards.
bool attachLibrary();
// Destroys the controller (stopping a running recording first); false when
// there was none.
bool detachLibrary(vantorelle::Unload mode);
// The controller between attach and detach, for the exports; null outside.
vantorelle* controller();

}  // namespace vt
