// Open handles: lookup through the active key, first-open and last-close
// work, process-exit detach, device removal and close racing with calls.
#include <cstring>
#include <functional>
#include <tuple>

#include "ce/windows.h"
#include "cehost/core.h"
#include "driver/registration/port_token.h"
#include "driver/stream/com_entry.h"
#include "driver_stream/stream_fixture.h"

namespace streamtest {
namespace {

using OpenClose = StreamTest;

uint64_t LiveBlocks() {
    return cehost::GetHeapStats().liveBlocks;
}

// No port behind the active key ("ClientInfo" of the wrong type, a forged or
// a released token): the open fails and leaves nothing; so does COM_Init
// without a path. (Memory running out in COM_Init and COM_Open is swept by
// the stress suite's allocation sweeps.) A context keeps its own copy of the
// key's path; one whose key is gone cannot be deinitialised until the key is
// back.
TEST_F(OpenClose, OpenAndInitFailCleanly) {
    EXPECT_TRUE(COM_Close(StartPort()));
    const DWORD released = PortTokenRegister(port);
    PortTokenRelease(released);
    for (auto [type, value] :
         {std::pair<DWORD, DWORD>{REG_BINARY, token}, {REG_DWORD, 0x7777}, {REG_DWORD, released}}) {
        SetClientInfo(kActiveKey, type, value);
        const uint64_t blocks = LiveBlocks();
        EXPECT_EQ(Open(), 0u) << value;
        EXPECT_EQ(LiveBlocks(), blocks) << value;
    }
    EXPECT_EQ(COM_Open(0, GENERIC_READ, 0), 0u);
    SetClientInfo(kActiveKey, REG_DWORD, token);
    EXPECT_NE(Open(), 0u);

    std::u16string path(kActiveKey);
    DWORD_PTR second = COM_Init(path.c_str(), nullptr);
    path[0] = u'X';
    DWORD_PTR h2 = COM_Open(second, GENERIC_READ, 0);
    EXPECT_NE(h2, 0u);
    EXPECT_TRUE(COM_Close(h2));
    EXPECT_TRUE(COM_Deinit(second));
    const uint64_t blocks = LiveBlocks();
    EXPECT_EQ(COM_Init(nullptr, nullptr), 0u);
    EXPECT_EQ(LiveBlocks(), blocks);
    DWORD_PTR orphan = COM_Init(u"Drivers\\Active\\99", nullptr);
    EXPECT_FALSE(COM_Deinit(orphan));
    SetClientInfo(u"Drivers\\Active\\99", REG_DWORD, 0);
    EXPECT_TRUE(COM_Deinit(orphan));  // a key that names no port: only the context goes
}

// The first open drops what arrived before it and resets the settings;
// later opens share the port as it is.
TEST_F(OpenClose, FirstOpenDiscardsAndResetsLaterOpensShare) {
    EXPECT_TRUE(COM_Close(StartPort()));
    Feed(Pattern(100));
    DWORD_PTR a = Open();
    EXPECT_EQ(Held(), 0) << "bytes from before the first open are dropped";
    EXPECT_EQ(port->applyCount.load(), 2);
    SetTimeouts(a, MAXDWORD, 0, 0);
    EditDcb(a, [](DCB& d) { d.BaudRate = 115200; });
    Feed(Pattern(5));
    DWORD_PTR b = Open();
    EXPECT_EQ(port->applyCount.load(), 3) << "a second open does not touch the device";
    EXPECT_EQ(PortDcb().BaudRate, 115200u);
    EXPECT_EQ(Read(b, 10), Pattern(5)) << "both handles share the ring and timeouts";
    EXPECT_TRUE(COM_Close(a));
    EXPECT_TRUE(COM_Close(b));
    DWORD_PTR c = Open();
    EXPECT_EQ(PortDcb().BaudRate, 9600u);
    COMMTIMEOUTS t{};
    EXPECT_TRUE(IoctlOut(c, IOCTL_SERIAL_GET_TIMEOUTS, &t));
    EXPECT_EQ(t.ReadIntervalTimeout, 250u);
}

// The last close ends the break, drops DTR and RTS and turns off handshake
// and XON/XOFF input control, once. (A last close made on a two-channel
// device's second channel: CdcTwoChannel.HandleSwitchesChannelsAndBack.)
TEST_F(OpenClose, LastCloseDropsLinesAndBreakOnce) {
    DWORD_PTR a = StartPort();
    DWORD_PTR b = Open();
    EditDcb(a, [](DCB& d) {
        d.fDtrControl = DTR_CONTROL_HANDSHAKE;
        d.fRtsControl = RTS_CONTROL_HANDSHAKE;
        d.fInX = d.fOutX = 1;
    });
    EXPECT_TRUE(Ioctl(a, IOCTL_SERIAL_SET_BREAK_ON));
    const int breaks = port->breakCalls.load(), lineCalls = port->lineCalls.load();
    EXPECT_TRUE(COM_Close(a));
    EXPECT_EQ(port->breakCalls.load() + port->lineCalls.load(), breaks + lineCalls);
    EXPECT_TRUE(COM_Close(b));
    EXPECT_FALSE(port->breakOn.load());
    EXPECT_EQ(port->lines.load(), 0u);
    EXPECT_EQ(port->breakCalls.load(), breaks + 1);
    EXPECT_EQ(port->lineCalls.load(), lineCalls + 1);
    const DCB dcb = PortDcb();
    EXPECT_EQ(dcb.fDtrControl + dcb.fRtsControl + dcb.fInX, 0u) << "all three off";
    EXPECT_EQ(dcb.fOutX, 1u) << "nothing else in the DCB changes";
}

// Only a notice of the right length and size field for an exiting process
// detaches the handle, which then fails every call with
// ERROR_INVALID_HANDLE; the last-close work runs once, not again on close.
TEST_F(OpenClose, ProcessExitDetachesOnlyOnAValidNotice) {
    DWORD_PTR h = StartPort();
    // The notice's length, its size field, its flags; only the last is valid.
    for (auto [length, size, flags] : {std::tuple<DWORD, DWORD, DWORD>{12, 16, DLL_PROCESS_EXITING},
                                       {16, 24, DLL_PROCESS_EXITING},
                                       {16, 16, DLL_PROCESS_DETACH},
                                       {16, 16, DLL_PROCESS_EXITING}}) {
        const DWORD record[6] = {size, flags};
        EXPECT_TRUE(Ioctl(h, IOCTL_PSL_NOTIFY, record, length));
        DWORD mask = 0;
        EXPECT_EQ(IoctlOut(h, IOCTL_SERIAL_GET_WAIT_MASK, &mask),
                  size != 16 || length != 16 || flags != DLL_PROCESS_EXITING)
            << length;
    }
    EXPECT_EQ(port->breakCalls.load(), 1) << "last-close work ran once";
    // The detached handle fails reads, writes and every serial request.
    BYTE buffer[64] = {};
    for (DWORD function = 0; function <= 24; ++function) {
        SetLastError(0);
        EXPECT_FALSE(function == 0    ? COM_Read(h, buffer, 4) != 0xFFFFFFFFu
                     : function == 24 ? COM_Write(h, buffer, 4) != 0xFFFFFFFFu
                                      : Ioctl(h, SERIAL_IOCTL(function), buffer, 64, buffer, 64));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << function;
    }
    EXPECT_TRUE(COM_Close(h));
    EXPECT_EQ(port->breakCalls.load(), 1);
}

// A call that the wake passes cannot end (here a slow host call inside a
// write) keeps its record: the close returns after its passes, and the call
// finishes on memory that is still live and frees the record on its way out.
TEST_F(OpenClose, CloseNeverFreesUnderARunningCall) {
    DWORD_PTR h = StartPort();
    const uint64_t blocks = LiveBlocks();
    port->issueDelayMs = 700;
    std::atomic<DWORD> written{0};
    std::thread writer = Started([&] { written = Write(h, Pattern(10)); },
                                 [&] { return ReadAcquire(&port->writeBusy) != 0; });
    EXPECT_TRUE(COM_Close(h));
    writer.join();
    EXPECT_EQ(written.load(), 10u) << "the transfer was under way when the handle went";
    EXPECT_LT(LiveBlocks(), blocks) << "the last call out freed the record";
}

// Device removal while reads, writes and waits block on several handles:
// every call returns, each with its detach outcome. A handle cut loose by a
// process-exit notice, whose close never comes because the device went first
// (the device manager delivers no call after a removal has started), is
// freed by the removal (else the leak sweep counts it).
TEST_F(OpenClose, RemovalEndsBlockedCallsOnEveryHandle) {
    DWORD_PTR reader = StartPort();
    DWORD_PTR writer = Open(), waiters[] = {Open(), Open()};
    EXPECT_TRUE(Ioctl(Open(), IOCTL_PSL_NOTIFY, kExitNotice, 16));
    SetTimeouts(reader, 0, 0, 0);  // reads wait with no limit
    host.HoldWrites(true, 3);
    std::atomic<DWORD> readResult{1}, writeResult{0};
    std::atomic<int> waitErrors{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] { readResult = Read(reader, 10).size(); });
    threads.emplace_back([&] { writeResult = Write(writer, Pattern(20)); });
    for (DWORD_PTR w : waiters) {
        ASSERT_TRUE(IoctlIn(w, IOCTL_SERIAL_SET_WAIT_MASK, DWORD{EV_CTS}));
        threads.emplace_back([&, w] {
            DWORD events = 0xFF, actual = 0;
            if (!Ioctl(w, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, 4, &actual) &&
                GetLastError() == ERROR_INVALID_HANDLE && events == 0)
                ++waitErrors;
        });
    }
    ASSERT_TRUE(Eventually([&] {
        return ReadAcquire(&port->readBusy) != 0 && host.Pending(kOut).size() == 1 &&
               ReadAcquire(&Rec(waiters[0])->waitState) == 1 &&
               ReadAcquire(&Rec(waiters[1])->waitState) == 1;
    }));
    EXPECT_TRUE(Deinit());
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(readResult.load(), 0u);
    EXPECT_EQ(writeResult.load(), 3u) << "the partial count of the aborted transfer";
    EXPECT_EQ(waitErrors.load(), 2);
    port->openLock.Enter();
    EXPECT_EQ(port->openList, nullptr);
    port->openLock.Leave();
}

// A call still inside the driver when the removal's wake passes are over
// (here a slow break request) keeps its port: the removal frees the port,
// its locks and events only once the call has left (the sanitizers would see
// a use after free; the platform would count calls on a deleted lock and
// closed events).
TEST_F(OpenClose, RemovalWaitsForCallsInsideThePort) {
    DWORD_PTR h = StartPort();
    std::thread request = HeldAt(breakGate, [&] { Ioctl(h, IOCTL_SERIAL_SET_BREAK_ON); });
    std::atomic<bool> removed{false};
    std::thread removal([&] {
        Remove();
        removed = true;
    });
    // Twice the passes' 300 ms: the removal is still waiting for the request.
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_FALSE(removed.load());
    breakGate.Release();
    request.join();
    removal.join();
    EXPECT_TRUE(removed.load());
}

// An open that comes while a close's last-close work (slow here) runs waits
// for it: the close never drops the lines the new handle raised. One still
// under way when the removal takes the port's handles fails and leaves no
// record on the port that is about to be freed.
TEST_F(OpenClose, OpenBehindASlowLastClose) {
    for (bool removal : {false, true}) {
        SCOPED_TRACE(removal);
        DWORD_PTR a = StartPort();
        std::thread closer = HeldAt(breakGate, [&] { COM_Close(a); });
        std::atomic<DWORD_PTR> opened{1};
        const DWORD_PTR device = context;  // the removal clears the fixture's copy
        std::thread opener([&] {
            DWORD_PTR b = COM_Open(device, GENERIC_READ | GENERIC_WRITE, 0);
            if (b != 0)
                EditDcb(b, [](DCB& d) { d.fDtrControl = DTR_CONTROL_ENABLE; });
            opened = b;
        });
        StreamPort* going = port;
        std::thread remover;
        if (removal) {
            // The removal's COM_Deinit has taken the list while the open waits.
            remover = Started([&] { Remove(); },
                              [&] {
                                  going->openLock.Enter();
                                  bool barred = going->openBarred != 0;
                                  going->openLock.Leave();
                                  return barred;
                              });
        } else {
            // An open that overtook the close's work would be done well before this.
            Eventually([&] { return opened.load() != 1; }, 300);
        }
        breakGate.Release();
        closer.join();
        opener.join();
        if (removal) {
            remover.join();
            EXPECT_EQ(opened.load(), 0u);
        } else {
            EXPECT_EQ(port->lines.load() & kLineDtr, kLineDtr);
            EXPECT_EQ(PortDcb().fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
        }
        Restart();
    }
}

// A writer still inside on a handle cut loose by a process-exit notice keeps
// the send side: the next first open does not hand it to another writer.
TEST_F(OpenClose, FirstOpenLeavesADirectionToTheCallThatOwnsIt) {
    DWORD_PTR a = StartPort();
    std::thread writer = HeldAt(finishGate, [&] { Write(a, Pattern(4)); });
    EXPECT_TRUE(Ioctl(a, IOCTL_PSL_NOTIFY, kExitNotice, 16));
    DWORD_PTR b = Open();
    BYTE byte = 0x42;
    SetLastError(0);
    EXPECT_EQ(COM_Write(b, &byte, 1), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    finishGate.Release();
    writer.join();
    EXPECT_EQ(COM_Write(b, &byte, 1), 1u);
    EXPECT_TRUE(COM_Close(a));
}

// The device manager lets a call in, then a removal starts before the call
// reaches the driver: the read, write, request or close arrives after
// COM_Deinit freed the record, the open after it freed the device context.
// Each fails without touching freed memory (the sanitizers would see it; the
// platform would count a second close of its event and a second free); the
// calls on a handle say ERROR_INVALID_HANDLE, the open, like its other
// failures, sets no last-error value. A close that comes after the removal
// began but before COM_Deinit unlinks its record first.
TEST_F(OpenClose, CallsDeliveredAfterTheRemovalFindNoRecord) {
    DWORD_PTR h = StartPort();
    const DWORD_PTR stale = context;
    EXPECT_TRUE(Deinit());
    BYTE byte = 0;
    DWORD status = 0;
    const std::function<BOOL()> late[] = {
        [&] { return COM_Read(h, &byte, 1) != 0xFFFFFFFFu; },
        [&] { return COM_Write(h, &byte, 1) != 0xFFFFFFFFu; },
        [&] { return IoctlOut(h, IOCTL_SERIAL_GET_MODEMSTATUS, &status); },
        [&] { return COM_Close(h); },
        [&] { return COM_Open(stale, GENERIC_READ, 0) != 0; },
    };
    for (const auto& call : late) {
        SetLastError(0);
        EXPECT_FALSE(call());
        EXPECT_EQ(GetLastError(), &call == &late[4] ? 0u : DWORD{ERROR_INVALID_HANDLE});
    }
    Restart();
    DWORD_PTR a = StartPort();
    ASSERT_NE(Open(), 0u);  // a second handle, freed by the removal
    PortTokenClose(token);
    EXPECT_TRUE(COM_Close(a));
}

// A close that races with the removal of its device (the close already
// inside the driver, waiting for a call on its handle): whichever finishes
// first, the record is freed exactly once and never under the running call
// (the platform counts a second free; the sanitizers see a use after free).
TEST_F(OpenClose, CloseRacingWithRemovalFreesOnce) {
    for (int round = 0; round < 4; ++round) {
        DWORD_PTR a = StartPort();
        port->issueDelayMs = 120;
        ASSERT_NE(Open(), 0u);  // a second handle, freed by the removal
        std::thread writer = Started([&] { Write(a, Pattern(4)); },
                                     [&] { return ReadAcquire(&port->writeBusy) != 0; });
        auto* record = reinterpret_cast<PVOID volatile*>(&Rec(a)->port);
        std::thread closer =
            Started([&] { COM_Close(a); }, [&] { return ReadPointerAcquire(record) == nullptr; });
        if (round % 2 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_TRUE(Deinit());
        closer.join();
        writer.join();
        Remove();
    }
}

}  // namespace
}  // namespace streamtest
