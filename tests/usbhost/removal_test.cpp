// Removal: transfers in flight end with an error and their routines run,
// new issues fail, the notification routine runs on a host thread while the
// records are still valid, and whatever the client left open is counted.
#include <atomic>
#include <cstring>

#include "usb_fixture.h"

namespace {

using namespace usbtest;

// What the notification routine saw when it ran.
struct Seen {
    UsbBulkDeviceTest* test = nullptr;
    USB_TRANSFER inFlight = nullptr;
    Completion* completion = nullptr;
    std::atomic<int> calls{0};
    DWORD code = 0;
    std::thread::id thread;
    bool transferDone = false;
    DWORD transferError = 0;
    int routineCalls = -1;
    USHORT vendor = 0;
    bool issueRefused = false;
    bool closeInside = true;
};

class UsbRemovalTest : public UsbBulkDeviceTest {
  protected:
    static BOOL WINAPI Notify(LPVOID p, DWORD code, LPDWORD*, LPDWORD*, LPDWORD*, LPDWORD*) {
        Seen* s = static_cast<Seen*>(p);
        UsbBulkDeviceTest* t = s->test;
        LPCUSB_FUNCS f = cehost::UsbFunctions();
        s->code = code;
        s->thread = std::this_thread::get_id();
        if (s->inFlight) {
            s->transferDone = f->lpIsTransferComplete(s->inFlight);
            DWORD bytes = 0;
            f->lpGetTransferStatus(s->inFlight, &bytes, &s->transferError);
            s->routineCalls = s->completion->Calls();
            if (s->closeInside)
                f->lpCloseTransfer(s->inFlight);
        }
        LPCUSB_DEVICE info = f->lpGetDeviceInfo(t->dev);
        s->vendor = info ? info->Descriptor.idVendor : 0;
        uint8_t b[4];
        USB_TRANSFER late =
            f->lpIssueBulkTransfer(t->inPipe, nullptr, nullptr, USB_IN_TRANSFER, sizeof(b), b, 0);
        s->issueRefused = late == nullptr;
        f->lpClosePipe(t->inPipe);
        f->lpClosePipe(t->outPipe);
        s->calls++;
        return TRUE;
    }
};

TEST_F(UsbRemovalTest, InFlightTransfersFailBeforeTheClientHearsOfIt) {
    Seen seen;
    Completion c;
    seen.test = this;
    seen.completion = &c;
    ASSERT_TRUE(f->lpRegisterNotificationRoutine(dev, Notify, &seen));
    uint8_t buf[16];
    seen.inFlight = Read(buf, sizeof(buf), &c);
    ASSERT_NE(seen.inFlight, nullptr);

    ASSERT_TRUE(bus->Unplug(id));
    // Unplug returned after the routine did.
    EXPECT_EQ(seen.calls.load(), 1);
    EXPECT_EQ(seen.code, DWORD(USB_CLOSE_DEVICE));
    EXPECT_NE(seen.thread, std::this_thread::get_id());
    EXPECT_TRUE(seen.transferDone);
    EXPECT_EQ(seen.transferError, USB_DEVICE_GONE_ERROR);
    EXPECT_EQ(seen.routineCalls, 1);
    EXPECT_EQ(seen.vendor, 0x1209);  // records valid during the notification
    EXPECT_TRUE(seen.issueRefused);
    EXPECT_FALSE(bus->IsPlugged(id));
    inPipe = outPipe = nullptr;

    // After the notification the device handle is dead.
    EXPECT_EQ(f->lpGetDeviceInfo(dev), nullptr);
    ExpectMisuse("usb.device.stale", 1);
}

// Strict ordering: a removal ends transfers with a controller's codes, and
// a closed pipe takes its transfers' handles with it (their routines still
// run, late).
TEST_F(UsbRemovalTest, StrictOrderingEndsTransfersAndHandlesAsTheHostMay) {
    bus->SetStrictOrdering(true);
    Completion closed;
    uint8_t buf[16];
    USB_TRANSFER orphan = Read(buf, sizeof(buf), &closed);
    ASSERT_NE(orphan, nullptr);
    ASSERT_TRUE(f->lpClosePipe(inPipe));
    inPipe = OpenPipe(0x81);
    ASSERT_TRUE(closed.Wait());
    EXPECT_FALSE(f->lpCloseTransfer(orphan));
    ExpectMisuse("usb.transfer.stale", 1);

    Seen seen;
    Completion c;
    seen.test = this;
    seen.completion = &c;
    ASSERT_TRUE(f->lpRegisterNotificationRoutine(dev, Notify, &seen));
    seen.inFlight = Read(buf, sizeof(buf), &c);
    ASSERT_NE(seen.inFlight, nullptr);
    ASSERT_TRUE(bus->Unplug(id));
    inPipe = outPipe = nullptr;
    EXPECT_TRUE(seen.transferDone);
    EXPECT_TRUE(seen.transferError == USB_CANCELED_ERROR ||
                seen.transferError == USB_DEVICE_NOT_RESPONDING_ERROR)
        << seen.transferError;
    EXPECT_EQ(c.Calls(), 1);
}

TEST_F(UsbRemovalTest, TransferLeftOpenIsALeak) {
    Seen seen;
    Completion c;
    seen.test = this;
    seen.completion = &c;
    seen.closeInside = false;
    ASSERT_TRUE(f->lpRegisterNotificationRoutine(dev, Notify, &seen));
    uint8_t buf[16];
    seen.inFlight = Read(buf, sizeof(buf), &c);
    ASSERT_TRUE(bus->Unplug(id));
    inPipe = outPipe = nullptr;
    ExpectLeak("usb.transfer.unclosed", 1);
    // Its handle went with the device.
    EXPECT_FALSE(f->lpCloseTransfer(seen.inFlight));
    ExpectMisuse("usb.transfer.stale", 1);
}

// A client's thread blocked in a synchronous call comes back with an error;
// the client's notification waits for that thread, as a driver's teardown
// waits for its worker.
struct Blocked {
    std::mutex mu;
    std::condition_variable cv;
    bool closed = false;
    int notices = 0;
};

TEST_F(UsbRemovalTest, SynchronousCallBlockedOnTheDeviceReturnsWithAnError) {
    Blocked b;
    ASSERT_TRUE(f->lpRegisterNotificationRoutine(
        dev,
        [](LPVOID p, DWORD, LPDWORD*, LPDWORD*, LPDWORD*, LPDWORD*) -> BOOL {
            Blocked* b = static_cast<Blocked*>(p);
            std::unique_lock<std::mutex> lk(b->mu);
            b->cv.wait_for(lk, std::chrono::seconds(10), [&] { return b->closed; });
            b->notices++;
            return TRUE;
        },
        &b));
    Status s;
    std::thread reader([&] {
        uint8_t buf[16];
        USB_TRANSFER t = Read(buf, sizeof(buf));  // blocks: the device has nothing
        ASSERT_NE(t, nullptr);
        s = Retire(t);
        std::lock_guard<std::mutex> g(b.mu);
        b.closed = true;
        b.cv.notify_all();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(bus->Unplug(id));
    reader.join();
    EXPECT_EQ(s.error, USB_DEVICE_GONE_ERROR);
    EXPECT_EQ(b.notices, 1);
    inPipe = outPipe = nullptr;
}

TEST_F(UsbRemovalTest, UnplugAtTheNthCallOfAKind) {
    Seen seen;
    Completion c;
    seen.test = this;
    seen.completion = &c;
    ASSERT_TRUE(f->lpRegisterNotificationRoutine(dev, Notify, &seen));
    bus->UnplugAtCall(id, cehost::UsbCall::kIssueBulkTransfer, 2);
    uint8_t buf[16];
    seen.inFlight = Read(buf, sizeof(buf), &c);
    ASSERT_NE(seen.inFlight, nullptr);
    EXPECT_EQ(Write("ab", 2), nullptr);  // the second issue finds the device gone
    ASSERT_TRUE(bus->WaitUnplugged(id));
    EXPECT_EQ(seen.calls.load(), 1);
    EXPECT_EQ(seen.transferError, USB_DEVICE_GONE_ERROR);
    EXPECT_TRUE(line->TakeTransmitted().empty());
    inPipe = outPipe = nullptr;
}

TEST_F(UsbRemovalTest, ReplugEnumeratesTheSameModelAgain) {
    ASSERT_TRUE(f->lpClosePipe(inPipe));
    ASSERT_TRUE(f->lpClosePipe(outPipe));
    inPipe = outPipe = nullptr;
    USB_HANDLE old = dev;
    auto again = bus->Replug(id);
    ASSERT_NE(again, 0u);
    EXPECT_NE(again, id);
    EXPECT_FALSE(bus->IsPlugged(id));
    id = again;
    dev = bus->Handle(id);
    EXPECT_NE(dev, old);
    inPipe = OpenPipe(0x81);
    ASSERT_NE(inPipe, nullptr);
    outPipe = OpenPipe(0x02);
    line->Inject({7});
    uint8_t b[4];
    EXPECT_EQ(Retire(Read(b, sizeof(b))).bytes, 1u);
}

}  // namespace
