// The whole life of a device through the emulated platform and the real
// library (libserlynx.so, loaded as "serlynx.dll"): installation, the first
// attach that writes the device key, the attach that serves the device as
// "COM1:", data through the port, and the removal.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>

#include "ce/file.h"
#include "ce/loader.h"
#include "cehost/core.h"
#include "cehost/devmgr.h"
#include "cehost/loader.h"
#include "cehost/regfile.h"
#include "common/com_port_test.h"
#include "driver/variants/usb_mode.h"
#include "platform.h"
#include "sim/catalog.h"

namespace sim {
// Test names carry the model's name; printed parameters too.
void PrintTo(const ModelEntry& entry, std::ostream* out) {
    *out << entry.name;
}
}  // namespace sim

namespace {

using serlynx::DeviceKeyPath;

class RegistrationLifecycleTest : public PlatformTest {};

// Every device model through the same life: the first attach configures it
// with its port type (and is not served; the endpoints it chose are those
// the data then takes), the next one serves it as COM1:, bytes go round a
// loopback plug on the device's line, and the removal with the port still
// open cuts the handle loose and leaves nothing.
class RegistrationCatalogTest : public comtest::ComPortTest,
                                public ::testing::WithParamInterface<sim::ModelEntry> {};

TEST_P(RegistrationCatalogTest, ConfiguredServedAndRemoved) {
    const sim::ModelEntry& m = GetParam();
    auto model =
        m.Make(std::make_shared<sim::LoopbackPlug>(), std::make_shared<sim::LoopbackPlug>()).usb;
    Serve(model, [&](const std::u16string& key) {
        EXPECT_TRUE(cehost::ActiveDevices().empty());
        EXPECT_FALSE(cehost::RegRead(kCatchAllKeyPath, kValueDll).has_value());
        EXPECT_EQ(cehost::RegReadDword(key, kValueUsbMode), m.usbMode);
    });
    auto active = cehost::ActiveDevices();
    ASSERT_EQ(active.size(), 1u);
    EXPECT_EQ(active[0].name, u"COM1:");
    EXPECT_EQ(active[0].deviceKey, key_);

    HANDLE port = comtest::OpenCom();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    comtest::SetTimeouts(port, 0, 0, 5000);
    const comtest::ByteVector out = comtest::PatternBytes(100);
    EXPECT_EQ(comtest::WriteAll(port, out), out.size());
    EXPECT_EQ(comtest::ReadAll(port, out.size()), out);

    Unplug();
    EXPECT_TRUE(cehost::ActiveDevices().empty());
    EXPECT_EQ(cehost::RunningThreadCount(), 0u);
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(port, "x", 1, &written, nullptr));
    EXPECT_TRUE(CloseHandle(port));
    // The device key stays for the next time.
    EXPECT_TRUE(cehost::RegKeyExists(key_));
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

// The keys and value names as platform images and stored registries have
// them; everywhere else the tests take them from the driver's constants and
// the tool's DeviceKeyPath. Uninstalling leaves both keys.
TEST_F(RegistrationLifecycleTest, KeysAndValueNamesAsStored) {
    EXPECT_EQ(std::u16string(kCatchAllKeyPath),
              u"Drivers\\USB\\LoadClients\\Default\\Default\\Default\\Serlynx");
    const cehost::Bytes device =
        cehost::usbdesc::Device(0x200, 0, 0, 0, 64, 0x1209, 0x5E01, 0x0100, 0, 0, 0);
    EXPECT_EQ(DeviceKeyPath(device),
              u"Drivers\\USB\\LoadClients\\4617_24065_256\\Default\\Default\\Serlynx");
    const std::pair<const char16_t*, const char16_t*> names[] = {
        {kValueDll, u"Dll"},
        {kValuePrefix, u"Prefix"},
        {kValueInstallTime, u"InstallTime"},
        {kValueUsbMode, u"UsbMode"},
        {kValueClassEndp, u"ClassEndp"},
        {kValueReceiveEndp, u"ReceiveEndp"},
        {kValueSendEndp, u"SendEndp"},
        {kValueFriendlyName, u"FriendlyName"}};
    for (const auto& [constant, stored] : names)
        EXPECT_EQ(std::u16string(constant), stored);
    ASSERT_TRUE(cehost::UsbInstallClient(u"serlynx.dll"));
    EXPECT_TRUE(cehost::UsbUninstallClient(u"serlynx.dll"));
    EXPECT_TRUE(cehost::RegKeyExists(kCatchAllKeyPath));
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
    auto model = sim::FindModel("bulk")->Make(std::make_shared<sim::LoopbackPlug>()).usb;
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
