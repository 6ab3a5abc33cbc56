#include "log/keygen.h"

#include <mutex>

namespace vt {
namespace keygen {
namespace {

// Constant-initialised, so usable from any constructor that runs at load time.
std::mutex generatorMutex;
Lcg generator(1);

}  // namespace

void seed(std::uint32_t value) {
    std::lock_guard<std::mutex> lock(generatorMutex);
    generator = Lcg(value);
}

Key16 nextKey() {
    std::lock_guard<std::mutex> lock(generatorMutex);
    Key16 key;
    for (auto& b : key) b = static_cast<unsigned char>(generator.next() % 255);
    return key;
}

}  // namespace keygen
}  // namespace vt
