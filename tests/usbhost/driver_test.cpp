// The driver library on the emulated bus, end to end: installed as a client,
// configured by the first attach of a bulk-only adapter, served as a COM
// port from the next attach on, and released at removal.
#include <cstring>

#include "ce/file.h"
#include "ce/sync.h"
#include "usb_fixture.h"

namespace {

using namespace usbtest;

class UsbDriverOnBus : public PlatformTest {};

TEST_F(UsbDriverOnBus, BulkAdapterBecomesAComPortAfterItsFirstAttach) {
    ASSERT_TRUE(cehost::UsbInstallClient(u"serlynx.dll"));
    cehost::UsbBus bus;
    auto line = std::make_shared<sim::ScriptedLine>();
    auto model = std::make_shared<sim::BulkAdapterModel>(sim::BulkModelConfig{}, line);
    auto id = bus.Plug(model);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(bus.Owner(id), u"");  // the first attach only writes the device's key
    id = bus.Replug(id);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(bus.Owner(id), u"Serlynx");

    HANDLE h =
        CreateFileW(u"COM1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = 5000;
    timeouts.WriteTotalTimeoutConstant = 5000;
    EXPECT_TRUE(SetCommTimeouts(h, &timeouts));

    DWORD n = 0;
    EXPECT_TRUE(WriteFile(h, "hello", 5, &n, nullptr));
    EXPECT_EQ(n, 5u);
    ASSERT_TRUE(line->WaitTransmitted(5, 5000));
    EXPECT_EQ(line->TakeTransmitted(), (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}));

    line->Inject({'w', 'o', 'r', 'l', 'd'});
    char buf[8] = {};
    EXPECT_TRUE(ReadFile(h, buf, 5, &n, nullptr));
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(std::string(buf, n), "world");

    EXPECT_TRUE(CloseHandle(h));
    EXPECT_TRUE(bus.Unplug(id));
    EXPECT_EQ(CreateFileW(u"COM1:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
}

}  // namespace
