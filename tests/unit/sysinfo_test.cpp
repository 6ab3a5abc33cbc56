#include "monitors/sysinfo/sysinfo.h"
#include "support/fake_os.h"

#include <gtest/gtest.h>

namespace {

TEST(VolumeSerial, AlwaysEightLowercaseDigits) {
    struct Case {
        os::DWORD serial;
        bool fails;
        const char* text;
    } cases[] = {
        {0x00A1B2C3, false, "00a1b2c3"},
        {0xFFFFFFFF, false, "ffffffff"},
        {0x1A2B3C4D, false, "1a2b3c4d"},
        {0, false, "00000000"},
        {0x12345678, true, "00000000"},
    };
    for (const auto& c : cases) {
        fake::reset();
        fake::machine().serial = c.serial;
        fake::machine().serialFails = c.fails;
        EXPECT_EQ(vt::volumeSerialText(), c.text);
    }
}

TEST(VolumeSerial, ReportedUnderTheNameGiven) {
    fake::reset();
    fake::machine().serial = 0xabc;
    vt::sysinfo info;
    std::vector<std::pair<std::string, std::string>> seen;
    info.sysInfoSignal.connect([&](const std::string& k, const std::string& v) { seen.emplace_back(k, v); });
    info.reportVolumeId("Disk serial");
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, std::string>>{{"Disk serial", "00000abc"}}));
}

}  // namespace
