// The function table on a plugged bulk-only adapter: completion, where bulk
// transfers end, cancellation by abort and by closing, halts, the handle
// checks, and the faults the bus injects.
#include <cstring>

#include "usb_fixture.h"

namespace {

using namespace usbtest;
using namespace std::chrono_literals;

TEST_F(UsbBulkDeviceTest, SynchronousAndAsynchronousCompletion) {
    uint8_t buf[128] = {};
    USB_TRANSFER t = f->lpGetDescriptor(dev, nullptr, nullptr, 0, USB_STRING_DESCRIPTOR_TYPE, 2,
                                        0x0409, sizeof(buf), buf);
    EXPECT_TRUE(f->lpIsTransferComplete(t)) << "complete on return, no routine";
    Status s = Retire(t);
    EXPECT_EQ(s.error, USB_NO_ERROR);
    EXPECT_EQ(s.bytes, buf[0]);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(buf + 2), (buf[0] - 2) / 2),
              u"Bulk serial adapter");
    t = f->lpGetDescriptor(dev, nullptr, nullptr, 0, USB_STRING_DESCRIPTOR_TYPE, 9, 0x0409, 2, buf);
    EXPECT_TRUE(f->lpGetTransferStatus(t, &s.bytes, nullptr)) << "error pointer may be null";
    EXPECT_EQ(Retire(t).error, USB_STALL_ERROR) << "no such string";
    Completion c;
    t = Read(buf, 64, &c);
    EXPECT_FALSE(f->lpIsTransferComplete(t));
    line->Inject({'o', 'k'});
    ASSERT_TRUE(c.Wait());
    EXPECT_NE(c.thread, std::this_thread::get_id());
    s = Retire(t);
    EXPECT_EQ(s.bytes, 2u);
    EXPECT_EQ(std::memcmp(buf, "ok", 2), 0);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(c.Calls(), 1);
}

// A completion routine runs where the bus does its own work: it may close
// its own transfer and issue asynchronously, but a synchronous transfer
// from it could never complete and is refused, not left hanging.
TEST_F(UsbBulkDeviceTest, RoutineMayCloseAndIssueButNotWaitForATransfer) {
    static struct Context {
        UsbBulkDeviceTest* test;
        USB_TRANSFER self, sync, async;
        BOOL closed;
        Completion asyncDone, done;
    } ctx;
    ctx.test = this;
    static uint8_t buf[64];
    auto routine = [](LPVOID p) -> DWORD {
        auto* c = static_cast<Context*>(p);
        c->sync = c->test->Write("ab", 2);
        c->async = c->test->Write("ab", 2, &c->asyncDone);
        c->closed = c->test->f->lpCloseTransfer(c->self);
        return Completion::Routine(&c->done);
    };
    ctx.self = f->lpIssueBulkTransfer(inPipe, routine, &ctx,
                                      USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK, sizeof(buf), buf, 0);
    line->Inject({'x'});
    ASSERT_TRUE(ctx.done.Wait());
    EXPECT_EQ(ctx.sync, nullptr);
    ExpectMisuse("usb.sync.in.routine", 1);
    EXPECT_TRUE(ctx.closed);
    ASSERT_TRUE(ctx.asyncDone.Wait());
    EXPECT_EQ(Retire(ctx.async).bytes, 2u);
    EXPECT_EQ(line->TakeTransmitted(), (std::vector<uint8_t>{'a', 'b'}));
}

// A bulk-IN transfer ends on a short packet or a full buffer, never on a
// full-size packet alone; a packet past the buffer is babble.
TEST_F(UsbBulkDeviceTest, WhereBulkTransfersEnd) {
    const struct {
        size_t injected;
        DWORD buffer, bytes;
        size_t left;  // still in the device after the transfer
        DWORD error;
    } cases[] = {
        {10, 256, 10, 0, USB_NO_ERROR},
        {150, 256, 150, 0, USB_NO_ERROR},
        {300, 256, 256, 44, USB_NO_ERROR},
        {100, 80, 80, 0, USB_DATA_OVERRUN_ERROR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.injected);
        std::vector<uint8_t> buf(c.buffer);
        auto data = Pattern(c.injected);
        line->Inject(data);
        Status s = Retire(Read(buf.data(), c.buffer));
        EXPECT_EQ(s.error, c.error);
        EXPECT_EQ(s.bytes, c.bytes);
        EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + s.bytes, data.begin()));
        EXPECT_EQ(model->Pending(), c.left);
        ReadAll(c.left);
    }
    Completion c;
    std::vector<uint8_t> buf(256);
    line->Inject(Pattern(64));
    USB_TRANSFER t = Read(buf.data(), 256, &c);
    for (int i = 0; i < 50 && model->Pending() > 0; i++)
        std::this_thread::sleep_for(2ms);
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(f->lpIsTransferComplete(t)) << "ended on a full packet";
    line->Inject({0x55});
    ASSERT_TRUE(c.Wait());
    EXPECT_EQ(Retire(t).bytes, 65u);
    // Writes: whole, and a zero-length packet is a real packet.
    auto data = Pattern(200);
    EXPECT_EQ(Retire(Write(data.data(), 200)).bytes, 200u);
    EXPECT_EQ(line->TakeTransmitted(), data);
    EXPECT_EQ(Retire(Write(nullptr, 0)).error, USB_NO_ERROR);
    EXPECT_EQ(model->ZeroLengthPacketsOut(), 1u);
}

// Abort, ClosePipe and CloseTransfer end a transfer in flight as cancelled:
// its routine has run once when they return, and data that comes later
// stays in the device for the next transfer. After ClosePipe the transfer's
// handle stays valid; the pipe's is gone.
TEST_F(UsbBulkDeviceTest, CancellationEndsATransferInFlight) {
    enum { kAbort, kClosePipe, kCloseTransfer };
    for (int how : {kAbort, kClosePipe, kCloseTransfer}) {
        SCOPED_TRACE(how);
        Completion c;
        uint8_t buf[64] = {};
        USB_TRANSFER t = Read(buf, sizeof(buf), &c);
        if (how == kAbort) {
            EXPECT_TRUE(f->lpAbortTransfer(t, 0));
            EXPECT_TRUE(f->lpAbortTransfer(t, 0)) << "aborting a finished transfer changes nothing";
        } else if (how == kClosePipe) {
            EXPECT_TRUE(f->lpClosePipe(inPipe));
        } else {
            EXPECT_TRUE(f->lpCloseTransfer(t));
        }
        EXPECT_EQ(c.Calls(), 1);
        line->Inject({1, 2, 3});
        if (how != kCloseTransfer) {
            Status s = Retire(t);
            EXPECT_EQ(s.error, USB_CANCELED_ERROR);
            EXPECT_EQ(s.bytes, 0u);
        }
        if (how == kClosePipe) {
            EXPECT_EQ(Read(buf, sizeof(buf)), nullptr);
            ExpectMisuse("usb.pipe.stale", 1);
            inPipe = OpenPipe(0x81);
        }
        EXPECT_EQ(buf[0], 0);
        EXPECT_EQ(ReadAll(3), (std::vector<uint8_t>{1, 2, 3}));
        EXPECT_EQ(c.Calls(), 1);
    }
}

// Each use of a released handle fails and is counted once; null handles
// fail quietly (a client whose OpenPipe failed passes 0 on).
TEST_F(UsbBulkDeviceTest, ReleasedHandlesAreRefusedAndCounted) {
    USB_TRANSFER t = Write("x", 1);
    ASSERT_TRUE(f->lpCloseTransfer(t));
    DWORD bytes, error;
    BOOL halted;
    EXPECT_FALSE(f->lpCloseTransfer(t));
    EXPECT_FALSE(f->lpIsTransferComplete(t));
    EXPECT_FALSE(f->lpGetTransferStatus(t, &bytes, &error));
    EXPECT_FALSE(f->lpAbortTransfer(t, 0));
    ExpectMisuse("usb.transfer.stale", 4);
    ASSERT_TRUE(f->lpClosePipe(outPipe));
    EXPECT_FALSE(f->lpClosePipe(outPipe));
    EXPECT_FALSE(f->lpIsPipeHalted(outPipe, &halted));
    EXPECT_FALSE(f->lpResetPipe(outPipe));
    outPipe = nullptr;
    ExpectMisuse("usb.pipe.stale", 3);
    EXPECT_FALSE(f->lpCloseTransfer(nullptr));
    EXPECT_EQ(f->lpIssueBulkTransfer(nullptr, nullptr, nullptr, 0, 1, &bytes, 0), nullptr);
    EXPECT_EQ(f->lpGetDeviceInfo(nullptr), nullptr);
    // Direction against the pipe, a missing buffer, an endpoint not there.
    EXPECT_EQ(f->lpIssueBulkTransfer(inPipe, nullptr, nullptr, USB_OUT_TRANSFER, 4, &bytes, 0),
              nullptr);
    EXPECT_EQ(Read(nullptr, 8), nullptr);
    EXPECT_EQ(OpenPipe(0x85), nullptr);
}

// A device's stall halts the pipe: every transfer fails until
// CLEAR_FEATURE(ENDPOINT_HALT); resetting the host side alone does not help.
TEST_F(UsbBulkDeviceTest, StallHaltsThePipeUntilClearFeature) {
    uint8_t buf[8];
    bus->Stall(id, 0x81);
    line->Inject({1});
    EXPECT_EQ(Retire(Read(buf, sizeof(buf))).error, USB_STALL_ERROR);
    EXPECT_TRUE(Halted(inPipe));
    EXPECT_FALSE(Halted(outPipe));
    ASSERT_TRUE(f->lpResetPipe(inPipe));
    EXPECT_EQ(Retire(Read(buf, sizeof(buf))).error, USB_STALL_ERROR);
    EXPECT_EQ(Retire(f->lpClearFeature(dev, nullptr, nullptr, USB_SEND_TO_ENDPOINT,
                                       USB_FEATURE_ENDPOINT_HALT, 0x81))
                  .error,
              USB_NO_ERROR);
    EXPECT_FALSE(Halted(inPipe));
    EXPECT_EQ(Retire(Read(buf, sizeof(buf))).bytes, 1u);
    USB_DEVICE_REQUEST r{0xC0, 0x05, 0, 0, 2};
    EXPECT_EQ(Retire(f->lpIssueVendorTransfer(dev, nullptr, nullptr, 0, &r, buf, 0)).error,
              USB_STALL_ERROR)
        << "a model without a control protocol";
}

// The faults the bus injects for the driver's tests, one kind at a time.
TEST_F(UsbBulkDeviceTest, InjectedFaults) {
    using cehost::UsbDataFault;
    uint8_t b[32];
    bus->FailIssues(id, {0x02}, 1);
    EXPECT_EQ(Write("a", 1), nullptr);
    bus->CompleteWithError(id, {0x81}, USB_CRC_ERROR);
    line->Inject({1, 2, 3});
    EXPECT_EQ(Retire(Read(b, sizeof(b))).error, USB_CRC_ERROR);
    EXPECT_EQ(model->Pending(), 3u) << "the device was never asked";
    bus->CompleteWithError(id, {0, USB_REQUEST_GET_DESCRIPTOR}, USB_STALL_ERROR);
    EXPECT_EQ(Retire(f->lpGetDescriptor(dev, nullptr, nullptr, 0, USB_STRING_DESCRIPTOR_TYPE, 1,
                                        0x0409, sizeof(b), b))
                  .error,
              USB_STALL_ERROR);
    ReadAll(3);
    line->Inject(Pattern(20));
    const struct {
        UsbDataFault kind;
        DWORD bytes, error;
    } data[] = {{UsbDataFault::kShort, 10, USB_NO_ERROR},
                {UsbDataFault::kEmpty, 0, USB_NO_ERROR},
                {UsbDataFault::kOversized, 32, USB_DATA_OVERRUN_ERROR}};
    for (const auto& d : data) {
        bus->CorruptData(id, {0x81}, d.kind);
        Status s = Retire(Read(b, sizeof(b)));
        EXPECT_EQ(s.bytes, d.bytes);
        EXPECT_EQ(s.error, d.error);
    }
    EXPECT_EQ(model->Pending(), 0u);
    bus->FailTransferStatus(id, {0x02});
    USB_TRANSFER t = Write("q", 1);
    EXPECT_FALSE(f->lpGetTransferStatus(t, nullptr, nullptr));
    EXPECT_EQ(Retire(t).bytes, 1u) << "once";
    // A transfer that never completes blocks its pipe until aborted.
    bus->NeverComplete(id, {0x02});
    Completion c1, c2;
    USB_TRANSFER t1 = Write("one", 3, &c1), t2 = Write("two", 3, &c2);
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(f->lpIsTransferComplete(t2));
    EXPECT_TRUE(f->lpAbortTransfer(t1, 0));
    ASSERT_TRUE(c2.Wait());
    EXPECT_EQ(Retire(t1).error, USB_CANCELED_ERROR);
    EXPECT_EQ(Retire(t2).bytes, 3u);
    EXPECT_EQ(line->TakeTransmitted(), (std::vector<uint8_t>{'q', 't', 'w', 'o'}));
}

// Out of order: a transfer's completion is held until the next one on its
// pipe is done, or reported when it is aborted or its pipe closes.
TEST_F(UsbBulkDeviceTest, OutOfOrderCompletion) {
    for (int end = 0; end < 3; ++end) {
        bus->CompleteOutOfOrder(id, {0x81});
        Completion c1, c2;
        uint8_t a[16] = {}, b[16] = {};
        USB_TRANSFER t1 = Read(a, sizeof(a), &c1);
        USB_TRANSFER t2 = end == 0 ? Read(b, sizeof(b), &c2) : nullptr;
        line->Inject({1, 2, 3});
        for (int i = 0; i < 100 && model->Pending(); i++)
            std::this_thread::sleep_for(2ms);
        std::this_thread::sleep_for(20ms);
        EXPECT_FALSE(f->lpIsTransferComplete(t1)) << end;
        if (end == 0) {
            line->Inject({4});
            ASSERT_TRUE(c2.Wait());
            EXPECT_EQ(Retire(t2).bytes, 1u);
        } else if (end == 1) {
            EXPECT_TRUE(f->lpAbortTransfer(t1, 0));
        } else {
            EXPECT_TRUE(f->lpClosePipe(inPipe));
            inPipe = OpenPipe(0x81);
        }
        ASSERT_TRUE(c1.Wait());
        Status s = Retire(t1);
        EXPECT_EQ(s.bytes, 3u);
        EXPECT_EQ(s.error, USB_NO_ERROR);
        EXPECT_EQ(a[2], 3);
    }
}

}  // namespace
