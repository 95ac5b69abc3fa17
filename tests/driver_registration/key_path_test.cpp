// Client key paths rebuilt from the settings the USB host driver matched.
#include <gtest/gtest.h>

#include <string>

#include "driver/registration/key_path.h"
#include "driver/registration/registry_values.h"

namespace {

constexpr DWORD N = USB_NO_INFO;

USB_DRIVER_SETTINGS Settings(DWORD v, DWORD p, DWORD r, DWORD dc, DWORD ds, DWORD dp, DWORD ic,
                             DWORD is, DWORD ip) {
    return USB_DRIVER_SETTINGS{sizeof(USB_DRIVER_SETTINGS), v, p, r, dc, ds, dp, ic, is, ip};
}

std::string Narrow(const WCHAR* s) {
    std::string out;
    for (; *s; ++s)
        out.push_back(static_cast<char>(*s));
    return out;
}

struct PathCase {
    const char* name;
    USB_DRIVER_SETTINGS settings;
    const char* path;  // after "Drivers\USB\LoadClients\"
    bool catchAll;
};

class RegistrationKeyPathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(RegistrationKeyPathTest, BuildsPathFromSettings) {
    const PathCase& c = GetParam();
    WCHAR path[kKeyPathChars];
    ASSERT_TRUE(BuildClientKeyPath(&c.settings, u"Serlynx", path, kKeyPathChars));
    EXPECT_EQ(Narrow(path), std::string("Drivers\\USB\\LoadClients\\") + c.path);
    EXPECT_EQ(IsCatchAllSettings(&c.settings) != FALSE, c.catchAll);
}

// A group's second member is used only when given, its third only when the
// second is given too; a group whose first member is open is "Default"
// whatever follows.
INSTANTIATE_TEST_SUITE_P(
    Groups, RegistrationKeyPathTest,
    ::testing::Values(
        PathCase{"VendorProductRelease", Settings(0x0403, 0x8372, 0x0400, N, N, N, N, N, N),
                 "1027_33650_1024\\Default\\Default\\Serlynx", false},
        PathCase{"VendorOnlyWhenProductOpen", Settings(0x0403, N, 0x0400, N, N, N, N, N, N),
                 "1027\\Default\\Default\\Serlynx", false},
        PathCase{"VendorProduct", Settings(0x0403, 0x6001, N, N, N, N, N, N, N),
                 "1027_24577\\Default\\Default\\Serlynx", false},
        PathCase{"VendorOpenHidesProduct", Settings(N, 0x6001, 0x0400, N, N, N, N, N, N),
                 "Default\\Default\\Default\\Serlynx", true},
        PathCase{"InterfaceClassSubclass", Settings(N, N, N, N, N, N, 2, 2, N),
                 "Default\\Default\\2_2\\Serlynx", false},
        PathCase{"InterfaceClassOnly", Settings(N, N, N, N, N, N, 255, N, 1),
                 "Default\\Default\\255\\Serlynx", false},
        PathCase{"InterfaceFull", Settings(N, N, N, N, N, N, 2, 2, 1),
                 "Default\\Default\\2_2_1\\Serlynx", false},
        PathCase{"DeviceClassFull", Settings(N, N, N, 2, 0, 0, N, N, N),
                 "Default\\2_0_0\\Default\\Serlynx", false},
        PathCase{"DeviceClassOpenHidesRest", Settings(N, N, N, N, 2, 2, N, N, N),
                 "Default\\Default\\Default\\Serlynx", true},
        PathCase{"Zeros", Settings(0, 0, 0, 0, 0, 0, 0, 0, 0), "0_0_0\\0_0_0\\0_0_0\\Serlynx",
                 false},
        PathCase{"LargestNumbers", Settings(0xFFFFFFFE, 0xFFFFFFFE, 0xFFFFFFFE, N, N, N, N, N, N),
                 "4294967294_4294967294_4294967294\\Default\\Default\\Serlynx", false},
        PathCase{"AllGroups", Settings(1, 2, 3, 4, 5, 6, 7, 8, 9), "1_2_3\\4_5_6\\7_8_9\\Serlynx",
                 false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RegistrationKeyPath, DeviceKeyPathMatchesTheConfiguredBranchPath) {
    WCHAR device[kKeyPathChars];
    ASSERT_TRUE(BuildDeviceKeyPath(0x0403, 0x8372, 0x0400, u"Serlynx", device, kKeyPathChars));
    EXPECT_EQ(Narrow(device),
              "Drivers\\USB\\LoadClients\\1027_33650_1024\\Default\\Default\\Serlynx");
    // Release 0 is a value like any other, not "open".
    ASSERT_TRUE(BuildDeviceKeyPath(0x067B, 0x2303, 0, u"Serlynx", device, kKeyPathChars));
    EXPECT_EQ(Narrow(device), "Drivers\\USB\\LoadClients\\1659_8963_0\\Default\\Default\\Serlynx");
}

TEST(RegistrationKeyPath, CatchAllKeyIsWhatTheCatchAllSettingsBuild) {
    USB_DRIVER_SETTINGS s = Settings(N, N, N, N, N, N, N, N, N);
    WCHAR path[kKeyPathChars];
    ASSERT_TRUE(BuildClientKeyPath(&s, kDriverId, path, kKeyPathChars));
    EXPECT_EQ(std::u16string(path), std::u16string(kCatchAllKeyPath));
}

// The buffer holds 255 units and the terminator: a path of exactly 255 fits,
// one unit more is refused and leaves an empty string, never a cut path.
TEST(RegistrationKeyPath, OverlongDriverIdIsRefusedNotCut) {
    USB_DRIVER_SETTINGS s =
        Settings(4294967294u, 4294967294u, 4294967294u, 4294967294u, 4294967294u, 4294967294u,
                 4294967294u, 4294967294u, 4294967294u);
    WCHAR path[kKeyPathChars];
    ASSERT_TRUE(BuildClientKeyPath(&s, u"X", path, kKeyPathChars));
    const size_t fixed = std::u16string(path).size() - 1;  // without the one-unit ID

    std::u16string id(kKeyPathChars - 1 - fixed, u'D');
    ASSERT_TRUE(BuildClientKeyPath(&s, id.c_str(), path, kKeyPathChars));
    EXPECT_EQ(std::u16string(path).size(), kKeyPathChars - 1);

    id.push_back(u'D');
    path[0] = u'?';
    EXPECT_FALSE(BuildClientKeyPath(&s, id.c_str(), path, kKeyPathChars));
    EXPECT_EQ(path[0], 0);
    std::u16string huge(1000, u'D');
    EXPECT_FALSE(BuildClientKeyPath(&s, huge.c_str(), path, kKeyPathChars));
    EXPECT_EQ(path[0], 0);
}

TEST(RegistrationKeyPath, NullArgumentsAreRefused) {
    USB_DRIVER_SETTINGS s = Settings(1, 2, 3, N, N, N, N, N, N);
    WCHAR path[kKeyPathChars];
    EXPECT_FALSE(BuildClientKeyPath(nullptr, u"Serlynx", path, kKeyPathChars));
    EXPECT_FALSE(BuildClientKeyPath(&s, nullptr, path, kKeyPathChars));
    EXPECT_FALSE(BuildClientKeyPath(&s, u"Serlynx", nullptr, kKeyPathChars));
}

}  // namespace
