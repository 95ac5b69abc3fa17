// Port lifecycle: initialisation and its failures, settings reset,
// priorities, the running worker thread, and teardown with transfers
// outstanding (ending normally or by termination).
#include <cstring>
#include <string>

#include "cehost/loader.h"
#include "driver/variants/cdc_port.h"
#include "harness.h"

namespace drvtest {
namespace {

class CoreLifecycleTest : public CoreTest {};

// A class whose Start asks for more slots than the port has, with a transfer
// size that is not a multiple of 16.
class WideStartPort : public SerialPort {
  public:
    BOOL Start() override {
        SerialPort::Start();
        rxSlotCount = 9;
        rxTransferSize = 65;
        return TRUE;
    }
};

TEST_F(CoreLifecycleTest, InitGivesFirstValuesAndDefaults) {
    SerialPort* port = NewPort(4096);
    StartIdle(port);
    EXPECT_EQ(port->ringHead, 0);
    EXPECT_EQ(port->ringTail, 4096);
    EXPECT_EQ(port->rxSlotCount, 4);
    EXPECT_EQ(port->rxTransferSize, 64);
    EXPECT_EQ(port->rxSlotStride, 64);
    EXPECT_EQ(port->openList, nullptr);
    EXPECT_EQ(port->modemStatus, MS_CTS_ON | MS_DSR_ON);
    EXPECT_EQ(port->timeouts.ReadIntervalTimeout, 250u);
    EXPECT_EQ(port->timeouts.ReadTotalTimeoutMultiplier, 10u);
    EXPECT_EQ(port->timeouts.ReadTotalTimeoutConstant, 100u);
    EXPECT_EQ(port->timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(port->timeouts.WriteTotalTimeoutConstant, 0u);
    DCB expected{};
    expected.DCBlength = 28;
    expected.BaudRate = 9600;
    expected.fBinary = 1;
    expected.ByteSize = 8;
    expected.XonChar = 0x11;
    expected.XoffChar = 0x13;
    DCB dcb;
    PortLoadDcb(port, &dcb);
    EXPECT_EQ(std::memcmp(&dcb, &expected, sizeof(DCB)), 0);

    // A reset clears the flow and error state; the ring and the busy flags
    // belong to the calls that own them (the first open empties the ring
    // through the receive side's protocol).
    SetRing(port, 100, 40);
    port->inputStopped = 1;
    port->outputHeld = 1;
    port->errors = CE_FRAME;
    port->writeBusy = 1;
    PortResetSettings(port);
    EXPECT_EQ(port->ringTail, 40);
    EXPECT_EQ(port->writeBusy, 1);
    port->writeBusy = 0;
    EXPECT_EQ(port->inputStopped, 0);
    EXPECT_EQ(port->outputHeld, 0);
    EXPECT_EQ(port->errors, 0u);
    Finish(port);
}

TEST_F(CoreLifecycleTest, SlotCountIsCappedAndStrideRoundedUp) {
    WideStartPort* port = NewPort<WideStartPort>();
    StartIdle(port);
    EXPECT_EQ(port->rxSlotCount, 8);
    EXPECT_EQ(port->rxSlotStride, 80);
    // Eight transfers of 65 bytes are queued into 80-byte slots.
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

struct PriorityCase {
    const char* name;
    bool hideGet, hideSet;
    int creator256;  // priority of the thread running PortInit (256 scale)
    LONG priority256;
    LONG expectedDefault;
    int expectedWorker;
};

void PrintTo(const PriorityCase& c, std::ostream* os) {
    *os << c.name;
}

class CorePriorityTest : public CoreTest, public ::testing::WithParamInterface<PriorityCase> {};

TEST_P(CorePriorityTest, WorkerRunsAtConfiguredOrCreatorPriority) {
    const PriorityCase& c = GetParam();
    if (c.hideGet)
        cehost::HideCoredllProc("CeGetThreadPriority");
    if (c.hideSet)
        cehost::HideCoredllProc("CeSetThreadPriority");
    struct Args {
        CoreTest* test;
        RecordingPort* port;
        int creator;
        BOOL ok;
    } args{this, NewPort<RecordingPort>(), c.creator256, FALSE};
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

INSTANTIATE_TEST_SUITE_P(
    Scales, CorePriorityTest,
    ::testing::Values(PriorityCase{"creator_256", false, false, 100, 0, 100, 100},
                      PriorityCase{"configured_256", false, false, 251, 130, 251, 130},
                      PriorityCase{"negative_means_none", false, false, 120, -4, 120, 120},
                      PriorityCase{"creator_8_level", true, false, 251, 0, 251, 251},
                      PriorityCase{"set_8_level", true, true, 250, 0, 250, 250},
                      PriorityCase{"urgent_on_8_levels_is_level_0", false, true, 251, 100, 251,
                                   248}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CoreLifecycleTest, RunningWorkerDeliversAndTeardownRetiresOutstanding) {
    SerialPort* port = NewPort();
    ASSERT_TRUE(PortInit(port));
    ASSERT_TRUE(usb_.WaitPending(kInAddress, 4));
    auto pending = usb_.Pending(kInAddress);
    usb_.Complete(pending[0], {'h', 'i'});
    ASSERT_TRUE(WaitUntil([&] { return ReadAcquire(&port->ringHead) == 2; }));
    EXPECT_EQ(Held(port), (std::vector<BYTE>{'h', 'i'}));
    ASSERT_TRUE(usb_.WaitPending(kInAddress, 4));  // refilled

    // Teardown with four transfers in flight: the worker aborts and closes
    // them on its way out, before their pipe is closed.
    const auto outstanding = usb_.Pending(kInAddress);
    Finish(port);
    for (auto* t : outstanding) {
        EXPECT_TRUE(t->aborted);
        EXPECT_TRUE(t->closed);
    }
    EXPECT_EQ(cehost::RunningThreadCount(), 0u);
}

// A worker that does not end in time is terminated: teardown then retires
// every transfer it held, a CDC port's status transfer included, before the
// pipes close. These pipes leave their transfers pending when closed (a host
// may end a transfer's handle with its pipe instead of completing it), so
// only the driver's own abort and close end them.
struct TerminatedCase {
    const char* name;
    bool cdc;
};

class CoreTerminatedWorkerTest : public CoreTest,
                                 public ::testing::WithParamInterface<TerminatedCase> {};

// Once `stall` is set, the worker's next pass waits on `gate`, which no one
// sets: teardown finds it slow and terminates it.
template <typename Base>
class StallingPort : public Base {
  public:
    int Service() override {
        if (ReadAcquire(&stall) != 0)
            WaitForSingleObject(gate, INFINITE);
        return Base::Service();
    }
    LONG stall = 0;
    HANDLE gate = nullptr;
};

TEST_P(CoreTerminatedWorkerTest, TeardownRetiresWhatItHeld) {
    constexpr uint8_t kStatusAddress = 0x83;
    USB_ENDPOINT status = MakeBulkEndpoint(kStatusAddress, 16);
    HANDLE gate = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    SerialPort* port;
    if (GetParam().cdc) {
        auto* cdc = NewPort<StallingPort<CdcPort>>();
        cdc->classEndpoint = &status;
        cdc->gate = gate;
        port = cdc;
    } else {
        auto* basic = NewPort<StallingPort<SerialPort>>();
        basic->gate = gate;
        port = basic;
    }
    ASSERT_TRUE(PortInit(port));
    ASSERT_TRUE(usb_.WaitPending(kInAddress, 4));
    ASSERT_TRUE(usb_.WaitPending(kStatusAddress, GetParam().cdc ? 1 : 0));
    usb_.SetCancelOnClose(false);
    auto outstanding = usb_.Pending(kInAddress);
    for (auto* t : usb_.Pending(kStatusAddress))
        outstanding.push_back(t);

    LONG* stall = GetParam().cdc ? &static_cast<StallingPort<CdcPort>*>(port)->stall
                                 : &static_cast<StallingPort<SerialPort>*>(port)->stall;
    WriteRelease(stall, 1);
    SetEvent(port->serviceEvent);
    Finish(port);
    CloseHandle(gate);
    for (auto* t : outstanding) {
        EXPECT_TRUE(t->aborted);
        EXPECT_TRUE(t->closed);
    }
    EXPECT_EQ(cehost::RunningThreadCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Ports, CoreTerminatedWorkerTest,
                         ::testing::Values(TerminatedCase{"basic", false},
                                           TerminatedCase{"cdc_status", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A worker that can be neither ended nor terminated: the teardown gives up
// after its bounded waits instead of hanging the host's notification thread,
// and releases nothing the thread may still use.
TEST_F(CoreLifecycleTest, WorkerThatCannotBeEndedIsLeftInPlace) {
    SerialPort* port = NewPort();
    ASSERT_TRUE(PortInit(port));
    ASSERT_TRUE(usb_.WaitPending(kInAddress, 4));
    // The worker retires a transfer, then blocks on deviceLock (held here) on
    // its way to deliver the block.
    port->deviceLock.Enter();
    usb_.Complete(usb_.Pending(kInAddress)[0], {'x'});
    ASSERT_TRUE(WaitUntil([&] { return usb_.Unclosed() == 3; }));
    cehost::FailNthThreadTermination(1);
    EXPECT_FALSE(PortTeardown(port));
    EXPECT_EQ(cehost::RunningThreadCount(), 1u);
    EXPECT_NE(port->serviceThread, nullptr);
    EXPECT_NE(port->rxSlots, nullptr);
    // Its pipes stay open: closing one may end the handles it still holds.
    EXPECT_EQ(usb_.OpenPipes(), 2);
    // Once the lock is free the worker ends too, and a teardown releases all.
    port->deviceLock.Leave();
    Finish(port);
    EXPECT_EQ(cehost::RunningThreadCount(), 0u);
}

}  // namespace
}  // namespace drvtest
