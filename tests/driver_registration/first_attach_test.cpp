// First attach through the catch-all key: client key paths, device
// classification (endpoint scoring, port type and vendor overrides, on
// layouts built here; real devices' descriptors and the vendor overrides are
// classified by tool_driver_doc, the device models by the lifecycle tests), the one-shot
// configuration window, the device key written for the next attach, and
// the friendly name.
#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <mutex>
#include <optional>

#include "cehost/core.h"
#include "cehost/regfile.h"
#include "driver/registration/attach.h"
#include "driver/registration/autoconfig.h"
#include "driver/registration/install.h"
#include "driver/registration/key_path.h"
#include "driver/registration/registry_values.h"
#include "layout.h"

namespace {

using namespace regtest;
using cehost::Bytes;
using cehost::RegValue;

const std::u16string kCatchAll = kCatchAllKeyPath;

// A CDC layout: status 0x81 (16 bytes) in an ACM interface, data 0x82/0x02.
std::shared_ptr<testfix::ScriptedModel> Acm() {
    return LayoutModel(0x1234, 1, "2.2: 81i16 | 10: 82b 02b");
}

// A group's second member is used only when given, its third only when the
// second is given too; a group whose first member is open is "Default"
// whatever follows. The buffer holds 255 units and the terminator: a path of
// exactly 255 fits, one unit more is refused and leaves an empty string.
TEST(RegistrationKeyPath, BuildsPathFromSettings) {
    struct {
        USB_DRIVER_SETTINGS s;
        std::u16string path;  // after the root
    } const cases[] = {
        {{0, 0x0403, 0x8372, 0x0400, N, N, N, N, N, N}, u"1027_33650_1024\\Default\\Default"},
        {{0, N, N, N, N, N, N, 255, N, 1}, u"Default\\Default\\255"},
        {{0, N, N, N, N, 2, 2, 0, 0, 0}, u"Default\\Default\\0_0_0"},
        {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, u"1_2_3\\4_5_6\\7_8_9"},
    };
    WCHAR path[kKeyPathChars];
    for (const auto& c : cases) {
        ASSERT_TRUE(BuildClientKeyPath(&c.s, u"Serlynx", path, kKeyPathChars));
        EXPECT_EQ(std::u16string(path), u"Drivers\\USB\\LoadClients\\" + c.path + u"\\Serlynx");
    }
    const DWORD M = 4294967294u;
    const USB_DRIVER_SETTINGS s{0, M, M, M, M, M, M, M, M, M};
    ASSERT_TRUE(BuildClientKeyPath(&s, u"X", path, kKeyPathChars));
    const std::u16string id(kKeyPathChars - std::u16string(path).size(), u'D');
    ASSERT_TRUE(BuildClientKeyPath(&s, id.c_str(), path, kKeyPathChars));
    EXPECT_EQ(std::u16string(path).size(), kKeyPathChars - 1);
    path[0] = u'?';
    EXPECT_FALSE(BuildClientKeyPath(&s, (id + u"D").c_str(), path, kKeyPathChars));
    EXPECT_EQ(path[0], 0);
    EXPECT_FALSE(BuildClientKeyPath(&s, nullptr, path, kKeyPathChars));
}

// classEndp, receiveEndp, sendEndp, usbMode.
std::array<DWORD, 4> Choose(uint16_t vendor, uint16_t product, const std::string& layout) {
    Plugged d(LayoutModel(vendor, product, layout));
    EndpointChoice e{0xDEAD, 0xDEAD, 0xDEAD, 0xDEAD};
    ChooseEndpoints(layout == "none" ? nullptr : d.Device(), &e);
    return {e.classEndp, e.receiveEndp, e.sendEndp, e.usbMode};
}

class RegistrationScoring : public PlatformTest {};

// An interrupt endpoint scores 3 from a full SERIAL_STATE packet (10 bytes,
// counting the low 11 bits of the packet size) on, +5 alone in its
// interface; a bulk one 3 in a pair on matching addresses, +2 alone with its
// pair in the interface, +20 in a data interface, +10 after an ACM one (the
// saved subclass, which alternate settings do not change; they are skipped).
TEST_F(RegistrationScoring, ChoosesEndpointsAndPortType) {
    struct {
        uint16_t vendor, product;
        const char* layout;
        std::array<DWORD, 4> want;
    } const cases[] = {
        // The CTS-reporting chip with a second interface is not recognised (its
        // usual layout, and the vendor overrides: the real dumps, tool_driver_doc).
        {0x067B, 0x2303, "255: 81i10 83b 02b | 255:", {0x81, 0x83, 0x02, 1}},
        {0x1234, 2, "255: 81i8", {0, 0x81, 0, 0}},  // an interrupt-IN alone carries data
        // An equal third pair displaces nothing; a higher later one demotes the best.
        {0x1234, 3, "2.2: 85i16|10: 81b 01b|10: 82b 02b|10: 83b 03b", {0x85, 0x8281, 0x0201, 2}},
        {0x1234, 3, "2.2: 85i16 | 10: 81b 02b | 10: 83b 03b", {0x85, 0x8183, 0x0203, 2}},
        {0x1234, 4, "2.2: 81i16 | 10: 82b 02b | 255: 83b 03b", {0x81, 0x82, 0x02, 1}},
        {0x1234, 5, "255: 81b 82b 02b 86i16 | 255: 83b 04b", {0, 0x83, 0x04, 0}},
        {0x1234, 7, "2.11#0:|2.2/1#0:|10#1: 81b 01b|2.2#2:|10#3: 82b 02b", {0, 0x82, 0x02, 0}},
        // Status packet size from 10, its high-bandwidth bits ignored; alone wins.
        {0x1234, 9, "255: 81i9 | 255: 83i10 | 255: 82b 02b", {0x83, 0x82, 0x02, 1}},
        {0x1234, 9, "255: 81i8 | 255: 83i6152 | 255: 82b 02b", {0x81, 0x82, 0x02, 1}},
        {0x1234, 1, "none", {0, 0, 0, 0}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Choose(c.vendor, c.product, c.layout), c.want) << c.layout;
}

class RegistrationFirstAttachTest : public PlatformTest {
  protected:
    // Attaches through the catch-all settings: never accepted.
    static void Attach(const std::shared_ptr<testfix::ScriptedModel>& model) {
        static const USB_DRIVER_SETTINGS settings{0, N, N, N, N, N, N, N, N, N};
        Plugged d(model);
        BOOL accept = 0x55;
        EXPECT_FALSE(USBDeviceAttach(d.Handle(), cehost::UsbFunctions(), nullptr, u"Serlynx",
                                     &accept, &settings, 0));
        EXPECT_FALSE(accept);
    }
    static void ExpectSpent() {
        EXPECT_TRUE(cehost::RegKeyExists(kCatchAll));
        EXPECT_FALSE(cehost::RegRead(kCatchAll, kValueDll).has_value());
        EXPECT_FALSE(cehost::RegRead(kCatchAll, kValueInstallTime).has_value());
    }
};

// Whatever is wrong with the catch-all values, they are deleted (others are
// kept) and no device key is written. The window is [0, 3000) ms in
// unsigned 32-bit arithmetic, so a tick wrap between installation and attach
// changes nothing (the tick stands still at 1000 during the attach). A name
// of 62 characters is the longest the 126-byte read takes whole with its
// terminator; one of 63 without a terminator is ended after its last
// character.
TEST_F(RegistrationFirstAttachTest, EntryValuesAndWindow) {
    const RegValue kDll = Sz(u"serlynx.dll"), kNow = Dword(1000);
    struct {
        const char* name;
        std::optional<RegValue> dll, installTime;  // nullopt: absent
        std::optional<std::u16string> written;     // the device key's Dll
    } const cases[] = {
        {"2999 ms, across the wrap", kDll, Dword(1000 - 2999), u"serlynx.dll"},
        {"3000 ms", kDll, Dword(1000 - 3000), std::nullopt},
        {"-1 ms", kDll, Dword(1001), std::nullopt},
        {"no Dll", std::nullopt, kNow, std::nullopt},
        {"empty Dll", Sz(u""), kNow, std::nullopt},
        {"Dll not a string", Dword(1), kNow, std::nullopt},
        {"Dll of 63 characters", Sz(std::u16string(63, u'd')), kNow, std::nullopt},
        {"Dll of 62", Sz(std::u16string(62, u'x')), kNow, std::u16string(62, u'x')},
        {"Dll of 63 unterminated", Sz(std::u16string(63, u'y'), false), kNow,
         std::u16string(63, u'y')},
        {"InstallTime short", kDll, RegValue{REG_DWORD, {0, 0}}, std::nullopt},
    };
    cehost::FreezeTicks(true);
    cehost::SetTickCountNow(1000);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        cehost::RegDeleteTree(u"Drivers\\USB\\LoadClients");
        cehost::RegWriteString(kCatchAll, u"Other", u"kept");
        if (c.dll)
            Write(kCatchAll, kValueDll, *c.dll);
        if (c.installTime)
            Write(kCatchAll, kValueInstallTime, *c.installTime);
        Attach(Acm());
        ExpectSpent();
        EXPECT_EQ(cehost::RegReadString(kCatchAll, u"Other"), u"kept");
        EXPECT_EQ(cehost::RegReadString(kKey, kValueDll), c.written);
    }
    cehost::FreezeTicks(false);
}

// The values written besides those the lifecycle tests check per device;
// an existing device key is overwritten value by value, others stay.
// Without an installation there is nothing to spend.
TEST_F(RegistrationFirstAttachTest, WritesTheDeviceKeyOnce) {
    Attach(Acm());
    EXPECT_FALSE(cehost::RegKeyExists(kCatchAll));
    ASSERT_TRUE(USBInstallDriver(u"serlynx.dll"));
    EXPECT_EQ(cehost::RegRead(kCatchAll, kValueDll)->data, Sz(u"serlynx.dll").data);
    cehost::RegWriteDword(kKey, kValueUsbMode, 0x203);
    cehost::RegWriteString(kKey, u"Custom", u"stays");
    Attach(Acm());
    ExpectSpent();
    EXPECT_EQ(cehost::RegValueNames(kKey).size(), 10u);
    EXPECT_EQ(cehost::RegReadDword(kKey, kValueUsbMode), 1u);
    EXPECT_EQ(cehost::RegReadString(kKey, u"Custom"), u"stays");
    EXPECT_EQ(cehost::RegReadString(kKey, kValueTsp), u"Unimodem.dll");
    EXPECT_EQ(cehost::RegReadDword(kKey, kValueDeviceType), 1u);
    EXPECT_EQ(cehost::RegRead(kKey, kValueFriendlyName)->data, Sz(u"Serlynx,cdc").data);
}

// The library would never be loaded when the registry refuses the catch-all
// key or one of its values: the installation reports failure. Installing
// again re-arms the entry.
TEST_F(RegistrationFirstAttachTest, InstallFailsWhenTheRegistryRefusesAWrite) {
    for (uint64_t nth : {1, 2, 3}) {  // the key, Dll, InstallTime
        cehost::FailNthRegistryWrite(nth);
        EXPECT_FALSE(USBInstallDriver(u"serlynx.dll")) << nth;
    }
    cehost::FailNthRegistryWrite(0);
    EXPECT_TRUE(USBInstallDriver(u"serlynx.dll"));
    const DWORD first = *cehost::RegReadDword(kCatchAll, kValueInstallTime);
    cehost::AdvanceTicks(50000);
    EXPECT_TRUE(USBInstallDriver(u"serlynx.dll"));
    EXPECT_GE(*cehost::RegReadDword(kCatchAll, kValueInstallTime) - first, 50000u);
}

// ---- Friendly names ----------------------------------------------------------

// The string reads are answered in turn from a list (then stalled), so that
// the second read can differ from the first.
struct StringReplies : testfix::ScriptedModel {
    std::mutex mu;
    std::deque<Bytes> replies;
    Bytes StringDescriptor(uint8_t, uint16_t) override {
        std::lock_guard<std::mutex> g(mu);
        Bytes next = replies.empty() ? Bytes{} : replies.front();
        if (!replies.empty())
            replies.pop_front();
        return next;
    }
};

// A string descriptor of `text` with its length byte set to `length` (-1:
// the true one), cut to `keep` bytes.
Bytes S(const std::string& text, int length = -1, size_t keep = 1000) {
    Bytes d = cehost::usbdesc::String(text);
    if (length >= 0)
        d[0] = static_cast<uint8_t>(length);
    d.resize(std::min(d.size(), keep));
    return d;
}

// The product string (or else the manufacturer's) and the port type's
// suffix, if it fits; a string read asks for the 2-byte header, then for the
// length the header gives, in US English. Any fault in the reads gives the
// driver's name.
TEST_F(RegistrationFirstAttachTest, FriendlyNames) {
    const std::string k58(58, 'q'), k59(59, 'r');
    struct {
        uint8_t iManufacturer, iProduct;
        std::deque<Bytes> replies;  // to the string reads, in turn
        DWORD usbMode;
        std::string want;
        std::vector<int> asked;
    } const cases[] = {
        {1, 2, {S("Widget"), S("Widget")}, 0, "Widget,basic", {2, 14}},
        {1, 0, {S("Maker"), S("Maker")}, 0x101, "Maker,pl2303", {2, 12}},
        {1, 3, {}, 2, "Serlynx,wmc", {2}},  // only the chosen index is tried
        {0, 2, {S(k58), S(k58)}, 1, k58 + ",cdc", {2, 118}},
        {0, 2, {S(k59), S(k59)}, 1, k59, {2, 120}},
        {0, 2, {S("Widget", 13), S("Widget", 13)}, 3, "Widge,ftdi", {2, 13}},
        {0, 2, {S("Widget", -1, 1)}, 0, "Serlynx,basic", {2}},
        {0, 2, {S("Widget"), S("Widget", -1, 10)}, 0, "Serlynx,basic", {2, 14}},
        {0, 2, {S("Widget"), S("Widget", 10, 10)}, 0, "Widg,basic", {2, 14}},  // judged by its
                                                                               // header
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.want);
        auto model = std::make_shared<StringReplies>();
        model->replies = c.replies;
        model->SetDescriptors(cehost::usbdesc::Device(0x200, 0, 0, 0, 64, 0x1234, 1, 0x100,
                                                      c.iManufacturer, c.iProduct, 0),
                              cehost::usbdesc::Configuration(0, 1, {}));
        Plugged d(model);
        const size_t enumeration = d.bus.Log().size();
        WCHAR name[kFriendlyNameChars];
        const size_t length =
            BuildFriendlyName(d.Handle(), cehost::UsbFunctions(), d.Device(), c.usbMode, name);
        EXPECT_EQ(std::u16string(name), std::u16string(c.want.begin(), c.want.end()));
        EXPECT_EQ(length, c.want.size());
        std::vector<int> asked;
        const std::vector<cehost::UsbLogEntry> log = d.bus.Log();
        for (size_t i = enumeration; i < log.size(); ++i) {
            const cehost::UsbLogEntry& e = log[i];
            if (e.event != 'S' || !e.hasSetup || e.setup[1] != 6)
                continue;
            EXPECT_EQ(Bytes(e.setup + 2, e.setup + 6),
                      (Bytes{c.iProduct ? c.iProduct : c.iManufacturer, 3, 0x09, 0x04}));
            asked.push_back(e.setup[6] | e.setup[7] << 8);
        }
        EXPECT_EQ(asked, c.asked);
    }
}

}  // namespace
