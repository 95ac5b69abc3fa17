// The function table on a plugged bulk-only adapter: completion, where bulk-IN
// transfers end, cancellation by abort and by closing, halts and the capture,
// the handle checks, and the faults the bus injects.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "usb_fixture.h"

namespace {

using namespace usbtest;
using namespace std::chrono_literals;

// A transfer with a routine completes on a host thread and calls it once.
// The routine runs where the bus does its own work: a synchronous transfer
// from it could never complete and is refused and counted, not left hanging.
TEST_F(UsbBulkDeviceTest, AsynchronousCompletion) {
    static UsbBulkDeviceTest* test;
    static USB_TRANSFER sync;
    test = this;
    uint8_t buf[64] = {};
    Completion c;
    auto routine = [](LPVOID p) -> DWORD {
        sync = test->Write("ab", 2);
        return Completion::Routine(p);
    };
    USB_TRANSFER t = f->lpIssueBulkTransfer(inPipe, routine, &c,
                                            USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK, 64, buf, 0);
    EXPECT_FALSE(f->lpIsTransferComplete(t));
    line->Inject({'o', 'k'});
    ASSERT_TRUE(c.Wait());
    EXPECT_NE(c.thread.load(), std::this_thread::get_id());
    EXPECT_EQ(sync, nullptr);
    ExpectMisuse("usb.sync.in.routine", 1);
    Status s = Retire(t);
    EXPECT_EQ(s.bytes, 2u);
    EXPECT_EQ(std::memcmp(buf, "ok", 2), 0);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(c.calls.load(), 1);
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
        if (c.error != USB_NO_ERROR) {
            EXPECT_TRUE(Halted(inPipe)) << "until ResetPipe";
            ASSERT_TRUE(f->lpResetPipe(inPipe));
        }
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
        EXPECT_EQ(c.calls.load(), 1);
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
            EXPECT_EQ(ClearHalt(0x81), USB_NO_ERROR);  // the device's toggle to DATA0 too
        }
        EXPECT_EQ(buf[0], 0);
        EXPECT_EQ(ReadAll(3), (std::vector<uint8_t>{1, 2, 3}));
        EXPECT_EQ(c.calls.load(), 1);
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

std::vector<std::string> Tshark(const std::string& path, const std::string& fields,
                                const std::string& filter) {
    FILE* p = popen(
        ("tshark -r '" + path + "' -T fields -e " + fields + " -Y '" + filter + "' 2>/dev/null")
            .c_str(),
        "r");
    std::vector<std::string> lines;
    char line[4096];
    while (p && fgets(line, sizeof line, p))
        lines.emplace_back(line, strcspn(line, "\n"));
    if (p)
        pclose(p);
    return lines;
}

// A halt has two sides: the device's stall, cleared by
// CLEAR_FEATURE(ENDPOINT_HALT), and the host's, cleared by ResetPipe. The
// pipe moves data again only once both are; until then nothing reaches the
// line.
// The traffic log reads back in tshark as a usbmon capture: the enumeration
// at its head (kept when the log is cleared) names the device, payloads are
// captured data, a stall completes with -EPIPE, a zero-length packet is a
// packet.
TEST_F(UsbBulkDeviceTest, HaltNeedsClearFeatureAndResetPipeAndTheCaptureShowsIt) {
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
    EXPECT_TRUE(Halted(outPipe)) << "the host's side stays halted";
    EXPECT_EQ(Retire(Write("x", 1)).error, USB_STALL_ERROR);
    ASSERT_TRUE(f->lpResetPipe(outPipe));
    EXPECT_FALSE(Halted(outPipe));
    EXPECT_EQ(Retire(Write(nullptr, 0)).error, USB_NO_ERROR);
    EXPECT_EQ(line->TakeTransmitted(), (std::vector<uint8_t>{'h', 'i'}));
    const std::string path = ::testing::TempDir() + "usbhost_" + std::to_string(getpid()) + ".pcap";
    ASSERT_TRUE(bus->WritePcap(path));
    EXPECT_EQ(Tshark(path, "usb.idVendor -e usb.idProduct", "usb.idVendor"),
              std::vector<std::string>{"0x1209\t0x5e01"});
    EXPECT_EQ(Tshark(path, "usb.urb_type -e usb.urb_status -e usb.urb_len -e usb.capdata",
                     "usb.endpoint_address == 0x02"),
              (std::vector<std::string>{"'S'\t-115\t2\t6869", "'C'\t0\t2\t", "'S'\t-115\t1\t78",
                                        "'C'\t-32\t0\t", "'S'\t-115\t1\t78", "'C'\t-32\t0\t",
                                        "'S'\t-115\t1\t78", "'C'\t-32\t0\t", "'S'\t-115\t0\t",
                                        "'C'\t0\t0\t"}));
    std::remove(path.c_str());
}

// Data toggles: after a packet each way both sides are at DATA1. Resetting
// one side only puts them out of step: the next packet is acknowledged and
// dropped by its receiver, and the one after it goes through.
TEST_F(UsbBulkDeviceTest, ToggleOutOfStepDropsOnePacket) {
    const struct {
        const char* name;
        bool resetHost, clearDevice, in;
        std::vector<uint8_t> arrived;
    } cases[] = {
        {"host reset only, OUT", true, false, false, {'b'}},
        {"device cleared only, OUT", false, true, false, {'b'}},
        {"both, OUT", true, true, false, {'a', 'b'}},
        {"host reset only, IN", true, false, true, {'b'}},
        {"both, IN", true, true, true, {'a', 'b'}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t buf[8];
        line->Inject({0});
        ASSERT_EQ(Retire(Read(buf, sizeof(buf))).bytes, 1u);
        ASSERT_EQ(Retire(Write("0", 1)).bytes, 1u);
        line->TakeTransmitted();
        if (c.clearDevice) {
            EXPECT_EQ(ClearHalt(c.in ? 0x81 : 0x02), USB_NO_ERROR);
        }
        if (c.resetHost) {
            ASSERT_TRUE(f->lpResetPipe(c.in ? inPipe : outPipe));
        }
        std::vector<uint8_t> arrived;
        if (c.in) {
            // Two reads wait; each byte is taken by the device before the next.
            Completion c1, c2;
            uint8_t b1[8] = {}, b2[8] = {};
            USB_TRANSFER r1 = Read(b1, sizeof(b1), &c1), r2 = Read(b2, sizeof(b2), &c2);
            for (uint8_t ch : {'a', 'b'}) {
                line->Inject({ch});
                for (int i = 0; i < 500 && model->Pending(); i++)
                    std::this_thread::sleep_for(1ms);
            }
            ASSERT_TRUE(c1.Wait());
            EXPECT_TRUE(f->lpAbortTransfer(r2, 0));
            for (auto [t, b] : {std::pair{r1, b1}, std::pair{r2, b2}})
                arrived.insert(arrived.end(), b, b + Retire(t).bytes);
        } else {
            for (uint8_t ch : {'a', 'b'})
                EXPECT_EQ(Retire(Write(&ch, 1)).error, USB_NO_ERROR);
            arrived = line->TakeTransmitted();
        }
        EXPECT_EQ(arrived, c.arrived);
        // Both pipes back to DATA0 for the next case.
        for (auto [p, ep] : {std::pair{inPipe, 0x81}, std::pair{outPipe, 0x02}}) {
            ASSERT_TRUE(f->lpResetPipe(p));
            EXPECT_EQ(ClearHalt(uint8_t(ep)), USB_NO_ERROR);
        }
    }
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
    // The error halted its pipe (never the default pipe) until ResetPipe.
    EXPECT_TRUE(Halted(inPipe));
    EXPECT_FALSE(Halted(outPipe));
    EXPECT_EQ(Retire(Read(b, sizeof(b))).error, USB_STALL_ERROR);
    ASSERT_TRUE(f->lpResetPipe(inPipe));
    bus->CompleteWithError(id, {0, USB_REQUEST_GET_DESCRIPTOR}, USB_STALL_ERROR);
    EXPECT_EQ(Retire(f->lpGetDescriptor(dev, nullptr, nullptr, 0, USB_STRING_DESCRIPTOR_TYPE, 1,
                                        0x0409, sizeof(b), b))
                  .error,
              USB_STALL_ERROR);
    EXPECT_EQ(Retire(f->lpGetDescriptor(dev, nullptr, nullptr, 0, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0,
                                        sizeof(b), b))
                  .error,
              USB_NO_ERROR);
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
            EXPECT_EQ(ClearHalt(0x81), USB_NO_ERROR);  // the device's toggle to DATA0 too
        }
        ASSERT_TRUE(c1.Wait());
        Status s = Retire(t1);
        EXPECT_EQ(s.bytes, 3u);
        EXPECT_EQ(s.error, USB_NO_ERROR);
        EXPECT_EQ(a[2], 3);
    }
}

}  // namespace
