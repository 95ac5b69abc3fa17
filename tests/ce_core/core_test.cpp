// The platform's contract with the driver and the tool: what makes it strict
// (the heap's fill pattern and failure injection, the misuse and leak counts
// every test ends on), events and critical sections, thread termination as a
// driver ends a worker that does not stop, strict priorities, and the
// registry with the REGEDIT4 text the tool keeps it in between runs.
#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "ce/windows.h"
#include "cehost/regfile.h"
#include "common/platform_test.h"
#include "plain_code_routines.h"

namespace {

using namespace std::chrono_literals;

class StrictnessTest : public PlatformTest {};

TEST_F(StrictnessTest, HeapFillPatternAndFailureInjection) {
    auto* fixed = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, 64));
    auto* zeroed = static_cast<uint8_t*>(LocalAlloc(LPTR, 32));
    EXPECT_EQ(std::count(fixed, fixed + 64, 0xCD), 64) << "garbage, as the device's heap leaves it";
    EXPECT_EQ(std::count(zeroed, zeroed + 32, 0), 32);
    LocalFree(fixed), LocalFree(zeroed);
    // A length gone negative fails cleanly (no host allocator abort).
    EXPECT_EQ(LocalAlloc(LMEM_FIXED, static_cast<size_t>(-4)), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
    cehost::FailNthAllocation(2), cehost::FailAllAllocationsFrom(5);
    std::string got;  // six allocations: o ok, x failed
    for (void* p = nullptr; got.size() < 6; LocalFree(p))
        got += (p = LocalAlloc(LPTR, 8)) ? 'o' : 'x';
    EXPECT_EQ(got, "oxooxx");
}

// Each misuse fails its call (a wait on a bad handle with WAIT_FAILED) and
// is counted once under its kind; every kind of object left behind at the
// end is a leak of its own kind.
TEST_F(StrictnessTest, MisuseAndLeaksAreCountedByKind) {
    void* p = LocalAlloc(LPTR, 4);
    LocalFree(p);
    EXPECT_EQ(LocalFree(p), p) << "a double free returns the block";
    HANDLE closed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_TRUE(CloseHandle(closed));
    EXPECT_EQ(WaitForSingleObject(closed, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(closed));
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_FALSE(SetEvent(reinterpret_cast<HANDLE>(uintptr_t{0xdead0001})));
    EXPECT_TRUE(CloseHandle(GetCurrentThread()));
    EXPECT_FALSE(TerminateThread(GetCurrentThread(), 0));  // not a platform thread
    CRITICAL_SECTION garbage, cs, left, copy;
    std::fill_n(reinterpret_cast<uint8_t*>(&garbage), sizeof garbage, 0xCD);
    EnterCriticalSection(&garbage);
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&(copy = cs));  // a copy is not the section
    LeaveCriticalSection(&cs);           // not held
    DeleteCriticalSection(&cs);
    EnterCriticalSection(&cs);
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"K", 0, nullptr, 0, 0, nullptr, &key, nullptr);
    RegCloseKey(key);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    // What stays at the end.
    InitializeCriticalSection(&left);
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"K", 0, nullptr, 0, 0, nullptr, &key, nullptr);
    void* block = LocalAlloc(LPTR, 4);
    auto wait = [](LPVOID e) -> DWORD { return WaitForSingleObject(e, INFINITE); };
    HANDLE t = CreateThread(nullptr, 0, wait, go, 0, nullptr);
    EXPECT_FALSE(SetEvent(t)) << "a thread is no event";
    for (const char* kind :
         {"heap.free.notlive", "handle.null", "handle.unknown", "handle.wrongkind", "handle.pseudo",
          "thread.terminate.foreign", "cs.leave.notowner", "cs.deleted", "reg.handle.closed"})
        ExpectMisuse(kind, 1);
    ExpectMisuse("handle.closed", 2);
    ExpectMisuse("cs.uninitialised", 2);
    cehost::SweepLeaks();
    for (const char* kind : {"cs.undeleted", "handle.event", "handle.regkey", "heap.block",
                             "thread.running", "handle.thread"})
        ExpectLeak(kind, 1);
    SetEvent(go), WaitForSingleObject(t, INFINITE), CloseHandle(t), CloseHandle(go);
    RegCloseKey(key), LocalFree(block), DeleteCriticalSection(&left);
    SkipLeakSweep();
}

class SyncTest : public PlatformTest {};

TEST_F(SyncTest, EventResetModesAndInitialState) {
    for (BOOL manual : {FALSE, TRUE})
        for (BOOL initial : {FALSE, TRUE}) {
            SCOPED_TRACE(testing::Message() << "manual " << manual << " initial " << initial);
            HANDLE e = CreateEventW(nullptr, manual, initial, nullptr);
            EXPECT_EQ(WaitForSingleObject(e, 0), initial ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
            EXPECT_TRUE(SetEvent(e) && SetEvent(e));  // sets do not accumulate
            EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
            EXPECT_EQ(WaitForSingleObject(e, 5), manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
            EXPECT_TRUE(ResetEvent(e));
            EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
            EXPECT_TRUE(CloseHandle(e));
        }
}

// Waiters on other threads: an auto-reset event releases one per set (a
// short settle shows that no second one followed); a close under a waiter
// fails its wait. A section entered twice is held until the second leave.
TEST_F(SyncTest, WaitersOnOtherThreads) {
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> waiting{0}, woken{0}, failed{0};
    auto waiter = [&] {
        ++waiting;
        ++(WaitForSingleObject(e, INFINITE) == WAIT_OBJECT_0 ? woken : failed);
    };
    std::thread w1(waiter), w2(waiter);
    auto settled = [](const std::atomic<int>& n, int want) {
        for (int i = 0; i < 5000 && n.load() < want; ++i)
            std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(30ms);
        return n.load();
    };
    EXPECT_EQ(settled(waiting, 2), 2);
    SetEvent(e);
    EXPECT_EQ(settled(woken, 1), 1);
    EXPECT_TRUE(CloseHandle(e));
    w1.join(), w2.join();
    EXPECT_EQ(failed.load(), 1);
    ExpectMisuse("event.closed.during.wait", 1);
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs), EnterCriticalSection(&cs);
    std::thread other([&] { EnterCriticalSection(&cs), ++woken, LeaveCriticalSection(&cs); });
    LeaveCriticalSection(&cs);
    EXPECT_EQ(settled(woken, 1), 1) << "still held once";
    LeaveCriticalSection(&cs);
    other.join();
    EXPECT_EQ(woken.load(), 2);
    DeleteCriticalSection(&cs);
}

class ThreadTest : public PlatformTest {
  protected:
    // The default modes, whatever the environment asks for: each test that
    // needs a strict mode sets it.
    void SetUp() override {
        PlatformTest::SetUp();
        cehost::SetSchedulingMode(cehost::SchedulingMode::kParallel);
        cehost::SetTerminationMode(cehost::TerminationMode::kAtTerminationPoint);
    }
    // Args in platform heap memory, freed right after the thread ended so
    // that ASan reports any later touch by it.
    static RoutineArgs* Start(Blocks how, HANDLE* t, CRITICAL_SECTION* cs = nullptr) {
        auto* a = static_cast<RoutineArgs*>(LocalAlloc(LPTR, sizeof(RoutineArgs)));
        *a = RoutineArgs{how, 0, 0, 0, CreateEventW(nullptr, FALSE, FALSE, nullptr), cs};
        *t = CreateThread(nullptr, 0, PlainRoutine, a, 0, nullptr);
        return a;
    }
    static void Finish(RoutineArgs* a, HANDLE t, DWORD code) {
        DWORD got = 0;
        EXPECT_TRUE(GetExitCodeThread(t, &got) && got == code) << got;
        EXPECT_EQ(ReadAcquire(&a->afterCall), 0) << "a platform call returned into the thread";
        CloseHandle(a->event), LocalFree(a), CloseHandle(t);
    }
};

// A thread blocked in a platform call is woken by TerminateThread and ends
// there: nothing after the call runs, its handle is signalled with the
// termination's code, and a section it held is released (and counted). One
// running plain code is waited for until its next platform call. Killed
// anywhere, a thread is parked where it is, never unwound: even in plain
// code, and a section it owns stays owned.
TEST_F(ThreadTest, TerminateEndsAThreadWhereverItIs) {
    using B = Blocks;
    const struct {
        Blocks how;
        bool anywhere;  // TerminationMode::kAnywhere
    } cases[] = {{B::kWaiting, false}, {B::kSleeping, false}, {B::kEntering, false},
                 {B::kHolding, false}, {B::kSpinning, false}, {B::kReturning, false},
                 {B::kSelf, false},    {B::kWaiting, true},   {B::kEntering, true},
                 {B::kSpinning, true}, {B::kHolding, true}};
    uint64_t parked = 0;
    for (const auto& [how, anywhere] : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(how) << (anywhere ? " anywhere" : ""));
        cehost::SetTerminationMode(anywhere ? cehost::TerminationMode::kAnywhere
                                            : cehost::TerminationMode::kAtTerminationPoint);
        const bool ends = how == B::kReturning || how == B::kSelf;
        const bool holds = how == B::kHolding || how == B::kReturning, kept = holds && anywhere;
        CRITICAL_SECTION cs;
        InitializeCriticalSection(&cs);
        if (how == B::kEntering)
            EnterCriticalSection(&cs);
        HANDLE t;
        RoutineArgs* a = Start(how, &t, &cs);
        while (ReadAcquire(&a->started) == 0)
            std::this_thread::sleep_for(1ms);
        std::thread releaser(
            [&] { std::this_thread::sleep_for(50ms), WriteRelease(&a->release, 1); });
        EXPECT_TRUE(ends || TerminateThread(t, 77));
        EXPECT_TRUE(ends || anywhere || how != B::kSpinning || ReadAcquire(&a->release))
            << "returned while the thread ran";
        releaser.join();
        EXPECT_EQ(WaitForSingleObject(t, ends ? 5000 : 0), WAIT_OBJECT_0);
        ExpectMisuse("thread.ended.holding.cs", holds && !anywhere);
        ExpectMisuse("thread.killed.holding.cs", kept);
        if (how != B::kEntering && !kept)
            EnterCriticalSection(&cs);  // would hang if the section stayed owned
        if (!kept)
            LeaveCriticalSection(&cs);
        DeleteCriticalSection(&cs);
        EXPECT_TRUE(TerminateThread(t, 5)) << "an ended thread is left alone";
        Finish(a, t, 77);
        EXPECT_EQ(cehost::ParkedThreadCount(), parked += anywhere);
    }
    cehost::SweepLeaks();
    ExpectLeak("thread.parked", parked);
    SkipLeakSweep();  // it would count the parked threads again
}

// Termination racing with the thread's start and with its entry into the
// wait: whichever point it reaches, it ends there and never gets past it.
TEST_F(ThreadTest, TerminateRacesWithStartAndWaitEntry) {
    const uint64_t running = cehost::RunningThreadCount();
    for (int i = 0; i < 200; ++i) {
        HANDLE t;
        RoutineArgs* a = Start(Blocks::kWaiting, &t);
        for (int spin = 0; spin < (i % 10) * 200; ++spin)
            ReadAcquire(&a->started);
        ASSERT_TRUE(TerminateThread(t, 1000 + i));
        Finish(a, t, 1000 + i);
    }
    EXPECT_EQ(cehost::RunningThreadCount(), running);
}

// Under CE scheduling a thread spinning with Sleep(0) keeps the CPU from
// every less urgent thread: a wait on one of them never ends. Sleep(1)
// blocks and lets it run; equal priorities take turns; a thread that owns a
// section a more urgent one waits for runs at the waiter's priority. Role 2
// spins until the flag is set or 500 ms pass, having released the others
// (so it holds the CPU first); role 1 sets the flag, inside the section that
// role 0 owns when there is one.
TEST_F(ThreadTest, SpinWaitsUnderStrictPriorities) {
    static struct {
        HANDLE go[3];
        CRITICAL_SECTION cs;
        LONG flag, saw;
        DWORD nap;
        int prio[3];  // 256 levels; prio[0] 0: no owner
    } s;
    static const LPTHREAD_START_ROUTINE routine = [](LPVOID p) -> DWORD {
        const auto role = reinterpret_cast<uintptr_t>(p);
        const bool owned = s.prio[0] > 0;
        CeSetThreadPriority(GetCurrentThread(), s.prio[role]);
        if (role == 0)
            EnterCriticalSection(&s.cs);
        WaitForSingleObject(s.go[role], INFINITE);
        if (role == 1 && owned)
            EnterCriticalSection(&s.cs);
        if (role == 1)
            InterlockedExchange(&s.flag, 1);
        if (role < 2 && owned)
            LeaveCriticalSection(&s.cs);
        if (role == 2)
            SetEvent(s.go[1]), SetEvent(s.go[0]);
        for (DWORD start = GetTickCount(); role == 2 && GetTickCount() - start < 500 &&
                                           !(s.saw = InterlockedCompareExchange(&s.flag, 0, 0));
             Sleep(s.nap)) {
        }
        return 0;
    };
    // Priorities of owner, other and spinner, the spinner's Sleep, and
    // whether the spinner sees the flag: Sleep(0) over a less urgent thread,
    // among equals, Sleep(1), the owner inheriting the waiter's priority.
    const int cases[][5] = {
        {0, 200, 150, 0, 0}, {0, 150, 150, 0, 1}, {0, 200, 150, 1, 1}, {200, 100, 150, 0, 1}};
    cehost::SetSchedulingMode(cehost::SchedulingMode::kCe);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c[0] << " " << c[1] << " " << c[2] << " " << c[3]);
        s = {{}, {}, 0, 0, DWORD(c[3]), {c[0], c[1], c[2]}};
        for (HANDLE& e : s.go)
            e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        InitializeCriticalSection(&s.cs);
        std::vector<HANDLE> threads;
        for (uintptr_t role = c[0] > 0 ? 0 : 1; role < 3; ++role)
            threads.push_back(CreateThread(nullptr, 0, routine, (LPVOID)role, 0, nullptr));
        std::this_thread::sleep_for(20ms);  // all of them waiting
        SetEvent(s.go[2]);
        for (HANDLE t : threads) {
            EXPECT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
            CloseHandle(t);
        }
        EXPECT_EQ(s.saw, c[4]);
        DeleteCriticalSection(&s.cs);
        for (HANDLE e : s.go)
            CloseHandle(e);
    }
}

// Values of every shape survive export and import byte for byte, and names
// ignore case (the tool's tests refuse a malformed file).
TEST_F(StrictnessTest, RegistryTextRoundTripsByteForByte) {
    const std::vector<uint8_t> odd = {0x41, 0x00, 0x42}, binary(300, 0x5A);
    cehost::RegWrite(u"Drivers\\T", u"Odd\"q\"\\", REG_SZ, odd);  // not a whole string
    cehost::RegWrite(u"Drivers\\T", u"", 0x1234, binary);
    cehost::RegWriteString(u"Drivers\\T", u"Dll", u"C:\\dir\\\"x\"");
    const std::string text = cehost::ExportRegText();
    cehost::ResetPlatform();
    ASSERT_TRUE(cehost::ImportRegText(text)) << text;
    EXPECT_EQ(cehost::RegRead(u"DRIVERS\\t", u"odd\"Q\"\\")->data, odd);
    EXPECT_EQ(cehost::RegRead(u"drivers\\t", u"")->data, binary);
    EXPECT_EQ(cehost::RegReadString(u"drivers\\t", u"dll"), u"C:\\dir\\\"x\"");
    EXPECT_EQ(cehost::ExportRegText(), text);
}

}  // namespace
