// The whole life of a device through the emulated platform and the real
// library (libserlynx.so, loaded as "serlynx.dll"): installation, the first
// attach that writes the device key, the attach that serves the device as
// "COM1:", data through the port, and the removal.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <ostream>
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
#include "platform.h"
#include "sim/catalog.h"

namespace {

using serlynx::DeviceKeyPath;

class RegistrationLifecycleTest : public PlatformTest {};

// The keys and value names are spelled out here as platform images and
// stored registries have them; everywhere else the tests take them from the
// driver's constants and the tool's DeviceKeyPath, which this pins too.
TEST_F(RegistrationLifecycleTest, InstallConfigureServeAndRemoveBulkAdapter) {
    auto line = std::make_shared<sim::LoopbackPlug>();
    auto model = std::make_shared<sim::BulkAdapterModel>(sim::BulkModelConfig{}, line);
    const std::u16string catchAll =
        u"Drivers\\USB\\LoadClients\\Default\\Default\\Default\\Serlynx";
    EXPECT_EQ(catchAll, kCatchAllKeyPath);
    // 1209:5e01 release 1.00
    const std::u16string key =
        u"Drivers\\USB\\LoadClients\\4617_24065_256\\Default\\Default\\Serlynx";
    EXPECT_EQ(key, DeviceKeyPath(model->DeviceDescriptor()));
    {
        cehost::UsbBus bus;
        ASSERT_TRUE(cehost::UsbInstallClient(u"serlynx.dll"));
        EXPECT_EQ(cehost::RegReadString(catchAll, u"Dll"), u"serlynx.dll");
        ASSERT_TRUE(cehost::RegReadDword(catchAll, u"InstallTime").has_value());

        // First attach: configured, not served.
        cehost::UsbDeviceId id = bus.Plug(model);
        ASSERT_NE(id, 0u);
        EXPECT_TRUE(bus.Owner(id).empty());
        EXPECT_TRUE(cehost::ActiveDevices().empty());
        EXPECT_FALSE(cehost::RegRead(catchAll, u"Dll").has_value());
        EXPECT_FALSE(cehost::RegRead(catchAll, u"InstallTime").has_value());
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
        EXPECT_TRUE(cehost::RegKeyExists(catchAll));
    }
}

}  // namespace

namespace sim {
// Test names carry the model's name; printed parameters too.
void PrintTo(const ModelEntry& entry, std::ostream* out) {
    *out << entry.name;
}
}  // namespace sim

namespace {

// The name the first attach gives each model: its product string and the
// port type's suffix.
const std::map<std::string, std::u16string> kFriendlyNames = {
    {"ftdi", u"FT232R USB UART,ftdi"},
    {"ftdi-hs", u"FT232H Single HS USB-UART/FIFO IC,ftdi"},
    {"ftdi-header", u"USB Serial Converter,ftdi"},
    {"cdc-acm", u"CDC serial device,cdc"},
    {"cdc-cts", u"Serial chip with CTS status,pl2303"},
    {"cdc-nocoding", u"Handset modem,cdc"},
    {"cdc-two-channel", u"Two-channel modem,wmc"},
    {"cdc-composite", u"Storage, keypad and modem,cdc"},
    {"bulk", u"Bulk serial adapter,basic"},
    {"rcs310", u"Type-4 reader,rcs310"},
};

// Every device model through the same life: the first attach gives it the
// port type the catalog expects and its name, the next one serves it as
// COM1:, bytes go round a loopback plug on the device's line, and the
// removal leaves nothing.
class RegistrationCatalogTest : public RegistrationLifecycleTest,
                                public ::testing::WithParamInterface<sim::ModelEntry> {};

TEST_P(RegistrationCatalogTest, ConfiguredServedAndRemoved) {
    const sim::ModelEntry& m = GetParam();
    auto line = std::make_shared<sim::LoopbackPlug>();
    auto model = m.Make(line, std::make_shared<sim::LoopbackPlug>()).usb;
    cehost::UsbBus bus;
    ASSERT_TRUE(cehost::UsbInstallClient(u"serlynx.dll"));
    cehost::UsbDeviceId id = bus.Plug(model);
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(bus.Owner(id).empty());
    const std::u16string key = DeviceKeyPath(model->DeviceDescriptor());
    EXPECT_EQ(cehost::RegReadDword(key, kValueUsbMode), m.usbMode);
    const auto name = kFriendlyNames.find(m.name);
    ASSERT_NE(name, kFriendlyNames.end()) << "no friendly name listed for " << m.name;
    EXPECT_EQ(cehost::RegReadString(key, kValueFriendlyName), name->second);

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

INSTANTIATE_TEST_SUITE_P(Catalog, RegistrationCatalogTest, ::testing::ValuesIn(sim::Models()),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             for (char& c : name)
                                 c = c == '-' ? '_' : c;
                             return name;
                         });

// A port type added to the driver needs a device model in the catalog
// (which the test above then serves).
TEST(RegistrationPortTypes, EveryTypeHasAModel) {
    for (DWORD type = 0; type < kPortTypeCount; ++type) {
        bool found = false;
        for (const sim::ModelEntry& m : sim::Models())
            found = found || (m.usbMode & kUsbModeTypeMask) == type;
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
    ASSERT_TRUE(cehost::RegKeyExists(DeviceKeyPath(model->DeviceDescriptor())));
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
    EXPECT_FALSE(cehost::RegKeyExists(DeviceKeyPath(model->DeviceDescriptor())));
    id = bus.Replug(id);
    EXPECT_TRUE(bus.Owner(id).empty());
    EXPECT_TRUE(cehost::ActiveDevices().empty());
}

// Installing again re-arms the entry with the new values.
TEST_F(RegistrationLifecycleTest, InstallTwiceKeepsSecondValues) {
    ASSERT_TRUE(cehost::UsbInstallClient(u"serlynx.dll"));
    DWORD first = *cehost::RegReadDword(kCatchAllKeyPath, kValueInstallTime);
    cehost::AdvanceTicks(50000);
    cehost::RegDeleteTree(kCatchAllKeyPath);
    ASSERT_TRUE(cehost::UsbInstallClient(u"serlynx.dll"));
    DWORD second = *cehost::RegReadDword(kCatchAllKeyPath, kValueInstallTime);
    EXPECT_GE(second - first, 50000u);
    EXPECT_EQ(cehost::RegRead(kCatchAllKeyPath, kValueDll)->data.size(), 24u);
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
