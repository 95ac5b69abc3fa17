// Removal: what a client's transfers and calls see, and the client drivers
// the host offers a device to (their removal notices, their libraries).
#include <atomic>

#include "cehost/loader.h"
#include "cehost/regfile.h"
#include "usb_fixture.h"

namespace {

using namespace usbtest;

// What the notification routine is given and checks when it runs.
struct Seen {
    UsbBulkDeviceTest* test;
    USB_TRANSFER inFlight;
    Completion* completion;
    bool closeInside;
    bool strict = false;  // the bus orders as a controller may (SetStrictOrdering)
    std::thread::id testThread = std::this_thread::get_id();
    int calls = 0;
};

// Transfers in flight end with the device-gone error and their routines run
// before the client hears USB_CLOSE_DEVICE, on a host thread, with the
// records still valid and new transfers refused.
BOOL WINAPI Notify(LPVOID p, DWORD code, LPDWORD*, LPDWORD*, LPDWORD*, LPDWORD*) {
    Seen* s = static_cast<Seen*>(p);
    UsbBulkDeviceTest* t = s->test;
    EXPECT_EQ(code, DWORD(USB_CLOSE_DEVICE));
    EXPECT_NE(std::this_thread::get_id(), s->testThread);
    EXPECT_TRUE(t->f->lpIsTransferComplete(s->inFlight));
    DWORD bytes = 0, error = 0;
    t->f->lpGetTransferStatus(s->inFlight, &bytes, &error);
    if (s->strict) {
        EXPECT_TRUE(error == USB_CANCELED_ERROR || error == USB_DEVICE_NOT_RESPONDING_ERROR)
            << error;
    } else {
        EXPECT_EQ(error, USB_DEVICE_GONE_ERROR);
        EXPECT_EQ(s->completion->calls.load(), 1);
    }
    if (s->closeInside)
        t->f->lpCloseTransfer(s->inFlight);
    LPCUSB_DEVICE info = t->f->lpGetDeviceInfo(t->dev);
    EXPECT_EQ(info ? info->Descriptor.idVendor : 0, 0x1209);
    uint8_t b[4];
    EXPECT_EQ(t->Read(b, sizeof(b)), nullptr);
    t->f->lpClosePipe(t->inPipe);
    t->f->lpClosePipe(t->outPipe);
    s->calls++;
    return TRUE;
}

// The removal comes from Unplug or from a call that finds the device gone; a
// transfer the client never closes is a leak.
TEST_F(UsbBulkDeviceTest, RemovalEndsTransfersThenNotifies) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        if (round)
            Plug(cehost::UsbTiming::kUntimed);
        Completion c;
        uint8_t buf[16];
        Seen seen{this, nullptr, &c, round != 1};
        ASSERT_TRUE(f->lpRegisterNotificationRoutine(dev, Notify, &seen));
        if (round == 2)
            bus->UnplugAtCall(id, cehost::UsbCall::kIssueBulkTransfer, 2);
        seen.inFlight = Read(buf, sizeof(buf), &c);
        if (round == 2) {
            EXPECT_EQ(Write("ab", 2), nullptr) << "the second issue finds the device gone";
            ASSERT_TRUE(bus->WaitUnplugged(id));
        } else {
            ASSERT_TRUE(bus->Unplug(id));
        }
        EXPECT_EQ(seen.calls, 1);
        EXPECT_TRUE(line->TakeTransmitted().empty());
        inPipe = outPipe = nullptr;
        EXPECT_EQ(f->lpGetDeviceInfo(dev), nullptr) << "the device handle is dead";
        ExpectMisuse("usb.device.stale", 1);
        ExpectLeak("usb.transfer.unclosed", round == 1);
    }
}

// Strict ordering: a closed pipe takes its transfers' handles with it (their
// routines still run, late), and a removal ends transfers with a
// controller's codes, their routines possibly after the notice.
TEST_F(UsbBulkDeviceTest, StrictOrderingEndsTransfersAndHandlesAsTheHostMay) {
    bus->SetStrictOrdering(true);
    Completion closed, c;
    uint8_t buf[16];
    USB_TRANSFER orphan = Read(buf, sizeof(buf), &closed);
    ASSERT_NE(orphan, nullptr);
    ASSERT_TRUE(f->lpClosePipe(inPipe));
    inPipe = OpenPipe(0x81);
    ASSERT_TRUE(closed.Wait());
    EXPECT_FALSE(f->lpCloseTransfer(orphan));
    ExpectMisuse("usb.transfer.stale", 1);

    Seen seen{this, nullptr, &c, true, true};
    ASSERT_TRUE(f->lpRegisterNotificationRoutine(dev, Notify, &seen));
    seen.inFlight = Read(buf, sizeof(buf), &c);
    ASSERT_NE(seen.inFlight, nullptr);
    ASSERT_TRUE(bus->Unplug(id));
    inPipe = outPipe = nullptr;
    EXPECT_EQ(seen.calls, 1);
    EXPECT_TRUE(c.Wait());
}

// A client's thread blocked in a synchronous call comes back with an error;
// the client's notification waits for that thread, as a driver's teardown
// waits for its worker.
TEST_F(UsbBulkDeviceTest, SynchronousCallBlockedOnTheDeviceReturnsWithAnError) {
    static std::atomic<bool> returned;
    returned = false;
    ASSERT_TRUE(f->lpRegisterNotificationRoutine(
        dev,
        [](LPVOID, DWORD, LPDWORD*, LPDWORD*, LPDWORD*, LPDWORD*) -> BOOL {
            for (int i = 0; i < 10000 && !returned; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return returned;
        },
        nullptr));
    Status s;
    std::thread reader([&] {
        uint8_t buf[16];
        s = Retire(Read(buf, sizeof(buf)));  // blocks: the device has nothing
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(bus->Unplug(id));
    reader.join();
    EXPECT_EQ(s.error, USB_DEVICE_GONE_ERROR);
    inPipe = outPipe = nullptr;
}

// Client libraries: "client0.dll" accepts the device and asks for removal
// notices; "client1.dll" declines while the device goes during its attach.
std::atomic<int> gCloseNotices{0};

BOOL WINAPI OnNotify(LPVOID, DWORD code, LPDWORD*, LPDWORD*, LPDWORD*, LPDWORD*) {
    gCloseNotices += code == USB_CLOSE_DEVICE;
    return TRUE;
}

BOOL WINAPI Attach(USB_HANDLE dev, LPCUSB_FUNCS funcs, LPCUSB_INTERFACE, LPCWSTR, LPBOOL accept,
                   LPCUSB_DRIVER_SETTINGS, DWORD) {
    *accept = TRUE;
    return funcs->lpRegisterNotificationRoutine(dev, OnNotify, nullptr);
}

cehost::UsbBus* gBus = nullptr;
std::thread gUnplugger;
int gRefsDuringAttach = -1;
BOOL WINAPI AttachWhileUnplugged(USB_HANDLE, LPCUSB_FUNCS, LPCUSB_INTERFACE, LPCWSTR, LPBOOL accept,
                                 LPCUSB_DRIVER_SETTINGS, DWORD) {
    *accept = FALSE;
    gUnplugger = std::thread([] { gBus->Unplug(1); });
    for (int i = 0; i < 1000 && gBus->IsPlugged(1); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    gRefsDuringAttach = cehost::LibraryRefCount("client1.dll");
    return FALSE;
}

class UsbClientTest : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        gCloseNotices = 0;
        cehost::RegisterLibrary("client0.dll", {{"USBDeviceAttach", &Attach}});
        cehost::RegisterLibrary("client1.dll", {{"USBDeviceAttach", &AttachWhileUnplugged}});
    }
    static void AddKey(const std::u16string& path, const std::u16string& dll) {
        cehost::RegWriteString(u"Drivers\\USB\\LoadClients\\" + path, u"Dll", dll);
    }
    std::shared_ptr<cehost::UsbDeviceModel> Model() {
        return std::make_shared<sim::BulkAdapterModel>(sim::BulkModelConfig{},
                                                       std::make_shared<sim::ScriptedLine>());
    }
    cehost::UsbBus bus;
};

TEST_F(UsbClientTest, OwnerHearsOfRemovalAndHoldsItsLibraryUntilThen) {
    AddKey(u"Default\\Default\\Default\\Owner", u"client0.dll");
    auto id = bus.Plug(Model());
    EXPECT_EQ(cehost::LibraryRefCount("client0.dll"), 1);
    auto again = bus.Replug(id);
    EXPECT_EQ(bus.Owner(again), u"Owner");
    EXPECT_EQ(gCloseNotices, 1);
    EXPECT_TRUE(bus.Unplug(again));
    EXPECT_EQ(gCloseNotices, 2);
    EXPECT_EQ(cehost::LibraryRefCount("client0.dll"), 0);
}

TEST_F(UsbClientTest, LibraryStaysLoadedUntilAnInterruptedAttachReturns) {
    AddKey(u"Default\\Default\\Default\\Late", u"client1.dll");
    gBus = &bus;
    auto id = bus.Plug(Model());
    EXPECT_EQ(id, 1u);
    gUnplugger.join();
    EXPECT_EQ(gRefsDuringAttach, 1);
    EXPECT_EQ(cehost::LibraryRefCount("client1.dll"), 0);
    EXPECT_FALSE(bus.IsPlugged(id));
}

}  // namespace
