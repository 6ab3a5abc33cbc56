// The library's own generator of file keys.
//
// Keys are drawn from a generator private to the library, so the host's rand()
// is never seeded or advanced by it. The algorithm is the linear congruential
// generator of the Microsoft C runtime, the same on every platform:
//   x = x * 214013 + 2531011, value = (x >> 16) & 0x7fff.
// It is seeded once with the time at which the library is loaded, and every
// key takes the next 16 values, each modulo 255. The n-th key of a process
// (counting from 0) is therefore made of values 16n to 16n+15 after the seed.
#pragma once

#include "log/container.h"

#include <cstdint>

namespace vt {
namespace keygen {

class Lcg {
public:
    constexpr explicit Lcg(std::uint32_t seed) : x_(seed) {}
    unsigned next() {
        x_ = x_ * 214013u + 2531011u;
        return (x_ >> 16) & 0x7fffu;
    }

private:
    std::uint32_t x_;
};

// Seeds the process's key generator (the logger does this when it is made).
void seed(std::uint32_t value);
// The next 16 values, each modulo 255 (so no byte is 255). Thread-safe.
Key16 nextKey();

}  // namespace keygen
}  // namespace vt
