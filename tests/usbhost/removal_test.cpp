// Removal: what a client's transfers and calls see, and a client library
// whose attach the removal interrupts. (Removal notices to the client
// drivers the host offers a device to, and the release of their libraries,
// are the driver registration suite's: ConfiguredServedAndRemoved.)
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
    bool strict = false;             // the bus orders as a controller may (SetStrictOrdering)
    std::atomic<bool>* synchronous;  // set once a blocked synchronous read returned
    std::thread::id testThread = std::this_thread::get_id();
    int calls = 0;
};

// Transfers in flight end with the device-gone error and their routines run
// before the client hears USB_CLOSE_DEVICE, on a host thread, with the
// records still valid and new transfers refused. A thread blocked in a
// synchronous call comes back with an error; the notification may wait for
// it, as a driver's teardown waits for its worker.
BOOL WINAPI Notify(LPVOID p, DWORD code, LPDWORD*, LPDWORD*, LPDWORD*, LPDWORD*) {
    Seen* s = static_cast<Seen*>(p);
    UsbBulkDeviceTest* t = s->test;
    for (int i = 0; i < 10000 && !*s->synchronous; ++i)
        std::this_thread::sleep_for(1ms);
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

// A transfer the client never closes is a leak. (A removal that starts at a
// client's call is the registration suite's UnplugDuringAttachLeavesNothingBehind.) Under strict
// ordering a closed pipe takes its transfers' handles with it (their routines still run, late), and
// a removal ends transfers with a controller's codes, their routines possibly after the notice.
TEST_F(UsbBulkDeviceTest, RemovalEndsTransfersThenNotifies) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        if (round)
            Plug(cehost::UsbTiming::kUntimed);
        const bool strict = round == 2;
        Completion c, closed;
        uint8_t buf[16];
        if (strict) {
            bus->SetStrictOrdering(true);
            USB_TRANSFER orphan = Read(buf, sizeof(buf), &closed);
            ASSERT_TRUE(f->lpClosePipe(inPipe));
            inPipe = OpenPipe(0x81);
            ASSERT_TRUE(closed.Wait());
            EXPECT_FALSE(f->lpCloseTransfer(orphan));
            ExpectMisuse("usb.transfer.stale", 1);
        }
        std::atomic<bool> returned = false;
        Seen seen{this, nullptr, &c, round != 1, strict, &returned};
        ASSERT_TRUE(f->lpRegisterNotificationRoutine(dev, Notify, &seen));
        seen.inFlight = Read(buf, sizeof(buf), &c);
        Status sync{0, USB_DEVICE_GONE_ERROR};
        std::thread reader([&] {
            uint8_t b[16];
            if (round == 0)
                sync = Retire(Read(b, sizeof(b)));  // blocks: the device has nothing
            returned = true;
        });
        std::this_thread::sleep_for(20ms);
        ASSERT_TRUE(bus->Unplug(id));
        reader.join();
        EXPECT_EQ(sync.error, USB_DEVICE_GONE_ERROR);
        EXPECT_EQ(seen.calls, 1);
        EXPECT_TRUE(c.Wait());
        inPipe = outPipe = nullptr;
        EXPECT_EQ(f->lpGetDeviceInfo(dev), nullptr) << "the device handle is dead";
        ExpectMisuse("usb.device.stale", 1);
        ExpectLeak("usb.transfer.unclosed", round == 1);
    }
}

// The device goes while a client's USBDeviceAttach runs: the removal waits
// for the attach to return before it releases the client's library.
UsbBulkDeviceTest* gTest;
std::thread gUnplug;
BOOL WINAPI AttachWhileUnplugged(USB_HANDLE, LPCUSB_FUNCS, LPCUSB_INTERFACE, LPCWSTR, LPBOOL accept,
                                 LPCUSB_DRIVER_SETTINGS, DWORD) {
    gUnplug = std::thread([] { gTest->bus->Unplug(2); });
    for (int i = 0; i < 1000 && gTest->bus->IsPlugged(2); i++)
        std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(cehost::LibraryRefCount("client.dll"), 1);
    return *accept = FALSE;
}

TEST_F(UsbBulkDeviceTest, LibraryStaysLoadedUntilAnInterruptedAttachReturns) {
    gTest = this;
    cehost::RegisterLibrary("client.dll", {{"USBDeviceAttach", &AttachWhileUnplugged}});
    cehost::RegWriteString(u"Drivers\\USB\\LoadClients\\Default\\Default\\Default\\Late", u"Dll",
                           u"client.dll");
    EXPECT_EQ(bus->Plug(std::make_shared<sim::BulkAdapterModel>(sim::BulkModelConfig{}, line)), 2u);
    gUnplug.join();
    EXPECT_FALSE(bus->IsPlugged(2));
    EXPECT_EQ(cehost::LibraryRefCount("client.dll"), 0);
}

}  // namespace
