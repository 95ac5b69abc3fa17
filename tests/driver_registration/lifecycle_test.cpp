// The whole life of a device through the emulated platform and the real
// library (libserlynx.so, loaded as "serlynx.dll"): installation, the first
// attach that writes the device key, the attach that serves the device as
// "COM1:", data through the port, and the removal.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "ce/loader.h"
#include "cehost/devmgr.h"
#include "cehost/loader.h"
#include "common/com_port_test.h"
#include "sim/catalog.h"

namespace {

class RegistrationLifecycleTest : public PlatformTest {};

// Every device model through the same life: the first attach configures it
// with its port type (the endpoints it chose are those the data then
// takes), the next one serves it as COM1:, bytes go round a loopback plug on
// the device's line, and the removal with the port still open cuts the
// handle loose and leaves nothing. The library, loaded, asks the loader for
// no thread calls.
class RegistrationCatalogTest : public comtest::ComPortTest,
                                public ::testing::WithParamInterface<sim::ModelEntry> {};

TEST_P(RegistrationCatalogTest, ConfiguredServedAndRemoved) {
    const sim::ModelEntry& m = GetParam();
    auto model =
        m.Make(std::make_shared<sim::LoopbackPlug>(), std::make_shared<sim::LoopbackPlug>()).usb;
    Serve(model);
    EXPECT_EQ(KeyDword(kValueUsbMode), m.usbMode);
    EXPECT_GE(cehost::ThreadLibraryCallsDisabled("serlynx.dll"), 1);
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
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(port, "x", 1, &written, nullptr));
    EXPECT_TRUE(CloseHandle(port));
}

INSTANTIATE_TEST_SUITE_P(Catalog, RegistrationCatalogTest, ::testing::ValuesIn(sim::Models()),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

// The device goes while its attach runs: at each USB call the attach makes,
// the removal (on another host thread) and the attach must between them
// leave nothing behind: no stream device, no thread, no handle, no block.
// The test calls the attach itself, so the host does not know an attach is
// running: only the port's own notification keeps the device's records
// alive until the attach is done, which is what is tested here. (The
// first-attach branch registers nothing; it relies on the host, which keeps
// the records while it runs an attach, and is not driven this way.)
TEST_F(RegistrationLifecycleTest, UnplugDuringAttachLeavesNothingBehind) {
    // The library also loads and runs where the platform lacks
    // DisableThreadLibraryCalls (it asks for no thread calls where it can:
    // the catalog tests).
    cehost::HideCoredllProc("DisableThreadLibraryCalls");
    auto model = sim::FindModel("bulk")->Make(std::make_shared<sim::LoopbackPlug>()).usb;
    cehost::UsbBus bus;
    ASSERT_TRUE(cehost::UsbInstallClient(u"serlynx.dll"));
    ASSERT_TRUE(bus.Unplug(bus.Plug(model)));  // a normal first attach writes the device key
    ASSERT_TRUE(cehost::RegKeyExists(serlynx::DeviceKeyPath(model->DeviceDescriptor())));
    const DWORD N = USB_NO_INFO;
    const USB_DRIVER_SETTINGS settings{0, 0x1209, 0x5E01, 0x0100, N, N, N, N, N, N};
    using C = cehost::UsbCall;
    const std::pair<C, int> cases[] = {{C::kRegisterNotificationRoutine, 1},
                                       {C::kGetDeviceInfo, 1},
                                       {C::kOpenPipe, 1},
                                       {C::kOpenPipe, 2},
                                       {C::kClearFeature, 1},
                                       {C::kIssueBulkTransfer, 1},
                                       {C::kIssueBulkTransfer, 3}};
    for (const auto& [call, nth] : cases) {
        SCOPED_TRACE(testing::Message() << int(call) << " " << nth);
        cehost::UsbDeviceId id = bus.PlugUnclaimed(model);
        HMODULE library = LoadLibraryW(u"serlynx.dll");
        ASSERT_NE(library, nullptr);
        auto attach = reinterpret_cast<LPUSB_DEVICE_ATTACH>(
            reinterpret_cast<void (*)()>(GetProcAddressW(library, u"USBDeviceAttach")));
        bus.UnplugAtCall(id, call, nth);
        BOOL accept = FALSE;
        attach(bus.Handle(id), cehost::UsbFunctions(), nullptr, u"Serlynx", &accept, &settings, 0);
        EXPECT_TRUE(bus.WaitUnplugged(id));
        EXPECT_TRUE(cehost::ActiveDevices().empty());
        EXPECT_EQ(cehost::RunningThreadCount(), 0u);
        EXPECT_TRUE(FreeLibrary(library));
    }
    EXPECT_EQ(cehost::ThreadLibraryCallsDisabled("serlynx.dll"), 0);
}

}  // namespace
