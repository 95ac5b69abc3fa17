// Open handles: lookup through the active key, first-open and last-close
// work, process-exit detach, device removal and close racing with calls.
#include <cstring>
#include <functional>

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

// No port behind the active key: the open fails and leaves nothing; so
// does COM_Init without a path. (Memory running out in COM_Init and
// COM_Open is swept by the stress suite's allocation sweeps.) A context
// keeps its own copy of the key's path; one whose key is gone cannot be
// deinitialised until the key is back.
TEST_F(OpenClose, OpenAndInitFailCleanly) {
    EXPECT_TRUE(COM_Close(StartPort()));
    struct Case {
        const char* name;
        DWORD type;
        DWORD value;  // 0xFFFFFFFF: a token that was released
    } const cases[] = {
        {"value absent", REG_NONE, 0},
        {"not a DWORD", REG_BINARY, 1},
        {"forged token", REG_DWORD, 0x7777},
        {"released token", REG_DWORD, 0xFFFFFFFF},
    };
    auto setClientInfo = [](DWORD type, DWORD value) {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kActiveKey, 0, 0, &key), ERROR_SUCCESS);
        if (type == REG_NONE)
            RegDeleteValue(key, u"ClientInfo");
        else
            RegSetValueEx(key, u"ClientInfo", 0, type, reinterpret_cast<BYTE*>(&value), 4);
        RegCloseKey(key);
    };
    for (const Case& c : cases) {
        DWORD value = c.value;
        if (value == 0xFFFFFFFF) {
            value = PortTokenRegister(port);
            PortTokenRelease(value);
        }
        setClientInfo(c.type, value);
        const uint64_t blocks = LiveBlocks();
        EXPECT_EQ(Open(), 0u) << c.name;
        EXPECT_EQ(LiveBlocks(), blocks) << c.name;
    }
    EXPECT_EQ(COM_Open(0, GENERIC_READ, 0), 0u);
    setClientInfo(REG_DWORD, token);
    // Nothing was linked: the next open is the first open.
    const int applied = port->applyCount.load();
    DWORD_PTR h = Open();
    EXPECT_NE(h, 0u);
    EXPECT_EQ(port->applyCount.load(), applied + 1);

    std::u16string path(kActiveKey);
    DWORD_PTR second = COM_Init(path.c_str(), nullptr);
    ASSERT_NE(second, 0u);
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
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, u"Drivers\\Active\\99", 0, nullptr, 0, 0, nullptr,
                             &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
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
    const int applied = port->applyCount.load();
    Feed(Pattern(5));
    DWORD_PTR b = Open();
    EXPECT_EQ(port->applyCount.load(), applied) << "a second open does not touch the device";
    EXPECT_EQ(PortDcb().BaudRate, 115200u);
    EXPECT_EQ(Read(b, 10), Pattern(5)) << "both handles share the ring and timeouts";
    EXPECT_TRUE(COM_Close(a));
    EXPECT_TRUE(COM_Close(b));
    DWORD_PTR c = Open();
    EXPECT_EQ(PortDcb().BaudRate, 9600u);
    COMMTIMEOUTS t{};
    EXPECT_TRUE(IoctlOut(c, IOCTL_SERIAL_GET_TIMEOUTS, &t));
    EXPECT_EQ(t.ReadIntervalTimeout, 250u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 100u);
}

// The last close ends the break, drops DTR and RTS and turns off handshake
// and XON/XOFF input control, once; also when the last handle was switched
// to the device's second channel (the primary port owns the handles).
TEST_F(OpenClose, LastCloseDropsLinesAndBreakOnce) {
    DWORD_PTR a = StartPort();
    DWORD_PTR b = Open();
    EditDcb(a, [](DCB& d) {
        d.fDtrControl = DTR_CONTROL_HANDSHAKE;
        d.fRtsControl = RTS_CONTROL_HANDSHAKE;
        d.fInX = 1;
        d.fOutX = 1;
    });
    EXPECT_TRUE(Ioctl(a, IOCTL_SERIAL_SET_BREAK_ON));
    const int breaks = port->breakCalls.load(), lineCalls = port->lineCalls.load();
    EXPECT_TRUE(COM_Close(a));
    EXPECT_EQ(port->breakCalls.load(), breaks) << "not the last handle";
    EXPECT_EQ(port->lineCalls.load(), lineCalls);
    StreamPort* second = new StreamPort();
    second->parent = port;
    port->secondChannel = second;
    EXPECT_TRUE(Ioctl(b, IOCTL_SERIAL_ENABLE_IR));
    EXPECT_EQ(reinterpret_cast<OpenHandle*>(b)->port, second);
    EXPECT_TRUE(COM_Close(b));
    port->secondChannel = nullptr;
    PortDelete(second);
    EXPECT_FALSE(port->breakOn.load());
    EXPECT_EQ(port->lines.load(), 0u);
    EXPECT_EQ(port->breakCalls.load(), breaks + 1);
    EXPECT_EQ(port->lineCalls.load(), lineCalls + 1);
    DCB dcb = PortDcb();
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_EQ(dcb.fOutX, 1u) << "nothing else in the DCB changes";
}

TEST_F(OpenClose, ProcessExitDetachesOnlyOnAValidNotice) {
    DWORD_PTR h = StartPort();
    struct Notice {
        const char* name;
        DWORD length, size, flags;
        bool detaches;
    } const notices[] = {
        {"short input", 12, 16, DLL_PROCESS_EXITING, false},
        {"wrong size field", 16, 24, DLL_PROCESS_EXITING, false},
        {"process detach", 16, 16, DLL_PROCESS_DETACH, false},
        {"process exiting", 16, 16, DLL_PROCESS_EXITING, true},
    };
    for (const Notice& n : notices) {
        BYTE record[24] = {};
        std::memcpy(record, &n.size, 4);
        std::memcpy(record + 4, &n.flags, 4);
        EXPECT_TRUE(Ioctl(h, IOCTL_PSL_NOTIFY, record, n.length)) << n.name;
        DWORD mask = 0;
        EXPECT_EQ(IoctlOut(h, IOCTL_SERIAL_GET_WAIT_MASK, &mask), n.detaches ? FALSE : TRUE)
            << n.name;
        if (n.detaches) {
            EXPECT_EQ(port->breakCalls.load(), 1) << "last-close work ran once";
        }
    }
    DWORD result = 0;
    SetLastError(0);
    Read(h, 4, &result);
    EXPECT_EQ(result, 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(COM_Close(h));
    EXPECT_EQ(port->breakCalls.load(), 1);
}

// A handle cut loose by a process-exit notice whose close never comes
// because the device went first (the device manager delivers no call after
// a removal has started) is freed by the removal.
TEST_F(OpenClose, RemovalFreesHandlesAwaitingTheirClose) {
    DWORD_PTR exited = StartPort();
    const uint64_t blocks = LiveBlocks();
    ASSERT_NE(Open(), 0u);
    EXPECT_TRUE(Ioctl(exited, IOCTL_PSL_NOTIFY, kExitNotice, 16));
    EXPECT_TRUE(Deinit());
    EXPECT_EQ(LiveBlocks(), blocks - 2) << "both records and the context";
}

// A call that the wake passes cannot end (here a slow host call inside a
// write) keeps its record: the close returns after its passes, and the call
// finishes on memory that is still live and frees the record on its way out.
TEST_F(OpenClose, CloseNeverFreesUnderARunningCall) {
    DWORD_PTR h = StartPort();
    const uint64_t blocks = LiveBlocks();
    port->issueDelayMs = 700;
    std::atomic<DWORD> written{0};
    std::thread writer([&] { written = Write(h, Pattern(10)); });
    ASSERT_TRUE(Eventually([&] { return ReadAcquire(&port->writeBusy) != 0; }));
    EXPECT_TRUE(COM_Close(h));
    writer.join();
    EXPECT_EQ(written.load(), 10u) << "the transfer was under way when the handle went";
    EXPECT_LT(LiveBlocks(), blocks) << "the last call out freed the record";
}

// Device removal while reads, writes and waits block on several handles:
// every call returns, each with its detach outcome.
TEST_F(OpenClose, RemovalEndsBlockedCallsOnEveryHandle) {
    DWORD_PTR reader = StartPort();
    DWORD_PTR writer = Open(), waiter1 = Open(), waiter2 = Open();
    SetTimeouts(reader, 0, 0, 0);  // reads wait with no limit
    host.HoldWrites(true, 3);
    for (DWORD_PTR w : {waiter1, waiter2})
        ASSERT_TRUE(IoctlIn(w, IOCTL_SERIAL_SET_WAIT_MASK, DWORD{EV_CTS}));
    std::atomic<DWORD> readResult{1}, writeResult{0};
    std::atomic<int> waitErrors{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] { readResult = Read(reader, 10).size(); });
    threads.emplace_back([&] { writeResult = Write(writer, Pattern(20)); });
    for (DWORD_PTR w : {waiter1, waiter2}) {
        threads.emplace_back([&, w] {
            DWORD events = 0xFF, actual = 0;
            if (!Ioctl(w, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, 4, &actual) &&
                GetLastError() == ERROR_INVALID_HANDLE && events == 0)
                ++waitErrors;
        });
    }
    ASSERT_TRUE(host.WaitPending(kOut, 1, 2000));
    ASSERT_TRUE(Eventually([&] {
        return ReadAcquire(&port->readBusy) != 0 &&
               ReadAcquire(&reinterpret_cast<OpenHandle*>(waiter1)->waitState) == 1 &&
               ReadAcquire(&reinterpret_cast<OpenHandle*>(waiter2)->waitState) == 1;
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
// (here a request whose synchronous transfer the host holds) keeps its port:
// the removal frees the port, its locks and events only once the call has
// left (the sanitizers would see a use after free; the platform would count
// calls on a deleted lock and closed events).
TEST_F(OpenClose, RemovalWaitsForCallsInsideThePort) {
    DWORD_PTR h = StartPort();
    host.SyncGate().Arm();
    std::thread request([&] {
        BYTE ch = 'x';
        Ioctl(h, IOCTL_SERIAL_IMMEDIATE_CHAR, &ch, 1);
    });
    ASSERT_TRUE(Eventually([&] { return host.SyncGate().waiting.load() == 1; }));
    std::atomic<bool> removed{false};
    std::thread removal([&] {
        Remove();
        removed = true;
    });
    // Twice the passes' 300 ms: the removal is still waiting for the request.
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_FALSE(removed.load());
    host.SyncGate().Release();
    request.join();
    removal.join();
    EXPECT_TRUE(removed.load());
}

// An open still under way when the removal takes the port's handles (here
// held up behind a close's slow last-close work) fails and leaves no record
// on the port that is about to be freed.
TEST_F(OpenClose, OpenOvertakenByTheRemovalFailsCleanly) {
    DWORD_PTR a = StartPort();
    BreakGate().Arm();
    std::thread closer([&] { COM_Close(a); });
    ASSERT_TRUE(Eventually([] { return BreakGate().waiting.load() == 1; }));
    std::atomic<DWORD_PTR> opened{1};
    const DWORD_PTR device = context;  // the removal clears the fixture's copy
    std::thread opener([&] { opened = COM_Open(device, GENERIC_READ | GENERIC_WRITE, 0); });
    StreamPort* going = port;
    std::thread removal([&] { Remove(); });
    // The removal's COM_Deinit has taken the list while the open waits.
    ASSERT_TRUE(Eventually([&] {
        going->openLock.Enter();
        bool barred = going->openBarred != 0;
        going->openLock.Leave();
        return barred;
    }));
    BreakGate().Release();
    closer.join();
    opener.join();
    removal.join();
    EXPECT_EQ(opened.load(), 0u);
}

// The last close's work (slow here) and a first open that follows it run one
// after the other: the close never drops the lines the new handle raised.
TEST_F(OpenClose, LastCloseNeverUndoesALaterFirstOpen) {
    DWORD_PTR a = StartPort();
    BreakGate().Arm();
    std::thread closer([&] { COM_Close(a); });
    ASSERT_TRUE(Eventually([] { return BreakGate().waiting.load() == 1; }));
    std::atomic<bool> raised{false};
    std::thread opener([&] {
        DWORD_PTR b = Open();
        EditDcb(b, [](DCB& d) { d.fDtrControl = DTR_CONTROL_ENABLE; });
        raised = true;
    });
    // An open that overtook the close's work would be done well before this.
    Eventually([&] { return raised.load(); }, 300);
    BreakGate().Release();
    closer.join();
    opener.join();
    EXPECT_EQ(port->lines.load() & kLineDtr, kLineDtr);
    EXPECT_EQ(PortDcb().fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
}

// A writer still inside on a handle cut loose by a process-exit notice keeps
// the send side: the next first open does not hand it to another writer.
TEST_F(OpenClose, FirstOpenLeavesADirectionToTheCallThatOwnsIt) {
    DWORD_PTR a = StartPort();
    FinishGate().Arm();
    std::thread writer([&] { Write(a, Pattern(4)); });
    ASSERT_TRUE(Eventually([] { return FinishGate().waiting.load() == 1; }));
    EXPECT_TRUE(Ioctl(a, IOCTL_PSL_NOTIFY, kExitNotice, 16));
    DWORD_PTR b = Open();
    BYTE byte = 0x42;
    SetLastError(0);
    EXPECT_EQ(COM_Write(b, &byte, 1), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    FinishGate().Release();
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
    const struct {
        const char* call;
        std::function<BOOL()> run;
        DWORD error;
    } late[] = {
        {"read", [&] { return COM_Read(h, &byte, 1) != 0xFFFFFFFFu; }, ERROR_INVALID_HANDLE},
        {"write", [&] { return COM_Write(h, &byte, 1) != 0xFFFFFFFFu; }, ERROR_INVALID_HANDLE},
        {"request", [&] { return IoctlOut(h, IOCTL_SERIAL_GET_MODEMSTATUS, &status); },
         ERROR_INVALID_HANDLE},
        {"close", [&] { return COM_Close(h); }, ERROR_INVALID_HANDLE},
        {"open", [&] { return COM_Open(stale, GENERIC_READ, 0) != 0; }, 0},
    };
    for (const auto& c : late) {
        SetLastError(0);
        EXPECT_FALSE(c.run()) << c.call;
        EXPECT_EQ(GetLastError(), c.error) << c.call;
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
        std::thread writer([&] { Write(a, Pattern(4)); });
        ASSERT_TRUE(Eventually([&] { return ReadAcquire(&port->writeBusy) != 0; }));
        std::thread closer([&] { COM_Close(a); });
        ASSERT_TRUE(Eventually([&] {
            return ReadPointerAcquire(reinterpret_cast<PVOID volatile*>(
                       &reinterpret_cast<OpenHandle*>(a)->port)) == nullptr;
        }));
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
