#include "monitors/netstats/netstats.h"
#include "monitors/common/lookups.h"
#include "support/failing_write.h"
#include "support/fake_os.h"

#include <gtest/gtest.h>

namespace {

using Entry = vt::netstats::SAdapterEntry;
const std::vector<os::BYTE> kMac{0x00, 0x0C, 0x29, 0xAA, 0xBB, 0xCC};

class NetStats : public ::testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        stats.adapterStatsSignal.connect([this](Entry e) {
            samples.push_back(e);
            events.push_back("stats " + e.description + " rx " + std::to_string(e.rxDelta) + " tx " +
                             std::to_string(e.txDelta));
        });
        stats.adapterInfoSignal.connect(
            [this](const std::string& d, const std::string& a) { events.push_back("info " + d + " @ " + a); });
        stats.pingSignal.connect(
            [this](int ms, const std::string& s) { events.push_back("ping " + s + " " + std::to_string(ms)); });
    }
    std::vector<std::string> pass() {
        events.clear();
        stats.sampleAdapters();
        return events;
    }
    vt::netstats stats;
    std::vector<std::string> events;
    std::vector<Entry> samples;
};

using Events = std::vector<std::string>;

TEST_F(NetStats, FirstTrafficReportsTheAddressThenDeltasFollow) {
    auto& m = fake::machine();
    m.interfaces = {fake::ifRow(1, os::IF_TYPE_SOFTWARE_LOOPBACK, "lo", {}, 5000, 5000),
                    fake::ifRow(2, os::IF_TYPE_ETHERNET_CSMACD, "eth0", kMac, 1000, 2000)};
    EXPECT_EQ(pass(), Events{"info eth0 @ 00-0c-29-aa-bb-cc"});
    m.interfaces[1].dwInOctets = 1000;  // idle
    EXPECT_EQ(pass(), Events{"stats eth0 rx 0 tx 0"});
    m.interfaces[1].dwInOctets = 4294967296u - 256;
    pass();
    m.interfaces[1].dwInOctets = 256;  // the counter wrapped
    m.interfaces[1].dwOutOctets = 2100;
    m.interfaces[1].dwInUcastPkts = 7;
    m.interfaces[1].dwOutUcastPkts = 9;
    EXPECT_EQ(pass(), Events{"stats eth0 rx 512 tx 100"});
    EXPECT_EQ(samples.back().inOctets, 256u);
    EXPECT_EQ(samples.back().inUcastPkts, 7u);  // carried in the sample, not logged
    EXPECT_EQ(samples.back().outUcastPkts, 9u);
    EXPECT_EQ(stats.lastSamples().size(), 1u);  // loopback is never stored
}

TEST_F(NetStats, AdapterTypesAndMissingParts) {
    auto& m = fake::machine();
    m.interfaces = {fake::ifRow(3, os::IF_TYPE_PPP, "ppp0", kMac, 1, 0),
                    fake::ifRow(4, os::IF_TYPE_IEEE80211, "wlan0", kMac, 0, 1),
                    fake::ifRow(5, os::IF_TYPE_ETHERNET_CSMACD, "noaddr", {}, 1, 1),
                    fake::ifRow(6, os::IF_TYPE_ETHERNET_CSMACD, "", kMac, 1, 1),
                    fake::ifRow(7, 131 /* tunnel */, "tun0", kMac, 1, 1)};
    EXPECT_EQ(pass(), (Events{"info ppp0 @ 00-0c-29-aa-bb-cc", "info wlan0 @ 00-0c-29-aa-bb-cc"}));
    EXPECT_EQ(pass(), (Events{"stats ppp0 rx 0 tx 0", "stats wlan0 rx 0 tx 0", "stats noaddr rx 0 tx 0",
                              "stats  rx 0 tx 0"}));
}

TEST_F(NetStats, QuietAdapterIsStoredWhenTrafficStarts) {
    auto& m = fake::machine();
    m.interfaces = {fake::ifRow(2, os::IF_TYPE_ETHERNET_CSMACD, "eth0", kMac, 0, 0)};
    EXPECT_TRUE(pass().empty());
    EXPECT_TRUE(pass().empty());
    m.interfaces[0].dwOutOctets = 10;
    EXPECT_EQ(pass(), Events{"info eth0 @ 00-0c-29-aa-bb-cc"});
    EXPECT_EQ(pass(), Events{"stats eth0 rx 0 tx 0"});
}

TEST_F(NetStats, ResetReportsTheAddressesAgain) {
    fake::machine().interfaces = {fake::ifRow(2, os::IF_TYPE_ETHERNET_CSMACD, "eth0", kMac, 10, 10)};
    pass();
    pass();
    stats.resetAdapters();
    EXPECT_TRUE(stats.lastSamples().empty());
    EXPECT_EQ(pass(), Events{"info eth0 @ 00-0c-29-aa-bb-cc"});
}

TEST_F(NetStats, FailedPassesChangeNothing) {
    auto& m = fake::machine();
    m.interfaces = {fake::ifRow(2, os::IF_TYPE_ETHERNET_CSMACD, "eth0", kMac, 100, 100)};
    pass();
    m.ifError = 50;
    m.interfaces[0].dwInOctets = 300;
    EXPECT_TRUE(pass().empty());
    m.ifError = 0;
    m.failAllocation = [](std::size_t) { return true; };
    EXPECT_TRUE(pass().empty());
    m.failAllocation = nullptr;
    m.interfaces[0].dwInOctets = 500;
    EXPECT_EQ(pass(), Events{"stats eth0 rx 400 tx 0"});  // the delta covers every interval since
}

// A pass cut short by a failed write keeps what it reported; the next pass
// reports the rest, the deltas reaching back to the samples last reported.
TEST_F(NetStats, FailedWriteLosesTheRestOfThePassOnly) {
    testsupport::FailingWrite write;
    vt::netstats sampler;
    Events logged;
    sampler.adapterStatsSignal.connect([&](Entry e) {
        write();
        logged.push_back("stats " + e.description + " rx " + std::to_string(e.rxDelta));
    });
    sampler.adapterInfoSignal.connect([&](const std::string& d, const std::string&) {
        write();
        logged.push_back("info " + d);
    });
    auto& m = fake::machine();
    m.interfaces = {fake::ifRow(2, os::IF_TYPE_ETHERNET_CSMACD, "eth0", kMac, 100, 100),
                    fake::ifRow(3, os::IF_TYPE_ETHERNET_CSMACD, "eth1", kMac, 1000, 100)};
    sampler.sampleAdapters();
    m.interfaces[0].dwInOctets = 300;
    m.interfaces[1].dwInOctets = 1500;
    m.interfaces.push_back(fake::ifRow(4, os::IF_TYPE_ETHERNET_CSMACD, "eth2", kMac, 1, 1));
    write.failNext();  // eth0's sample
    EXPECT_THROW(sampler.sampleAdapters(), std::runtime_error);
    m.interfaces[0].dwInOctets = 600;
    m.interfaces[1].dwInOctets = 2000;
    write.failAt = write.calls + 3;  // eth2's address
    EXPECT_THROW(sampler.sampleAdapters(), std::runtime_error);
    EXPECT_EQ(sampler.lastSamples().count(4), 0u);
    sampler.sampleAdapters();
    EXPECT_EQ(logged, (Events{"info eth0", "info eth1", "stats eth0 rx 500", "stats eth1 rx 1000", "stats eth0 rx 0",
                              "stats eth1 rx 0", "info eth2"}));
}

TEST_F(NetStats, ManyInterfacesAreReadAfterOneReallocation) {
    auto& m = fake::machine();
    for (os::DWORD i = 1; i <= 12; ++i)
        m.interfaces.push_back(fake::ifRow(i, os::IF_TYPE_ETHERNET_CSMACD, "eth" + std::to_string(i), kMac, i, i));
    EXPECT_EQ(pass().size(), 12u);
    EXPECT_EQ(m.ifCalls, 2);
}

TEST_F(NetStats, PingResultsAndFailures) {
    auto& m = fake::machine();
    struct Case {
        std::function<void()> arrange;
        const char* logged;
    } cases[] = {
        {[&] { m.echoTime = 20; }, "ping 10.0.0.1 20"},
        {[&] { m.echoTime = 0; }, "ping 10.0.0.1 501"},
        {[&] { m.echoTime = 500; }, "ping 10.0.0.1 500"},
        {[&] { m.echoTime = 501; }, "ping 10.0.0.1 501"},
        {[&] { m.echoFails = true; }, "ping 10.0.0.1 1000"},
        {[&] { m.icmpHandleFails = true; }, "ping 10.0.0.1 1000"},
        {[&] { m.failAllocation = [](std::size_t) { return true; }; }, "ping 10.0.0.1 1000"},
    };
    for (const auto& c : cases) {
        fake::reset();
        c.arrange();
        events.clear();
        stats.pingServer(0x0A000001u);
        EXPECT_EQ(events, Events{c.logged});
        EXPECT_EQ(fake::machine().openHandles, 0);
    }
    fake::reset();
    stats.pingServer(0x0A000001u);
    EXPECT_EQ(fake::machine().echoesSent, std::vector<os::IPAddr>{fake::address("10.0.0.1")});
}

// The one rule of which servers are pinged, used by the controller at the
// start and by both ping operations.
TEST(ServerRule, NoneOfTheThreeRefusedAddresses) {
    for (std::uint32_t refused : {0u, 0x7F000001u, 0xFFFFFFFFu}) EXPECT_FALSE(vt::usableServer(refused)) << refused;
    for (std::uint32_t usable : {0x7F000002u, 0x0A000001u, 0x00000001u, 0xFFFFFFFEu}) EXPECT_TRUE(vt::usableServer(usable)) << usable;
}

TEST_F(NetStats, RefusedAddressesSendNothing) {
    stats.pingServer(0x7F000001u);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(vt::icmpPingTime(os::htonl(0xFFFFFFFFu)), -1);
    EXPECT_TRUE(fake::machine().echoesSent.empty());
}

TEST(HardwareAddress, SixBytesOrNothing) {
    const unsigned char mac[8] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e, 0x6f, 0x70};
    EXPECT_EQ(vt::hardwareAddressText(mac, 6), "00-1a-2b-3c-4d-5e");
    EXPECT_EQ(vt::hardwareAddressText(mac, 8), "");
    EXPECT_EQ(vt::hardwareAddressText(mac, 0), "");
}

}  // namespace
