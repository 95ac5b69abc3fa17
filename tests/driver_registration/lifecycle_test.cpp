// The whole life of a device through the emulated platform and the real
// library (libserlynx.so, loaded as "serlynx.dll"): installation, the first
// attach that writes the device key, the attach that serves the device as
// "COM1:", data through the port, and the removal.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "ce/file.h"
#include "ce/loader.h"
#include "ce/sync.h"
#include "ce/thread.h"
#include "cehost/core.h"
#include "cehost/devmgr.h"
#include "cehost/loader.h"
#include "cehost/regfile.h"
#include "cehost/usb_bus.h"
#include "common/platform_test.h"
#include "driver/variants/usb_mode.h"
#include "sim/bulk_model.h"
#include "sim/cdc_model.h"
#include "sim/ftdi_model.h"
#include "sim/rcs310_model.h"

namespace {

const std::u16string kCatchAll = u"Drivers\\USB\\LoadClients\\Default\\Default\\Default\\Serlynx";

std::u16string DeviceKey(const std::string& ids) {
    return u"Drivers\\USB\\LoadClients\\" + cehost::Utf16(ids) + u"\\Default\\Default\\Serlynx";
}

class RegistrationLifecycleTest : public PlatformTest {};

TEST_F(RegistrationLifecycleTest, InstallConfigureServeAndRemoveBulkAdapter) {
    auto line = std::make_shared<sim::LoopbackPlug>();
    auto model = std::make_shared<sim::BulkAdapterModel>(sim::BulkModelConfig{}, line);
    {
        cehost::UsbBus bus;
        ASSERT_TRUE(cehost::UsbInstallClient(u"serlynx.dll"));
        EXPECT_EQ(cehost::RegReadString(kCatchAll, u"Dll"), u"serlynx.dll");
        ASSERT_TRUE(cehost::RegReadDword(kCatchAll, u"InstallTime").has_value());

        // First attach: configured, not served.
        cehost::UsbDeviceId id = bus.Plug(model);
        ASSERT_NE(id, 0u);
        EXPECT_TRUE(bus.Owner(id).empty());
        EXPECT_TRUE(cehost::ActiveDevices().empty());
        EXPECT_FALSE(cehost::RegRead(kCatchAll, u"Dll").has_value());
        EXPECT_FALSE(cehost::RegRead(kCatchAll, u"InstallTime").has_value());
        const std::u16string key = DeviceKey("4617_24065_256");  // 1209:5e01 rel 1.00
        EXPECT_EQ(cehost::RegReadString(key, u"Dll"), u"serlynx.dll");
        EXPECT_EQ(cehost::RegReadString(key, u"Prefix"), u"COM");
        EXPECT_EQ(cehost::RegReadDword(key, u"UsbMode"), 0u);
        EXPECT_EQ(cehost::RegReadDword(key, u"ClassEndp"), 0u);
        EXPECT_EQ(cehost::RegReadDword(key, u"ReceiveEndp"), 0x81u);
        EXPECT_EQ(cehost::RegReadDword(key, u"SendEndp"), 0x02u);
        EXPECT_EQ(cehost::RegReadString(key, u"FriendlyName"), u"Bulk serial adapter,basic");

        // Next attach: served as COM1: through the device key.
        id = bus.Replug(id);
        ASSERT_NE(id, 0u);
        EXPECT_EQ(bus.Owner(id), u"Serlynx");
        auto active = cehost::ActiveDevices();
        ASSERT_EQ(active.size(), 1u);
        EXPECT_EQ(active[0].name, u"COM1:");
        EXPECT_EQ(active[0].deviceKey, key);
        auto token = cehost::RegReadDword(active[0].activeKey, u"ClientInfo");
        ASSERT_TRUE(token.has_value());
        EXPECT_NE(*token, 0u);

        // Bytes go round the loopback plug.
        HANDLE port =
            CreateFileW(u"COM1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, 0, 0, nullptr);
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        COMMTIMEOUTS timeouts{0, 0, 5000, 0, 5000};
        EXPECT_TRUE(SetCommTimeouts(port, &timeouts));
        const char out[] = "through the whole stack";
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(port, out, sizeof(out), &written, nullptr));
        EXPECT_EQ(written, sizeof(out));
        char in[sizeof(out)] = {};
        DWORD got = 0;
        while (got < sizeof(in)) {
            DWORD n = 0;
            ASSERT_TRUE(ReadFile(port, in + got, sizeof(in) - got, &n, nullptr));
            ASSERT_NE(n, 0u) << "read timed out after " << got << " bytes";
            got += n;
        }
        EXPECT_EQ(std::string(in, got), std::string(out, sizeof(out)));
        EXPECT_TRUE(CloseHandle(port));

        // Removal: deactivated, torn down, freed.
        EXPECT_TRUE(bus.Unplug(id));
        EXPECT_TRUE(cehost::ActiveDevices().empty());
        EXPECT_EQ(cehost::RunningThreadCount(), 0u);
        // The device key stays for the next time.
        EXPECT_TRUE(cehost::RegKeyExists(key));
        EXPECT_TRUE(cehost::UsbUninstallClient(u"serlynx.dll"));
        EXPECT_TRUE(cehost::RegKeyExists(key));
        EXPECT_TRUE(cehost::RegKeyExists(kCatchAll));
    }
}

// Every port type through the same life: the first attach classifies the
// device and names it, the next one serves it as COM1:, bytes go round a
// loopback plug on the device's line, and the removal leaves nothing.
struct PortTypeCase {
    const char* name;
    std::function<std::shared_ptr<cehost::UsbDeviceModel>(std::shared_ptr<sim::SerialLine>)> make;
    const char* ids;  // vendor_product_release in decimal
    DWORD usbMode;
    const char16_t* friendlyName;
};

class RegistrationPortTypeTest : public RegistrationLifecycleTest,
                                 public ::testing::WithParamInterface<PortTypeCase> {};

TEST_P(RegistrationPortTypeTest, ConfiguredServedAndRemoved) {
    const PortTypeCase& c = GetParam();
    auto line = std::make_shared<sim::LoopbackPlug>();
    cehost::UsbBus bus;
    ASSERT_TRUE(cehost::UsbInstallClient(u"serlynx.dll"));
    cehost::UsbDeviceId id = bus.Plug(c.make(line));
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(bus.Owner(id).empty());
    const std::u16string key = DeviceKey(c.ids);
    EXPECT_EQ(cehost::RegReadDword(key, u"UsbMode"), c.usbMode);
    EXPECT_EQ(cehost::RegReadString(key, u"FriendlyName"), c.friendlyName);

    id = bus.Replug(id);
    ASSERT_EQ(bus.Owner(id), u"Serlynx");
    auto active = cehost::ActiveDevices();
    ASSERT_EQ(active.size(), 1u);
    EXPECT_EQ(active[0].name, u"COM1:");

    HANDLE port = CreateFileW(u"COM1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, 0, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS timeouts{0, 0, 5000, 0, 5000};
    EXPECT_TRUE(SetCommTimeouts(port, &timeouts));
    const std::string out = "round the plug";
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(port, out.data(), DWORD(out.size()), &written, nullptr));
    EXPECT_EQ(written, out.size());
    std::string in(out.size(), '\0');
    DWORD got = 0;
    while (got < in.size()) {
        DWORD n = 0;
        ASSERT_TRUE(ReadFile(port, &in[got], DWORD(in.size() - got), &n, nullptr));
        ASSERT_NE(n, 0u) << "read timed out after " << got << " bytes";
        got += n;
    }
    EXPECT_EQ(in, out);
    EXPECT_TRUE(CloseHandle(port));

    EXPECT_TRUE(bus.Unplug(id));
    EXPECT_TRUE(cehost::ActiveDevices().empty());
    EXPECT_EQ(cehost::RunningThreadCount(), 0u);
}

const PortTypeCase kPortTypeCases[] = {
    PortTypeCase{
        "Cdc", [](auto line) { return std::make_shared<sim::CdcModel>(sim::CdcAcmConfig(), line); },
        "4617_24080_256", 1, u"CDC serial device,cdc"},
    PortTypeCase{
        "CdcCtsChip",
        [](auto line) { return std::make_shared<sim::CdcModel>(sim::CdcCtsChipConfig(), line); },
        "4617_24081_256", 0x101, u"Serial chip with CTS status,pl2303"},
    PortTypeCase{
        "CdcNoLineCoding",
        [](auto line) { return std::make_shared<sim::CdcModel>(sim::CdcNoCodingConfig(), line); },
        "1154_515_256", 0x1001, u"Handset modem,cdc"},
    PortTypeCase{"TwoChannel",
                 [](auto line) {
                     return std::make_shared<sim::CdcModel>(sim::CdcTwoChannelConfig(), line,
                                                            std::make_shared<sim::LoopbackPlug>());
                 },
                 "4617_24082_256", 2, u"Two-channel modem,wmc"},
    PortTypeCase{"Ftdi",
                 [](auto line) {
                     return std::make_shared<sim::FtdiModel>(sim::FtdiModelConfig::FullSpeed(),
                                                             line);
                 },
                 "1027_24577_1536", 0x203, u"FT232R USB UART,ftdi"},
    PortTypeCase{"FtdiHeaderFramed",
                 [](auto line) {
                     return std::make_shared<sim::FtdiModel>(sim::FtdiModelConfig::HeaderFramed(),
                                                             line);
                 },
                 "1027_33650_512", 3, u"USB Serial Converter,ftdi"},
    PortTypeCase{"Type4",
                 [](auto line) {
                     return std::make_shared<sim::Rcs310Model>(sim::Rcs310ModelConfig{}, line);
                 },
                 "1356_108_256", 4, u"Type-4 reader,rcs310"}};

INSTANTIATE_TEST_SUITE_P(Types, RegistrationPortTypeTest, ::testing::ValuesIn(kPortTypeCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A port type added to the driver needs a device model and its case above
// (the basic port's life is the bulk adapter's, at the top of this file).
TEST(RegistrationPortTypes, EveryTypeHasACase) {
    for (DWORD type = 0; type < kPortTypeCount; ++type) {
        bool found = type == kPortTypeBasic;
        for (const PortTypeCase& c : kPortTypeCases)
            found = found || (c.usbMode & kUsbModeTypeMask) == type;
        EXPECT_TRUE(found) << "port type " << type;
    }
}

// Removal while an application still holds the port open: the open handle
// is cut loose and fails cleanly afterwards.
TEST_F(RegistrationLifecycleTest, RemovalWithPortOpen) {
    auto line = std::make_shared<sim::LoopbackPlug>();
    auto model = std::make_shared<sim::BulkAdapterModel>(sim::BulkModelConfig{}, line);
    cehost::UsbBus bus;
    ASSERT_TRUE(cehost::UsbInstallClient(u"serlynx.dll"));
    cehost::UsbDeviceId id = bus.Replug(bus.Plug(model));
    ASSERT_EQ(bus.Owner(id), u"Serlynx");
    HANDLE port = CreateFileW(u"COM1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, 0, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(bus.Unplug(id));
    EXPECT_TRUE(cehost::ActiveDevices().empty());
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(port, "x", 1, &written, nullptr));
    CloseHandle(port);
    EXPECT_EQ(cehost::RunningThreadCount(), 0u);
}

// The device goes while its attach runs: at each USB call the attach makes,
// the removal (on another host thread) and the attach must between them
// leave nothing behind: no stream device, no thread, no handle, no block.
// The test calls the attach itself, so the host does not know an attach is
// running: only the port's own notification keeps the device's records
// alive until the attach is done, which is what is tested here. (The
// first-attach branch registers nothing; it relies on the host, which keeps
// the records while it runs an attach, and is not driven this way.)
struct UnplugCase {
    const char* name;
    cehost::UsbCall call;
    int nth;
};

class RegistrationUnplugDuringAttachTest : public RegistrationLifecycleTest,
                                           public ::testing::WithParamInterface<UnplugCase> {};

TEST_P(RegistrationUnplugDuringAttachTest, LeavesNothingBehind) {
    const UnplugCase& c = GetParam();
    auto line = std::make_shared<sim::LoopbackPlug>();
    auto model = std::make_shared<sim::BulkAdapterModel>(sim::BulkModelConfig{}, line);
    cehost::UsbBus bus;
    ASSERT_TRUE(cehost::UsbInstallClient(u"serlynx.dll"));
    // Let a normal first attach write the device key.
    ASSERT_TRUE(bus.Unplug(bus.Plug(model)));
    ASSERT_TRUE(cehost::RegKeyExists(DeviceKey("4617_24065_256")));
    const DWORD N = USB_NO_INFO;
    const USB_DRIVER_SETTINGS settings{
        sizeof(USB_DRIVER_SETTINGS), 0x1209, 0x5E01, 0x0100, N, N, N, N, N, N};
    cehost::UsbDeviceId id = bus.PlugUnclaimed(model);
    ASSERT_NE(id, 0u);
    HMODULE library = LoadLibraryW(u"serlynx.dll");
    ASSERT_NE(library, nullptr);
    auto attach = reinterpret_cast<LPUSB_DEVICE_ATTACH>(
        reinterpret_cast<void (*)()>(GetProcAddressW(library, u"USBDeviceAttach")));
    ASSERT_NE(attach, nullptr);

    bus.UnplugAtCall(id, c.call, c.nth);
    BOOL accept = FALSE;
    attach(bus.Handle(id), cehost::UsbFunctions(), nullptr, u"Serlynx", &accept, &settings, 0);
    EXPECT_TRUE(bus.WaitUnplugged(id));
    EXPECT_TRUE(cehost::ActiveDevices().empty());
    EXPECT_EQ(cehost::RunningThreadCount(), 0u);
    EXPECT_TRUE(FreeLibrary(library));
}

INSTANTIATE_TEST_SUITE_P(
    Calls, RegistrationUnplugDuringAttachTest,
    ::testing::Values(UnplugCase{"Register", cehost::UsbCall::kRegisterNotificationRoutine, 1},
                      UnplugCase{"DeviceInfo", cehost::UsbCall::kGetDeviceInfo, 1},
                      UnplugCase{"FirstPipe", cehost::UsbCall::kOpenPipe, 1},
                      UnplugCase{"SecondPipe", cehost::UsbCall::kOpenPipe, 2},
                      UnplugCase{"ClearHalt", cehost::UsbCall::kClearFeature, 1},
                      UnplugCase{"FirstReceive", cehost::UsbCall::kIssueBulkTransfer, 1},
                      UnplugCase{"ThirdReceive", cehost::UsbCall::kIssueBulkTransfer, 3}),
    [](const auto& info) { return std::string(info.param.name); });

// A device plugged too late after installation is not configured, and the
// spent entry configures nothing later either.
TEST_F(RegistrationLifecycleTest, LateFirstAttachLeavesDeviceUnclaimed) {
    auto line = std::make_shared<sim::LoopbackPlug>();
    auto model = std::make_shared<sim::BulkAdapterModel>(sim::BulkModelConfig{}, line);
    cehost::UsbBus bus;
    ASSERT_TRUE(cehost::UsbInstallClient(u"serlynx.dll"));
    cehost::AdvanceTicks(3001);
    cehost::UsbDeviceId id = bus.Plug(model);
    EXPECT_TRUE(bus.Owner(id).empty());
    EXPECT_FALSE(cehost::RegKeyExists(DeviceKey("4617_24065_256")));
    id = bus.Replug(id);
    EXPECT_TRUE(bus.Owner(id).empty());
    EXPECT_TRUE(cehost::ActiveDevices().empty());
}

// Installing again re-arms the entry with the new values.
TEST_F(RegistrationLifecycleTest, InstallTwiceKeepsSecondValues) {
    ASSERT_TRUE(cehost::UsbInstallClient(u"serlynx.dll"));
    DWORD first = *cehost::RegReadDword(kCatchAll, u"InstallTime");
    cehost::AdvanceTicks(50000);
    cehost::RegDeleteTree(kCatchAll);
    ASSERT_TRUE(cehost::UsbInstallClient(u"serlynx.dll"));
    DWORD second = *cehost::RegReadDword(kCatchAll, u"InstallTime");
    EXPECT_GE(second - first, 50000u);
    EXPECT_EQ(cehost::RegRead(kCatchAll, u"Dll")->data.size(), 24u);
}

// The load handler asks for no thread notifications when the platform offers
// the call, and loads all the same when it does not.
TEST_F(RegistrationLifecycleTest, LoadHandlerDisablesThreadCalls) {
    for (bool hidden : {false, true}) {
        SCOPED_TRACE(hidden ? "hidden" : "offered");
        cehost::ResetPlatform();
        if (hidden)
            cehost::HideCoredllProc("DisableThreadLibraryCalls");
        HMODULE library = LoadLibraryW(u"serlynx.dll");
        ASSERT_NE(library, nullptr);
        EXPECT_EQ(cehost::ThreadLibraryCallsDisabled("serlynx.dll"), hidden ? 0 : 1);
        EXPECT_NE(GetProcAddressW(library, u"USBDeviceAttach"), nullptr);
        EXPECT_EQ(GetProcAddressW(library, u"DeviceNotify"), nullptr);
        EXPECT_TRUE(FreeLibrary(library));
    }
}

}  // namespace
