// Port lifecycle: initialisation and its failures, priorities, the running
// worker thread, and teardown with transfers outstanding (ending normally,
// by termination, or not at all). (A start that fails is tested end to end:
// each allocation, event and thread creation failing in turn by the stress
// suite's allocation sweeps, a class start refusing a packet size by the
// bad-input sweeps.)
#include <string>
#include <tuple>

#include "cehost/loader.h"
#include "driver/variants/cdc_port.h"
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
    while (IssueReceive(port) == 1) {
    }
    auto pending = usb_.Pending(kInAddress);
    ASSERT_EQ(pending.size(), 8u);
    EXPECT_EQ(pending[0]->length, 65u);
    EXPECT_EQ(pending[1]->buffer - pending[0]->buffer, 80);
    Finish(port);
}

// The worker runs at the configured priority (256 scale; negative: none),
// else at its creator's; on a platform with only 8 levels, at the level the
// priority falls in.
TEST_F(CoreLifecycleTest, WorkerRunsAtConfiguredOrCreatorPriority) {
    // A priority call the platform lacks, the priority of the thread running
    // PortInit, the configured priority, the worker's.
    const std::tuple<const char*, int, LONG, int> cases[] = {
        {nullptr, 251, 130, 130},
        {nullptr, 120, -4, 120},                 // negative means none
        {"CeGetThreadPriority", 251, 0, 251},    // creator's, 8 levels
        {"CeSetThreadPriority", 251, 100, 248},  // urgent on 8 levels: level 0
    };
    const int own = CeGetThreadPriority(GetCurrentThread());
    for (const auto& [hide, creator256, priority256, expectedWorker] : cases) {
        SCOPED_TRACE(priority256);
        cehost::RestoreCoredllProcs();
        RecordingPort::firstPassPriority = -1;
        if (hide != nullptr)
            cehost::HideCoredllProc(hide);
        RecordingPort* port = NewPort<RecordingPort>();
        port->priority256 = priority256;
        // PortInit runs at its creator's priority, as on the host's attach
        // thread.
        CeSetThreadPriority(GetCurrentThread(), creator256);
        StartIdle(port);
        CeSetThreadPriority(GetCurrentThread(), own);
        EXPECT_EQ(port->defaultPriority256, creator256);
        EXPECT_EQ(RecordingPort::firstPassPriority, expectedWorker);
        Finish(port);
    }
}

// Once `stall` is set, the worker's next pass waits on `gate`, which no one
// sets: teardown finds it slow and terminates it.
LONG stall = 0;
HANDLE gate = nullptr;
template <typename Base>
class StallingPort : public Base {
  public:
    int Service() override {
        if (ReadAcquire(&stall) != 0)
            WaitForSingleObject(gate, INFINITE);
        return Base::Service();
    }
};

// Teardown with four receive transfers in flight. A worker that ends in time
// aborts and closes them on its way out, before their pipe is closed. One
// that does not is terminated, and the teardown retires every transfer it
// held before the pipes close: these pipes leave their transfers pending
// when closed (a host may end a transfer's handle with its pipe instead of
// completing it), so only the driver's own abort and close end them. A
// worker that can be neither ended nor terminated is left in place with
// everything it may use, its pipes open (closing one may end the handles it
// still holds): the teardown reports failure instead of hanging, and a later
// one releases all.
TEST_F(CoreLifecycleTest, TeardownWithTransfersOutstanding) {
    enum Worker { kEnds, kSlow, kCannotBeEnded };
    USB_ENDPOINT status = fakeusb::BulkEndpoint(0x83, 16);  // a CDC port's status transfer
    for (auto [worker, cdc] :
         {std::pair{kEnds, false}, {kSlow, false}, {kSlow, true}, {kCannotBeEnded, false}}) {
        SCOPED_TRACE(worker + 10 * cdc);
        usb_.Reset();
        usb_.HoldWrites(true);
        gate = CreateEvent(nullptr, TRUE, FALSE, nullptr);
        stall = 0;
        SerialPort* port = cdc ? static_cast<SerialPort*>(NewPort<StallingPort<CdcPort>>())
                               : NewPort<StallingPort<SerialPort>>();
        port->classEndpoint = cdc ? &status : nullptr;
        ASSERT_TRUE(PortInit(port));
        ASSERT_TRUE(usb_.WaitPending(kInAddress, 4));
        usb_.Complete(usb_.Pending(kInAddress)[0], {'h', 'i'});
        ASSERT_TRUE(Eventually([&] { return ReadAcquire(&port->ringHead) == 2; }));
        ASSERT_TRUE(usb_.WaitPending(kInAddress, 4));  // refilled
        ASSERT_TRUE(usb_.WaitPending(0x83, cdc ? 1 : 0));
        std::vector<Transfer*> inFlight = usb_.Pending(kInAddress), onStatus = usb_.Pending(0x83);
        inFlight.insert(inFlight.end(), onStatus.begin(), onStatus.end());
        usb_.SetCancelOnClose(worker == kEnds);
        if (worker == kSlow) {
            WriteRelease(&stall, 1);
            SetEvent(port->serviceEvent);
        }
        if (worker == kCannotBeEnded) {
            // The worker retires a transfer, then blocks on deviceLock (held
            // here) on its way to deliver the block.
            port->deviceLock.Enter();
            usb_.Complete(inFlight[0], {'x'});
            inFlight.erase(inFlight.begin());
            ASSERT_TRUE(Eventually([&] { return usb_.Unclosed() == 3; }));
            cehost::FailNthThreadTermination(1);
            EXPECT_FALSE(PortTeardown(port));
            EXPECT_EQ(cehost::RunningThreadCount(), 1u);
            EXPECT_TRUE(port->serviceThread != nullptr && port->rxSlots != nullptr);
            EXPECT_EQ(usb_.OpenPipes(), 2);
            port->deviceLock.Leave();
        }
        Finish(port);
        CloseHandle(gate);
        for (Transfer* t : inFlight)
            EXPECT_TRUE(t->aborted && t->closed);
        EXPECT_EQ(cehost::RunningThreadCount(), 0u);
    }
}

// ---- The basic port: packet sizes and write sizing -------------------------

using CoreSerialPortTest = CoreTest;

// Writes are cut to one byte short of a packet, and a length ending in 0xF
// to one less, unless the mode says otherwise; only bits 0-10 of
// wMaxPacketSize are the packet size. A port without a send endpoint opens
// one pipe and issues no write.
TEST_F(CoreSerialPortTest, WriteSizeLimitAndNibbleRule) {
    const DWORD requests[] = {100, 63, 62, 47, 16, 15, 0};
    struct Case {
        DWORD mode;
        DWORD issued[7];
    } const cases[] = {
        {0, {62, 62, 62, 46, 16, 14, 0}},
        {0x800, {63, 63, 62, 47, 16, 15, 0}},   // keeps lengths ending in 0xF
        {0x400, {100, 63, 62, 47, 16, 15, 0}},  // no limit
    };
    SerialPort* port = NewPort(4096, 64 | 0x800);
    StartIdle(port);
    BYTE data[100] = {};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        port->usbMode = c.mode;
        for (int i = 0; i < 7; ++i) {
            USB_TRANSFER t = port->IssueWrite(data, requests[i]);
            ASSERT_NE(t, nullptr);
            auto* fake = reinterpret_cast<Transfer*>(t);
            EXPECT_EQ(fake->length, c.issued[i]) << "request " << requests[i];
            EXPECT_EQ(fake->context, port->writeEvent);
            if (!fake->complete)
                usb_.CompleteOut(fake);
            EXPECT_TRUE(Signalled(port->writeEvent));
            usb_.Funcs()->lpCloseTransfer(t);
        }
    }
    Finish(port);
    port = NewPort(4096, 32);
    port->sendEndpoint = nullptr;
    StartIdle(port);
    EXPECT_EQ(usb_.OpenPipes(), 1);
    EXPECT_EQ(port->IssueWrite(data, 1), nullptr);
    Finish(port);
}

}  // namespace
}  // namespace drvtest
