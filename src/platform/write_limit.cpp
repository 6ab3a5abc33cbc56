// The write limit of the file layer, shared by every platform's files.
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

}  // namespace os
