// Registration, white box: client key paths, the first attach through the
// catch-all key (endpoint scoring and port type on layouts built here, the
// one-shot window, the device key written for the next attach, the friendly
// name), the configured attach (refusals, values and their defaults,
// endpoint binding, start, activation, removal through the notification
// routine), and the 32-bit "ClientInfo" tokens that lead the stream entry
// points to their port. Real devices' descriptors and the vendor overrides
// are classified by tool_driver_doc, the device models end to end by the
// lifecycle tests. The stream device is the device manager tests' stub.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "ce_devmgr/stub_driver.h"
#include "cehost/usb_bus.h"
#include "common/scripted_model.h"
#include "driver/port/port.h"
#include "driver/registration/attach.h"
#include "driver/registration/autoconfig.h"
#include "driver/registration/install.h"
#include "driver/registration/key_path.h"
#include "driver/registration/port_token.h"
#include "driver/registration/registry_values.h"

namespace {

using cehost::Bytes;
using cehost::RegValue;

constexpr DWORD N = USB_NO_INFO;
const std::u16string kCatchAll = kCatchAllKeyPath;
// The device key of LayoutModel(0x1234, 1, ...).
const std::u16string kKey = u"Drivers\\USB\\LoadClients\\4660_1_256\\Default\\Default\\Serlynx";

// A layout in brief: interfaces separated by '|', each "class[.subclass]
// [/alternate]:" (an alternate setting shares the number of the interface
// before it) and its endpoints, "<address in hex><b|i|s>[packet]" for bulk, interrupt and
// isochronous (packet 64 by default). "2.2: 81i16 | 10: 82b 02b" is a CDC
// device.
std::shared_ptr<testfix::ScriptedModel> LayoutModel(uint16_t vendor, uint16_t product,
                                                    const std::string& layout) {
    namespace d = cehost::usbdesc;
    cehost::Bytes body;
    std::istringstream interfaces(layout);
    std::string itf;
    uint8_t count = 0, number = 0;
    while (!layout.empty() && std::getline(interfaces, itf, '|')) {
        unsigned cls = 0, sub = 0, alt = 0, n = 0, address = 0, packet;
        std::sscanf(itf.c_str(), " %u.%u", &cls, &sub);
        if (auto at = itf.find('/'); at != std::string::npos)
            std::sscanf(itf.c_str() + at, "/%u", &alt);
        std::istringstream eps(itf.substr(itf.find(':') + 1));
        cehost::Bytes endpoints;
        for (std::string ep; eps >> ep; ++n) {
            char type = 'b';
            packet = 64;
            std::sscanf(ep.c_str(), "%2x%c%u", &address, &type, &packet);
            d::AppendEndpoint(endpoints, uint8_t(address), uint8_t(std::string("?sbi").find(type)),
                              uint16_t(packet), 1);
        }
        number += alt == 0 ? 1 : 0;
        d::AppendInterface(body, uint8_t(number - 1), uint8_t(alt), uint8_t(n), uint8_t(cls),
                           uint8_t(sub), 0);
        body.insert(body.end(), endpoints.begin(), endpoints.end());
        ++count;
    }
    auto model = std::make_shared<testfix::ScriptedModel>();
    model->SetDescriptors(d::Device(0x200, 0, 0, 0, 64, vendor, product, 0x100, 0, 0, 0),
                          d::Configuration(count, 1, body));
    return model;
}

// A device plugged for the test to attach itself; unplugged (with the
// driver's notification) when it goes.
struct Plugged {
    explicit Plugged(std::shared_ptr<cehost::UsbDeviceModel> model)
        : id(bus.PlugUnclaimed(std::move(model))) {}
    USB_HANDLE Handle() const { return bus.Handle(id); }
    LPCUSB_DEVICE Device() const { return cehost::UsbFunctions()->lpGetDeviceInfo(Handle()); }
    cehost::UsbBus bus;
    cehost::UsbDeviceId id;
};

RegValue Dword(DWORD v) {
    return {REG_DWORD, {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}};
}
RegValue Sz(const std::u16string& s, bool terminated = true) {
    RegValue v{REG_SZ, {}};
    for (char16_t ch : s + (terminated ? std::u16string(1, 0) : u""))
        v.data.insert(v.data.end(), {uint8_t(ch), uint8_t(ch >> 8)});
    return v;
}
// Writes the values given (those absent are left out) under `key`.
void Write(const std::u16string& key,
           std::initializer_list<std::pair<std::u16string, std::optional<RegValue>>> values) {
    for (const auto& [name, v] : values)
        if (v)
            cehost::RegWrite(key, name, v->type, v->data);
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
        {{0, N, N, N, N, N, N, 255, N, 1}, u"Default\\Default\\255"},
        {{0, N, N, N, N, 2, 2, 0, 0, 0}, u"Default\\Default\\0_0_0"},
        {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, u"1_2_3\\4_5_6\\7_8_9"},
    };
    WCHAR path[kKeyPathChars];
    for (const auto& c : cases) {
        ASSERT_TRUE(BuildClientKeyPath(&c.s, u"Serlynx", path, kKeyPathChars));
        EXPECT_EQ(std::u16string(path), u"Drivers\\USB\\LoadClients\\" + c.path + u"\\Serlynx");
    }
    const USB_DRIVER_SETTINGS s{0, ~1u, ~1u, ~1u, ~1u, ~1u, ~1u, ~1u, ~1u, ~1u};  // the longest
    ASSERT_TRUE(BuildClientKeyPath(&s, u"X", path, kKeyPathChars));
    const std::u16string id(kKeyPathChars - std::u16string(path).size(), u'D');
    ASSERT_TRUE(BuildClientKeyPath(&s, id.c_str(), path, kKeyPathChars));
    EXPECT_EQ(std::u16string(path).size(), kKeyPathChars - 1);
    path[0] = u'?';
    EXPECT_FALSE(BuildClientKeyPath(&s, (id + u"D").c_str(), path, kKeyPathChars));
    EXPECT_EQ(path[0], 0);
    EXPECT_FALSE(BuildClientKeyPath(&s, nullptr, path, kKeyPathChars));
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
        std::array<DWORD, 4> want;  // classEndp, receiveEndp, sendEndp, usbMode
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
        {0x1234, 7, "2.11:|2.2/1:|10: 81b 01b|2.2:|10: 82b 02b", {0, 0x82, 0x02, 0}},
        // Status packet size from 10, its high-bandwidth bits ignored; alone wins.
        {0x1234, 9, "255: 81i9 | 255: 83i10 | 255: 82b 02b", {0x83, 0x82, 0x02, 1}},
        {0x1234, 9, "255: 81i8 | 255: 83i6152 | 255: 82b 02b", {0x81, 0x82, 0x02, 1}},
        {0x1234, 1, "none", {0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        Plugged d(LayoutModel(c.vendor, c.product, c.layout));
        EndpointChoice e{0xDEAD, 0xDEAD, 0xDEAD, 0xDEAD};
        ChooseEndpoints(c.layout == std::string("none") ? nullptr : d.Device(), &e);
        EXPECT_EQ((std::array<DWORD, 4>{e.classEndp, e.receiveEndp, e.sendEndp, e.usbMode}), c.want)
            << c.layout;
    }
}

const USB_DRIVER_SETTINGS kSettings{0, 0x1234, 1, 0x100, N, N, N, N, N, N};

// The host's function table, recording the context the driver registers
// with its notification routine (the port's token).
LPVOID gContext = nullptr;
LPCUSB_FUNCS Funcs() {
    static USB_FUNCS f = *cehost::UsbFunctions();
    f.lpRegisterNotificationRoutine = [](USB_HANDLE h, LPDEVICE_NOTIFY_ROUTINE r, LPVOID c) {
        gContext = c;
        return cehost::UsbFunctions()->lpRegisterNotificationRoutine(h, r, c);
    };
    return &f;
}

class RegistrationAttachTest : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        stub::Reset();
        stub::RegisterStub("stub.dll", "TST");
        gContext = nullptr;
    }
    static BOOL Attach(Plugged& d, BOOL* accept, LPCWSTR driverId = u"Serlynx",
                       const USB_DRIVER_SETTINGS* settings = &kSettings) {
        *accept = 0x55;
        return USBDeviceAttach(d.Handle(), Funcs(), nullptr, driverId, accept, settings, 0);
    }
    // Attaches a CDC device (status 0x81 in an ACM interface, data
    // 0x82/0x02) through the catch-all settings: never accepted, and the
    // entry is spent.
    static void FirstAttach() {
        static const USB_DRIVER_SETTINGS settings{0, N, N, N, N, N, N, N, N, N};
        Plugged d(LayoutModel(0x1234, 1, "2.2: 81i16 | 10: 82b 02b"));
        BOOL accept;
        EXPECT_FALSE(Attach(d, &accept, u"Serlynx", &settings) || accept);
        EXPECT_FALSE(cehost::RegRead(kCatchAll, kValueDll).has_value());
        EXPECT_FALSE(cehost::RegRead(kCatchAll, kValueInstallTime).has_value());
    }
    static DWORD Token() { return static_cast<DWORD>(reinterpret_cast<uintptr_t>(gContext)); }
    // Attaches a device the driver must take; its port.
    static SerialPort* AttachPort(Plugged& d) {
        BOOL accept;
        EXPECT_TRUE(Attach(d, &accept) && accept);
        return PortTokenLookup(Token());
    }
    // The removal leaves no stream device (a thread left running is a leak
    // the fixture's sweep counts).
    static void Remove(Plugged& d) {
        EXPECT_TRUE(d.bus.Unplug(d.id));
        EXPECT_TRUE(cehost::ActiveDevices().empty());
    }
};

using RegistrationFirstAttachTest = RegistrationAttachTest;

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
        {"empty Dll", Sz(u""), kNow, std::nullopt},
        {"Dll not a string", Dword(1), kNow, std::nullopt},
        {"Dll of 63 characters", Sz(std::u16string(63, u'd')), kNow, std::nullopt},
        {"Dll of 62", Sz(std::u16string(62, u'x')), kNow, std::u16string(62, u'x')},
        {"63 unterminated", Sz(std::u16string(63, u'y'), false), kNow, std::u16string(63, u'y')},
        {"InstallTime short", kDll, RegValue{REG_DWORD, {0, 0}}, std::nullopt},
    };
    cehost::FreezeTicks(true);
    cehost::SetTickCountNow(1000);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        cehost::RegDeleteTree(u"Drivers\\USB\\LoadClients");
        Write(kCatchAll,
              {{u"Other", Sz(u"kept")}, {kValueDll, c.dll}, {kValueInstallTime, c.installTime}});
        FirstAttach();
        EXPECT_EQ(cehost::RegReadString(kCatchAll, u"Other"), u"kept");
        EXPECT_EQ(cehost::RegReadString(kKey, kValueDll), c.written);
    }
}

// Without an installation there is nothing to spend. The library would
// never be loaded when the registry refuses the catch-all key or one of its
// values: the installation reports failure; installing again re-arms the
// entry. The device key gets the values besides those the lifecycle tests
// check per device; an existing one is overwritten value by value, others
// stay.
TEST_F(RegistrationFirstAttachTest, InstallsAndWritesTheDeviceKeyOnce) {
    FirstAttach();
    EXPECT_FALSE(cehost::RegKeyExists(kCatchAll));
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
    Write(kKey, {{kValueUsbMode, Dword(0x203)}, {u"Custom", Sz(u"stays")}});
    FirstAttach();
    EXPECT_EQ(cehost::RegValueNames(kKey).size(), 10u);
    EXPECT_EQ(cehost::RegReadDword(kKey, kValueUsbMode), 1u);
    EXPECT_EQ(cehost::RegReadString(kKey, u"Custom"), u"stays");
    EXPECT_EQ(cehost::RegReadString(kKey, kValueTsp), u"Unimodem.dll");
    EXPECT_EQ(cehost::RegReadDword(kKey, kValueDeviceType), 1u);
    EXPECT_EQ(cehost::RegRead(kKey, kValueFriendlyName)->data, Sz(u"Serlynx,cdc").data);
}

// ---- Friendly names ----------------------------------------------------------

// Answers the string reads in turn from a list (then stalls), so that the
// second read can differ from the first, and records each read's index and
// language.
struct StringReplies : testfix::ScriptedModel {
    std::mutex mu;
    std::deque<Bytes> replies;
    std::vector<int> asked;  // index << 16 | language
    Bytes StringDescriptor(uint8_t index, uint16_t language) override {
        std::lock_guard<std::mutex> g(mu);
        asked.push_back(index << 16 | language);
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
// suffix, if it fits; the header is read first, then the length it gives,
// in US English. Any fault in the reads gives the driver's name.
TEST_F(RegistrationFirstAttachTest, FriendlyNames) {
    const std::string k58(58, 'q'), k59(59, 'r');
    struct {
        uint8_t iManufacturer, iProduct;
        std::deque<Bytes> replies;  // to the string reads, in turn
        DWORD usbMode;
        std::string want;
        size_t reads;
    } const cases[] = {
        {1, 2, {S("Widget"), S("Widget")}, 0, "Widget,basic", 2},
        {1, 0, {S("Maker"), S("Maker")}, 0x101, "Maker,pl2303", 2},
        {1, 3, {}, 2, "Serlynx,wmc", 1},  // only the chosen index is tried
        {0, 2, {S(k58), S(k58)}, 1, k58 + ",cdc", 2},
        {0, 2, {S(k59), S(k59)}, 1, k59, 2},
        {0, 2, {S("Widget", 13), S("Widget", 13)}, 3, "Widge,ftdi", 2},
        {0, 2, {S("Widget"), S("Widget", -1, 10)}, 0, "Serlynx,basic", 2},  // cut short
        {0, 2, {S("Widget"), S("Widget", 10, 10)}, 0, "Widg,basic", 2},     // judged by its header
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.want);
        auto model = std::make_shared<StringReplies>();
        model->replies = c.replies;
        model->SetDescriptors(cehost::usbdesc::Device(0x200, 0, 0, 0, 64, 0x1234, 1, 0x100,
                                                      c.iManufacturer, c.iProduct, 0),
                              cehost::usbdesc::Configuration(0, 1, {}));
        Plugged d(model);
        WCHAR name[kFriendlyNameChars];
        const size_t length =
            BuildFriendlyName(d.Handle(), cehost::UsbFunctions(), d.Device(), c.usbMode, name);
        EXPECT_EQ(std::u16string(name), std::u16string(c.want.begin(), c.want.end()));
        EXPECT_EQ(length, c.want.size());
        const int asked = (c.iProduct ? c.iProduct : c.iManufacturer) << 16 | 0x0409;  // US English
        EXPECT_EQ(model->asked, std::vector<int>(c.reads, asked));
    }
}

// ---- The configured attach -----------------------------------------------

// Without a usable "UsbMode" the device gets the basic port; the CTS flag
// alone makes a CDC port (the class follows the type; every port type is
// served end to end by the lifecycle tests). The ring size, the priority
// and the number of receive transfers kept queued (at most 8) come from
// their values, else their defaults. A started port is activated with a
// ClientInfo token that leads back to it and deactivated before it is torn
// down. A port that cannot start (a bulk endpoint without a packet size) is
// kept, not activated, until the removal frees it; one whose activation
// failed (no stream library named) still has its worker ended at removal.
TEST_F(RegistrationAttachTest, CreatesStartsActivatesAndRemoves) {
    struct {
        std::optional<RegValue> usbMode, ring, priority, slots;
        const char* layout;
        bool library;
        DWORD usbModeField, ringSize;
        LONG priority256, rxSlots;  // rxSlots 0: the port does not start
    } const cases[] = {
        {{}, {}, {}, {}, "255: 81b 02b", true, 0, 4096, 0, 4},
        {Sz(u"1"), Dword(1000), Dword(100), Dword(100), "255: 81b 02b", false, 0, 1000, 100, 8},
        {Dword(0x100), Sz(u"1"), Dword(0xFFFFFFFF), {}, "255: 81b0 02b0", true, 1, 4096, -1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ringSize + c.priority256);
        stub::Reset();
        cehost::RegDeleteTree(kKey);
        Write(kKey, {{kValueReceiveEndp, Dword(0x81)},
                     {kValueSendEndp, Dword(0x02)},
                     {kValueUsbMode, c.usbMode},
                     {kValueReceiveBuffer, c.ring},
                     {kValuePriority256, c.priority},
                     {kValueReceiveSlots, c.slots}});
        if (c.library)
            Write(kKey, {{kValueDll, Sz(u"stub.dll")}, {kValuePrefix, Sz(u"TST")}});
        Plugged d(LayoutModel(0x1234, 1, c.layout));
        SerialPort* port = AttachPort(d);
        ASSERT_NE(port, nullptr);
        EXPECT_EQ(port->usbMode, c.usbModeField);
        EXPECT_EQ(port->ringSize, c.ringSize);
        EXPECT_EQ(port->priority256, c.priority256);
        BOOL started = c.rxSlots == 0;
        EXPECT_TRUE(PortTokenWaitAttached(Token(), &started));
        EXPECT_EQ(started, c.rxSlots != 0);
        EXPECT_EQ(started ? port->rxSlotCount : c.rxSlots, c.rxSlots);
        const long activated = c.library && started;
        EXPECT_EQ(stub::Count("Init"), activated);
        Remove(d);
        EXPECT_EQ(stub::Count("Deinit"), activated);
        EXPECT_EQ(PortTokenLookup(Token()), nullptr);
    }
}

// Nothing is registered for a device the driver does not take: without a
// device key (a bad UsbMode: the bad-input tests), an accept flag or a
// driver ID. An endpoint is bound by address among the alternate-0
// interfaces, a later match replacing an earlier one. (Unknown addresses
// and values of another type leave no port: the bad-input tests; the second
// channel's pair: the two-channel tests.)
TEST_F(RegistrationAttachTest, RefusesBindsAndTakesOnlyTheRemovalNotice) {
    Plugged d(LayoutModel(0x1234, 1, "10: 82b 02b | 10/1: 84b 04b | 255: 85i16 02b"));
    BOOL accept;
    EXPECT_FALSE(Attach(d, &accept) || accept);
    Write(
        kKey,
        {{kValueUsbMode, Dword(0)}, {kValueReceiveEndp, Dword(0x84)}, {kValueSendEndp, Dword(2)}});
    EXPECT_FALSE(USBDeviceAttach(d.Handle(), Funcs(), nullptr, u"Serlynx", nullptr, &kSettings, 0));
    EXPECT_FALSE(Attach(d, &accept, nullptr) || accept);
    EXPECT_EQ(gContext, nullptr);
    SerialPort* port = AttachPort(d);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->receiveEndpoint, nullptr);
    EXPECT_EQ(port->sendEndpoint, &d.Device()->lpActiveConfig->lpInterfaces[2].lpEndpoints[1]);
    // Other notifications leave the port alone; a repeated removal notice
    // finds no port of the driver.
    LPVOID context = gContext;
    for (DWORD code : {0u, 2u, 3u, 0xFFFFFFFFu})
        EXPECT_FALSE(DeviceNotify(context, code, nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(DeviceNotify(nullptr, USB_CLOSE_DEVICE, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(PortTokenLookup(Token()), port);
    Remove(d);
    EXPECT_FALSE(DeviceNotify(context, USB_CLOSE_DEVICE, nullptr, nullptr, nullptr, nullptr));
}

// ---- Port tokens ----------------------------------------------------------

// Tokens only compare addresses; no port object is needed.
SerialPort* FakePort(uintptr_t n) {
    return reinterpret_cast<SerialPort*>(0x1000 * n);
}

// A token finds its port until released; the removal's close bars calls but
// not a detach, and a second notice is told it came second. A slot serves a
// new port after release, which the old token must not find (nor free);
// forged tokens find nothing; a full table refuses.
TEST(RegistrationPortToken, TokensFindTheirPortUntilReleased) {
    const DWORD a = PortTokenRegister(FakePort(1)), b = PortTokenRegister(FakePort(2));
    EXPECT_EQ(PortTokenLookup(a), FakePort(1));
    EXPECT_TRUE(PortTokenClose(a));
    EXPECT_FALSE(PortTokenClose(a));
    EXPECT_EQ(PortTokenEnter(a), nullptr);
    EXPECT_EQ(PortTokenEnterToDetach(a), FakePort(1));
    PortTokenLeave(a);
    EXPECT_EQ(PortTokenEnter(b), FakePort(2));
    PortTokenLeave(b);
    PortTokenRelease(a);
    std::vector<DWORD> tokens;
    for (DWORD i = 1; i < kPortTokenSlots; ++i)
        tokens.push_back(PortTokenRegister(FakePort(100 + i)));
    EXPECT_EQ(PortTokenRegister(FakePort(999)), 0u);
    EXPECT_EQ(PortTokenLookup(a), nullptr) << "the slot's new port";
    PortTokenRelease(a);
    for (DWORD token : {0u, 0xFFFFFFFFu, b ^ 0x100, b + 0x100, b & 0xFFu, b & ~0xFFu}) {
        EXPECT_EQ(PortTokenLookup(token), nullptr) << std::hex << token;
        PortTokenRelease(token);  // ignored
    }
    EXPECT_EQ(PortTokenLookup(b), FakePort(2));
    tokens.push_back(b);
    for (DWORD t : tokens) {
        EXPECT_NE(PortTokenLookup(t), nullptr);
        PortTokenRelease(t);
    }
    EXPECT_EQ(PortTokenLookup(b), nullptr);
    EXPECT_EQ(PortTokenRegister(nullptr), 0u);
}

// Attach and removal threads register and release while stream threads look
// tokens up: a lookup returns the token's own port or nothing, never
// another's.
TEST(RegistrationPortToken, ConcurrentUseNeverMixesPorts) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &wrong] {
            for (int i = 0; i < 2000; ++i) {
                SerialPort* mine = FakePort(1 + t * 2000 + i);
                DWORD token = PortTokenRegister(mine);
                wrong += token == 0 || PortTokenLookup(token) != mine;
                PortTokenRelease(token);
                wrong += PortTokenLookup(token) != nullptr;
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
