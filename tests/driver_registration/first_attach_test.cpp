// First attach through the catch-all key: the one-shot configuration window,
// the device key written for the next attach, and the friendly name.
#include <gtest/gtest.h>

#include <deque>
#include <mutex>
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
#include "layout.h"

namespace {

using cehost::Bytes;
using cehost::RegValue;
using regtest::Plugged;

constexpr DWORD N = USB_NO_INFO;
const std::u16string kCatchAll = kCatchAllKeyPath;
const std::u16string kKey = u"Drivers\\USB\\LoadClients\\4660_1_256\\Default\\Default\\Serlynx";

// A CDC layout: status 0x81 (16 bytes) in an ACM interface, data 0x82/0x02.
std::shared_ptr<testfix::ScriptedModel> Acm() {
    return regtest::LayoutModel(0x1234, 1, "2.2: 81i16 | 10: 82b 02b");
}

RegValue Sz(const std::u16string& s, bool terminated = true) {
    RegValue v{REG_SZ, {}};
    for (char16_t ch : s + (terminated ? std::u16string(1, 0) : u""))
        v.data.insert(v.data.end(), {uint8_t(ch), uint8_t(ch >> 8)});
    return v;
}

class RegistrationFirstAttachTest : public PlatformTest {
  protected:
    // Attaches through the catch-all settings: never accepted.
    static void Attach(const std::shared_ptr<testfix::ScriptedModel>& model) {
        static const USB_DRIVER_SETTINGS settings{
            sizeof(USB_DRIVER_SETTINGS), N, N, N, N, N, N, N, N, N};
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

// The window is [0, 3000) ms in unsigned 32-bit arithmetic, so a tick wrap
// between installation and attach changes nothing. The tick must not move
// during the attach for the elapsed time to be exact, so the attempt is
// repeated until it did not.
TEST_F(RegistrationFirstAttachTest, ConfiguresOnlyInsideTheWindowAndAlwaysSpendsTheEntry) {
    struct {
        DWORD tickAtAttach, elapsed;
        bool configured;
    } const cases[] = {{100000, 2999, true}, {100000, 3000, false}, {1000, 2999, true},
                       {1000, 3000, false},  {5, 10, true},         {100000, 0xFFFFFFFF, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.tickAtAttach << " " << c.elapsed);
        cehost::SetTickCountNow(c.tickAtAttach);
        for (int attempt = 0;; ++attempt) {
            ASSERT_LT(attempt, 200) << "the tick count never stood still during an attach";
            cehost::RegDeleteTree(u"Drivers\\USB\\LoadClients\\4660_1_256");
            cehost::RegWriteString(kCatchAll, kValueDll, u"serlynx.dll");
            const DWORD before = GetTickCount();
            cehost::RegWriteDword(kCatchAll, kValueInstallTime, before - c.elapsed);
            Attach(Acm());
            if (GetTickCount() == before)
                break;
        }
        ExpectSpent();
        EXPECT_EQ(cehost::RegKeyExists(kKey), c.configured);
    }
}

// Whatever is wrong with the catch-all values, they are deleted (others are
// kept) and no device key is written. A name of 62 characters is the longest
// the 126-byte read takes whole with its terminator; one of 63 without a
// terminator is ended after its last character.
TEST_F(RegistrationFirstAttachTest, EntryValues) {
    const RegValue kNow{0xFFFF, {}};  // a valid time: the tick count now
    struct {
        const char* name;
        std::optional<RegValue> dll, installTime;  // nullopt: absent
        std::optional<std::u16string> written;     // the device key's Dll
    } const cases[] = {
        {"no Dll", std::nullopt, kNow, std::nullopt},
        {"empty Dll", Sz(u""), kNow, std::nullopt},
        {"Dll not a string", RegValue{REG_DWORD, {1, 0, 0, 0}}, kNow, std::nullopt},
        {"Dll expand string", RegValue{REG_EXPAND_SZ, Sz(u"x.dll").data}, kNow, {}},
        {"Dll of 63 characters", Sz(std::u16string(63, u'd')), kNow, std::nullopt},
        {"Dll of 62", Sz(std::u16string(62, u'x')), kNow, std::u16string(62, u'x')},
        {"Dll of 63 unterminated", Sz(std::u16string(63, u'y'), false), kNow,
         std::u16string(63, u'y')},
        {"no InstallTime", Sz(u"serlynx.dll"), std::nullopt, std::nullopt},
        {"InstallTime untyped", Sz(u"serlynx.dll"), RegValue{REG_NONE, {}}, std::nullopt},
        {"InstallTime short", Sz(u"serlynx.dll"), RegValue{REG_DWORD, {0, 0}}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        cehost::RegDeleteTree(u"Drivers\\USB\\LoadClients");
        cehost::RegWriteString(kCatchAll, u"Other", u"kept");
        if (c.dll)
            cehost::RegWrite(kCatchAll, kValueDll, c.dll->type, c.dll->data);
        if (c.installTime && c.installTime->type == kNow.type)
            cehost::RegWriteDword(kCatchAll, kValueInstallTime, GetTickCount());
        else if (c.installTime)
            cehost::RegWrite(kCatchAll, kValueInstallTime, c.installTime->type,
                             c.installTime->data);
        Attach(Acm());
        ExpectSpent();
        EXPECT_EQ(cehost::RegReadString(kCatchAll, u"Other"), u"kept");
        EXPECT_EQ(cehost::RegReadString(kKey, kValueDll), c.written);
    }
}

// The values written besides those the lifecycle tests check per device.
// Without an installation there is nothing to spend.
TEST_F(RegistrationFirstAttachTest, WritesTheDeviceKeyOnce) {
    Attach(Acm());
    EXPECT_FALSE(cehost::RegKeyExists(kCatchAll));
    ASSERT_TRUE(USBInstallDriver(u"serlynx.dll"));
    EXPECT_EQ(cehost::RegRead(kCatchAll, kValueDll)->data, Sz(u"serlynx.dll").data);
    Attach(Acm());
    ExpectSpent();
    EXPECT_EQ(cehost::RegValueNames(kKey).size(), 9u);
    EXPECT_EQ(cehost::RegRead(kKey, kValueDll)->data, Sz(u"serlynx.dll").data);
    EXPECT_EQ(cehost::RegRead(kKey, kValuePrefix)->data, Sz(u"COM").data);
    EXPECT_EQ(cehost::RegReadString(kKey, kValueTsp), u"Unimodem.dll");
    EXPECT_EQ(cehost::RegReadDword(kKey, kValueDeviceType), 1u);
    EXPECT_EQ(cehost::RegRead(kKey, kValueFriendlyName)->data, Sz(u"Serlynx,cdc").data);
}

// An existing device key is overwritten value by value; others stay.
TEST_F(RegistrationFirstAttachTest, ExistingDeviceKeyIsOverwritten) {
    cehost::RegWriteDword(kKey, kValueUsbMode, 0x203);
    cehost::RegWriteString(kKey, u"Custom", u"stays");
    cehost::RegWriteString(kCatchAll, kValueDll, u"serlynx.dll");
    cehost::RegWriteDword(kCatchAll, kValueInstallTime, GetTickCount());
    Attach(Acm());
    EXPECT_EQ(cehost::RegReadDword(kKey, kValueUsbMode), 1u);
    EXPECT_EQ(cehost::RegReadString(kKey, u"Custom"), u"stays");
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
class StringReplies : public testfix::ScriptedModel {
  public:
    explicit StringReplies(std::deque<Bytes> replies) : replies_(std::move(replies)) {}
    Bytes StringDescriptor(uint8_t, uint16_t) override {
        std::lock_guard<std::mutex> g(mu_);
        if (replies_.empty())
            return {};
        Bytes next = replies_.front();
        replies_.pop_front();
        return next;
    }

  private:
    std::mutex mu_;
    std::deque<Bytes> replies_;
};

// A host that reports two bytes more than a transfer moved, when asked to.
bool gOverReport = false;
BOOL WINAPI OverReportingStatus(USB_TRANSFER t, LPDWORD count, LPDWORD error) {
    BOOL ok = cehost::UsbFunctions()->lpGetTransferStatus(t, count, error);
    if (gOverReport && count != nullptr && *count > 2)
        *count += 2;
    return ok;
}

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
        bool overReport = false;
    } const cases[] = {
        {0, 0, {}, 1, "Serlynx,cdc", {}},
        {1, 2, {S("Widget"), S("Widget")}, 0, "Widget,basic", {2, 14}},
        {1, 0, {S("Maker"), S("Maker")}, 0x101, "Maker,pl2303", {2, 12}},
        {1, 3, {}, 2, "Serlynx,wmc", {2}},  // only the chosen index is tried
        {0, 2, {S(k58), S(k58)}, 1, k58 + ",cdc", {2, 118}},
        {0, 2, {S(k59), S(k59)}, 1, k59, {2, 120}},
        {0, 2, {S("Widget", 13), S("Widget", 13)}, 3, "Widge,ftdi", {2, 13}},
        {0, 2, {S("Widget", -1, 1)}, 0, "Serlynx,basic", {2}},
        {0, 2, {S("Widget", 127)}, 0, "Serlynx,basic", {2}},
        {0, 2, {S("Widget"), S("Widget", -1, 10)}, 0, "Serlynx,basic", {2, 14}},
        // The second read is judged by the header it delivered; a count
        // beyond what was asked is refused.
        {0, 2, {S("Widget"), S("Widget", 10, 10)}, 0, "Widg,basic", {2, 14}},
        {0, 2, {S("Widget"), S("Widget")}, 0, "Serlynx,basic", {2, 14}, true},
    };
    USB_FUNCS funcs = *cehost::UsbFunctions();
    funcs.lpGetTransferStatus = OverReportingStatus;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.want);
        auto model = std::make_shared<StringReplies>(c.replies);
        model->SetDescriptors(cehost::usbdesc::Device(0x200, 0, 0, 0, 64, 0x1234, 1, 0x100,
                                                      c.iManufacturer, c.iProduct, 0),
                              cehost::usbdesc::Configuration(0, 1, {}));
        Plugged d(model);
        const size_t enumeration = d.bus.Log().size();
        gOverReport = c.overReport;
        WCHAR name[kFriendlyNameChars];
        const size_t length = BuildFriendlyName(d.Handle(), &funcs, d.Device(), c.usbMode, name);
        gOverReport = false;
        EXPECT_EQ(std::u16string(name), std::u16string(c.want.begin(), c.want.end()));
        EXPECT_EQ(length, c.want.size());
        std::vector<int> asked;
        const std::vector<cehost::UsbLogEntry> log = d.bus.Log();
        for (size_t i = enumeration; i < log.size(); ++i) {
            const cehost::UsbLogEntry& e = log[i];
            if (e.event != 'S' || !e.hasSetup || e.setup[1] != 6)
                continue;
            EXPECT_EQ(e.setup[3], USB_STRING_DESCRIPTOR_TYPE);
            EXPECT_EQ(e.setup[2], c.iProduct != 0 ? c.iProduct : c.iManufacturer);
            EXPECT_EQ(e.setup[4] | e.setup[5] << 8, 0x0409);
            asked.push_back(e.setup[6] | e.setup[7] << 8);
        }
        EXPECT_EQ(asked, c.asked);
    }
}

}  // namespace
