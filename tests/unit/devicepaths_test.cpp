#include "monitors/common/devicepaths.h"
#include "support/fake_os.h"

#include <gtest/gtest.h>

namespace {

using vt::VolumeMap;

class DevicePaths : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
    static fake::Volume volume(const std::wstring& id, const std::wstring& device, std::vector<std::wstring> mounts) {
        fake::Volume v;
        v.name = L"\\\\?\\Volume{" + id + L"}\\";
        v.device = device;
        v.mounts = std::move(mounts);
        return v;
    }
    VolumeMap build() {
        VolumeMap m;
        vt::buildVolumeMap(m);
        EXPECT_EQ(fake::machine().openHandles, 0);  // the search is closed on every path
        return m;
    }
};

TEST_F(DevicePaths, MapsEachVolumeToItsLastMountPath) {
    auto& m = fake::machine();
    m.volumes = {volume(L"1", L"\\Device\\HarddiskVolume1", {L"C:\\"}),
                 volume(L"10", L"\\Device\\HarddiskVolume10", {L"D:\\", L"C:\\mnt\\data\\"}),
                 volume(L"2", L"\\Device\\HarddiskVolume2", {})};
    VolumeMap map = build();
    EXPECT_EQ(map, (VolumeMap{{L"\\Device\\HarddiskVolume1\\", L"C:\\"},
                              {L"\\Device\\HarddiskVolume10\\", L"C:\\mnt\\data\\"}}));

    struct Case {
        const wchar_t* in;
        const wchar_t* out;
    } cases[] = {
        {L"\\Device\\HarddiskVolume1\\Games\\client.exe", L"C:\\Games\\client.exe"},
        {L"\\Device\\HarddiskVolume10\\tool.exe", L"C:\\mnt\\data\\tool.exe"},
        {L"\\device\\harddiskvolume1\\x.exe", L"\\device\\harddiskvolume1\\x.exe"},  // letter case differs
        {L"\\Device\\Mup\\server\\share\\x.exe", L"\\Device\\Mup\\server\\share\\x.exe"},
        {L"\\Device\\HarddiskVolume2\\x.exe", L"\\Device\\HarddiskVolume2\\x.exe"},
    };
    for (const auto& c : cases) EXPECT_EQ(vt::translateDevicePath(c.in, map), c.out);
}

TEST_F(DevicePaths, MoreDataIsAskedForAgain) {
    auto v = volume(L"1", L"\\Device\\HarddiskVolume1", {L"E:\\"});
    v.moreData = true;
    fake::machine().volumes = {v};
    EXPECT_EQ(build(), (VolumeMap{{L"\\Device\\HarddiskVolume1\\", L"E:\\"}}));
    EXPECT_EQ(fake::machine().pathQueries, 2);
}

TEST_F(DevicePaths, FailuresEndOrSkipAsTheyShould) {
    auto& m = fake::machine();
    auto failing = volume(L"2", L"\\Device\\HarddiskVolume2", {L"F:\\"});
    failing.pathsFail = true;  // this volume only is skipped
    auto malformed = volume(L"3", L"\\Device\\HarddiskVolume3", {L"G:\\"});
    malformed.name = L"Volume{3}";  // ends the enumeration
    m.volumes = {volume(L"1", L"\\Device\\HarddiskVolume1", {L"C:\\"}), failing, malformed,
                 volume(L"4", L"\\Device\\HarddiskVolume4", {L"H:\\"})};
    EXPECT_EQ(build(), (VolumeMap{{L"\\Device\\HarddiskVolume1\\", L"C:\\"}}));

    auto query = volume(L"1", L"\\Device\\HarddiskVolume1", {L"C:\\"});
    query.queryFails = true;  // also ends the enumeration
    m.volumes = {query, volume(L"4", L"\\Device\\HarddiskVolume4", {L"H:\\"})};
    EXPECT_TRUE(build().empty());

    m.volumes = {volume(L"4", L"\\Device\\HarddiskVolume4", {L"H:\\"})};
    m.findFirstFails = true;
    EXPECT_TRUE(build().empty());

    m.findFirstFails = false;
    m.failAllocation = [](std::size_t) { return true; };
    EXPECT_TRUE(build().empty());
}

TEST_F(DevicePaths, EmptyMapLeavesPathsAlone) {
    EXPECT_EQ(vt::translateDevicePath(L"\\Device\\HarddiskVolume1\\a.exe", VolumeMap()),
              L"\\Device\\HarddiskVolume1\\a.exe");
}

TEST_F(DevicePaths, NarrowTextOrThePlaceholder) {
    EXPECT_EQ(vt::wideToNarrow(L"C:\\Games\\client.exe"), "C:\\Games\\client.exe");
    EXPECT_EQ(vt::wideToNarrow(std::wstring(4095, L'a')), std::string(4095, 'a'));
    EXPECT_EQ(vt::wideToNarrow(std::wstring(4096, L'a')), std::string(4096, 'a'));  // a larger buffer is asked for
    EXPECT_EQ(vt::wideToNarrow(std::wstring(40000, L'a')), std::string(40000, 'a'));
    EXPECT_EQ(vt::wideToNarrow(std::wstring(140000, L'a')), vt::kUnconvertableText);  // longer than any path
    EXPECT_EQ(vt::wideToNarrow(std::wstring(L"bad\xD800")), "bad?");
    fake::machine().narrowFails = true;
    EXPECT_EQ(vt::wideToNarrow(L"C:\\a.exe"), vt::kUnconvertableText);
}

}  // namespace
