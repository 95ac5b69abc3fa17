// Client key paths rebuilt from the settings the USB host driver matched.
#include <gtest/gtest.h>

#include <string>

#include "driver/registration/key_path.h"
#include "driver/registration/registry_values.h"

namespace {

constexpr DWORD N = USB_NO_INFO;
const std::u16string kRoot = u"Drivers\\USB\\LoadClients\\";

USB_DRIVER_SETTINGS Settings(DWORD v, DWORD p, DWORD r, DWORD dc = N, DWORD ds = N, DWORD dp = N,
                             DWORD ic = N, DWORD is = N, DWORD ip = N) {
    return USB_DRIVER_SETTINGS{sizeof(USB_DRIVER_SETTINGS), v, p, r, dc, ds, dp, ic, is, ip};
}

// A group's second member is used only when given, its third only when the
// second is given too; a group whose first member is open is "Default"
// whatever follows. Release 0 is a value like any other.
TEST(RegistrationKeyPath, BuildsPathFromSettings) {
    struct {
        USB_DRIVER_SETTINGS settings;
        std::u16string path;  // after the root
        bool catchAll;
    } const cases[] = {
        {Settings(0x0403, 0x8372, 0x0400), u"1027_33650_1024\\Default\\Default\\Serlynx", false},
        {Settings(0x0403, N, 0x0400), u"1027\\Default\\Default\\Serlynx", false},
        {Settings(N, 0x6001, 0x0400), u"Default\\Default\\Default\\Serlynx", true},
        {Settings(N, N, N, N, N, N, 255, N, 1), u"Default\\Default\\255\\Serlynx", false},
        {Settings(N, N, N, 2, 0, 0), u"Default\\2_0_0\\Default\\Serlynx", false},
        {Settings(N, N, N, N, 2, 2), u"Default\\Default\\Default\\Serlynx", true},
        {Settings(0, 0, 0, 0, 0, 0, 0, 0, 0), u"0_0_0\\0_0_0\\0_0_0\\Serlynx", false},
        {Settings(1, 2, 3, 4, 5, 6, 7, 8, 9), u"1_2_3\\4_5_6\\7_8_9\\Serlynx", false},
    };
    for (const auto& c : cases) {
        WCHAR path[kKeyPathChars];
        ASSERT_TRUE(BuildClientKeyPath(&c.settings, u"Serlynx", path, kKeyPathChars));
        EXPECT_EQ(std::u16string(path), kRoot + c.path);
        EXPECT_EQ(IsCatchAllSettings(&c.settings) != FALSE, c.catchAll);
    }
    USB_DRIVER_SETTINGS open = Settings(N, N, N);
    WCHAR path[kKeyPathChars];
    ASSERT_TRUE(BuildClientKeyPath(&open, kDriverId, path, kKeyPathChars));
    EXPECT_EQ(std::u16string(path), std::u16string(kCatchAllKeyPath));
}

TEST(RegistrationKeyPath, DeviceKeyPathMatchesTheConfiguredBranchPath) {
    WCHAR device[kKeyPathChars];
    ASSERT_TRUE(BuildDeviceKeyPath(0x0403, 0x8372, 0x0400, u"Serlynx", device, kKeyPathChars));
    EXPECT_EQ(std::u16string(device), kRoot + u"1027_33650_1024\\Default\\Default\\Serlynx");
    ASSERT_TRUE(BuildDeviceKeyPath(0x067B, 0x2303, 0, u"Serlynx", device, kKeyPathChars));
    EXPECT_EQ(std::u16string(device), kRoot + u"1659_8963_0\\Default\\Default\\Serlynx");
}

// The buffer holds 255 units and the terminator: a path of exactly 255 fits,
// one unit more is refused and leaves an empty string, never a cut path.
TEST(RegistrationKeyPath, OverlongDriverIdIsRefusedNotCut) {
    const DWORD M = 4294967294u;
    USB_DRIVER_SETTINGS s = Settings(M, M, M, M, M, M, M, M, M);
    WCHAR path[kKeyPathChars];
    ASSERT_TRUE(BuildClientKeyPath(&s, u"X", path, kKeyPathChars));
    const size_t fixed = std::u16string(path).size() - 1;  // without the one-unit ID

    std::u16string id(kKeyPathChars - 1 - fixed, u'D');
    ASSERT_TRUE(BuildClientKeyPath(&s, id.c_str(), path, kKeyPathChars));
    EXPECT_EQ(std::u16string(path).size(), kKeyPathChars - 1);
    for (const std::u16string& longer : {id + u"D", std::u16string(1000, u'D')}) {
        path[0] = u'?';
        EXPECT_FALSE(BuildClientKeyPath(&s, longer.c_str(), path, kKeyPathChars));
        EXPECT_EQ(path[0], 0);
    }
    EXPECT_FALSE(BuildClientKeyPath(nullptr, u"Serlynx", path, kKeyPathChars));
    EXPECT_FALSE(BuildClientKeyPath(&s, nullptr, path, kKeyPathChars));
    EXPECT_FALSE(BuildClientKeyPath(&s, u"Serlynx", nullptr, kKeyPathChars));
}

}  // namespace
