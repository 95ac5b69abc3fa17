// The function table on a plugged bulk-only adapter: completion, where bulk-IN
// transfers end, how a transfer in flight or held back ends, halts, data
// toggles and the capture, the handle checks, and the faults the bus injects.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "usb_fixture.h"

namespace {

using namespace usbtest;

// A bulk-IN transfer ends on a short packet or a full buffer (never on a
// full-size packet alone: HaltsTogglesAndTheCapture); a packet past the
// buffer is babble and halts.
TEST_F(UsbBulkDeviceTest, WhereBulkTransfersEnd) {
    const struct {
        size_t injected;
        DWORD buffer, bytes;
        size_t left;  // still in the device after the transfer
        DWORD error;
    } cases[] = {
        {150, 256, 150, 0, USB_NO_ERROR},
        {300, 256, 256, 44, USB_NO_ERROR},
        {100, 80, 80, 0, USB_DATA_OVERRUN_ERROR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.injected);
        std::vector<uint8_t> buf(c.buffer);
        auto data = Pattern(c.injected);
        line->Inject(data);
        EXPECT_EQ(Retire(Read(buf.data(), c.buffer)), (Status{c.bytes, c.error}));
        EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + c.bytes, data.begin()));
        EXPECT_EQ(model->Pending(), c.left);
        if (c.error != USB_NO_ERROR) {
            EXPECT_TRUE(Halted(inPipe)) << "until ResetPipe";
            ASSERT_TRUE(f->lpResetPipe(inPipe));
        }
        ReadAll(c.left);
    }
}

// Abort, ClosePipe and CloseTransfer end a transfer in flight as cancelled;
// one whose completion the controller holds back (out of order, until the
// next on its pipe is done) is reported as it ended, by those calls or by
// the next transfer. Either way its routine has run once when the call
// returns, and data that comes later stays in the device for the next
// transfer. After ClosePipe the transfer's handle stays valid; the pipe's is
// gone. The routine runs on a host thread, where the bus does its own work:
// a synchronous transfer from it could never complete and is refused and
// counted, not left hanging.
TEST_F(UsbBulkDeviceTest, EndingATransferInFlightOrHeldBack) {
    static UsbBulkDeviceTest* test;
    test = this;
    auto routine = [](LPVOID p) -> DWORD {
        EXPECT_EQ(test->Write("ab", 2), nullptr);
        return Completion::Routine(p);
    };
    enum How { kAbort, kClosePipe, kCloseTransfer, kNext };
    const struct {
        How how;
        bool held;
    } cases[] = {{kAbort, false}, {kClosePipe, false}, {kCloseTransfer, false},
                 {kAbort, true},  {kClosePipe, true},  {kNext, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how + 10 * c.held);
        Completion done, next;
        uint8_t buf[64] = {}, other[64] = {};
        if (c.held)
            bus->CompleteOutOfOrder(id, {0x81});
        USB_TRANSFER t = Read(buf, sizeof(buf), &done, routine);
        USB_TRANSFER t2 = c.how == kNext ? Read(other, sizeof(other), &next) : nullptr;
        if (c.held) {
            line->Inject({1, 2, 3});
            Drain();
            EXPECT_FALSE(f->lpIsTransferComplete(t));
        }
        if (c.how == kAbort) {
            EXPECT_TRUE(f->lpAbortTransfer(t, 0));
            EXPECT_TRUE(f->lpAbortTransfer(t, 0)) << "aborting a finished transfer changes nothing";
        } else if (c.how == kClosePipe) {
            EXPECT_TRUE(f->lpClosePipe(inPipe));
        } else if (c.how == kCloseTransfer) {
            EXPECT_TRUE(f->lpCloseTransfer(t));
        } else {
            line->Inject({4});
            ASSERT_TRUE(next.Wait());
            EXPECT_EQ(Retire(t2).bytes, 1u);
            ASSERT_TRUE(done.Wait());
        }
        EXPECT_EQ(done.calls.load(), 1) << "once the call returned";
        ExpectMisuse("usb.sync.in.routine", 1);
        if (c.how != kCloseTransfer) {
            EXPECT_EQ(Retire(t),
                      (c.held ? Status{3, USB_NO_ERROR} : Status{0, USB_CANCELED_ERROR}));
        }
        if (c.how == kClosePipe) {
            EXPECT_EQ(Read(buf, sizeof(buf)), nullptr);
            ExpectMisuse("usb.pipe.stale", 1);
            inPipe = OpenPipe(0x81);
            EXPECT_EQ(ClearHalt(0x81), USB_NO_ERROR);  // the device's toggle too
        }
        line->Inject({5, 6});
        EXPECT_EQ(ReadAll(2), (std::vector<uint8_t>{5, 6}));
        EXPECT_EQ(buf[0], c.held ? 1 : 0);
        EXPECT_EQ(done.calls.load(), 1);
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
    // Direction against the pipe, a missing buffer, an endpoint not there.
    EXPECT_EQ(f->lpIssueBulkTransfer(inPipe, nullptr, nullptr, USB_OUT_TRANSFER, 4, &bytes, 0),
              nullptr);
    EXPECT_EQ(Read(nullptr, 8), nullptr);
    EXPECT_EQ(OpenPipe(0x85), nullptr);
}

// A halt has two sides: the device's stall, cleared by
// CLEAR_FEATURE(ENDPOINT_HALT), and the host's, cleared by ResetPipe (each
// resets its side's data toggle). The pipe moves data again only once both
// are; until then nothing reaches the line. The traffic log reads back in
// tshark as a usbmon capture: a stall completes with -EPIPE, a zero-length
// packet is a packet.
TEST_F(UsbBulkDeviceTest, HaltsTogglesAndTheCapture) {
    // tshark is part of the test setup; without it this must fail, not skip.
    ASSERT_EQ(system("command -v tshark >/dev/null 2>&1"), 0) << "tshark is not installed";
    bus->ClearLog();
    EXPECT_EQ(Retire(Write("hi", 2)).bytes, 2u);
    bus->Stall(id, 0x02);
    EXPECT_EQ(Retire(Write("x", 1)).error, USB_STALL_ERROR);
    EXPECT_TRUE(Halted(outPipe));
    EXPECT_FALSE(Halted(inPipe));
    ASSERT_TRUE(f->lpResetPipe(outPipe));
    EXPECT_EQ(Retire(Write("x", 1)).error, USB_STALL_ERROR);
    EXPECT_EQ(ClearHalt(0x02), USB_NO_ERROR);
    EXPECT_EQ(Retire(Write("x", 1)).error, USB_STALL_ERROR);
    ASSERT_TRUE(f->lpResetPipe(outPipe));
    EXPECT_EQ(Retire(Write(nullptr, 0)).error, USB_NO_ERROR);
    EXPECT_EQ(line->TakeTransmitted(), (std::vector<uint8_t>{'h', 'i'}));
    const std::string path = ::testing::TempDir() + "usbhost_" + std::to_string(getpid()) + ".pcap";
    ASSERT_TRUE(bus->WritePcap(path));
    auto tshark = [&](const std::string& args) {
        std::vector<std::string> lines;
        FILE* p =
            popen(("tshark -r '" + path + "' -T fields " + args + " 2>/dev/null").c_str(), "r");
        for (char text[4096]; p && fgets(text, sizeof text, p);)
            lines.emplace_back(text, strcspn(text, "\n"));
        if (p)
            pclose(p);
        return lines;
    };
    std::vector<std::string> want = {"'S'\t-115\t2\t6869", "'C'\t0\t2\t"};
    for (int i = 0; i < 3; i++)
        want.insert(want.end(), {"'S'\t-115\t1\t78", "'C'\t-32\t0\t"});
    want.insert(want.end(), {"'S'\t-115\t0\t", "'C'\t0\t0\t"});
    EXPECT_EQ(tshark("-e usb.urb_type -e usb.urb_status -e usb.urb_len -e usb.capdata "
                     "-Y 'usb.endpoint_address == 0x02'"),
              want);
    std::remove(path.c_str());
    // Both sides are at DATA1 now. Resetting one side only puts them out of
    // step: the next packet is acknowledged and dropped by its receiver, and
    // the one after it goes through.
    for (bool host : {false, true}) {
        if (host)
            ASSERT_TRUE(f->lpResetPipe(outPipe));
        else
            EXPECT_EQ(ClearHalt(0x02), USB_NO_ERROR);
        for (uint8_t ch : {'a', 'b'})
            EXPECT_EQ(Retire(Write(&ch, 1)).error, USB_NO_ERROR);
        EXPECT_EQ(line->TakeTransmitted(), (std::vector<uint8_t>{'b'})) << host;
    }
    // The same on a read; and the full packet that comes next does not end
    // it: the short one after it does.
    uint8_t buf[256];
    line->Inject({0});
    ASSERT_EQ(Retire(Read(buf, sizeof(buf))).bytes, 1u);
    ASSERT_TRUE(f->lpResetPipe(inPipe));
    Completion done;
    USB_TRANSFER t = Read(buf, sizeof(buf), &done);
    for (const auto& bytes : {std::vector<uint8_t>{'a'}, Pattern(64)}) {
        line->Inject(bytes);
        Drain();  // taken by the device before the next bytes come
    }
    EXPECT_FALSE(f->lpIsTransferComplete(t));
    line->Inject({0x55});
    ASSERT_TRUE(done.Wait());
    EXPECT_EQ(Retire(t).bytes, 65u);
    EXPECT_EQ(buf[0], 1) << "the dropped packet is not in the buffer";
}

// The faults the bus injects for the driver's tests, one kind at a time.
TEST_F(UsbBulkDeviceTest, InjectedFaults) {
    uint8_t b[32];
    line->Inject(Pattern(20));
    const struct {
        cehost::UsbDataFault kind;
        DWORD bytes, error;
    } data[] = {{cehost::UsbDataFault::kShort, 10, USB_NO_ERROR},
                {cehost::UsbDataFault::kEmpty, 0, USB_NO_ERROR},
                {cehost::UsbDataFault::kOversized, 32, USB_DATA_OVERRUN_ERROR}};
    for (const auto& d : data) {
        bus->CorruptData(id, {0x81}, d.kind);
        EXPECT_EQ(Retire(Read(b, sizeof(b))), (Status{d.bytes, d.error}));
    }
    EXPECT_EQ(model->Pending(), 0u);
    // A transfer that never completes ends when aborted; the next one on its
    // pipe then goes.
    bus->NeverComplete(id, {0x02});
    Completion c1, c2;
    USB_TRANSFER t1 = Write("one", 3, &c1), t2 = Write("two", 3, &c2);
    EXPECT_TRUE(f->lpAbortTransfer(t1, 0));
    ASSERT_TRUE(c2.Wait());
    EXPECT_EQ(Retire(t1).error, USB_CANCELED_ERROR);
    EXPECT_EQ(Retire(t2).bytes, 3u);
    EXPECT_EQ(line->TakeTransmitted(), (std::vector<uint8_t>{'t', 'w', 'o'}));
}

}  // namespace
