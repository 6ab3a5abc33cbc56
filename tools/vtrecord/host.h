// Loading the library at run time, as a game client does.
#pragma once

#include "vantorelle/vantorelle.h"

#include <string>

namespace vtrecord {

class Library {
public:
    explicit Library(const std::string& path);
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    bool loaded() const { return handle_ != nullptr; }
    const std::string& error() const { return error_; }
    // The six exports; null until loaded, or when one is missing.
    bool bind();
    void unload();

    vtStartFn start = nullptr;
    vtStopFn stop = nullptr;
    vtSendKeyFn sendKey = nullptr;
    vtSendInfoFn sendInfo = nullptr;
    vtGetErrorSignalFn errorSignal = nullptr;
    vtGetInfoSignalFn infoSignal = nullptr;

private:
    void* symbol(const char* name);
    void* handle_ = nullptr;
    std::string error_;
};

// Whether progress can be redrawn in place.
bool stderrIsTerminal();

// The library beside the running program.
std::string defaultLibraryPath(const char* argv0);

}  // namespace vtrecord
