// The configured branch of the attach: device key values, class choice,
// endpoint binding, start and activation, and removal through the
// notification routine. The device is a scripted one behind a fake function
// table; the stream device is a stub library that records its calls.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "ce/devmgr.h"
#include "cehost/core.h"
#include "cehost/devmgr.h"
#include "cehost/loader.h"
#include "cehost/regfile.h"
#include "common/platform_test.h"
#include "driver/port/port.h"
#include "driver/registration/attach.h"
#include "driver/registration/port_token.h"
#include "driver/registration/registry_values.h"
#include "driver/variants/cdc_port.h"
#include "driver/variants/ftdi_port.h"
#include "driver/variants/rcs310_port.h"
#include "driver/variants/wmc_port.h"
#include "fake_usb.h"

namespace {

using regtest::FakeInterface;
using regtest::FakeUsbDevice;
using regtest::kBulk;
using regtest::kInt;

constexpr DWORD N = USB_NO_INFO;
const std::u16string kKey = u"Drivers\\USB\\LoadClients\\4660_1_256\\Default\\Default\\Serlynx";
const USB_DRIVER_SETTINGS kDeviceSettings{
    sizeof(USB_DRIVER_SETTINGS), 0x1234, 1, 0x100, N, N, N, N, N, N};

// ---- A stream library that only records its calls -----------------------

std::atomic<int> gInits{0};
std::atomic<int> gDeinits{0};
DWORD_PTR WINAPI StubInit(LPCWSTR, LPCVOID) {
    ++gInits;
    return 1;
}
BOOL WINAPI StubDeinit(DWORD_PTR) {
    ++gDeinits;
    return TRUE;
}
DWORD_PTR WINAPI StubOpen(DWORD_PTR, DWORD, DWORD) {
    return 0;
}
BOOL WINAPI StubClose(DWORD_PTR) {
    return FALSE;
}
DWORD WINAPI StubRead(DWORD_PTR, LPVOID, DWORD) {
    return 0xFFFFFFFF;
}
DWORD WINAPI StubWrite(DWORD_PTR, LPCVOID, DWORD) {
    return 0xFFFFFFFF;
}
DWORD WINAPI StubSeek(DWORD_PTR, LONG, DWORD) {
    return 0xFFFFFFFF;
}
BOOL WINAPI StubIoControl(DWORD_PTR, DWORD, PBYTE, DWORD, PBYTE, DWORD, PDWORD) {
    return FALSE;
}
DWORD WINAPI StubPower(DWORD_PTR) {
    return 0;
}

void RegisterStubLibrary() {
    cehost::RegisterLibrary("stub.dll", {{"TST_Init", &StubInit},
                                         {"TST_Deinit", &StubDeinit},
                                         {"TST_Open", &StubOpen},
                                         {"TST_Close", &StubClose},
                                         {"TST_Read", &StubRead},
                                         {"TST_Write", &StubWrite},
                                         {"TST_Seek", &StubSeek},
                                         {"TST_IOControl", &StubIoControl},
                                         {"TST_PowerUp", &StubPower},
                                         {"TST_PowerDown", &StubPower}});
}

// The class of a port object, told by its table of virtual operations.
template <class T>
bool IsClass(const SerialPort* port) {
    T probe;
    return *reinterpret_cast<void* const*>(port) == *reinterpret_cast<void* const*>(&probe);
}

class RegistrationAttachTest : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        gInits = 0;
        gDeinits = 0;
        RegisterStubLibrary();
    }
    void TearDown() override {
        cehost::UnregisterLibrary("stub.dll");
        PlatformTest::TearDown();
    }

    BOOL Attach(FakeUsbDevice& device, BOOL* accept,
                const USB_DRIVER_SETTINGS& settings = kDeviceSettings,
                LPCWSTR driverId = u"Serlynx") {
        *accept = 0x55;
        return USBDeviceAttach(device.Handle(), FakeUsbDevice::Funcs(), nullptr, driverId, accept,
                               &settings, 0);
    }
    // The token a device's notification context carries.
    static DWORD TokenOf(const FakeUsbDevice& device) {
        return static_cast<DWORD>(reinterpret_cast<uintptr_t>(device.notifyContext));
    }
    // Attaches a device the driver must take; returns its port.
    SerialPort* AttachPort(FakeUsbDevice& device) {
        BOOL accept = FALSE;
        EXPECT_TRUE(Attach(device, &accept));
        EXPECT_TRUE(accept);
        EXPECT_EQ(device.registerCalls, 1);
        EXPECT_EQ(device.notifyRoutine, &DeviceNotify);
        return PortTokenLookup(TokenOf(device));
    }
    void Remove(FakeUsbDevice& device) {
        ASSERT_NE(device.notifyRoutine, nullptr);
        EXPECT_TRUE(device.notifyRoutine(device.notifyContext, USB_CLOSE_DEVICE, nullptr, nullptr,
                                         nullptr, nullptr));
        EXPECT_EQ(cehost::RunningThreadCount(), 0u);
        EXPECT_TRUE(cehost::ActiveDevices().empty());
    }
};

std::vector<FakeInterface> BulkPair(WORD packet = 64) {
    return {{255, 0, {{0x81, kBulk, packet}, {0x02, kBulk, packet}}}};
}

// ---- Refusals: nothing allocated, nothing registered -------------------

struct RefusalCase {
    const char* name;
    std::optional<DWORD> usbMode;  // nullopt: no device key at all
    bool failAllocation;
};

class RegistrationRefusalTest : public RegistrationAttachTest,
                                public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RegistrationRefusalTest, RefusesWithoutPort) {
    const RefusalCase& c = GetParam();
    if (c.usbMode)
        cehost::RegWriteDword(kKey, kValueUsbMode, *c.usbMode);
    FakeUsbDevice device(0x1234, 1, BulkPair());
    if (c.failAllocation)
        cehost::FailNthAllocation(1);
    BOOL accept;
    EXPECT_FALSE(Attach(device, &accept));
    EXPECT_FALSE(accept);
    EXPECT_EQ(device.registerCalls, 0);
    EXPECT_EQ(cehost::GetHeapStats().liveBlocks, 0u);
}

INSTANTIATE_TEST_SUITE_P(Refusals, RegistrationRefusalTest,
                         ::testing::Values(RefusalCase{"NoDeviceKey", std::nullopt, false},
                                           RefusalCase{"Type5", 5, false},
                                           RefusalCase{"Type255WithFlags", 0x12FF, false},
                                           RefusalCase{"AllocationFails", 1, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RegistrationAttachTest, RefusesBadArguments) {
    cehost::RegWriteDword(kKey, kValueUsbMode, 0);
    FakeUsbDevice device(0x1234, 1, BulkPair());
    BOOL accept = 0x55;
    EXPECT_FALSE(USBDeviceAttach(device.Handle(), FakeUsbDevice::Funcs(), nullptr, u"Serlynx",
                                 nullptr, &kDeviceSettings, 0));
    EXPECT_FALSE(USBDeviceAttach(device.Handle(), FakeUsbDevice::Funcs(), nullptr, u"Serlynx",
                                 &accept, nullptr, 0));
    EXPECT_FALSE(accept);
    accept = 0x55;
    EXPECT_FALSE(USBDeviceAttach(device.Handle(), nullptr, nullptr, u"Serlynx", &accept,
                                 &kDeviceSettings, 0));
    EXPECT_FALSE(accept);
    accept = 0x55;
    EXPECT_FALSE(USBDeviceAttach(device.Handle(), FakeUsbDevice::Funcs(), nullptr, nullptr, &accept,
                                 &kDeviceSettings, 0));
    EXPECT_FALSE(accept);
    EXPECT_EQ(device.registerCalls, 0);
}

// A path that does not fit its 256-unit buffer is refused before any key is
// opened, even when a key with the cut path exists.
TEST_F(RegistrationAttachTest, OverlongDriverIdIsRefused) {
    std::u16string id(240, u'L');
    std::u16string full = u"Drivers\\USB\\LoadClients\\4660_1_256\\Default\\Default\\" + id;
    cehost::RegWriteDword(full.substr(0, 255), kValueUsbMode, 0);
    cehost::RegWriteDword(full, kValueUsbMode, 0);
    FakeUsbDevice device(0x1234, 1, BulkPair());
    BOOL accept;
    EXPECT_FALSE(Attach(device, &accept, kDeviceSettings, id.c_str()));
    EXPECT_FALSE(accept);
    EXPECT_EQ(device.registerCalls, 0);
    EXPECT_EQ(cehost::GetHeapStats().liveBlocks, 0u);
}

// ---- Class choice ---------------------------------------------------------

struct ClassCase {
    const char* name;
    std::optional<cehost::RegValue> usbMode;  // nullopt: no "UsbMode" value
    bool (*isClass)(const SerialPort*);
    DWORD usbModeField;
};

cehost::RegValue Dword(DWORD v) {
    return {REG_DWORD, {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}};
}

class RegistrationClassTest : public RegistrationAttachTest,
                              public ::testing::WithParamInterface<ClassCase> {};

TEST_P(RegistrationClassTest, CreatesConfiguredClass) {
    const ClassCase& c = GetParam();
    cehost::RegWriteDword(kKey, kValueReceiveEndp, 0x81);
    if (c.usbMode)
        cehost::RegWrite(kKey, kValueUsbMode, c.usbMode->type, c.usbMode->data);
    FakeUsbDevice device(0x1234, 1, BulkPair());
    SerialPort* port = AttachPort(device);
    ASSERT_NE(port, nullptr);
    EXPECT_TRUE(c.isClass(port));
    EXPECT_EQ(port->usbMode, c.usbModeField);
    EXPECT_EQ(port->parent, nullptr);
    EXPECT_EQ(port->usbDevice, device.Handle());
    EXPECT_EQ(port->usbFuncs, FakeUsbDevice::Funcs());
    Remove(device);
}

INSTANTIATE_TEST_SUITE_P(
    Classes, RegistrationClassTest,
    ::testing::Values(
        // Without a usable "UsbMode" the device gets the basic port.
        ClassCase{"NoUsbMode", std::nullopt, IsClass<SerialPort>, 0},
        ClassCase{"UsbModeString", cehost::RegValue{REG_SZ, {'1', 0, 0, 0}}, IsClass<SerialPort>,
                  0},
        ClassCase{"Basic", Dword(0), IsClass<SerialPort>, 0},
        ClassCase{"BareCtsFlagIsCdc", Dword(0x100), IsClass<CdcPort>, 1},
        ClassCase{"Cdc", Dword(1), IsClass<CdcPort>, 1},
        ClassCase{"CdcCts", Dword(0x101), IsClass<CdcPort>, 0x101},
        ClassCase{"CdcWholeWriteNoLineCoding", Dword(0x1401), IsClass<CdcPort>, 0x1401},
        ClassCase{"TwoChannel", Dword(2), IsClass<WmcPort>, 2},
        ClassCase{"FtdiHeader", Dword(3), IsClass<FtdiHeaderPort>, 3},
        ClassCase{"FtdiHeaderOtherFlags", Dword(0x903), IsClass<FtdiHeaderPort>, 0x903},
        ClassCase{"Ftdi", Dword(0x203), IsClass<FtdiPort>, 0x203},
        ClassCase{"Type4", Dword(4), IsClass<Rcs310Port>, 4}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Values with defaults ------------------------------------------------

struct ValueCase {
    const char* name;
    std::vector<std::pair<std::u16string, cehost::RegValue>> values;
    DWORD ringSize;
    LONG priority256;
    LONG rxSlots = 4;  // receive transfers kept queued
};

class RegistrationValueTest : public RegistrationAttachTest,
                              public ::testing::WithParamInterface<ValueCase> {};

TEST_P(RegistrationValueTest, AppliesValuesAndDefaults) {
    cehost::RegWriteDword(kKey, kValueUsbMode, 0);
    for (const auto& [name, value] : GetParam().values) {
        cehost::RegWrite(kKey, name, value.type, value.data);
    }
    FakeUsbDevice device(0x1234, 1, BulkPair());
    SerialPort* port = AttachPort(device);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->ringSize, GetParam().ringSize);
    EXPECT_EQ(port->priority256, GetParam().priority256);
    EXPECT_EQ(port->rxSlotCount, GetParam().rxSlots);
    Remove(device);
}

INSTANTIATE_TEST_SUITE_P(
    Values, RegistrationValueTest,
    ::testing::Values(
        ValueCase{"Absent", {}, 4096, 0},
        ValueCase{"Given",
                  {{kValueReceiveBuffer, Dword(1000)}, {kValuePriority256, Dword(100)}},
                  1000,
                  100},
        ValueCase{"ZeroRing", {{kValueReceiveBuffer, Dword(0)}}, 4096, 0},
        // Raised to take the four 64-byte receive transfers at once.
        ValueCase{"RingOfOneTransfer", {{kValueReceiveBuffer, Dword(64)}}, 4 * 64 + 1, 0},
        ValueCase{"HugeRing", {{kValueReceiveBuffer, Dword(0xFFFFFFFF)}}, 1u << 20, 0},
        ValueCase{"NegativePriority", {{kValuePriority256, Dword(0xFFFFFFFF)}}, 4096, -1},
        ValueCase{"EightSlots", {{kValueReceiveSlots, Dword(8)}}, 4096, 0, 8},
        ValueCase{"SlotsCutToEight", {{kValueReceiveSlots, Dword(100)}}, 4096, 0, 8},
        ValueCase{"WrongTypes",
                  {{kValueReceiveBuffer, cehost::RegValue{REG_SZ, {'8', 0, 0, 0}}},
                   {kValuePriority256, cehost::RegValue{REG_BINARY, {100, 0, 0, 0}}}},
                  4096,
                  0}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Endpoint binding ------------------------------------------------------

// Interface 0: status 0x81. Interface 1: data 0x82/0x02. Interface 2: data
// 0x83/0x03. Interface 2 alternate 1: 0x84/0x04. Interface 3: status 0x85
// and a second 0x02.
std::vector<FakeInterface> BindingLayout() {
    return {{2, 2, {{0x81, kInt, 16}}, 0, 0},
            {10, 0, {{0x82, kBulk}, {0x02, kBulk}}, 0, 1},
            {10, 0, {{0x83, kBulk}, {0x03, kBulk}}, 0, 2},
            {10, 0, {{0x84, kBulk}, {0x04, kBulk}}, 1, 2},
            {255, 0, {{0x85, kInt, 16}, {0x02, kBulk}}, 0, 3}};
}

using EndpointRef = std::optional<std::pair<size_t, size_t>>;  // interface, endpoint

struct BindingCase {
    const char* name;
    DWORD usbMode;
    std::optional<cehost::RegValue> classEndp, receiveEndp, sendEndp;
    EndpointRef classEp, receiveEp, sendEp, secondReceiveEp, secondSendEp;
    DWORD interfaceNumber;
};

class RegistrationBindingTest : public RegistrationAttachTest,
                                public ::testing::WithParamInterface<BindingCase> {};

TEST_P(RegistrationBindingTest, BindsNamedEndpoints) {
    const BindingCase& c = GetParam();
    cehost::RegWriteDword(kKey, kValueUsbMode, c.usbMode);
    if (c.classEndp)
        cehost::RegWrite(kKey, kValueClassEndp, c.classEndp->type, c.classEndp->data);
    if (c.receiveEndp)
        cehost::RegWrite(kKey, kValueReceiveEndp, c.receiveEndp->type, c.receiveEndp->data);
    if (c.sendEndp)
        cehost::RegWrite(kKey, kValueSendEndp, c.sendEndp->type, c.sendEndp->data);
    FakeUsbDevice device(0x1234, 1, BindingLayout());
    auto ref = [&](const EndpointRef& r) -> const USB_ENDPOINT* {
        return r ? device.Endpoint(r->first, r->second) : nullptr;
    };
    SerialPort* port = AttachPort(device);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->classEndpoint, ref(c.classEp));
    EXPECT_EQ(port->interfaceNumber, c.interfaceNumber);
    EXPECT_EQ(port->receiveEndpoint, ref(c.receiveEp));
    EXPECT_EQ(port->sendEndpoint, ref(c.sendEp));
    if ((c.usbMode & 0xFF) == 2) {
        WmcPort* wmc = static_cast<WmcPort*>(port);
        EXPECT_EQ(wmc->secondary.receiveEndpoint, ref(c.secondReceiveEp));
        EXPECT_EQ(wmc->secondary.sendEndpoint, ref(c.secondSendEp));
    }
    Remove(device);
}

using P = std::pair<size_t, size_t>;
INSTANTIATE_TEST_SUITE_P(
    Binding, RegistrationBindingTest,
    ::testing::Values(
        BindingCase{
            "Cdc", 1, Dword(0x81), Dword(0x83), Dword(0x03), P{0, 0}, P{2, 0}, P{2, 1}, {}, {}, 0},
        BindingCase{"ClassEndpointGivesItsInterfaceNumber",
                    1,
                    Dword(0x85),
                    Dword(0x83),
                    Dword(0x03),
                    P{4, 0},
                    P{2, 0},
                    P{2, 1},
                    {},
                    {},
                    3},
        BindingCase{"NoClassEndpoint",
                    0,
                    Dword(0),
                    Dword(0x83),
                    Dword(0x03),
                    {},
                    P{2, 0},
                    P{2, 1},
                    {},
                    {},
                    0},
        BindingCase{"AbsentValuesBindNothing", 0, {}, {}, {}, {}, {}, {}, {}, {}, 0},
        BindingCase{"UnknownAddressesBindNothing",
                    1,
                    Dword(0x8F),
                    Dword(0x86),
                    Dword(0x06),
                    {},
                    {},
                    {},
                    {},
                    {},
                    0},
        BindingCase{"LaterMatchReplacesEarlier",
                    0,
                    {},
                    Dword(0x82),
                    Dword(0x02),
                    {},
                    P{1, 0},
                    P{4, 1},
                    {},
                    {},
                    0},
        BindingCase{
            "AlternateSettingNeverBound", 0, {}, Dword(0x84), Dword(0x04), {}, {}, {}, {}, {}, 0},
        BindingCase{"StringValueReadsAsZero",
                    0,
                    {},
                    cehost::RegValue{REG_SZ, {0x83, 0, 0, 0}},
                    Dword(0x03),
                    {},
                    {},
                    P{2, 1},
                    {},
                    {},
                    0},
        BindingCase{"SecondChannel", 2, Dword(0x81), Dword(0x8382), Dword(0x0302), P{0, 0}, P{1, 0},
                    P{4, 1}, P{2, 0}, P{2, 1}, 0},
        BindingCase{"SecondChannelMissing",
                    2,
                    Dword(0x81),
                    Dword(0x8682),
                    Dword(0x0302),
                    P{0, 0},
                    P{1, 0},
                    P{4, 1},
                    {},
                    P{2, 1},
                    0},
        // Other classes ignore the second byte.
        BindingCase{"SecondByteIgnoredByBasicPort",
                    0,
                    {},
                    Dword(0x8382),
                    Dword(0x0302),
                    {},
                    P{1, 0},
                    P{4, 1},
                    {},
                    {},
                    0}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Start, activation and removal -------------------------------------------

// A bulk endpoint without a packet size cannot be started: the attach still
// takes the device, activates nothing, and the removal frees the object.
TEST_F(RegistrationAttachTest, PortThatCannotStartIsKeptUntilRemoval) {
    cehost::RegWriteDword(kKey, kValueUsbMode, 0);
    cehost::RegWriteDword(kKey, kValueReceiveEndp, 0x81);
    cehost::RegWriteDword(kKey, kValueSendEndp, 0x02);
    cehost::RegWriteString(kKey, kValueDll, u"stub.dll");
    cehost::RegWriteString(kKey, kValuePrefix, u"TST");
    FakeUsbDevice device(0x1234, 1, BulkPair(0));
    SerialPort* port = AttachPort(device);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->activation, nullptr);
    BOOL started = TRUE;
    EXPECT_TRUE(PortTokenWaitAttached(TokenOf(device), &started));
    EXPECT_FALSE(started);
    EXPECT_EQ(gInits.load(), 0);
    EXPECT_EQ(cehost::GetHeapStats().liveBlocks, 1u);  // the object alone
    Remove(device);
    EXPECT_EQ(gDeinits.load(), 0);
}

// The stream device is activated with a ClientInfo token that leads back to
// the port, and deactivated before the port is torn down.
TEST_F(RegistrationAttachTest, StartedPortIsActivatedWithItsToken) {
    cehost::RegWriteDword(kKey, kValueUsbMode, 0);
    cehost::RegWriteDword(kKey, kValueReceiveEndp, 0x81);
    cehost::RegWriteDword(kKey, kValueSendEndp, 0x02);
    cehost::RegWriteString(kKey, kValueDll, u"stub.dll");
    cehost::RegWriteString(kKey, kValuePrefix, u"TST");
    FakeUsbDevice device(0x1234, 1, BulkPair());
    SerialPort* port = AttachPort(device);
    ASSERT_NE(port, nullptr);
    ASSERT_NE(port->activation, nullptr);
    EXPECT_EQ(gInits.load(), 1);
    auto active = cehost::ActiveDevices();
    ASSERT_EQ(active.size(), 1u);
    EXPECT_EQ(active[0].deviceKey, kKey);
    auto token = cehost::RegReadDword(active[0].activeKey, kValueClientInfo);
    ASSERT_TRUE(token.has_value());
    EXPECT_EQ(PortTokenLookup(*token), port);

    Remove(device);
    EXPECT_EQ(gDeinits.load(), 1);
    EXPECT_EQ(PortTokenLookup(*token), nullptr);
}

// Started but not activated (the key names no stream library): the worker
// thread runs and must still be ended and everything released at removal.
TEST_F(RegistrationAttachTest, StartedPortWhoseActivationFailedIsTornDown) {
    cehost::RegWriteDword(kKey, kValueUsbMode, 0);
    cehost::RegWriteDword(kKey, kValueReceiveEndp, 0x81);
    cehost::RegWriteDword(kKey, kValueSendEndp, 0x02);
    FakeUsbDevice device(0x1234, 1, BulkPair());
    SerialPort* port = AttachPort(device);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->activation, nullptr);
    BOOL started = FALSE;
    EXPECT_TRUE(PortTokenWaitAttached(TokenOf(device), &started));
    EXPECT_TRUE(started);
    EXPECT_GT(cehost::GetHeapStats().liveBlocks, 1u);  // ring and slots too
    Remove(device);
}

TEST_F(RegistrationAttachTest, NotificationOtherThanCloseLeavesPortAlone) {
    cehost::RegWriteDword(kKey, kValueUsbMode, 0);
    cehost::RegWriteDword(kKey, kValueReceiveEndp, 0x81);
    FakeUsbDevice device(0x1234, 1, BulkPair(0));
    SerialPort* port = AttachPort(device);
    ASSERT_NE(port, nullptr);
    LPVOID context = device.notifyContext;
    for (DWORD code : {0u, 2u, 3u, 0xFFFFFFFFu}) {
        EXPECT_FALSE(DeviceNotify(context, code, nullptr, nullptr, nullptr, nullptr));
    }
    EXPECT_FALSE(DeviceNotify(nullptr, USB_CLOSE_DEVICE, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(cehost::GetHeapStats().liveBlocks, 1u);
    Remove(device);
    // A repeated notification finds no port of the driver and touches
    // nothing, also once a later port has the freed object's address (the
    // registration below stands for such an attach).
    DWORD later = PortTokenRegister(port);
    ASSERT_NE(later, 0u);
    PortTokenAttachDone(later);
    EXPECT_FALSE(DeviceNotify(context, USB_CLOSE_DEVICE, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(PortTokenLookup(later), port);
    PortTokenRelease(later);
}

}  // namespace
