// The receive pipeline driven step by step on an idle port: ring storage
// across the wrap, space reservation, issue-order delivery, XON/XOFF
// filtering, recovery of a pipe that cannot receive, and input flow control
// at the fill thresholds.
#include <atomic>
#include <string>
#include <thread>

#include "harness.h"

namespace drvtest {
namespace {

using CoreReceiveTest = CoreTest;
using Bytes = std::vector<BYTE>;

// Blocks stored plainly (no XON/XOFF) or filtered, on a ring of 16 bytes:
// what is kept, where the head ends, who is woken. A filtered block drops
// the flow characters and applies them (the last one decides; equal
// characters count as XOFF); one that finds the ring full still obeys them.
TEST_F(CoreReceiveTest, StoreAcrossTheWrapAndFilter) {
    struct Case {
        const char* name;
        bool outX;
        BYTE xon, xoff;
        LONG head, tail, heldBefore;  // heldBefore: outputHeld
        Bytes block, stored;
        LONG headAfter, outputHeld;
        bool writeWoken;
    } const cases[] = {
        // clang-format off
        {"ends exactly at the end", false, 0, 0, 10, 5, 0, Pattern(6), Pattern(6), 0, 0, false},
        {"wraps to the start", false, 0, 0, 12, 10, 0, Pattern(6), Pattern(6), 2, 0, false},
        {"clipped to free space", false, 0, 0, 4, 8, 0, {1, 2, 3, 4, 5}, {1, 2, 3}, 7, 0, false},
        {"full ring stores nothing", false, 0, 0, 7, 8, 0, {1, 2}, {}, 7, 0, false},
        {"clipped across the wrap", false, 0, 0, 12, 5, 0, Pattern(10), Pattern(8), 4, 0, false},
        {"flow characters removed, XON last", true, 0x11, 0x13, 0, 16, 1,
         {0x41, 0x13, 0x42, 0x11, 0x43}, {0x41, 0x42, 0x43}, 3, 0, true},
        {"XON then XOFF holds", true, 0x11, 0x13, 0, 16, 0, {0x11, 0x13}, {}, 0, 1, true},
        {"equal characters: XOFF", true, 0x11, 0x11, 0, 16, 0, {0x41, 0x11}, {0x41}, 1, 1, true},
        {"above 0x7F", true, 0x91, 0x93, 0, 16, 0, {0x93, 0x80, 0xFF}, {0x80, 0xFF}, 2, 1, true},
        {"no flow character keeps the state", true, 0x11, 0x13, 0, 16, 1, {1, 2}, {1, 2}, 2, 1, false},
        {"XOFF in a dropped tail counts", true, 0x11, 0x13, 6, 9, 0, {1, 2, 3, 0x13}, {1, 2}, 8, 1, true},
        {"full ring, only flow characters", true, 0x11, 0x13, 8, 9, 1, {5, 0x11}, {}, 8, 0, true},
        // clang-format on
    };
    SerialPort* port = NewPort(16, 2);  // transfers of 2 bytes keep the 16-byte ring
    StartIdle(port);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EditDcb(port, [&](DCB& d) {
            d.fOutX = c.outX;
            d.XonChar = static_cast<char>(c.xon);
            d.XoffChar = static_cast<char>(c.xoff);
        });
        SetRing(port, c.head, c.tail);
        Bytes expected = Held(port);
        expected.insert(expected.end(), c.stored.begin(), c.stored.end());
        port->outputHeld = c.heldBefore;
        Signalled(port->writeEvent);
        EXPECT_TRUE(DeliverReceived(port, c.block.data(), c.block.size()));
        EXPECT_EQ(port->ringHead, c.headAfter);
        EXPECT_EQ(Held(port), expected);
        EXPECT_EQ(port->outputHeld, c.outputHeld);
        EXPECT_EQ(Signalled(port->writeEvent), c.writeWoken);
        EXPECT_EQ(Signalled(port->readEvent), !c.stored.empty()) << "readers woken for bytes";
    }
    Finish(port);
}

// The configured ring is kept, raised to what takes all four 64-byte
// transfers (4 x 64 + 1), or cut to 1 MiB; a transfer is queued only with
// room for all its bytes. An interrupt IN endpoint is read with interrupt
// transfers (the host refuses bulk ones on it: here they fail).
TEST_F(CoreReceiveTest, SpaceReservationLimitsQueuedTransfers) {
    struct Case {
        DWORD ringSize, ringAfterInit;
        LONG freeBytes, issued;  // freeBytes -1: an empty ring
        bool interrupt = false;
    } const cases[] = {
        {4096, 4096, 256, 4}, {4096, 4096, 255, 3},           {4096, 4096, 64, 1},
        {64, 257, -1, 4},     {0x80000000u, 1u << 20, -1, 4}, {4096, 4096, 128, 2, true},
    };
    USB_FUNCS noBulk = *usb_.Funcs();
    noBulk.lpIssueBulkTransfer = [](USB_PIPE, LPTRANSFER_NOTIFY_ROUTINE, LPVOID, DWORD, DWORD,
                                    LPVOID, ULONG) -> USB_TRANSFER { return nullptr; };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ringSize + c.freeBytes);
        SerialPort* port = NewPort(c.ringSize);
        if (c.interrupt) {
            inEndpoint_.Descriptor.bmAttributes = USB_ENDPOINT_TYPE_INTERRUPT;
            port->usbFuncs = &noBulk;
        }
        StartIdle(port);
        ASSERT_EQ(port->ringSize, c.ringAfterInit);
        const LONG size = static_cast<LONG>(port->ringSize);
        const LONG freeBytes = c.freeBytes < 0 ? size - 1 : c.freeBytes;
        SetRing(port, (size - 1 - freeBytes + size) % size, size);
        int r;
        while ((r = IssueReceive(port)) == 1) {
        }
        EXPECT_EQ(r, -1);
        EXPECT_EQ(port->rxQueued, c.issued);
        EXPECT_EQ(usb_.Pending(kInAddress).size(), size_t(c.issued));
        for (auto* t : usb_.Pending(kInAddress))
            EXPECT_TRUE(t->flags == (USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK) && t->length == 64);
        Finish(port);
    }
}

// Short of space, the pipe's state decides: a healthy pipe waits for a
// reader; a halted one, or one whose state is unknown, is stuck, and the pass
// backs off (a negative result: the worker's timed wake-up) after clearing a
// reported halt, then tries again.
TEST_F(CoreReceiveTest, ShortOfSpaceAsksWhetherThePipeIsHalted) {
    // A healthy pipe, a halted one, one whose state cannot be read.
    for (auto [ok, halted] : {std::pair<BOOL, BOOL>{TRUE, FALSE}, {TRUE, TRUE}, {FALSE, FALSE}}) {
        SCOPED_TRACE(ok + 2 * halted);
        const bool stuck = !ok || halted;
        SerialPort* port = NewPort();
        StartIdle(port);
        SetRing(port, 4000, 4096);  // 95 free: short of the second transfer
        ASSERT_EQ(IssueReceive(port), 1);
        const size_t clearedBefore = usb_.ClearedHalts().size();
        usb_.SetPipeHalted(ok, halted);
        EXPECT_EQ(IssueReceive(port), stuck ? 0 : -1);
        const int pass = ServiceBulk(port);
        EXPECT_EQ(pass < 0, stuck) << pass;
        EXPECT_GT(pass, -static_cast<int>(kRxRetryMaxMs) - 1);
        const auto cleared = usb_.ClearedHalts();
        EXPECT_EQ(cleared.size() - clearedBefore, halted ? 1u : 0u);
        EXPECT_TRUE(!halted || cleared.back() == kInAddress);
        usb_.SetPipeHalted(TRUE, FALSE);
        // Once the reader made room, the next passes queue the rest.
        SetRing(port, 4000, 3999);
        EXPECT_TRUE(Eventually([&] { return ServiceBulk(port) > 0 && port->rxQueued == 4; }));
        Finish(port);
    }
}

// Completions out of order are delivered in issue order; retired slots are
// refilled behind the one in flight, and slots wrap. Readers and EV_RXCHAR
// waiters are woken by stored bytes only, never by an empty or failed
// completion; bytes of a transfer that ended in error are delivered as
// reported.
TEST_F(CoreReceiveTest, CompletionsInIssueOrderAndOnlyStoredBytesWake) {
    SerialPort* port = NewPort();
    StartIdle(port);
    OpenHandle* waiting = AddHandle(port, EV_RXCHAR);
    EXPECT_EQ(ServiceBulk(port), 1);
    auto pending = usb_.Pending(kInAddress);
    ASSERT_EQ(pending.size(), 4u);
    usb_.Complete(pending[2], {'C'});
    usb_.Complete(pending[1], {'B'});
    EXPECT_EQ(CompleteReceive(port), 0);
    EXPECT_TRUE(Held(port).empty());
    EXPECT_FALSE(Signalled(port->readEvent));
    usb_.Complete(pending[0], {'A'});
    EXPECT_EQ(ServiceBulk(port), 1);
    EXPECT_EQ(Held(port), Bytes("ABC", "ABC" + 3));
    EXPECT_EQ(port->rxQueued, 4);
    auto now = usb_.Pending(kInAddress);
    ASSERT_EQ(now.size(), 4u);
    EXPECT_EQ(now[0], pending[3]);
    usb_.Complete(now[1], {'E'});
    usb_.Complete(now[0], {'D'});
    ServiceBulk(port);
    EXPECT_EQ(Held(port), Bytes("ABCDE", "ABCDE" + 5));
    for (const auto& [data, error] : {std::pair<Bytes, DWORD>{{}, USB_NO_ERROR},
                                      {{}, USB_STALL_ERROR},
                                      {{'x', 'y'}, USB_DATA_UNDERRUN_ERROR}}) {
        SCOPED_TRACE(error);
        RingDiscard(port);
        Signalled(port->readEvent);
        Signalled(waiting->waitEvent);
        waiting->eventWord = EV_RXCHAR << 16;
        usb_.Complete(usb_.Pending(kInAddress)[0], data, error);
        EXPECT_EQ(CompleteReceive(port), 1);
        EXPECT_EQ(Held(port), data);
        const bool woken = !data.empty();
        EXPECT_EQ(Signalled(port->readEvent), woken);
        EXPECT_EQ(waiting->eventWord & 0xFFFF, woken ? EV_RXCHAR : 0u);
        EXPECT_EQ(Signalled(waiting->waitEvent), woken);
        IssueReceive(port);
    }
    // A status that cannot be read gives the transfer up, even when it has
    // not completed: it is aborted (it must not go on filling a slot that is
    // about to be reused) and closed, and its count is not trusted.
    usb_.FailStatus(1);
    EXPECT_EQ(CompleteReceive(port), 1);
    EXPECT_EQ(port->rxQueued, 3);
    Finish(port);
}

// A failed issue never ends the worker while the pipe is open: with nothing
// outstanding it tries again (no event needed) until the host takes
// transfers; with transfers outstanding the pass backs off. A transfer that
// ends in a stall has the halt cleared and the pass backs off instead of
// reissuing at full speed. Teardown still ends the worker.
TEST_F(CoreReceiveTest, FailedIssuesAndStallsAreTriedAgainWhileThePipeIsOpen) {
    SerialPort* port = NewPort();
    usb_.FailIssues(5);
    ASSERT_TRUE(PortInit(port));
    EXPECT_TRUE(usb_.WaitPending(kInAddress, 4));
    EXPECT_EQ(WaitForSingleObject(port->serviceThread, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    Finish(port);
    EXPECT_EQ(cehost::RunningThreadCount(), 0u);

    port = NewPort();
    StartIdle(port);
    ServiceBulk(port);  // four queued
    usb_.Complete(usb_.Pending(kInAddress)[0], {'a'});
    usb_.FailIssues(1);
    EXPECT_LT(ServiceBulk(port), 0);  // refill failed: tried again later, three still queued
    EXPECT_EQ(port->rxQueued, 3);
    usb_.Complete(usb_.Pending(kInAddress)[0], {}, USB_STALL_ERROR);
    usb_.SetPipeHalted(TRUE, TRUE);
    EXPECT_LT(ServiceBulk(port), 0);
    EXPECT_EQ(usb_.ClearedHalts().back(), kInAddress);  // the port's start cleared both
    usb_.SetPipeHalted(TRUE, FALSE);
    for (auto* t : usb_.Pending(kInAddress))
        usb_.Complete(t, {});
    usb_.FailIssues(-1);
    EXPECT_LT(ServiceBulk(port), 0);  // all retired, issue fails: tried again later
    usb_.FailIssues(0);
    Finish(port);
}

// ---- Input flow control --------------------------------------------------------

using CoreFlowControlTest = CoreTest;

TEST_F(CoreFlowControlTest, StopsAbove3072AndResumesBelow1024) {
    const struct {
        const char* name;
        int dtrControl, rtsControl;
        bool inX;
        DWORD expectedMask;  // handshake lines requested
    } cases[] = {{"none", DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE, false, 0},
                 {"xonxoff", DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE, true, 0},
                 {"dtr", DTR_CONTROL_HANDSHAKE, RTS_CONTROL_TOGGLE, false, kLineDtr},
                 {"both lines and XON", DTR_CONTROL_HANDSHAKE, RTS_CONTROL_HANDSHAKE, true,
                  kLineDtr | kLineRts}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingPort::calls.clear();
        RecordingPort* port = NewPort<RecordingPort>(4096);
        StartIdle(port);
        EditDcb(port, [&](DCB& d) {
            d.fDtrControl = c.dtrControl;
            d.fRtsControl = c.rtsControl;
            d.fInX = c.inX;
        });
        const bool sends = c.expectedMask != 0 || c.inX;
        auto& calls = RecordingPort::calls;
        // Retires whatever flow control sent, as the host completing it.
        auto completeFlow = [&] {
            for (uint8_t address : {uint8_t{0}, kOutAddress})
                for (auto* t : usb_.Pending(address))
                    usb_.CompleteOut(t);
        };
        auto sentChars = [&] {
            auto out = usb_.Pending(kOutAddress);
            return out.size() == 1 ? out[0]->outData : Bytes{};
        };
        auto at = [&](LONG held) {
            SetRing(port, held, 4096);
            InputFlowControl(port);
        };
        at(3072);  // not above three quarters
        EXPECT_EQ(port->inputStopped, 0);
        EXPECT_TRUE(calls.empty());
        at(3073);
        EXPECT_EQ(port->inputStopped, 1);
        using Calls = std::vector<RecordingPort::LineCall>;
        const Calls drop{{c.expectedMask, 0, true}}, raise{{c.expectedMask, c.expectedMask, true}};
        EXPECT_EQ(calls, c.expectedMask != 0 ? drop : Calls{});
        EXPECT_EQ(sentChars(), c.inX ? Bytes{0x13} : Bytes{});
        // While the requests are in flight, crossing the other threshold waits.
        Signalled(port->writeEvent);
        at(1023);
        EXPECT_EQ(port->inputStopped, sends ? 1 : 0);
        if (sends) {
            EXPECT_FALSE(Signalled(port->writeEvent));
            completeFlow();
            // 1024 held does not resume, even with the requests retired.
            at(1024);
            EXPECT_EQ(port->inputStopped, 1);
            at(1023);
            EXPECT_EQ(port->inputStopped, 0);
        }
        // Resuming wakes a writer held by the input stop.
        EXPECT_TRUE(Signalled(port->writeEvent));
        EXPECT_EQ(calls.size(), c.expectedMask != 0 ? 2u : 0u);
        EXPECT_TRUE(c.expectedMask == 0 || Calls{calls.back()} == raise);
        EXPECT_EQ(sentChars(), c.inX ? Bytes{0x11} : Bytes{});
        completeFlow();
        InputFlowControl(port);
        Finish(port);
    }
}

// An application's settings decide the handshake lines from inputStopped
// while the worker may be stopping input. The worker stops it (dropping DTR)
// while the application's request is on its way: the line the device ends
// with must be the worker's, not a raise decided before the stop.
class RacingLinesPort : public RecordingPort {
  public:
    DWORD_PTR SetControlLines(DWORD mask, DWORD value, HANDLE event) override {
        if (event == nullptr && !worker.joinable()) {
            // The worker's pass runs now; it waits for deviceLock if this
            // request is being sent inside it. Given a second to finish.
            worker = std::thread([this] {
                InputFlowControl(this);
                workerDone = true;
            });
            Eventually([&] { return workerDone.load(); }, 1000);
        }
        return RecordingPort::SetControlLines(mask, value, event);
    }
    std::thread worker;
    std::atomic<bool> workerDone{false};
};

TEST_F(CoreReceiveTest, HandshakeLinesNeverUndoAnInputStop) {
    RacingLinesPort* port = NewPort<RacingLinesPort>(4096);
    StartIdle(port);
    EditDcb(port, [](DCB& d) { d.fDtrControl = DTR_CONTROL_HANDSHAKE; });
    SetRing(port, 3073, 4096);  // above three quarters: the worker stops input
    RecordingPort::calls.clear();
    port->ApplyLineSettings();
    port->worker.join();
    ASSERT_EQ(port->inputStopped, 1);
    // DTR as the device last heard of it.
    ASSERT_FALSE(RecordingPort::calls.empty());
    const auto& last = RecordingPort::calls.back();
    ASSERT_NE(last.mask & kLineDtr, 0u);
    EXPECT_EQ(last.value & kLineDtr, 0u) << "DTR raised after the worker dropped it";
    for (auto* t : usb_.Pending(0))
        usb_.CompleteOut(t);
    InputFlowControl(port);
    Finish(port);
}

// ---- Line status and comm events -------------------------------------------

using CoreLineStatusTest = CoreTest;

// An event wakes the handles whose mask holds it and that have not got it
// pending yet, never a handle cut loose from the port. (Masks: Control.
// WaitMasks; channels: CdcTwoChannel.EventsReachTheHandlesOfTheirChannel.)
// Contention on `errors` (a status request clearing it) or on a handle's
// event word (the application changing its mask) that outlasts many
// exchanges drops neither error bits nor events.
TEST_F(CoreLineStatusTest, EventsReachWaitersNewlyAndSurviveContention) {
    SerialPort* port = NewPort();
    StartIdle(port);
    OpenHandle* cts = AddHandle(port, EV_CTS | EV_ERR);
    OpenHandle* both = AddHandle(port, EV_CTS | EV_DSR);
    OpenHandle* detached = AddHandle(port, EV_CTS);
    detached->port = nullptr;
    EXPECT_TRUE(NotifyEvents(port, EV_CTS));
    EXPECT_TRUE(Signalled(cts->waitEvent) && Signalled(both->waitEvent));
    EXPECT_EQ(cts->eventWord & 0xFFFF, DWORD{EV_CTS});
    EXPECT_TRUE(!Signalled(detached->waitEvent) && detached->eventWord == EV_CTS << 16);
    // Already pending: nobody is woken again; a new event in the mask is.
    NotifyEvents(port, EV_DSR | EV_CTS);
    EXPECT_TRUE(!Signalled(cts->waitEvent) && Signalled(both->waitEvent));
    EXPECT_EQ(both->eventWord & 0xFFFF, DWORD{EV_CTS | EV_DSR});

    cts->eventWord = (EV_CTS | EV_ERR) << 16;
    port->modemStatus = MS_CTS_ON;
    port->errors = 0;
    cehost::ContendCompareExchange(reinterpret_cast<LONG volatile*>(&port->errors), 20);
    UpdateLineStatus(port, MS_CTS_ON, CE_FRAME);
    EXPECT_EQ(port->errors, static_cast<DWORD>(CE_FRAME));
    cehost::ContendCompareExchange(reinterpret_cast<LONG volatile*>(&cts->eventWord), 20);
    UpdateLineStatus(port, 0, 0);  // CTS drops
    EXPECT_EQ(cts->eventWord & 0xFFFF, static_cast<DWORD>(EV_ERR | EV_CTS));
    EXPECT_TRUE(Signalled(cts->waitEvent));
    cehost::ContendCompareExchange(nullptr, 0);
    Finish(port);
}

}  // namespace
}  // namespace drvtest
