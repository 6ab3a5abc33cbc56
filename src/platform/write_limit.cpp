// The write limit of the file layer, and the part of File that every
// platform's files share.
#include "platform/os.h"

#include <algorithm>
#include <atomic>
#include <mutex>

namespace os {
namespace {

std::mutex limitMutex;
WriteLimit limitFn;
std::atomic<bool> limited{false};

}  // namespace

void setWriteLimit(WriteLimit limit) {
    std::lock_guard<std::mutex> lock(limitMutex);
    limitFn = std::move(limit);
    limited.store(static_cast<bool>(limitFn), std::memory_order_release);
}

std::size_t allowedWrite(std::size_t size) {
    if (!limited.load(std::memory_order_acquire)) return size;
    std::lock_guard<std::mutex> lock(limitMutex);
    return limitFn ? std::min(size, limitFn(size)) : size;
}

std::size_t File::writeAt(std::uint64_t offset, const void* data, std::size_t size) {
    if (offset > end_) return 0;
    const std::size_t inPlace = std::size_t(std::min<std::uint64_t>(size, end_ - offset));
    const std::size_t allowed = inPlace + allowedWrite(size - inPlace);
    const std::size_t n = allowed ? writeRaw(offset, static_cast<const char*>(data), allowed) : 0;
    end_ = std::max(end_, offset + n);
    return n;
}

}  // namespace os
