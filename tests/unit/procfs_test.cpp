#include "platform/linux/procfs.h"
#include "platform/os.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

namespace {

TEST(SocketTable, ParsesTheKernelsLines) {
    const char* text =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
        "   0: 0100007F:0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 12345 1 "
        "0000000000000000 100 0 0 10 0\n"
        "   1: 0A01A8C0:C350 0302010A:01BB 01 00000000:00000000 02:000A7D2A 00000000  1000        0 678 2 "
        "0000000000000000 20 4 30 10 -1\n"
        "   2: garbage line\n"
        "   3: 0100007F:0050 00000000:0000 06 00000000:00000000 03:00001770 00000000     0        0 0 3\n";
    auto rows = procfs::parseSocketTable(text);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].localAddr, 0x0100007Fu);  // 127.0.0.1 as it lies in memory
    EXPECT_EQ(rows[0].localPort, 80);
    EXPECT_EQ(rows[0].state, 0x0Au);
    EXPECT_EQ(rows[0].inode, 12345u);
    EXPECT_EQ(rows[1].remoteAddr, 0x0302010Au);  // 10.1.2.3
    EXPECT_EQ(rows[1].remotePort, 443);
    EXPECT_EQ(rows[1].localPort, 50000);
    EXPECT_EQ(rows[2].inode, 0u);  // TIME_WAIT has no socket
}

TEST(SocketTable, RejectsIpv6AndTruncatedLines) {
    EXPECT_TRUE(procfs::parseSocketTable("   0: 00000000000000000000000001000000:0050 "
                                         "00000000000000000000000000000000:0000 0A 0:0 0:0 0 0 0 1 1\n")
                    .empty());
    EXPECT_TRUE(procfs::parseSocketTable("   0: 0100007F:0050 00000000:0000 0A").empty());
    EXPECT_TRUE(procfs::parseSocketTable("").empty());
}

TEST(NetDev, ReadsCountersPerInterface) {
    const char* text =
        "Inter-|   Receive                                                |  Transmit\n"
        " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs drop fifo colls "
        "carrier compressed\n"
        "    lo:  123456     100    0    0    0     0          0         0   123456     100    0    0    0     0  "
        "     0          0\n"
        "  eth0: 8589934848  5000    0    0    0     0          0        40  2000     300    0    0    0     0     "
        "  0          0\n"
        "broken: 1 2 3\n";
    auto devs = procfs::parseNetDev(text);
    ASSERT_EQ(devs.size(), 2u);
    EXPECT_EQ(devs[0].name, "lo");
    EXPECT_EQ(devs[1].name, "eth0");
    EXPECT_EQ(devs[1].rxBytes, 8589934848ull);
    EXPECT_EQ(devs[1].rxPackets, 5000u);
    EXPECT_EQ(devs[1].rxMulticast, 40u);
    EXPECT_EQ(devs[1].txBytes, 2000u);
    EXPECT_EQ(devs[1].txPackets, 300u);
}

TEST(SmallParsers, AddressesLinksNumbersTypes) {
    EXPECT_EQ(procfs::parseHardwareAddress("00:0c:29:aa:bb:CC\n"),
              (std::vector<std::uint8_t>{0x00, 0x0c, 0x29, 0xaa, 0xbb, 0xcc}));
    EXPECT_TRUE(procfs::parseHardwareAddress("\n").empty());
    EXPECT_TRUE(procfs::parseHardwareAddress("00:0c:zz").empty());
    EXPECT_EQ(procfs::parseHardwareAddress("00:00:00:00:00:00\n").size(), 6u);

    EXPECT_EQ(procfs::parseSocketLink("socket:[4242]"), 4242u);
    EXPECT_EQ(procfs::parseSocketLink("pipe:[4242]"), 0u);
    EXPECT_EQ(procfs::parseSocketLink("socket:[]"), 0u);
    EXPECT_EQ(procfs::parseSocketLink("/dev/null"), 0u);

    std::uint32_t pid = 0;
    EXPECT_TRUE(procfs::parsePid("1234", pid));
    EXPECT_EQ(pid, 1234u);
    EXPECT_FALSE(procfs::parsePid("self", pid));
    EXPECT_FALSE(procfs::parsePid("99999999999", pid));
    EXPECT_FALSE(procfs::parsePid("", pid));

    std::uint64_t v = 0;
    EXPECT_TRUE(procfs::parseDecimal("772\n", v));
    EXPECT_EQ(v, 772u);
    EXPECT_FALSE(procfs::parseDecimal("x\n", v));

    EXPECT_EQ(procfs::interfaceType(1, false), 6u);
    EXPECT_EQ(procfs::interfaceType(1, true), 71u);
    EXPECT_EQ(procfs::interfaceType(512, false), 23u);
    EXPECT_EQ(procfs::interfaceType(772, false), 24u);
    EXPECT_EQ(procfs::interfaceType(65534, false), 1u);

    std::uint64_t start = 0;
    // A command name with blanks and parentheses of its own.
    EXPECT_TRUE(procfs::parseStartTime("4242 (a) b (c)) S 1 4242 4242 0 -1 4194560 120 0 0 0 1 2 0 0 20 0 1 0 "
                                       "987654 8192000 200 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 1 0 0\n",
                                       start));
    EXPECT_EQ(start, 987654u);
    EXPECT_FALSE(procfs::parseStartTime("4242 (sh) S 1 2 3", start));  // cut short
    EXPECT_FALSE(procfs::parseStartTime("4242 sh S 1", start));
    EXPECT_FALSE(procfs::parseStartTime("", start));
}

TEST(Utf8, RoundTripsAndMarksWhatIsNotText) {
    const std::string text = "/home/j\xc3\xb6rg/\xe2\x82\xac/\xf0\x9f\x8e\xae";
    std::wstring wide = procfs::utf8ToWide(text);
    EXPECT_EQ(wide, std::wstring(L"/home/j\u00f6rg/\u20ac/") + wchar_t(0x1F3AE));
    std::string back;
    ASSERT_TRUE(procfs::wideToUtf8(wide, back));
    EXPECT_EQ(back, text);

    std::wstring bad = procfs::utf8ToWide("a\xff" "b\xc3");
    EXPECT_EQ(bad, std::wstring(L"a") + wchar_t(0xDCFF) + L"b" + wchar_t(0xDCC3));
    EXPECT_FALSE(procfs::wideToUtf8(bad, back));
    EXPECT_EQ(back, "a?b?");  // each byte that is not text, as a code page would write it
    EXPECT_FALSE(procfs::wideToUtf8(std::wstring(1, wchar_t(0x110000)), back));
    EXPECT_EQ(back, "?");
    EXPECT_EQ(procfs::utf8ToWide("\xc0\x80").size(), 2u);  // overlong forms are not text
}

}  // namespace

namespace {

void putMessage(std::vector<unsigned char>& out, std::uint16_t type, const void* payload, std::size_t size) {
    nlmsghdr h{};
    h.nlmsg_len = std::uint32_t(NLMSG_LENGTH(size));
    h.nlmsg_type = type;
    std::size_t at = out.size();
    out.resize(at + NLMSG_ALIGN(h.nlmsg_len));
    std::memcpy(&out[at], &h, sizeof h);
    if (size) std::memcpy(&out[at + NLMSG_HDRLEN], payload, size);
}

// One sock_diag reply: a message per socket, then the end of the dump.
std::vector<unsigned char> diagReply(const std::vector<inet_diag_msg>& sockets, bool done) {
    std::vector<unsigned char> out;
    auto put = [&out](std::uint16_t type, const void* payload, std::size_t size) {
        nlmsghdr h{};
        h.nlmsg_len = std::uint32_t(NLMSG_LENGTH(size));
        h.nlmsg_type = type;
        std::size_t at = out.size();
        out.resize(at + NLMSG_ALIGN(h.nlmsg_len));
        std::memcpy(&out[at], &h, sizeof h);
        if (size) std::memcpy(&out[at + NLMSG_HDRLEN], payload, size);
    };
    for (const auto& m : sockets) put(SOCK_DIAG_BY_FAMILY, &m, sizeof m);
    if (done) {
        int zero = 0;
        put(NLMSG_DONE, &zero, sizeof zero);
    }
    return out;
}

TEST(SockDiag, ReadsTheDumpsMessages) {
    inet_diag_msg listen{}, v6{};
    listen.idiag_family = AF_INET;
    listen.idiag_state = 10;
    listen.id.idiag_sport = htons(8080);
    listen.id.idiag_src[0] = htonl(0x7F000001);
    listen.idiag_inode = 4242;
    v6.idiag_family = AF_INET6;  // not IPv4: left out
    std::vector<procfs::SocketRow> rows;
    auto part = diagReply({listen, v6}, false);
    EXPECT_EQ(procfs::parseDiagMessages(part.data(), part.size(), rows), procfs::DiagStatus::More);
    auto end = diagReply({listen}, true);
    EXPECT_EQ(procfs::parseDiagMessages(end.data(), end.size(), rows), procfs::DiagStatus::Done);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].localPort, 8080);
    EXPECT_EQ(rows[0].localAddr, 0x0100007Fu);
    EXPECT_EQ(rows[0].inode, 4242u);
    EXPECT_EQ(procfs::windowsTcpState(rows[0].state), 2u);

    EXPECT_EQ(procfs::windowsTcpState(1), 5u);   // ESTABLISHED
    EXPECT_EQ(procfs::windowsTcpState(6), 11u);  // TIME_WAIT
    EXPECT_EQ(procfs::windowsTcpState(99), 0u);
}

// Anything but a clean end is a failed dump, so that the caller reads /proc/net
// instead of taking what came so far for the whole table.
TEST(SockDiag, ErrorsAndMalformedMessagesFailTheDump) {
    inet_diag_msg one{};
    one.idiag_family = AF_INET;
    one.idiag_inode = 7;
    std::vector<procfs::SocketRow> rows;

    std::vector<unsigned char> refused = diagReply({one}, false);
    nlmsgerr err{};
    err.error = -ENOENT;  // no inet_diag for this protocol
    putMessage(refused, NLMSG_ERROR, &err, sizeof err);
    EXPECT_EQ(procfs::parseDiagMessages(refused.data(), refused.size(), rows), procfs::DiagStatus::Failed);

    std::vector<unsigned char> ack;
    err.error = 0;  // an acknowledgement is no error
    putMessage(ack, NLMSG_ERROR, &err, sizeof err);
    EXPECT_EQ(procfs::parseDiagMessages(ack.data(), ack.size(), rows), procfs::DiagStatus::More);

    std::vector<unsigned char> interrupted;
    int busy = -EBUSY;
    putMessage(interrupted, NLMSG_DONE, &busy, sizeof busy);
    EXPECT_EQ(procfs::parseDiagMessages(interrupted.data(), interrupted.size(), rows), procfs::DiagStatus::Failed);

    auto longer = diagReply({one}, true);
    longer[0] = 0xFF;  // a length beyond the data
    EXPECT_EQ(procfs::parseDiagMessages(longer.data(), longer.size(), rows), procfs::DiagStatus::Failed);
    auto shorter = diagReply({one}, true);
    shorter[0] = 4;  // shorter than its own header
    EXPECT_EQ(procfs::parseDiagMessages(shorter.data(), shorter.size(), rows), procfs::DiagStatus::Failed);
    auto tail = diagReply({one}, false);
    tail.resize(tail.size() + 8);  // part of a header after the last message
    EXPECT_EQ(procfs::parseDiagMessages(tail.data(), tail.size(), rows), procfs::DiagStatus::Failed);
    EXPECT_EQ(procfs::parseDiagMessages(tail.data(), 3, rows), procfs::DiagStatus::Failed);
}

}  // namespace
