// A host that ends without unloading the library, as many do: it loads the
// library, optionally starts a recording into the directory given, and
// returns from main with the library (and the recording) still there.
//   exit_host LIBRARY            load, then exit
//   exit_host LIBRARY DIRECTORY  load, start a recording, send a key, exit
// Exit status: 0, or 4 when the library cannot be loaded, 3 when it refused.
#include "host.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace {
// Left loaded on purpose: nothing unloads it before the process ends.
vtrecord::Library* lib = nullptr;
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    lib = new vtrecord::Library(argv[1]);
    if (!lib->loaded() || !lib->bind()) {
        std::fprintf(stderr, "exit_host: %s\n", lib->error().c_str());
        return 4;
    }
    if (argc > 2) {
        if (lib->start(12, 47, 0, 0, argv[2]) != 0) return 3;
        lib->sendKey(1, "before exit");
#if defined(_WIN32)
        // Windows terminates the worker before the library hears of the exit;
        // one terminated while it writes a record leaves the log held, and
        // that log cannot be closed. Let the first tick's records be written.
        std::this_thread::sleep_for(std::chrono::seconds(1));
#endif
    }
    return 0;
}
