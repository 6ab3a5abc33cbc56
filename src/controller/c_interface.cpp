// The C interface: the vtc functions of vantorelle_c.h. They drive the same
// controller as the six C++ exports, take only plain values and UTF-8 texts
// with lengths, and turn every outcome, an exception included, into a status.
#include "controller/library.h"
#include "controller/utf8.h"
#include "vantorelle/vantorelle_c.h"

#include <cstring>
#include <string>

#if !defined(VT_VERSION)
#error "VT_VERSION must name the release"
#endif

namespace {

using vt::logger;

// A host's text: bytes and a length, or VTC_NTS for a NUL-terminated one. A
// null pointer is the empty text with the length 0 or VTC_NTS, and invalid
// with any other.
bool takeText(const char* text, std::size_t size, std::string& out) {
    out.clear();
    if (!text) return size == 0 || size == VTC_NTS;
    if (size == VTC_NTS) size = std::strlen(text);
    if (!vt::validUtf8(text, size)) return false;
    out.assign(text, size);
    return true;
}

vtc_status statusOf(logger::Written written) {
    switch (written) {
    case logger::Written::Taken:
        return VTC_OK;
    case logger::Written::Refused:
        return VTC_RECORD_LOST;
    case logger::Written::Dropped:
        break;
    }
    return VTC_IGNORED;
}

vtc_status startStatus(std::int32_t code) {
    switch (code) {
    case 0:
        return VTC_OK;
    case 1:
        return VTC_ALREADY_RECORDING;
    case 2:
        return VTC_USER_ID_ZERO;
    case 3:
    case 4:
        return VTC_LOG_FAILED;
    case 5:
        return VTC_WORKER_FAILED;
    default:
        return VTC_INTERNAL;
    }
}

}  // namespace

extern "C" {

VTC_API uint32_t VTC_CALL vtcGetAbiVersion(void) { return VTC_ABI_VERSION; }

VTC_API const char* VTC_CALL vtcGetVersionString(void) { return VT_VERSION; }

VTC_API const char* VTC_CALL vtcStatusName(vtc_status status) {
    switch (status) {
    case VTC_OK:
        return "VTC_OK";
    case VTC_NO_CONTROLLER:
        return "VTC_NO_CONTROLLER";
    case VTC_USER_ID_ZERO:
        return "VTC_USER_ID_ZERO";
    case VTC_ALREADY_RECORDING:
        return "VTC_ALREADY_RECORDING";
    case VTC_LOG_FAILED:
        return "VTC_LOG_FAILED";
    case VTC_WORKER_FAILED:
        return "VTC_WORKER_FAILED";
    case VTC_INVALID_ARGUMENT:
        return "VTC_INVALID_ARGUMENT";
    case VTC_IGNORED:
        return "VTC_IGNORED";
    case VTC_BUFFER_TOO_SMALL:
        return "VTC_BUFFER_TOO_SMALL";
    case VTC_STRUCT_SIZE:
        return "VTC_STRUCT_SIZE";
    case VTC_INTERNAL:
        return "VTC_INTERNAL";
    case VTC_RECORD_LOST:
        return "VTC_RECORD_LOST";
    }
    return "unknown status";
}

VTC_API vtc_status VTC_CALL vtcStart(uint32_t userId, uint32_t matchId, uint32_t serverAddress,
                                     uint32_t referenceTime, const char* logDirUtf8, size_t len) {
    vt::vantorelle* c = vt::controller();
    if (!c) return VTC_NO_CONTROLLER;
    if (userId == 0) return VTC_USER_ID_ZERO;
    try {
        std::string dir;
        if (!takeText(logDirUtf8, len, dir)) return VTC_INVALID_ARGUMENT;
        return startStatus(c->start(dir, userId, matchId, serverAddress, referenceTime, os::PathText::Utf8));
    } catch (...) {
        return VTC_INTERNAL;
    }
}

VTC_API vtc_status VTC_CALL vtcStop(void) {
    vt::vantorelle* c = vt::controller();
    if (!c) return VTC_NO_CONTROLLER;
    try {
        c->stop();
        return VTC_OK;
    } catch (...) {
        return VTC_INTERNAL;
    }
}

VTC_API vtc_status VTC_CALL vtcSendKey(int32_t keyCode, const char* name, size_t len) {
    vt::vantorelle* c = vt::controller();
    if (!c) return VTC_NO_CONTROLLER;
    try {
        std::string keyName;
        if (!takeText(name, len, keyName) || keyName.empty() || keyCode < 1) return VTC_INVALID_ARGUMENT;
        return statusOf(c->sendKey(keyCode, keyName));
    } catch (...) {
        return VTC_INTERNAL;
    }
}

VTC_API vtc_status VTC_CALL vtcSendInfo(const char* name, size_t nameLen, const char* value, size_t valueLen) {
    vt::vantorelle* c = vt::controller();
    if (!c) return VTC_NO_CONTROLLER;
    try {
        std::string n, v;
        if (!takeText(name, nameLen, n) || !takeText(value, valueLen, v) || n.empty() || v.empty())
            return VTC_INVALID_ARGUMENT;
        return statusOf(c->sendInfo(n, v));
    } catch (...) {
        return VTC_INTERNAL;
    }
}

VTC_API vtc_status VTC_CALL vtcGetState(vtcState* s) {
    vt::vantorelle* c = vt::controller();
    if (!c) return VTC_NO_CONTROLLER;
    if (!s) return VTC_INVALID_ARGUMENT;
    if (s->structSize < sizeof(vtcState)) return VTC_STRUCT_SIZE;
    try {
        const logger* log = c->log().get();
        s->recording = c->recording() ? 1u : 0u;
        s->logOpen = log && log->isOpen() ? 1u : 0u;
        s->reserved = 0;
        s->recordings = c->recordingsStarted();
        s->recordsWritten = log ? log->recordsWritten() : 0;
        s->recordsLost = log ? log->recordsLost() : 0;
        return VTC_OK;
    } catch (...) {
        return VTC_INTERNAL;
    }
}

VTC_API vtc_status VTC_CALL vtcGetLogPath(char* buf, size_t size, size_t* required) {
    vt::vantorelle* c = vt::controller();
    if (!c) return VTC_NO_CONTROLLER;
    if (required) *required = 0;
    if (!buf && (size != 0 || !required)) return VTC_INVALID_ARGUMENT;
    if (buf && size > 0) buf[0] = '\0';
    try {
        const logger* log = c->log().get();
        const std::string path = log ? log->currentPathUtf8() : std::string();
        if (path.empty()) return VTC_IGNORED;
        const std::size_t need = path.size() + 1;
        if (required) *required = need;
        if (!buf) return VTC_OK;
        if (size < need) return VTC_BUFFER_TOO_SMALL;
        std::memcpy(buf, path.data(), path.size());
        buf[path.size()] = '\0';
        return VTC_OK;
    } catch (...) {
        return VTC_INTERNAL;
    }
}

}  // extern "C"
