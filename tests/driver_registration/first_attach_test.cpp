// First attach through the catch-all key: the one-shot configuration window,
// the device key written for the next attach, and the friendly name.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "ce/thread.h"
#include "cehost/core.h"
#include "cehost/regfile.h"
#include "common/platform_test.h"
#include "driver/registration/attach.h"
#include "driver/registration/autoconfig.h"
#include "driver/registration/install.h"
#include "driver/registration/registry_values.h"
#include "fake_usb.h"

namespace {

using regtest::DescriptorReply;
using regtest::FakeInterface;
using regtest::FakeUsbDevice;
using regtest::kBulk;
using regtest::kInt;

constexpr DWORD N = USB_NO_INFO;
const std::u16string kCatchAll = kCatchAllKeyPath;
const USB_DRIVER_SETTINGS kCatchAllSettings{sizeof(USB_DRIVER_SETTINGS), N, N, N, N, N, N, N, N, N};

std::u16string DeviceKey(const char* ids) {
    return u"Drivers\\USB\\LoadClients\\" + cehost::Utf16(ids) + u"\\Default\\Default\\Serlynx";
}

std::string Narrow(const WCHAR* s) {
    std::string out;
    for (; *s; ++s)
        out.push_back(static_cast<char>(*s));
    return out;
}

// A CDC layout: status 0x81 (16 bytes) in an ACM interface, data 0x82/0x02.
std::vector<FakeInterface> AcmLayout() {
    return {{2, 2, {{0x81, kInt, 16}}}, {10, 0, {{0x82, kBulk}, {0x02, kBulk}}}};
}

class RegistrationFirstAttachTest : public PlatformTest {
  protected:
    BOOL Attach(FakeUsbDevice& device, const USB_DRIVER_SETTINGS& settings = kCatchAllSettings) {
        BOOL accept = 0x55;
        BOOL result = USBDeviceAttach(device.Handle(), FakeUsbDevice::Funcs(), nullptr, u"Serlynx",
                                      &accept, &settings, 0);
        EXPECT_FALSE(accept);
        EXPECT_EQ(device.registerCalls, 0);
        EXPECT_EQ(device.openTransfers, 0);
        EXPECT_EQ(device.doubleCloses, 0);
        return result;
    }

    // Arms the catch-all key as an installation `elapsed` ms ago would, and
    // attaches. The tick must not move during the attach for the elapsed
    // time to be exact, so the attempt is repeated until it did not.
    BOOL AttachAfter(FakeUsbDevice& device, DWORD elapsed, const std::u16string& dll) {
        for (int attempt = 0; attempt < 200; ++attempt) {
            cehost::RegDeleteTree(u"Drivers\\USB\\LoadClients\\4660_1_256");
            cehost::RegWriteString(kCatchAll, kValueDll, dll);
            DWORD before = GetTickCount();
            cehost::RegWriteDword(kCatchAll, kValueInstallTime, before - elapsed);
            BOOL result = Attach(device);
            if (GetTickCount() == before) {
                return result;
            }
        }
        ADD_FAILURE() << "the tick count never stood still during an attach";
        return FALSE;
    }

    void ExpectSpent() {
        EXPECT_TRUE(cehost::RegKeyExists(kCatchAll));
        EXPECT_FALSE(cehost::RegRead(kCatchAll, kValueDll).has_value());
        EXPECT_FALSE(cehost::RegRead(kCatchAll, kValueInstallTime).has_value());
    }
};

// The window is [0, 3000) ms in unsigned 32-bit arithmetic, so a tick wrap
// between installation and attach changes nothing.
struct WindowCase {
    const char* name;
    DWORD tickAtAttach;
    DWORD elapsed;
    bool configured;
};

class RegistrationWindowTest : public RegistrationFirstAttachTest,
                               public ::testing::WithParamInterface<WindowCase> {};

TEST_P(RegistrationWindowTest, ConfiguresOnlyInsideTheWindowAndAlwaysSpendsTheEntry) {
    const WindowCase& c = GetParam();
    cehost::SetTickCountNow(c.tickAtAttach);
    FakeUsbDevice device(0x1234, 0x0001, AcmLayout());
    EXPECT_FALSE(AttachAfter(device, c.elapsed, u"serlynx.dll"));
    ExpectSpent();
    EXPECT_EQ(cehost::RegKeyExists(DeviceKey("4660_1_256")), c.configured);
}

INSTANTIATE_TEST_SUITE_P(
    Window, RegistrationWindowTest,
    ::testing::Values(WindowCase{"AtOnce", 100000, 0, true}, WindowCase{"Last", 100000, 2999, true},
                      WindowCase{"First", 100000, 3000, false},
                      WindowCase{"LongAfter", 100000, 600000, false},
                      WindowCase{"InstalledBeforeWrapLast", 1000, 2999, true},
                      WindowCase{"InstalledBeforeWrapFirst", 1000, 3000, false},
                      WindowCase{"InstalledJustBeforeWrap", 5, 10, true},
                      // An install time "in the future" is a wrap of almost 2^32.
                      WindowCase{"InstallTimeAhead", 100000, 0xFFFFFFFF, false}),
    [](const auto& info) { return std::string(info.param.name); });

// Whatever is wrong with the catch-all values, they are deleted and no
// device key is written.
struct BadEntryCase {
    const char* name;
    std::optional<cehost::RegValue> dll;
    std::optional<cehost::RegValue> installTime;  // nullopt: a valid time of now
};

constexpr DWORD kNotWritten = 0xFFFFFFFF;

cehost::RegValue Sz(const std::u16string& s) {
    cehost::RegValue v{REG_SZ, {}};
    for (char16_t ch : s) {
        v.data.push_back(static_cast<uint8_t>(ch));
        v.data.push_back(static_cast<uint8_t>(ch >> 8));
    }
    v.data.push_back(0);
    v.data.push_back(0);
    return v;
}

class RegistrationBadEntryTest : public RegistrationFirstAttachTest,
                                 public ::testing::WithParamInterface<BadEntryCase> {};

TEST_P(RegistrationBadEntryTest, SpendsEntryWithoutConfiguring) {
    const BadEntryCase& c = GetParam();
    cehost::RegWriteString(kCatchAll, u"Other", u"kept");
    if (c.dll)
        cehost::RegWrite(kCatchAll, kValueDll, c.dll->type, c.dll->data);
    if (c.installTime && c.installTime->type == kNotWritten) {
        // absent
    } else if (c.installTime) {
        cehost::RegWrite(kCatchAll, kValueInstallTime, c.installTime->type, c.installTime->data);
    } else {
        cehost::RegWriteDword(kCatchAll, kValueInstallTime, GetTickCount());
    }
    FakeUsbDevice device(0x1234, 0x0001, AcmLayout());
    EXPECT_FALSE(Attach(device));
    ExpectSpent();
    EXPECT_EQ(cehost::RegReadString(kCatchAll, u"Other"), u"kept");
    EXPECT_FALSE(cehost::RegKeyExists(DeviceKey("4660_1_256")));
}

INSTANTIATE_TEST_SUITE_P(
    Entry, RegistrationBadEntryTest,
    ::testing::Values(
        BadEntryCase{"NoDll", std::nullopt, std::nullopt},
        BadEntryCase{"EmptyDll", Sz(u""), std::nullopt},
        BadEntryCase{"DllNotString", cehost::RegValue{REG_DWORD, {1, 0, 0, 0}}, std::nullopt},
        BadEntryCase{"DllExpandString", cehost::RegValue{REG_EXPAND_SZ, Sz(u"x.dll").data},
                     std::nullopt},
        BadEntryCase{"Dll63Characters", Sz(std::u16string(63, u'd')), std::nullopt},
        BadEntryCase{"NoInstallTime", Sz(u"serlynx.dll"), cehost::RegValue{kNotWritten, {}}},
        BadEntryCase{"InstallTimeUntyped", Sz(u"serlynx.dll"), cehost::RegValue{REG_NONE, {}}},
        BadEntryCase{"InstallTimeNotDword", Sz(u"serlynx.dll"), Sz(u"0")},
        BadEntryCase{"InstallTimeShort", Sz(u"serlynx.dll"), cehost::RegValue{REG_DWORD, {0, 0}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RegistrationFirstAttachTest, MissingCatchAllKeyChangesNothing) {
    FakeUsbDevice device(0x1234, 0x0001, AcmLayout());
    EXPECT_FALSE(Attach(device));
    EXPECT_FALSE(cehost::RegKeyExists(kCatchAll));
    EXPECT_FALSE(cehost::RegKeyExists(DeviceKey("4660_1_256")));
}

TEST_F(RegistrationFirstAttachTest, WritesTheDeviceKeyOnce) {
    ASSERT_TRUE(USBInstallDriver(u"serlynx.dll"));
    EXPECT_EQ(cehost::RegRead(kCatchAll, kValueDll)->data.size(), 24u);  // 11 chars + 1, x2
    FakeUsbDevice device(0x0482, 0x0203, AcmLayout(), 0x0400);
    device.SetStrings(1, 2);
    device.SetString(2, "Handset");
    EXPECT_FALSE(Attach(device));
    ExpectSpent();

    const std::u16string key = DeviceKey("1154_515_1024");
    EXPECT_EQ(cehost::RegValueNames(key).size(), 9u);
    EXPECT_EQ(cehost::RegReadString(key, kValueDll), u"serlynx.dll");
    EXPECT_EQ(cehost::RegRead(key, kValueDll)->data.size(), 24u);
    EXPECT_EQ(cehost::RegReadString(key, kValuePrefix), u"COM");
    EXPECT_EQ(cehost::RegRead(key, kValuePrefix)->data.size(), 8u);
    EXPECT_EQ(cehost::RegReadString(key, kValueTsp), u"Unimodem.dll");
    EXPECT_EQ(cehost::RegReadDword(key, kValueDeviceType), 1u);
    EXPECT_EQ(cehost::RegReadDword(key, kValueClassEndp), 0x81u);
    EXPECT_EQ(cehost::RegReadDword(key, kValueReceiveEndp), 0x82u);
    EXPECT_EQ(cehost::RegReadDword(key, kValueSendEndp), 0x02u);
    EXPECT_EQ(cehost::RegReadDword(key, kValueUsbMode), 0x1001u);
    EXPECT_EQ(cehost::RegReadString(key, kValueFriendlyName), u"Handset,cdc");
    EXPECT_EQ(cehost::RegRead(key, kValueFriendlyName)->data.size(), 24u);

    // The entry is spent: a second device attached at once is not configured.
    FakeUsbDevice other(0x1234, 0x0002, AcmLayout());
    EXPECT_FALSE(Attach(other));
    EXPECT_FALSE(cehost::RegKeyExists(DeviceKey("4660_2_256")));
}

// The library would never be loaded when the registry refuses the
// catch-all key or one of its values: the installation reports failure.
TEST_F(RegistrationFirstAttachTest, InstallFailsWhenTheRegistryRefusesAWrite) {
    const struct {
        const char* step;
        uint64_t nth;
    } refusals[] = {{"creating the key", 1}, {"writing Dll", 2}, {"writing InstallTime", 3}};
    for (const auto& r : refusals) {
        cehost::FailNthRegistryWrite(r.nth);
        EXPECT_FALSE(USBInstallDriver(u"serlynx.dll")) << r.step;
    }
    cehost::FailNthRegistryWrite(0);
    EXPECT_TRUE(USBInstallDriver(u"serlynx.dll"));
}

// A name of 62 characters is the longest the 126-byte read takes whole.
TEST_F(RegistrationFirstAttachTest, LongestLibraryNameIsCopiedWhole) {
    const std::u16string dll = std::u16string(58, u'x') + u".dll";
    FakeUsbDevice device(0x1234, 0x0001, AcmLayout());
    EXPECT_FALSE(AttachAfter(device, 0, dll));
    EXPECT_EQ(cehost::RegReadString(DeviceKey("4660_1_256"), kValueDll), dll);
}

// A value stored without its terminator is ended after its last character.
TEST_F(RegistrationFirstAttachTest, UnterminatedLibraryNameIsEnded) {
    cehost::RegValue v = Sz(std::u16string(63, u'y'));
    v.data.resize(126);  // 63 characters, no terminator
    cehost::RegWrite(kCatchAll, kValueDll, REG_SZ, v.data);
    cehost::RegWriteDword(kCatchAll, kValueInstallTime, GetTickCount());
    FakeUsbDevice device(0x1234, 0x0001, AcmLayout());
    EXPECT_FALSE(Attach(device));
    ExpectSpent();
    EXPECT_EQ(cehost::RegReadString(DeviceKey("4660_1_256"), kValueDll), std::u16string(63, u'y'));
}

TEST_F(RegistrationFirstAttachTest, ExistingDeviceKeyIsOverwritten) {
    const std::u16string key = DeviceKey("4660_1_256");
    cehost::RegWriteDword(key, kValueUsbMode, 0x203);
    cehost::RegWriteString(key, u"Custom", u"stays");
    cehost::RegWriteString(kCatchAll, kValueDll, u"serlynx.dll");
    cehost::RegWriteDword(kCatchAll, kValueInstallTime, GetTickCount());
    FakeUsbDevice device(0x1234, 0x0001, AcmLayout());
    EXPECT_FALSE(Attach(device));
    EXPECT_EQ(cehost::RegReadDword(key, kValueUsbMode), 1u);
    EXPECT_EQ(cehost::RegReadString(key, u"Custom"), u"stays");
}

// ---- Friendly names ----------------------------------------------------

std::vector<uint8_t> StringBytes(const std::string& text, int lengthByte = -1) {
    std::vector<uint8_t> d{static_cast<uint8_t>(lengthByte >= 0 ? lengthByte : 2 + 2 * text.size()),
                           USB_STRING_DESCRIPTOR_TYPE};
    for (char c : text) {
        d.push_back(static_cast<uint8_t>(c));
        d.push_back(0);
    }
    return d;
}

struct NameCase {
    const char* name;
    BYTE iManufacturer, iProduct;
    std::vector<DescriptorReply> replies;  // empty: the device's strings below
    DWORD usbMode;
    std::string want;
    std::vector<WORD> lengthsAsked;  // GetDescriptor lengths, in order
};

class RegistrationFriendlyNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(RegistrationFriendlyNameTest, BuildsName) {
    const NameCase& c = GetParam();
    FakeUsbDevice device(0x1234, 0x0001, {});
    device.SetStrings(c.iManufacturer, c.iProduct);
    device.SetString(1, "Maker");
    device.SetString(2, "Widget");
    if (!c.replies.empty())
        device.ScriptReplies(c.replies);
    WCHAR name[kFriendlyNameChars];
    size_t length = BuildFriendlyName(device.Handle(), FakeUsbDevice::Funcs(), device.Device(),
                                      c.usbMode, name);
    EXPECT_EQ(Narrow(name), c.want);
    EXPECT_EQ(length, c.want.size());
    std::vector<WORD> asked;
    BYTE index = c.iProduct != 0 ? c.iProduct : c.iManufacturer;
    for (const auto& call : device.descriptorCalls) {
        EXPECT_EQ(call.type, USB_STRING_DESCRIPTOR_TYPE);
        EXPECT_EQ(call.index, index);
        EXPECT_EQ(call.language, 0x0409);
        asked.push_back(call.length);
    }
    EXPECT_EQ(asked, c.lengthsAsked);
    EXPECT_EQ(device.openTransfers, 0);
    EXPECT_EQ(device.doubleCloses, 0);
}

DescriptorReply Reply(std::vector<uint8_t> bytes, std::optional<DWORD> count = std::nullopt) {
    return DescriptorReply{false, std::move(bytes), count};
}
const DescriptorReply kStall{true, {}, std::nullopt};

const std::string k62(62, 'p');
const std::string k58(58, 'q');
const std::string k59(59, 'r');

INSTANTIATE_TEST_SUITE_P(
    Names, RegistrationFriendlyNameTest,
    ::testing::Values(
        NameCase{"NoStrings", 0, 0, {}, 1, "Serlynx,cdc", {}},
        NameCase{"Product", 1, 2, {}, 0, "Widget,basic", {2, 14}},
        NameCase{"ManufacturerWhenNoProduct", 1, 0, {}, 0x101, "Maker,pl2303", {2, 12}},
        // Only the chosen index is tried.
        NameCase{"MissingProductDoesNotFallBack", 1, 3, {}, 2, "Serlynx,wmc", {2}},
        NameCase{"Product62CharactersNoSuffix",
                 0,
                 2,
                 {Reply(StringBytes(k62)), Reply(StringBytes(k62))},
                 4,
                 k62,
                 {2, 126}},
        NameCase{"Product58CharactersKeepsSuffix",
                 0,
                 2,
                 {Reply(StringBytes(k58)), Reply(StringBytes(k58))},
                 1,
                 k58 + ",cdc",
                 {2, 118}},
        NameCase{"Product59CharactersDropsSuffix",
                 0,
                 2,
                 {Reply(StringBytes(k59)), Reply(StringBytes(k59))},
                 1,
                 k59,
                 {2, 120}},
        NameCase{"OddLengthDropsLastByte",
                 0,
                 2,
                 {Reply(StringBytes("Widget", 13)), Reply(StringBytes("Widget", 13))},
                 3,
                 "Widge,ftdi",
                 {2, 13}},
        NameCase{"EmptyString",
                 0,
                 2,
                 {Reply(StringBytes("")), Reply(StringBytes(""))},
                 0,
                 ",basic",
                 {2, 2}},
        NameCase{"FirstReadNoTransfer", 0, 2, {kStall}, 0, "Serlynx,basic", {2}},
        NameCase{
            "FirstReadShort", 0, 2, {Reply(StringBytes("Widget"), 1)}, 0, "Serlynx,basic", {2}},
        NameCase{"LengthAboveBuffer",
                 0,
                 2,
                 {Reply(StringBytes("Widget", 127))},
                 0,
                 "Serlynx,basic",
                 {2}},
        NameCase{"LengthZero", 0, 2, {Reply(StringBytes("Widget", 0))}, 0, "Serlynx,basic", {2}},
        NameCase{"LengthOne", 0, 2, {Reply(StringBytes("Widget", 1))}, 0, "Serlynx,basic", {2}},
        NameCase{"SecondReadNoTransfer",
                 0,
                 2,
                 {Reply(StringBytes("Widget")), kStall},
                 0,
                 "Serlynx,basic",
                 {2, 14}},
        NameCase{"SecondReadShort",
                 0,
                 2,
                 {Reply(StringBytes("Widget")), Reply(StringBytes("Widget"), 10)},
                 0,
                 "Serlynx,basic",
                 {2, 14}},
        // The second read is judged by the header it delivered; a count
        // beyond what was asked is refused.
        NameCase{"SecondReadShorterHeaderAccepted",
                 0,
                 2,
                 {Reply(StringBytes("Widget")), Reply(StringBytes("Widget", 10), 10)},
                 0,
                 "Widg,basic",
                 {2, 14}},
        NameCase{"SecondReadLongerHeaderRefused",
                 0,
                 2,
                 {Reply(StringBytes("Widget")), Reply(StringBytes("Widget", 16), 16)},
                 0,
                 "Serlynx,basic",
                 {2, 14}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
