// Port lifecycle: initialisation and its failures, priorities, the running
// worker thread, and teardown with transfers outstanding (ending normally,
// by termination, or not at all). (A start that fails is tested end to end:
// each allocation, event and thread creation failing in turn by the stress
// suite's allocation sweeps, a class start refusing a packet size by the
// bad-input sweeps.)
#include <string>

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
    struct Case {
        const char* hide;  // a priority call the platform lacks
        int creator256;    // priority of the thread running PortInit
        LONG priority256;
        int expectedWorker;
    } const cases[] = {
        {nullptr, 251, 130, 130},
        {nullptr, 120, -4, 120},                 // negative means none
        {"CeGetThreadPriority", 251, 0, 251},    // creator's, 8 levels
        {"CeSetThreadPriority", 251, 100, 248},  // urgent on 8 levels: level 0
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.priority256);
        cehost::RestoreCoredllProcs();
        RecordingPort::firstPassPriority = -1;
        if (c.hide != nullptr)
            cehost::HideCoredllProc(c.hide);
        struct Args {
            RecordingPort* port;
            int creator;
            BOOL ok;
        } args{NewPort<RecordingPort>(), c.creator256, FALSE};
        args.port->priority256 = c.priority256;
        usb_.FailIssues(-1);
        // PortInit runs on a platform thread of the wanted priority, as the
        // host's attach thread would.
        auto body = [](LPVOID p) -> DWORD {
            auto* a = static_cast<Args*>(p);
            CeSetThreadPriority(GetCurrentThread(), a->creator);
            a->ok = PortInit(a->port);
            return 0;
        };
        HANDLE creator = CreateThread(nullptr, 0, body, &args, 0, nullptr);
        ASSERT_EQ(WaitForSingleObject(creator, 5000), WAIT_OBJECT_0);
        CloseHandle(creator);
        ASSERT_TRUE(args.ok);
        EndWorker(args.port);
        usb_.FailIssues(0);
        EXPECT_EQ(args.port->defaultPriority256, c.creator256);
        EXPECT_EQ(RecordingPort::firstPassPriority, c.expectedWorker);
        Finish(args.port);
    }
}

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
    const struct {
        Worker worker;
        bool cdc;  // with a CDC port's status transfer
    } cases[] = {{kEnds, false}, {kSlow, false}, {kSlow, true}, {kCannotBeEnded, false}};
    USB_ENDPOINT status = fakeusb::BulkEndpoint(0x83, 16);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.worker + 10 * c.cdc);
        usb_.Reset();
        usb_.HoldWrites(true);
        HANDLE gate = CreateEvent(nullptr, TRUE, FALSE, nullptr);
        SerialPort* port;
        LONG* stall;
        auto make = [&](auto* p) {
            p->gate = gate;
            stall = &p->stall;
            port = p;
        };
        if (c.cdc) {
            auto* cdc = NewPort<StallingPort<CdcPort>>();
            cdc->classEndpoint = &status;
            make(cdc);
        } else {
            make(NewPort<StallingPort<SerialPort>>());
        }
        ASSERT_TRUE(PortInit(port));
        ASSERT_TRUE(usb_.WaitPending(kInAddress, 4));
        usb_.Complete(usb_.Pending(kInAddress)[0], {'h', 'i'});
        ASSERT_TRUE(Eventually([&] { return ReadAcquire(&port->ringHead) == 2; }));
        EXPECT_EQ(Held(port), (std::vector<BYTE>{'h', 'i'}));
        ASSERT_TRUE(usb_.WaitPending(kInAddress, 4));  // refilled
        ASSERT_TRUE(usb_.WaitPending(0x83, c.cdc ? 1 : 0));
        std::vector<Transfer*> inFlight = usb_.Pending(kInAddress), onStatus = usb_.Pending(0x83);
        inFlight.insert(inFlight.end(), onStatus.begin(), onStatus.end());
        usb_.SetCancelOnClose(c.worker == kEnds);
        if (c.worker == kSlow) {
            WriteRelease(stall, 1);
            SetEvent(port->serviceEvent);
        }
        if (c.worker == kCannotBeEnded) {
            // The worker retires a transfer, then blocks on deviceLock (held
            // here) on its way to deliver the block.
            port->deviceLock.Enter();
            usb_.Complete(inFlight[0], {'x'});
            inFlight.erase(inFlight.begin());
            ASSERT_TRUE(Eventually([&] { return usb_.Unclosed() == 3; }));
            cehost::FailNthThreadTermination(1);
            EXPECT_FALSE(PortTeardown(port));
            EXPECT_EQ(cehost::RunningThreadCount(), 1u);
            EXPECT_NE(port->serviceThread, nullptr);
            EXPECT_NE(port->rxSlots, nullptr);
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

// Only bits 0-10 of wMaxPacketSize are the packet size; a port without a
// send endpoint opens one pipe and issues no write.
TEST_F(CoreSerialPortTest, PacketSizesFromTheEndpoints) {
    struct Case {
        bool out;
        uint16_t packet;
        LONG maxWrite, transfer;
        int pipes;
    } const cases[] = {
        {true, 512, 511, 512, 2}, {true, 64 | 0x800, 63, 64, 2}, {false, 32, 63, 32, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.packet);
        SerialPort* port = NewPort(4096, c.packet);
        if (!c.out)
            port->sendEndpoint = nullptr;
        StartIdle(port);
        EXPECT_EQ(port->maxWriteSize, c.maxWrite);
        EXPECT_EQ(port->rxTransferSize, c.transfer);
        EXPECT_EQ(usb_.OpenPipes(), c.pipes);
        const BYTE ch = 0;
        EXPECT_TRUE(c.out || port->IssueWrite(&ch, 1) == nullptr);
        Finish(port);
    }
}

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
    SerialPort* port = NewPort();
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
}

}  // namespace
}  // namespace drvtest
