// The receive pipeline driven step by step on an idle port: ring storage
// across the wrap, space reservation, issue-order delivery, XON/XOFF
// filtering, and input flow control at the fill thresholds.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "harness.h"

namespace drvtest {
namespace {

std::vector<BYTE> Bytes(const std::string& s) {
    return std::vector<BYTE>(s.begin(), s.end());
}

class CoreReceiveTest : public CoreTest {};

// ---- Ring storage ---------------------------------------------------------

struct PlainCopyCase {
    const char* name;
    LONG head, tail;  // ring of 16 bytes
    LONG length;      // block length
    LONG storedHead;  // ringHead afterwards
    LONG stored;      // bytes that fit
};

TEST_F(CoreReceiveTest, PlainCopyAcrossTheWrap) {
    const PlainCopyCase cases[] = {
        {"fits before the end", 2, 16, 5, 7, 5},
        {"ends exactly at the end", 10, 5, 6, 0, 6},
        {"wraps to the start", 12, 10, 6, 2, 6},
        {"clipped to free space", 4, 8, 10, 7, 3},
        {"full ring stores nothing", 7, 8, 4, 7, 0},
        {"empty ring holds size-1", 0, 16, 20, 15, 15},
        {"clipped across the wrap", 12, 5, 10, 4, 8},
    };
    SerialPort* port = NewPort(16, 2);  // transfers of 2 bytes keep the 16-byte ring
    StartIdle(port);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetRing(port, c.head, c.tail);
        std::vector<BYTE> before = Held(port);
        std::vector<BYTE> block(c.length);
        for (LONG i = 0; i < c.length; ++i)
            block[i] = static_cast<BYTE>(0xA0 + i);
        EXPECT_TRUE(DeliverReceived(port, block.data(), block.size()));
        EXPECT_EQ(port->ringHead, c.storedHead);
        EXPECT_EQ(Signalled(port->readEvent), c.stored > 0) << "readers woken for stored bytes";
        std::vector<BYTE> expected = before;
        expected.insert(expected.end(), block.begin(), block.begin() + c.stored);
        EXPECT_EQ(Held(port), expected);
    }
    Finish(port);
}

// Emptied wherever its head stands (the wrap point included), the ring then
// takes ringSize - 1 bytes one at a time (the filtered path's store) and
// gives them back in order.
TEST_F(CoreReceiveTest, EmptiedRingHoldsSizeLessOne) {
    SerialPort* port = NewPort(16, 2);
    StartIdle(port);
    for (const LONG head : {0, 7}) {
        SCOPED_TRACE(head);
        SetRing(port, head, 5);
        RingDiscard(port);
        EXPECT_EQ(RingHeld(port), 0);
        BYTE block[20];
        RingWriter writer(port);
        DWORD stored = 0;
        for (BYTE i = 0; i < sizeof block; ++i) {
            block[i] = static_cast<BYTE>(0xB0 + i);
            stored += writer.Put(block[i]) ? 1 : 0;
        }
        writer.Publish();
        EXPECT_EQ(stored, 15u);
        BYTE out[20] = {};
        ASSERT_EQ(RingTake(port, out, sizeof out), 15u);
        EXPECT_EQ(std::vector<BYTE>(out, out + 15), std::vector<BYTE>(block, block + 15));
    }
    Finish(port);
}

// ---- XON/XOFF filtering -----------------------------------------------------

struct FilterCase {
    const char* name;
    BYTE xon, xoff;
    std::vector<BYTE> block;
    LONG freeBytes;  // free space before the block (ring of 16)
    LONG heldBefore;
    std::vector<BYTE> stored;
    LONG outputHeld;  // afterwards
    bool writeWoken;
};

TEST_F(CoreReceiveTest, XonXoffFiltering) {
    const FilterCase cases[] = {
        {"flow characters removed, XON last",
         0x11,
         0x13,
         {0x41, 0x13, 0x42, 0x11, 0x43},
         15,
         1,
         {0x41, 0x42, 0x43},
         0,
         true},
        {"XON then XOFF leaves output held", 0x11, 0x13, {0x11, 0x13}, 15, 0, {}, 1, true},
        {"equal characters count as XOFF", 0x11, 0x11, {0x41, 0x11}, 15, 0, {0x41}, 1, true},
        {"characters above 0x7F", 0x91, 0x93, {0x93, 0x80, 0xFF}, 15, 0, {0x80, 0xFF}, 1, true},
        {"no flow character keeps the state",
         0x11,
         0x13,
         {0x01, 0x02},
         15,
         1,
         {0x01, 0x02},
         1,
         false},
        {"XOFF in a dropped tail still counts",
         0x11,
         0x13,
         {0x01, 0x02, 0x03, 0x13},
         2,
         0,
         {0x01, 0x02},
         1,
         true},
        {"full ring, only flow characters matter", 0x11, 0x13, {0x05, 0x11}, 0, 1, {}, 0, true},
    };
    SerialPort* port = NewPort(16, 2);
    StartIdle(port);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DCB dcb;
        PortLoadDcb(port, &dcb);
        dcb.fOutX = 1;
        dcb.XonChar = static_cast<char>(c.xon);
        dcb.XoffChar = static_cast<char>(c.xoff);
        PortStoreDcb(port, &dcb);
        // Ring with the tail at 9 and `freeBytes` free; the held bytes are 0xEE.
        const LONG tail = 9;
        LONG head = (tail - 1 - c.freeBytes + 16) % 16;
        SetRing(port, head, tail);
        std::vector<BYTE> before = Held(port);
        port->outputHeld = c.heldBefore;
        Signalled(port->writeEvent);
        DeliverReceived(port, c.block.data(), c.block.size());
        std::vector<BYTE> expected = before;
        expected.insert(expected.end(), c.stored.begin(), c.stored.end());
        EXPECT_EQ(Held(port), expected);
        EXPECT_EQ(port->outputHeld, c.outputHeld);
        EXPECT_EQ(Signalled(port->writeEvent), c.writeWoken);
        EXPECT_EQ(Signalled(port->readEvent), !c.stored.empty());
    }
    Finish(port);
}

TEST_F(CoreReceiveTest, FilteredBlockEndingAtTheEndWrapsHeadToZero) {
    SerialPort* port = NewPort(16, 2);
    StartIdle(port);
    DCB dcb;
    PortLoadDcb(port, &dcb);
    dcb.fOutX = 1;
    PortStoreDcb(port, &dcb);
    SetRing(port, 12, 5);
    const BYTE block[] = {1, 0x13, 2, 3, 4};
    DeliverReceived(port, block, sizeof block);
    EXPECT_EQ(port->ringHead, 0);
    std::vector<BYTE> held = Held(port);
    ASSERT_EQ(held.size(), 11u);
    EXPECT_EQ(std::vector<BYTE>(held.end() - 4, held.end()), (std::vector<BYTE>{1, 2, 3, 4}));
    Finish(port);
}

// ---- Transfers: reservation, order, empty completions -----------------------

// The configured ring ("ReceiveBuffer") is kept, raised to what takes all
// four 64-byte transfers (4 x 64 + 1), or cut to 1 MiB.
TEST_F(CoreReceiveTest, SpaceReservationLimitsQueuedTransfers) {
    struct Case {
        const char* name;
        DWORD ringSize;
        DWORD ringAfterInit;
        LONG freeBytes;  // -1: an empty ring
        int issued;
    } const cases[] = {
        {"empty ring queues all four", 4096, 4096, -1, 4},
        {"256 free queues four", 4096, 4096, 256, 4},
        {"255 free queues three", 4096, 4096, 255, 3},
        {"64 free queues one", 4096, 4096, 64, 1},
        {"ring no larger than a transfer is raised", 64, 257, -1, 4},
        {"ring short of four transfers is raised", 256, 257, -1, 4},
        {"absurd ring is cut to 1 MiB", 0x80000000u, 1u << 20, -1, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SerialPort* port = NewPort(c.ringSize);
        StartIdle(port);
        ASSERT_EQ(port->ringSize, c.ringAfterInit);
        const LONG size = static_cast<LONG>(port->ringSize);
        const LONG freeBytes = c.freeBytes < 0 ? size - 1 : c.freeBytes;
        SetRing(port, (size - 1 - freeBytes + size) % size, size);
        int issued = 0, r;
        while ((r = IssueReceive(port)) == 1)
            ++issued;
        EXPECT_EQ(issued, c.issued);
        EXPECT_EQ(r, -1);
        EXPECT_EQ(port->rxQueued, c.issued);
        auto pending = usb_.Pending(kInAddress);
        EXPECT_EQ(static_cast<int>(pending.size()), c.issued);
        for (auto* t : pending) {
            EXPECT_EQ(t->flags, static_cast<DWORD>(USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK));
            EXPECT_EQ(t->length, 64u);
        }
        Finish(port);
    }
}

// Short of space, the pipe's state decides: a healthy pipe waits for a
// reader; a halted one, or one whose state is unknown, is stuck, and the pass
// backs off (a negative result: the worker's timed wake-up) after clearing a
// reported halt, then tries again.
TEST_F(CoreReceiveTest, ShortOfSpaceAsksWhetherThePipeIsHalted) {
    struct Case {
        const char* name;
        BOOL ok, halted;
        int issue;
        bool backsOff;
        size_t haltsCleared;
    } const cases[] = {
        {"healthy pipe waits", TRUE, FALSE, -1, false, 0},
        {"halted pipe is cleared and tried again", TRUE, TRUE, 0, true, 1},
        {"unknown state is tried again", FALSE, FALSE, 0, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SerialPort* port = NewPort();
        StartIdle(port);
        SetRing(port, 4000, 4096);  // 95 free: short of the second transfer
        ASSERT_EQ(IssueReceive(port), 1);
        const size_t clearedBefore = usb_.ClearedHalts().size();
        usb_.SetPipeHaltedAnswer(c.ok, c.halted);
        EXPECT_EQ(IssueReceive(port), c.issue);
        const int pass = ServiceBulk(port);
        EXPECT_EQ(pass < 0, c.backsOff) << pass;
        EXPECT_GT(pass, -static_cast<int>(kRxRetryMaxMs) - 1);
        EXPECT_EQ(usb_.ClearedHalts().size() - clearedBefore, c.haltsCleared);
        if (c.haltsCleared != 0) {
            EXPECT_EQ(usb_.ClearedHalts().back(), kInAddress);
        }
        usb_.SetPipeHaltedAnswer(TRUE, FALSE);
        // Once the reader made room, the next passes queue the rest.
        SetRing(port, 4000, 3999);
        EXPECT_TRUE(WaitUntil([&] { return ServiceBulk(port) > 0 && port->rxQueued == 4; }));
        Finish(port);
    }
}

TEST_F(CoreReceiveTest, OutOfOrderCompletionsAreDeliveredInIssueOrder) {
    SerialPort* port = NewPort();
    StartIdle(port);
    EXPECT_EQ(ServiceBulk(port), 1);
    auto pending = usb_.Pending(kInAddress);
    ASSERT_EQ(pending.size(), 4u);

    usb_.Complete(pending[2], Bytes("CC"));
    usb_.Complete(pending[1], Bytes("BB"));
    EXPECT_EQ(CompleteReceive(port), 0);
    EXPECT_TRUE(Held(port).empty());

    usb_.Complete(pending[0], Bytes("AA"));
    EXPECT_EQ(ServiceBulk(port), 1);
    EXPECT_EQ(Held(port), Bytes("AABBCC"));
    // The three retired slots were refilled behind the one still in flight.
    EXPECT_EQ(port->rxQueued, 4);
    auto now = usb_.Pending(kInAddress);
    ASSERT_EQ(now.size(), 4u);
    EXPECT_EQ(now[0], pending[3]);

    // Slots wrap: the next completions land after the old ones.
    usb_.Complete(now[1], Bytes("EE"));
    usb_.Complete(now[0], Bytes("DD"));
    ServiceBulk(port);
    EXPECT_EQ(Held(port), Bytes("AABBCCDDEE"));
    Finish(port);
}

// Readers and EV_RXCHAR waiters are woken by stored bytes only, never by an
// empty or failed completion.
TEST_F(CoreReceiveTest, OnlyStoredBytesWakeReadersAndPostRxChar) {
    struct Case {
        const char* name;
        std::string data;
        DWORD error;
        bool woken;
    } const cases[] = {
        {"empty completion", "", USB_NO_ERROR, false},
        {"failed completion", "", USB_STALL_ERROR, false},
        {"bytes", "ab", USB_NO_ERROR, true},
    };
    SerialPort* port = NewPort();
    StartIdle(port);
    OpenHandle* waiting = AddHandle(port, EV_RXCHAR);
    OpenHandle* other = AddHandle(port, EV_CTS);
    ServiceBulk(port);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        usb_.Complete(usb_.Pending(kInAddress)[0], Bytes(c.data), c.error);
        EXPECT_EQ(CompleteReceive(port), 1);
        EXPECT_EQ(Held(port), Bytes(c.data));
        EXPECT_EQ(Signalled(port->readEvent), c.woken);
        EXPECT_EQ(waiting->eventWord & 0xFFFF, c.woken ? EV_RXCHAR : 0u);
        EXPECT_EQ(Signalled(waiting->waitEvent), c.woken);
        EXPECT_EQ(other->eventWord & 0xFFFF, 0u);
        EXPECT_FALSE(Signalled(other->waitEvent));
    }
    Finish(port);
}

TEST_F(CoreReceiveTest, ErrorsAndUnreadableStatusStillRetireTheTransfer) {
    SerialPort* port = NewPort();
    StartIdle(port);
    ServiceBulk(port);
    auto pending = usb_.Pending(kInAddress);
    // Bytes of a transfer that ended in error are delivered as reported.
    usb_.Complete(pending[0], Bytes("xy"), USB_DATA_UNDERRUN_ERROR);
    EXPECT_EQ(CompleteReceive(port), 1);
    EXPECT_EQ(Held(port), Bytes("xy"));
    // A status that cannot be read gives the transfer up, even when it has
    // not completed: it is aborted (it must not go on filling a slot that is
    // about to be reused) and closed (the scripted host counts a transfer
    // left open as a leak), and its count is not trusted.
    usb_.FailStatus(1);
    EXPECT_EQ(CompleteReceive(port), 1);
    EXPECT_EQ(port->rxQueued, 2);
    EXPECT_EQ(Held(port), Bytes("xy"));
    Finish(port);
}

// With nothing outstanding, failed issues do not end the worker while the
// pipe is open: it tries again (no event needed) and queues once the host
// takes transfers again. Teardown still ends it.
TEST_F(CoreReceiveTest, FailedIssuesAreTriedAgainWhileThePipeIsOpen) {
    SerialPort* port = NewPort();
    usb_.FailIssues(5);
    ASSERT_TRUE(PortInit(port));
    EXPECT_TRUE(usb_.WaitPending(kInAddress, 4));
    EXPECT_EQ(WaitForSingleObject(port->serviceThread, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    Finish(port);
    EXPECT_EQ(cehost::RunningThreadCount(), 0u);
}

// A halted bulk-IN pipe with room in the ring: every transfer fails at once.
// The worker clears the halt and backs off instead of reissuing at full
// speed, and receives again once the endpoint recovers.
TEST_F(CoreReceiveTest, StalledTransfersClearTheHaltAndBackOff) {
    SerialPort* port = NewPort();
    usb_.SetPipeHaltedAnswer(TRUE, TRUE);
    const size_t clearedBefore = usb_.ClearedHalts().size();
    ASSERT_TRUE(PortInit(port));
    OpenHandle* waiting = AddHandle(port, EV_RXCHAR);
    std::atomic<bool> stalling{true};
    std::atomic<int> failed{0};
    std::thread host([&] {
        while (stalling) {
            for (auto* t : usb_.Pending(kInAddress)) {
                usb_.Complete(t, {}, USB_STALL_ERROR);
                ++failed;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stalling = false;
    host.join();
    // Without the back-off the worker reissues as fast as the host fails the
    // transfers (thousands in this time); with it, a few dozen at most.
    EXPECT_LT(failed.load(), 200);
    EXPECT_GT(failed.load(), 4) << "the worker gave up";
    const std::vector<uint8_t> cleared = usb_.ClearedHalts();
    EXPECT_GT(cleared.size(), clearedBefore);
    EXPECT_EQ(cleared.back(), kInAddress);
    EXPECT_FALSE(Signalled(port->readEvent));
    EXPECT_EQ(waiting->eventWord & 0xFFFF, 0u);
    // The endpoint recovers: data flows again.
    usb_.SetPipeHaltedAnswer(TRUE, FALSE);
    ASSERT_TRUE(usb_.WaitPending(kInAddress, 4));
    usb_.Complete(usb_.Pending(kInAddress)[0], Bytes("ok"));
    EXPECT_TRUE(WaitUntil([&] { return ReadAcquire(&port->ringHead) == 2; }));
    Finish(port);
}

TEST_F(CoreReceiveTest, IssueFailureWithTransfersOutstandingKeepsTheWorker) {
    SerialPort* port = NewPort();
    StartIdle(port);
    ServiceBulk(port);  // four queued
    usb_.Complete(usb_.Pending(kInAddress)[0], Bytes("a"));
    usb_.FailIssues(1);
    EXPECT_LT(ServiceBulk(port), 0);  // refill failed: tried again later, three still queued
    EXPECT_EQ(port->rxQueued, 3);
    for (auto* t : usb_.Pending(kInAddress))
        usb_.Complete(t, {});
    usb_.FailIssues(-1);
    EXPECT_LT(ServiceBulk(port), 0);  // all retired, issue fails: tried again later
    usb_.FailIssues(0);
    Finish(port);
}

// ---- Input flow control --------------------------------------------------------

struct ThresholdCase {
    const char* name;
    int dtrControl, rtsControl;
    bool inX;
    DWORD expectedMask;  // handshake lines requested
};

void PrintTo(const ThresholdCase& c, std::ostream* os) {
    *os << c.name;
}

class CoreFlowControlTest : public CoreTest, public ::testing::WithParamInterface<ThresholdCase> {};

TEST_P(CoreFlowControlTest, StopsAbove3072AndResumesBelow1024) {
    const ThresholdCase& c = GetParam();
    RecordingPort* port = NewPort<RecordingPort>(4096);
    StartIdle(port);
    DCB dcb;
    PortLoadDcb(port, &dcb);
    dcb.fDtrControl = c.dtrControl;
    dcb.fRtsControl = c.rtsControl;
    dcb.fInX = c.inX;
    PortStoreDcb(port, &dcb);
    const bool sends = c.expectedMask != 0 || c.inX;

    // Retires whatever flow control sent, as the host completing it.
    auto completeFlow = [&] {
        for (auto* t : usb_.Pending(0))
            usb_.CompleteOut(t);
        for (auto* t : usb_.Pending(kOutAddress))
            usb_.CompleteOut(t);
    };

    SetRing(port, 3072, 4096);  // 3072 held: not above three quarters
    InputFlowControl(port);
    EXPECT_EQ(port->inputStopped, 0);
    EXPECT_TRUE(RecordingPort::Calls().empty());

    SetRing(port, 3073, 4096);
    InputFlowControl(port);
    EXPECT_EQ(port->inputStopped, 1);
    if (c.expectedMask != 0) {
        ASSERT_EQ(RecordingPort::Calls().size(), 1u);
        EXPECT_EQ(RecordingPort::Calls()[0].mask, c.expectedMask);
        EXPECT_EQ(RecordingPort::Calls()[0].value, 0u);
        EXPECT_TRUE(RecordingPort::Calls()[0].async);
    } else {
        EXPECT_TRUE(RecordingPort::Calls().empty());
    }
    auto chars = usb_.Pending(kOutAddress);
    ASSERT_EQ(chars.size(), c.inX ? 1u : 0u);
    if (c.inX) {
        EXPECT_EQ(chars[0]->outData, std::vector<BYTE>{0x13});
    }

    // While the requests are in flight, crossing the other threshold waits.
    SetRing(port, 1023, 4096);
    Signalled(port->writeEvent);
    InputFlowControl(port);
    EXPECT_EQ(port->inputStopped, sends ? 1 : 0);
    if (sends) {
        EXPECT_FALSE(Signalled(port->writeEvent));
        completeFlow();
        // 1024 held does not resume, even with the requests retired.
        SetRing(port, 1024, 4096);
        InputFlowControl(port);
        EXPECT_EQ(port->inputStopped, 1);
        EXPECT_EQ(port->flowCharTransfer, nullptr);
        EXPECT_EQ(port->flowLineTransfer, nullptr);
        SetRing(port, 1023, 4096);
        InputFlowControl(port);
        EXPECT_EQ(port->inputStopped, 0);
    }
    // Resuming wakes a writer held by the input stop.
    EXPECT_TRUE(Signalled(port->writeEvent));
    if (c.expectedMask != 0) {
        ASSERT_EQ(RecordingPort::Calls().size(), 2u);
        EXPECT_EQ(RecordingPort::Calls()[1].mask, c.expectedMask);
        EXPECT_EQ(RecordingPort::Calls()[1].value, c.expectedMask);
    }
    if (c.inX) {
        auto resumed = usb_.Pending(kOutAddress);
        ASSERT_EQ(resumed.size(), 1u);
        EXPECT_EQ(resumed[0]->outData, std::vector<BYTE>{0x11});
    }
    completeFlow();
    InputFlowControl(port);
    Finish(port);
}

// An application's settings decide the handshake lines from inputStopped
// while the worker may be stopping input. The worker stops it (dropping DTR)
// while the application's request is on its way: the line the device ends
// with must be the worker's, not a raise decided before the stop.
class RacingLinesPort : public RecordingPort {
  public:
    DWORD_PTR SetControlLines(DWORD mask, DWORD value, HANDLE event) override {
        if (event == nullptr && worker == nullptr) {
            // The worker's pass runs now; it waits for deviceLock if this
            // request is being sent inside it. Given a second to finish.
            std::atomic<bool>* finished = &workerDone;
            worker = new std::thread([this, finished] {
                InputFlowControl(this);
                *finished = true;
            });
            WaitUntil([&] { return finished->load(); }, 1000);
        }
        return RecordingPort::SetControlLines(mask, value, event);
    }
    std::thread* worker = nullptr;
    std::atomic<bool> workerDone{false};
};

TEST_F(CoreReceiveTest, HandshakeLinesNeverUndoAnInputStop) {
    RacingLinesPort* port = NewPort<RacingLinesPort>(4096);
    StartIdle(port);
    DCB dcb;
    PortLoadDcb(port, &dcb);
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    PortStoreDcb(port, &dcb);
    SetRing(port, 3073, 4096);  // above three quarters: the worker stops input
    RecordingPort::Calls().clear();
    port->ApplyLineSettings();
    port->worker->join();
    delete port->worker;
    ASSERT_EQ(port->inputStopped, 1);
    // DTR as the device last heard of it.
    ASSERT_FALSE(RecordingPort::Calls().empty());
    const auto& last = RecordingPort::Calls().back();
    ASSERT_NE(last.mask & kLineDtr, 0u);
    EXPECT_EQ(last.value & kLineDtr, 0u) << "DTR raised after the worker dropped it";
    for (auto* t : usb_.Pending(0))
        usb_.CompleteOut(t);
    InputFlowControl(port);
    Finish(port);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, CoreFlowControlTest,
    ::testing::Values(ThresholdCase{"none", DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE, false, 0},
                      ThresholdCase{"xonxoff", DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE, true, 0},
                      ThresholdCase{"dtr", DTR_CONTROL_HANDSHAKE, RTS_CONTROL_TOGGLE, false,
                                    kLineDtr},
                      ThresholdCase{"both_lines_and_xon", DTR_CONTROL_HANDSHAKE,
                                    RTS_CONTROL_HANDSHAKE, true, kLineDtr | kLineRts}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace drvtest
