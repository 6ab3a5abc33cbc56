// The Windows protocol for results of unknown size: call with a buffer; when
// it is too small the call says so, with the size it needs, and is made again
// with a buffer of that size. A table may grow between two calls, so the
// caller bounds the number of calls.
#pragma once

#include "platform/os.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

namespace vt {

struct SizedResult {
    os::Buffer data;        // the filled buffer; null unless error is NO_ERROR
    os::DWORD size = 0;     // the buffer's size in the call's units
    os::DWORD error = 0;    // the last call's answer
    int calls = 0;          // calls made
    bool noMemory = false;  // an allocation failed; no call was made with it
    os::DWORD asked = 0;    // the size the call last asked for, 0 if it never did
};

// `call(void* buffer, os::DWORD* size)` fills a zeroed buffer of *size units
// of `unit` bytes and returns NO_ERROR, or returns `growCode` with *size set
// to what it needs, or another error. Starts at `size` units.
template <typename Call>
SizedResult callSized(os::DWORD size, std::size_t unit, os::DWORD growCode, int maxCalls, Call call) {
    SizedResult r;
    for (;;) {
        if (size == 0 || std::size_t(size) > std::numeric_limits<std::size_t>::max() / unit) {
            r.noMemory = true;
            return r;
        }
        const std::size_t bytes = std::size_t(size) * unit;
        os::Buffer buffer = os::allocateBuffer(bytes);
        if (!buffer) {
            r.noMemory = true;
            return r;
        }
        std::memset(buffer.get(), 0, bytes);
        os::DWORD wanted = size;
        ++r.calls;
        r.error = call(static_cast<void*>(buffer.get()), &wanted);
        if (r.error == os::NO_ERROR) {
            r.data = std::move(buffer);
            r.size = size;
            return r;
        }
        if (r.error != growCode) return r;
        r.asked = wanted;
        if (wanted <= size || r.calls >= maxCalls) return r;
        size = wanted;
    }
}

}  // namespace vt
