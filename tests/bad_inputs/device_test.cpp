// Malformed devices end to end: packet sizes, missing and misplaced
// endpoints, duplicate addresses, odd string descriptors, overlong driver
// IDs and registry values of the wrong type or size. The fixture's teardown
// checks the platform's misuse and leak counters after each case.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bad_fixture.h"
#include "ce/loader.h"
#include "cehost/regfile.h"

namespace badtest {
namespace {

enum class Role { kDataIn, kDataOut, kStatusIn };

struct PacketCase {
    Kind kind;
    Role role;
    uint16_t size;
};

std::string PacketName(const testing::TestParamInfo<PacketCase>& p) {
    const char* role = p.param.role == Role::kDataIn    ? "in"
                       : p.param.role == Role::kDataOut ? "out"
                                                        : "status";
    return std::string(Info(p.param.kind).name) + "_" + role + "_" + std::to_string(p.param.size);
}

std::vector<PacketCase> PacketCases() {
    std::vector<PacketCase> cases;
    for (Kind k : {Kind::kBulk, Kind::kCdc, Kind::kFtdi, Kind::kFtdiHeader, Kind::kType4}) {
        for (Role r : {Role::kDataIn, Role::kDataOut, Role::kStatusIn}) {
            if ((r == Role::kStatusIn && Info(k).statusIn == 0) ||
                (r == Role::kDataOut && Info(k).dataOut == 0))
                continue;
            for (uint16_t size : {0, 1, 2, 65, 1023, 1024})
                cases.push_back({k, r, size});
        }
    }
    return cases;
}

// Packet sizes with which no byte could move: no packet at all, a bulk-OUT
// packet that leaves no byte below the packet size (header-framed chips: no
// byte after the header), an FTDI bulk-IN packet holding only the status pair.
bool CannotMoveData(const PacketCase& c) {
    const bool ftdi = c.kind == Kind::kFtdi || c.kind == Kind::kFtdiHeader;
    if (c.size == 0)
        return true;
    if (c.role == Role::kDataOut)
        return c.size < (c.kind == Kind::kFtdiHeader ? 3 : 2);
    return c.role == Role::kDataIn && ftdi && c.size <= 2;
}

class PacketSizeTest : public BadInputTest, public testing::WithParamInterface<PacketCase> {};

// A packet size with which no byte could move makes the port's start fail:
// the device is claimed but no COM port appears (and nothing is reported
// as written). Any other size serves the port, and bytes written to the
// loopback plug all come back, in order.
TEST_P(PacketSizeTest, RefusedOrServedIntact) {
    const PacketCase c = GetParam();
    const KindInfo info = Info(c.kind);
    const uint8_t address = c.role == Role::kDataIn    ? info.dataIn
                            : c.role == Role::kDataOut ? info.dataOut
                                                       : info.statusIn;
    ASSERT_TRUE(Attach(c.kind, [&](Bytes config) {
        return testfix::SetPacketSize(std::move(config), address, c.size);
    }));
    HANDLE h = comtest::OpenCom();
    if (CannotMoveData(c)) {
        EXPECT_EQ(h, INVALID_HANDLE_VALUE);
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        return;
    }
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ByteVector sent = comtest::PatternBytes(100);
    EXPECT_EQ(Echo(h, sent), sent);
    EXPECT_TRUE(CloseHandle(h));
}

INSTANTIATE_TEST_SUITE_P(BadInputs, PacketSizeTest, testing::ValuesIn(PacketCases()), PacketName);

// ---- Missing, misplaced and duplicate endpoints ----------------------------

struct EndpointCase {
    Kind kind;
    const char* what;
    std::function<Bytes(Bytes)> edit;
    bool beforeFirstAttach;  // the first attach sees the edit too
    bool served;             // a COM port appears (else none may)
};

std::string EndpointName(const testing::TestParamInfo<EndpointCase>& p) {
    return std::string(Info(p.param.kind).name) + "_" + p.param.what;
}

// Which edits still leave a port: the basic port starts with whatever
// endpoints it has; a CDC-type device that shows the edit to its first
// attach is configured from what it shows. An edit made after the first
// attach leaves the configured port without an endpoint it needs, and so
// does any edit on the chips whose vendor and product fix the port type
// (FTDI, type 4): no port appears.
std::vector<EndpointCase> EndpointCases() {
    std::vector<EndpointCase> cases;
    for (Kind k : {Kind::kBulk, Kind::kCdc, Kind::kCtsChip, Kind::kTwoChannel, Kind::kFtdi,
                   Kind::kFtdiHeader, Kind::kType4}) {
        const KindInfo i = Info(k);
        const bool basic = k == Kind::kBulk;
        const bool configurable =
            basic || k == Kind::kCdc || k == Kind::kCtsChip || k == Kind::kTwoChannel;
        auto remove = [](uint8_t a) {
            return [a](Bytes c) { return testfix::RemoveEndpoint(std::move(c), a); };
        };
        cases.push_back({k, "no_data_in", remove(i.dataIn), false, basic});
        if (i.dataOut)
            cases.push_back({k, "no_data_out", remove(i.dataOut), false, basic});
        if (i.statusIn)
            cases.push_back({k, "no_status_in", remove(i.statusIn), false, basic});
        cases.push_back(
            {k, "only_in_alternates", testfix::EndpointsOnlyInAlternates, true, configurable});
        cases.push_back(
            {k, "only_in_alternates_later", testfix::EndpointsOnlyInAlternates, false, basic});
        if (i.dataOut) {
            const uint8_t in = i.dataIn, out = i.dataOut;
            auto readdress = [in, out](Bytes c) {
                return testfix::Readdress(std::move(c), out, in);
            };
            cases.push_back({k, "out_takes_in_address", readdress, true, configurable});
            cases.push_back({k, "out_takes_in_address_later", readdress, false, basic});
        }
        if (i.statusIn) {
            const uint8_t in = i.dataIn, st = i.statusIn;
            cases.push_back({k, "status_takes_in_address",
                             [in, st](Bytes c) { return testfix::Readdress(std::move(c), st, in); },
                             true, configurable});
        }
    }
    return cases;
}

class EndpointLayoutTest : public BadInputTest, public testing::WithParamInterface<EndpointCase> {};

// The port either does not start (no COM port; the device stays claimed
// until it goes) or starts and moves bytes intact, as the row says; never a
// crash or a platform misuse, and the removal frees everything (fixture
// teardown).
TEST_P(EndpointLayoutTest, NoPortOrIntactPort) {
    const EndpointCase& c = GetParam();
    if (c.beforeFirstAttach) {
        bus_ = std::make_unique<cehost::UsbBus>();
        model_ = std::make_shared<testfix::ScriptedModel>(MakeChip(c.kind));
        model_->SetConfigEdit(c.edit);
        ASSERT_TRUE(cehost::UsbInstallClient(u"serlynx.dll"));
        key_ = comtest::DeviceKeyPath(model_->DeviceDescriptor());
        cehost::UsbDeviceId first = bus_->Plug(model_);
        ASSERT_NE(first, 0u);
        id_ = bus_->Replug(first);
    } else {
        Attach(c.kind, c.edit);
    }
    HANDLE h = comtest::OpenCom();
    ASSERT_EQ(h != INVALID_HANDLE_VALUE, c.served);
    if (!c.served)
        return;
    ByteVector sent = comtest::PatternBytes(50);
    ByteVector got = Echo(h, sent);
    EXPECT_EQ(ByteVector(sent.begin(), sent.begin() + static_cast<long>(got.size())), got);
    EXPECT_TRUE(CloseHandle(h));
}

// Endpoints that exist only in alternate settings are not looked at: the
// first attach finds none, and the configured attach binds none.
TEST_F(BadInputTest, EndpointsOnlyInAlternateSettingsAreNotBound) {
    bus_ = std::make_unique<cehost::UsbBus>();
    model_ = std::make_shared<testfix::ScriptedModel>(MakeChip(Kind::kCdc));
    model_->SetConfigEdit(testfix::EndpointsOnlyInAlternates);
    ASSERT_TRUE(cehost::UsbInstallClient(u"serlynx.dll"));
    key_ = comtest::DeviceKeyPath(model_->DeviceDescriptor());
    cehost::UsbDeviceId first = bus_->Plug(model_);
    ASSERT_NE(first, 0u);
    EXPECT_EQ(KeyDword(kValueClassEndp), 0u);
    EXPECT_EQ(KeyDword(kValueReceiveEndp), 0u);
    EXPECT_EQ(KeyDword(kValueSendEndp), 0u);
    EXPECT_EQ(KeyDword(kValueUsbMode), 0u);
    id_ = bus_->Replug(first);
    // A basic port starts without endpoints; it sends and receives nothing
    // and says so.
    HANDLE h = comtest::OpenCom();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 1;
    WriteFile(h, "abc", 3, &written, nullptr);
    EXPECT_EQ(written, 0u);
    comtest::SetTimeouts(h, MAXDWORD, 0, 0);
    BYTE buf[8];
    DWORD got = 1;
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &got, nullptr));
    EXPECT_EQ(got, 0u);
    EXPECT_TRUE(CloseHandle(h));
}

INSTANTIATE_TEST_SUITE_P(BadInputs, EndpointLayoutTest, testing::ValuesIn(EndpointCases()),
                         EndpointName);

// ---- String descriptors -------------------------------------------------------

struct StringCase {
    const char* what;
    Bytes descriptor;          // what the device returns for its product string
    const char* expectedName;  // FriendlyName written by the first attach
};

Bytes Utf16Descriptor(uint8_t bLength, const std::string& text, size_t extra = 0) {
    Bytes d{bLength, 3};
    for (char ch : text) {
        d.push_back(static_cast<uint8_t>(ch));
        d.push_back(0);
    }
    d.insert(d.end(), extra, 'Z');
    return d;
}

class StringDescriptorTest : public BadInputTest, public testing::WithParamInterface<StringCase> {};

// Whatever the product string looks like, the friendly name is a terminated
// string of at most 63 characters: the text when the descriptor is sound,
// else the default name, with the port type's suffix.
TEST_P(StringDescriptorTest, FriendlyNameIsSound) {
    const StringCase& c = GetParam();
    bus_ = std::make_unique<cehost::UsbBus>();
    model_ = std::make_shared<testfix::ScriptedModel>(MakeChip(Kind::kBulk));
    for (uint8_t i = 1; i <= 3; ++i)
        model_->SetString(i, c.descriptor);
    ASSERT_TRUE(cehost::UsbInstallClient(u"serlynx.dll"));
    key_ = comtest::DeviceKeyPath(model_->DeviceDescriptor());
    id_ = bus_->Plug(model_);
    ASSERT_NE(id_, 0u);
    auto raw = cehost::RegRead(key_, kValueFriendlyName);
    ASSERT_TRUE(raw.has_value());
    ASSERT_EQ(raw->type, static_cast<DWORD>(REG_SZ));
    ASSERT_GE(raw->data.size(), 2u);
    ASSERT_EQ(raw->data.size() % 2, 0u);
    EXPECT_EQ(raw->data[raw->data.size() - 1], 0);
    EXPECT_EQ(raw->data[raw->data.size() - 2], 0);
    EXPECT_LE(raw->data.size() / 2, 64u);
    EXPECT_EQ(cehost::RegReadString(std::string(key_.begin(), key_.end()), "FriendlyName"),
              std::string(c.expectedName));
}

INSTANTIATE_TEST_SUITE_P(
    BadInputs, StringDescriptorTest,
    testing::Values(StringCase{"sound", Utf16Descriptor(8, "ABC"), "ABC,basic"},
                    StringCase{"length_0", Utf16Descriptor(0, "ABC"), "Serlynx,basic"},
                    StringCase{"length_1", Utf16Descriptor(1, "ABC"), "Serlynx,basic"},
                    StringCase{"odd_length", Utf16Descriptor(9, "ABC", 1), "ABC,basic"},
                    StringCase{"longer_than_buffer", Utf16Descriptor(200, std::string(99, 'x')),
                               "Serlynx,basic"},
                    StringCase{"claims_more_than_sent", Utf16Descriptor(40, "ABC"),
                               "Serlynx,basic"},
                    StringCase{"only_the_header", Bytes{2, 3}, ",basic"},
                    StringCase{"empty", Bytes{}, "Serlynx,basic"}),
    [](const testing::TestParamInfo<StringCase>& p) { return std::string(p.param.what); });

// ---- Driver IDs and registry values -----------------------------------------

// USBDeviceAttach with a driver ID of 300 characters, for the catch-all
// entry and for a configured device: a key path built from it would not
// fit, so the driver refuses the device instead of cutting the ID, and
// writes nothing. (The emulated registry cannot hold such a key name, so the
// entry is called directly, as a host driver with longer names would.)
TEST_F(BadInputTest, DriverIdOf300CharactersIsRefused) {
    bus_ = std::make_unique<cehost::UsbBus>();
    model_ = std::make_shared<testfix::ScriptedModel>(MakeChip(Kind::kBulk));
    id_ = bus_->PlugUnclaimed(model_);
    ASSERT_NE(id_, 0u);
    ASSERT_TRUE(cehost::UsbInstallClient(u"serlynx.dll"));
    HMODULE lib = LoadLibraryW(u"serlynx.dll");
    ASSERT_NE(lib, nullptr);
    auto attach = reinterpret_cast<LPUSB_DEVICE_ATTACH>(
        reinterpret_cast<void*>(GetProcAddressW(lib, u"USBDeviceAttach")));
    ASSERT_NE(attach, nullptr);
    const std::u16string longId(300, u'S');
    USB_DRIVER_SETTINGS catchAll{sizeof(USB_DRIVER_SETTINGS),
                                 USB_NO_INFO,
                                 USB_NO_INFO,
                                 USB_NO_INFO,
                                 USB_NO_INFO,
                                 USB_NO_INFO,
                                 USB_NO_INFO,
                                 USB_NO_INFO,
                                 USB_NO_INFO,
                                 USB_NO_INFO};
    USB_DRIVER_SETTINGS configured = catchAll;
    configured.dwVendorId = 0x1209;
    configured.dwProductId = 0x5E01;
    configured.dwReleaseNumber = 0x0100;
    for (const USB_DRIVER_SETTINGS* settings : {&catchAll, &configured}) {
        const auto before = cehost::ExportRegText();
        BOOL accept = TRUE;
        EXPECT_FALSE(attach(bus_->Handle(id_), cehost::UsbFunctions(), nullptr, longId.c_str(),
                            &accept, settings, 0));
        EXPECT_FALSE(accept);
        EXPECT_EQ(cehost::ExportRegText(), before);
    }
    EXPECT_EQ(comtest::OpenCom(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(FreeLibrary(lib));
}

struct ValueCase {
    const char16_t* name;
    DWORD type;
    Bytes data;
    bool served;  // the port starts and moves bytes intact (else no port appears)
};

class RegistryValueTest : public BadInputTest, public testing::WithParamInterface<ValueCase> {};

// A value of the wrong type or size counts as absent: optional values fall
// back to their defaults (the port runs), essential ones leave no port, or
// (UsbMode, whose default is the basic port) a port that moves bytes intact;
// never a crash.
TEST_P(RegistryValueTest, DefaultOrNoPort) {
    const ValueCase& c = GetParam();
    const bool claimed = Attach(Kind::kCdc, nullptr, [&](const std::u16string& key) {
        ASSERT_TRUE(cehost::RegWrite(key, c.name, c.type, c.data));
    });
    HANDLE h = comtest::OpenCom();
    ASSERT_EQ(h != INVALID_HANDLE_VALUE, c.served);
    if (!c.served)
        return;
    EXPECT_TRUE(claimed);
    ByteVector sent = comtest::PatternBytes(50);
    EXPECT_EQ(Echo(h, sent), sent);
    EXPECT_TRUE(CloseHandle(h));
}

Bytes Le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

INSTANTIATE_TEST_SUITE_P(
    BadInputs, RegistryValueTest,
    testing::Values(ValueCase{kValueReceiveBuffer, REG_SZ, {'8', 0, 0, 0}, true},
                    ValueCase{kValueReceiveBuffer, REG_DWORD, {0x10, 0}, true},
                    ValueCase{kValueReceiveBuffer, REG_BINARY, Le32(16), true},
                    ValueCase{kValueReceiveBuffer, REG_DWORD, Le32(0), true},
                    ValueCase{kValueReceiveBuffer, REG_DWORD, Le32(0xFFFFFFFF), true},
                    ValueCase{kValuePriority256, REG_MULTI_SZ, {0, 0}, true},
                    ValueCase{kValuePriority256, REG_DWORD, {1, 2, 3, 4, 5, 6, 7, 8}, true},
                    ValueCase{kValuePriority256, REG_DWORD, Le32(0xFFFFFFFF), true},
                    ValueCase{kValueFriendlyName, REG_DWORD, Le32(1), true},
                    ValueCase{kValueUsbMode, REG_SZ, {'1', 0, 0, 0}, true},
                    ValueCase{kValueUsbMode, REG_DWORD, {1}, true},
                    ValueCase{kValueUsbMode, REG_DWORD, Le32(0xFF), false},
                    ValueCase{kValueReceiveEndp, REG_BINARY, {0x82}, false},
                    ValueCase{kValueReceiveEndp, REG_DWORD, Le32(0x8F), false},
                    ValueCase{kValueSendEndp, REG_SZ, {}, false},
                    ValueCase{kValueClassEndp, REG_DWORD, Le32(0x82), true},
                    ValueCase{kValueClassEndp, REG_NONE, {}, false}),
    [](const testing::TestParamInfo<ValueCase>& p) {
        std::u16string n = p.param.name;
        return std::string(n.begin(), n.end()) + "_" + std::to_string(p.index);
    });

}  // namespace
}  // namespace badtest
