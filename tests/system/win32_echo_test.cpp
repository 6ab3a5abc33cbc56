// The seam's echo reply on the real Windows machine, in the width this test
// was built for: a 64-bit process must see the same 32-bit layout as a 32-bit
// one, with the echoed bytes where Data says they are.
#include "platform/os.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

constexpr os::IPAddr kLoopback2 = 0x0200007Fu;  // 127.0.0.2 in network byte order

struct EchoHandle {
    os::HANDLE h = os::IcmpCreateFile();
    ~EchoHandle() {
        if (h != os::invalidHandle()) os::IcmpCloseHandle(h);
    }
};

TEST(Win32Echo, ReplyKeepsTheSeamLayoutWithTheEchoedBytes) {
    EchoHandle icmp;
    ASSERT_NE(icmp.h, os::invalidHandle());
    const char payload[] = "vantorelle-echo-0123456789";
    std::vector<unsigned char> reply(sizeof(os::ICMP_ECHO_REPLY) + sizeof payload + 8, 0xEE);
    const os::DWORD n = os::IcmpSendEcho(icmp.h, kLoopback2, payload, sizeof payload, nullptr, reply.data(),
                                         os::DWORD(reply.size()), 2000);
    ASSERT_EQ(n, 1u) << "error " << os::GetLastError();
    os::ICMP_ECHO_REPLY r;
    std::memcpy(&r, reply.data(), sizeof r);
    EXPECT_EQ(r.Address, kLoopback2);
    EXPECT_EQ(r.Status, 0u);
    EXPECT_LT(r.RoundTripTime, 2000u);
    ASSERT_EQ(r.DataSize, sizeof payload);
    // On a 32-bit process Data is a pointer into the buffer; on a 64-bit one
    // the offset of the bytes in it. Either way the bytes are in the buffer.
    const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(reply.data());
    const std::uintptr_t at = sizeof(void*) == 4 ? std::uintptr_t(r.Data) - base : std::uintptr_t(r.Data);
    ASSERT_LE(at + sizeof payload, reply.size());
    EXPECT_EQ(std::memcmp(reply.data() + at, payload, sizeof payload), 0);
    EXPECT_GE(r.Ttl, 1u);
}

TEST(Win32Echo, ABufferTooSmallForOneReplyIsRefused) {
    EchoHandle icmp;
    ASSERT_NE(icmp.h, os::invalidHandle());
    const char payload[] = "x";
    unsigned char reply[8] = {};
    EXPECT_EQ(os::IcmpSendEcho(icmp.h, kLoopback2, payload, sizeof payload, nullptr, reply, sizeof reply, 1000), 0u);
}

}  // namespace
