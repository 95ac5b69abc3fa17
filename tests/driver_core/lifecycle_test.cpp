// Port lifecycle: initialisation and its failures, priorities, the running
// worker thread, and teardown with transfers outstanding (ending normally,
// by termination, or not at all).
#include <string>

#include "cehost/loader.h"
#include "harness.h"

namespace drvtest {
namespace {

using CoreLifecycleTest = CoreTest;

// A class whose Start asks for more slots than the port has, with a transfer
// size that is not a multiple of 16: eight transfers of 65 bytes are queued
// into 80-byte slots.
class WideStartPort : public SerialPort {
  public:
    BOOL Start() override {
        SerialPort::Start();
        rxSlotCount = 9;
        rxTransferSize = 65;
        return TRUE;
    }
};

TEST_F(CoreLifecycleTest, SlotCountIsCappedAndStrideRoundedUp) {
    WideStartPort* port = NewPort<WideStartPort>();
    StartIdle(port);
    EXPECT_EQ(port->rxSlotCount, 8);
    int issued = 0;
    while (IssueReceive(port) == 1)
        ++issued;
    EXPECT_EQ(issued, 8);
    auto pending = usb_.Pending(kInAddress);
    ASSERT_EQ(pending.size(), 8u);
    EXPECT_EQ(pending[0]->length, 65u);
    EXPECT_EQ(pending[1]->buffer - pending[0]->buffer, 80);
    Finish(port);
}

class RefusingPort : public SerialPort {
  public:
    BOOL Start() override { return FALSE; }
};

TEST_F(CoreLifecycleTest, FailedInitUndoesEverything) {
    struct Case {
        const char* name;
        uint64_t failAllocation;  // 0: none
        uint16_t packet;
        bool refuse;
        int pipesOpened;
        uint64_t failEvent = 0;  // 0: none
        bool failThread = false;
    } const cases[] = {
        {"class Start refuses", 0, 64, true, 0},
        {"zero packet size refused at Start", 0, 0, false, 0},
        {"ring allocation fails", 1, 64, false, 2},
        {"slot allocation fails", 2, 64, false, 2},
        {"first event cannot be created", 0, 64, false, 2, 1},
        {"last event cannot be created", 0, 64, false, 2, 3},
        {"worker thread cannot be created", 0, 64, false, 2, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SerialPort* port =
            c.refuse ? static_cast<SerialPort*>(NewPort<RefusingPort>()) : NewPort(4096, c.packet);
        const int openedBefore = usb_.PipesOpened();
        if (c.failAllocation)
            cehost::FailNthAllocation(c.failAllocation);
        cehost::FailNthEventCreation(c.failEvent);
        cehost::FailNthThreadCreation(c.failThread ? 1 : 0);
        EXPECT_FALSE(PortInit(port));
        cehost::ClearAllocationFailures();
        cehost::FailNthEventCreation(0);
        cehost::FailNthThreadCreation(0);
        EXPECT_EQ(port->serviceThread, nullptr);
        EXPECT_EQ(usb_.PipesOpened() - openedBefore, c.pipesOpened);
        EXPECT_EQ(usb_.OpenPipes(), 0) << "Stop must undo Start";
        // Teardown of a port that never started touches nothing.
        EXPECT_TRUE(PortTeardown(port));
        PortDelete(port);
        EXPECT_EQ(cehost::RunningThreadCount(), 0u);
    }
}

// The worker runs at the configured priority (256 scale; negative: none),
// else at its creator's; on a platform with only 8 levels, at the level the
// priority falls in.
TEST_F(CoreLifecycleTest, WorkerRunsAtConfiguredOrCreatorPriority) {
    struct Case {
        const char* name;
        bool hideGet, hideSet;
        int creator256;  // priority of the thread running PortInit
        LONG priority256;
        LONG expectedDefault;
        int expectedWorker;
    } const cases[] = {
        {"creator, 256 levels", false, false, 100, 0, 100, 100},
        {"configured, 256 levels", false, false, 251, 130, 251, 130},
        {"negative means none", false, false, 120, -4, 120, 120},
        {"creator, 8 levels", true, false, 251, 0, 251, 251},
        {"set on 8 levels", true, true, 250, 0, 250, 250},
        {"urgent on 8 levels is level 0", false, true, 251, 100, 251, 248},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        cehost::RestoreCoredllProcs();
        RecordingPort::FirstPassPriority() = -1;
        if (c.hideGet)
            cehost::HideCoredllProc("CeGetThreadPriority");
        if (c.hideSet)
            cehost::HideCoredllProc("CeSetThreadPriority");
        struct Args {
            RecordingPort* port;
            int creator;
            BOOL ok;
        } args{NewPort<RecordingPort>(), c.creator256, FALSE};
        args.port->priority256 = c.priority256;
        usb_.FailIssues(-1);
        // PortInit runs on a platform thread of the wanted priority, as the
        // host's attach thread would.
        HANDLE creator = CreateThread(
            nullptr, 0,
            [](LPVOID p) -> DWORD {
                auto* a = static_cast<Args*>(p);
                CeSetThreadPriority(GetCurrentThread(), a->creator);
                a->ok = PortInit(a->port);
                return 0;
            },
            &args, 0, nullptr);
        ASSERT_NE(creator, nullptr);
        ASSERT_EQ(WaitForSingleObject(creator, 5000), WAIT_OBJECT_0);
        CloseHandle(creator);
        ASSERT_TRUE(args.ok);
        EndWorker(args.port);
        usb_.FailIssues(0);
        EXPECT_EQ(args.port->defaultPriority256, c.expectedDefault);
        EXPECT_EQ(RecordingPort::FirstPassPriority(), c.expectedWorker);
        Finish(args.port);
    }
}

// Teardown with four receive transfers in flight. A host cancels them when
// the pipe closes and the worker retires them on its way out; a host that
// leaves them pending keeps the worker in its wait past the deadline, and it
// is terminated, its transfers aborted and closed by the teardown; a worker
// that cannot even be terminated is left in place with everything it may
// use (the teardown reports failure instead of hanging), and a later
// teardown, once its transfers end, releases all.
TEST_F(CoreLifecycleTest, TeardownWithTransfersOutstanding) {
    enum class Host { kCancels, kKeepsPending, kCannotTerminate };
    for (Host h : {Host::kCancels, Host::kKeepsPending, Host::kCannotTerminate}) {
        SCOPED_TRACE(static_cast<int>(h));
        usb_.Reset();
        usb_.HoldWrites(true);
        SerialPort* port = NewPort();
        ASSERT_TRUE(PortInit(port));
        ASSERT_TRUE(usb_.WaitPending(kInAddress, 4));
        usb_.Complete(usb_.Pending(kInAddress)[0], {'h', 'i'});
        ASSERT_TRUE(WaitUntil([&] { return ReadAcquire(&port->ringHead) == 2; }));
        EXPECT_EQ(Held(port), (std::vector<BYTE>{'h', 'i'}));
        ASSERT_TRUE(usb_.WaitPending(kInAddress, 4));  // refilled
        const std::vector<Transfer*> inFlight = usb_.Pending(kInAddress);
        usb_.SetCancelOnClose(h == Host::kCancels);
        if (h == Host::kCannotTerminate) {
            cehost::FailNthThreadTermination(1);
            EXPECT_FALSE(PortTeardown(port));
            EXPECT_EQ(cehost::RunningThreadCount(), 1u);
            EXPECT_NE(port->serviceThread, nullptr);
            EXPECT_NE(port->rxSlots, nullptr);
            for (auto* t : usb_.Pending(kInAddress))
                usb_.Complete(t, {}, USB_CANCELED_ERROR);
        }
        Finish(port);
        if (h != Host::kCannotTerminate) {
            for (Transfer* t : inFlight)
                EXPECT_EQ(t->aborted, h == Host::kKeepsPending);
        }
        EXPECT_EQ(cehost::RunningThreadCount(), 0u);
    }
}

}  // namespace
}  // namespace drvtest
