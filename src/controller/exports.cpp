// The six exported functions. None lets an exception pass: a failure inside
// becomes a status code, or nothing for the functions without a result.
#include "controller/library.h"

#include <boost/shared_ptr.hpp>

#include <new>

namespace {

using holder = boost::shared_ptr<vt::vantorelle>;

// The only global state: the controller, between load and unload. It lives in
// storage that no exit handler destroys, because the unload hook may run
// after them at process exit: only attach and detach make and end it.
alignas(holder) unsigned char instanceStorage[sizeof(holder)];
bool instanceMade = false;

holder& instance() {
    if (!instanceMade) {
        new (instanceStorage) holder();
        instanceMade = true;
    }
    return *reinterpret_cast<holder*>(instanceStorage);
}

// Controllers left behind at process exit: the system has terminated the
// worker, perhaps inside a lock that destruction would wait for, and takes
// back all memory itself.
holder* leftAtExit = nullptr;

}  // namespace

namespace vt {

bool attachLibrary() {
    try {
        if (!instance()) instance().reset(new vantorelle);
    } catch (...) {
        instance().reset();
    }
    return static_cast<bool>(instance());
}

vantorelle* controller() { return instance().get(); }

bool detachLibrary(vantorelle::Unload mode) {
    if (!instance()) return false;
    try {
        instance()->prepareUnload(mode);
        if (mode == vantorelle::Unload::ProcessExit) {
            instance()->stop();
            if (!leftAtExit) leftAtExit = new holder;
            *leftAtExit = instance();  // a controller left earlier goes now; it was stopped
        }
        instance().reset();
    } catch (...) {
        instance().reset();  // a second failure here is out of our hands
    }
    return true;
}

}  // namespace vt

extern "C" {

VT_API std::int32_t VT_CALL vtStart(std::uint32_t userId, std::uint32_t matchId, std::uint32_t serverAddress,
                                    std::uint32_t referenceTime, const char* logDir) {
    if (!instance()) return 1;
    if (userId == 0) return 2;
    try {
        const std::string dir = logDir ? logDir : "";
        return instance()->start(dir, userId, matchId, serverAddress, referenceTime) == 0 ? 0 : 3;
    } catch (...) {
        return 3;
    }
}

VT_API std::int32_t VT_CALL vtStop() {
    if (!instance()) return 1;
    try {
        instance()->stop();
    } catch (...) {
    }
    return 0;
}

VT_API void VT_CALL vtSendKey(std::int32_t keyCode, const std::string& keyName) {
    if (!instance()) return;
    try {
        instance()->sendKey(keyCode, keyName);
    } catch (...) {
    }
}

VT_API void VT_CALL vtSendInfo(const std::string& name, const std::string& value) {
    if (!instance()) return;
    try {
        instance()->sendInfo(name, value);
    } catch (...) {
    }
}

VT_API vtErrorSignal* VT_CALL vtGetErrorSignal() { return instance() ? &instance()->errorSignal : nullptr; }

VT_API vtInfoSignal* VT_CALL vtGetInfoSignal() { return instance() ? &instance()->infoSignal : nullptr; }

}  // extern "C"
