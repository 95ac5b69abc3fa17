// Threads: handles and exit codes, termination, priorities, ticks, last error.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "ce/heap.h"
#include "ce/sync.h"
#include "ce/thread.h"
#include "common/platform_test.h"
#include "plain_code_routines.h"

namespace {

using namespace std::chrono_literals;

class ThreadTest : public PlatformTest {
  protected:
    // The default modes, whatever the environment asks for: each test that
    // needs a strict mode sets it.
    void SetUp() override {
        PlatformTest::SetUp();
        cehost::SetSchedulingMode(cehost::SchedulingMode::kParallel);
        cehost::SetTerminationMode(cehost::TerminationMode::kAtTerminationPoint);
    }

    // Args in platform heap memory, freed right after termination so that
    // ASan reports any later touch by the terminated thread.
    RoutineArgs* NewArgs() {
        auto* a = static_cast<RoutineArgs*>(LocalAlloc(LPTR, sizeof(RoutineArgs)));
        a->event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        return a;
    }
    void FreeArgs(RoutineArgs* a) {
        CloseHandle(a->event);
        LocalFree(a);
    }
    static void AwaitStart(RoutineArgs* a) {
        while (ReadAcquire(&a->started) == 0)
            std::this_thread::sleep_for(1ms);
    }
};

TEST_F(ThreadTest, HandleSignalledAtExitWithExitCode) {
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0;
    HANDLE t = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            WaitForSingleObject(p, INFINITE);
            return 42;
        },
        release, 0, &id);
    ASSERT_NE(t, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(t, 20), WAIT_TIMEOUT);
    SetEvent(release);
    EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0) << "stays signalled";
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 42u);
    CloseHandle(t);
    CloseHandle(release);
}

TEST_F(ThreadTest, CreateSuspendedAndNullRoutineFail) {
    auto routine = [](LPVOID) -> DWORD { return 0; };
    EXPECT_EQ(CreateThread(nullptr, 0, routine, nullptr, CREATE_SUSPENDED, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
}

TEST_F(ThreadTest, RunningThreadAtTheEndIsALeak) {
    RoutineArgs* a = NewArgs();
    HANDLE t = CreateThread(nullptr, 0, WaitingRoutine, a, 0, nullptr);
    AwaitStart(a);
    cehost::SweepLeaks();
    ExpectLeak("thread.running", 1);
    // Its handle, its event and its arguments are still live too.
    ExpectLeak("handle.thread", 1);
    ExpectLeak("handle.event", 1);
    ExpectLeak("heap.block", 1);
    SetEvent(a->event);
    WaitForSingleObject(t, 5000);
    CloseHandle(t);
    FreeArgs(a);
}

// A thread blocked in a platform call is woken and ends at once; nothing
// after the call runs; its handle carries the termination's exit code.
// Killed anywhere, a thread is parked where it is, never unwound: even in
// plain code, and a section it owns stays owned.
TEST_F(ThreadTest, TerminateEndsABlockedThread) {
    struct Case {
        const char* what;
        LPTHREAD_START_ROUTINE routine;
        bool holdsSection;  // section held by the test while the thread blocks
        bool anywhere;      // TerminationMode::kAnywhere
        int keptSections;   // sections the parked thread keeps owned
    };
    const Case cases[] = {
        {"in WaitForSingleObject", WaitingRoutine, false, false, 0},
        {"in Sleep", SleepingRoutine, false, false, 0},
        {"in EnterCriticalSection", EnteringRoutine, true, false, 0},
        {"killed in WaitForSingleObject", WaitingRoutine, false, true, 0},
        {"killed in EnterCriticalSection", EnteringRoutine, true, true, 0},
        {"killed in plain code", SpinningRoutine, false, true, 0},
        {"killed holding a section", HoldingRoutine, false, true, 1},
    };
    uint64_t parked = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        cehost::SetTerminationMode(c.anywhere ? cehost::TerminationMode::kAnywhere
                                              : cehost::TerminationMode::kAtTerminationPoint);
        RoutineArgs* a = NewArgs();
        CRITICAL_SECTION cs;
        InitializeCriticalSection(&cs);
        a->section = &cs;
        if (c.holdsSection)
            EnterCriticalSection(&cs);
        HANDLE t = CreateThread(nullptr, 0, c.routine, a, 0, nullptr);
        AwaitStart(a);
        std::this_thread::sleep_for(20ms);
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_TRUE(TerminateThread(t, 77));
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
        EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(t, &code));
        EXPECT_EQ(code, 77u);
        EXPECT_EQ(ReadAcquire(&a->afterCall), 0);
        ExpectMisuse("thread.killed.holding.cs", c.keptSections);
        ExpectMisuse("thread.ended.holding.cs", 0);
        if (c.holdsSection)
            LeaveCriticalSection(&cs);
        DeleteCriticalSection(&cs);
        FreeArgs(a);
        EXPECT_TRUE(TerminateThread(t, 5)) << "an ended thread is left alone";
        EXPECT_TRUE(GetExitCodeThread(t, &code));
        EXPECT_EQ(code, 77u);
        CloseHandle(t);
        parked += c.anywhere ? 1 : 0;
        EXPECT_EQ(cehost::ParkedThreadCount(), parked);
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
        RoutineArgs* a = NewArgs();
        HANDLE t = CreateThread(nullptr, 0, WaitingRoutine, a, 0, nullptr);
        ASSERT_NE(t, nullptr);
        for (int spin = 0; spin < (i % 10) * 200; ++spin)
            ReadAcquire(&a->started);
        ASSERT_TRUE(TerminateThread(t, 1000 + i));
        DWORD code = 0;
        GetExitCodeThread(t, &code);
        EXPECT_EQ(code, DWORD(1000 + i));
        EXPECT_EQ(ReadAcquire(&a->afterCall), 0);
        FreeArgs(a);
        CloseHandle(t);
    }
    EXPECT_EQ(cehost::RunningThreadCount(), running);
}

// A thread running plain code is not stopped there: TerminateThread waits
// until it reaches its next platform call, and returns only then.
TEST_F(ThreadTest, TerminateWaitsForAThreadInPlainCode) {
    RoutineArgs* a = NewArgs();
    HANDLE t = CreateThread(nullptr, 0, SpinningRoutine, a, 0, nullptr);
    AwaitStart(a);
    std::atomic<bool> returned{false};
    std::thread terminator([&] {
        EXPECT_TRUE(TerminateThread(t, 3));
        returned = true;
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(returned.load()) << "returned while the target still ran";
    WriteRelease(&a->release, 1);
    terminator.join();
    EXPECT_EQ(ReadAcquire(&a->afterCall), 0) << "a platform call returned into the thread";
    DWORD code = 0;
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, 3u);
    FreeArgs(a);
    CloseHandle(t);
}

TEST_F(ThreadTest, TerminatedWhileHoldingASectionReleasesItAndCounts) {
    RoutineArgs* a = NewArgs();
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    a->section = &cs;
    HANDLE t = CreateThread(nullptr, 0, HoldingRoutine, a, 0, nullptr);
    AwaitStart(a);
    EXPECT_TRUE(TerminateThread(t, 0));
    ExpectMisuse("thread.ended.holding.cs", 1);
    EnterCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    DeleteCriticalSection(&cs);
    FreeArgs(a);
    CloseHandle(t);
}

TEST_F(ThreadTest, SelfTerminationEndsTheCaller) {
    static std::atomic<bool> after{false};
    after = false;
    HANDLE t = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            TerminateThread(GetCurrentThread(), 9);
            after = true;
            return 1;
        },
        nullptr, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, 9u);
    EXPECT_FALSE(after.load());
    CloseHandle(t);
    // Threads the platform did not create cannot be ended through it.
    EXPECT_FALSE(TerminateThread(GetCurrentThread(), 0));
    ExpectMisuse("thread.terminate.foreign", 1);
}

// Host services block platform threads through WaitTerminable; termination
// releases their lock and unwinds their frames (destructors run).
TEST_F(ThreadTest, TerminateUnwindsHostWaits) {
    struct Shared {
        std::mutex m;
        std::condition_variable cv;
        std::atomic<bool> waiting{false};
        std::atomic<bool> destroyed{false};
        std::atomic<bool> after{false};
    };
    static Shared* shared;
    Shared s;
    shared = &s;
    HANDLE t = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            struct Guard {
                ~Guard() { shared->destroyed = true; }
            } guard;
            std::unique_lock<std::mutex> lk(shared->m);
            shared->waiting = true;
            cehost::WaitTerminable(lk, shared->cv, INFINITE, [] { return false; });
            shared->after = true;
            return 0;
        },
        nullptr, 0, nullptr);
    while (!s.waiting)
        std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(TerminateThread(t, 0));
    EXPECT_TRUE(s.destroyed.load());
    EXPECT_FALSE(s.after.load());
    EXPECT_TRUE(s.m.try_lock()) << "the host lock was released";
    s.m.unlock();
    CloseHandle(t);
}

TEST_F(ThreadTest, CheckpointIsANoOpWhenNotTerminated) {
    cehost::ThreadCheckpoint();
    EXPECT_FALSE(cehost::ThreadTerminationPending());
    std::mutex m;
    std::condition_variable cv;
    std::unique_lock<std::mutex> lk(m);
    EXPECT_FALSE(cehost::WaitTerminable(lk, cv, 10, [] { return false; }));
    EXPECT_TRUE(cehost::WaitTerminable(lk, cv, INFINITE, [] { return true; }));
    EXPECT_TRUE(lk.owns_lock());
}

TEST_F(ThreadTest, PrioritiesOnBothScales) {
    HANDLE self = GetCurrentThread();
    EXPECT_EQ(CeGetThreadPriority(self), 251) << "normal by default";
    EXPECT_EQ(GetThreadPriority(self), THREAD_PRIORITY_NORMAL);
    struct Case {
        bool useCe;
        int set;
        BOOL ok;
        int ce, level;
    };
    const Case cases[] = {
        {false, THREAD_PRIORITY_TIME_CRITICAL, TRUE, 248, 0},
        {false, THREAD_PRIORITY_IDLE, TRUE, 255, 7},
        {false, 8, FALSE, 255, 7},
        {false, -1, FALSE, 255, 7},
        {true, 251, TRUE, 251, 3},
        {true, 100, TRUE, 100, 0},  // more urgent than the 8-level band
        {true, 0, TRUE, 0, 0},
        {true, 256, FALSE, 0, 0},
        {true, -1, FALSE, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.useCe ? "Ce " : "") << c.set);
        EXPECT_EQ(c.useCe ? CeSetThreadPriority(self, c.set) : SetThreadPriority(self, c.set),
                  c.ok);
        EXPECT_EQ(CeGetThreadPriority(self), c.ce);
        EXPECT_EQ(GetThreadPriority(self), c.level);
        EXPECT_EQ(cehost::ThreadPriority256(self), c.ce);
    }
}

TEST_F(ThreadTest, PrioritiesArePerThread) {
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    static std::atomic<int> seen;
    HANDLE t = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            WaitForSingleObject(p, INFINITE);
            seen = CeGetThreadPriority(GetCurrentThread());
            CeSetThreadPriority(GetCurrentThread(), 120);
            return 0;
        },
        go, 0, nullptr);
    CeSetThreadPriority(GetCurrentThread(), 200);
    EXPECT_TRUE(SetThreadPriority(t, THREAD_PRIORITY_HIGHEST));
    EXPECT_EQ(cehost::ThreadPriority256(t), 249);
    SetEvent(go);
    WaitForSingleObject(t, 5000);
    EXPECT_EQ(seen.load(), 249);
    EXPECT_EQ(cehost::ThreadPriority256(t), 120) << "readable after the thread ended";
    EXPECT_EQ(CeGetThreadPriority(GetCurrentThread()), 200);
    CloseHandle(t);
    CloseHandle(go);
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_ERROR_RETURN);
    EXPECT_FALSE(CeSetThreadPriority(t, 1));
    ExpectMisuse("handle.closed", 2);
    EXPECT_EQ(cehost::ThreadPriority256(t), -1);
}

TEST_F(ThreadTest, TickCountMovesWithItsOffsetAndWraps) {
    DWORD a = GetTickCount();
    cehost::AdvanceTicks(3000);
    DWORD b = GetTickCount();
    EXPECT_GE(DWORD(b - a), 3000u);
    EXPECT_LT(DWORD(b - a), 3000u + 10000u);

    cehost::SetTickCountNow(0xFFFFFFFFu - 20);
    DWORD before = GetTickCount();
    EXPECT_GE(before, 0xFFFFFFFFu - 20);
    Sleep(60);
    DWORD after = GetTickCount();
    EXPECT_LT(after, 100000u) << "wrapped past zero";
    EXPECT_GE(DWORD(after - before), 55u);

    cehost::ResetPlatform();
    EXPECT_EQ(cehost::GetTickOffset(), 0u);
}

TEST_F(ThreadTest, SleepLastsAtLeastItsTime) {
    auto t0 = std::chrono::steady_clock::now();
    Sleep(30);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 29ms);
    Sleep(0);
}

TEST_F(ThreadTest, LastErrorIsPerThread) {
    SetLastError(123);
    std::thread([] {
        EXPECT_EQ(GetLastError(), 0u);
        SetLastError(456);
    }).join();
    HANDLE t = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            SetLastError(7);
            return GetLastError();
        },
        nullptr, 0, nullptr);
    WaitForSingleObject(t, 5000);
    DWORD code = 0;
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(GetLastError(), 123u);
    CloseHandle(t);
}

// Under CE scheduling a thread spinning with Sleep(0) keeps the CPU from
// every less urgent thread: a wait on one of them never ends. Sleep(1)
// blocks and lets it run; equal priorities take turns; a thread that owns a
// section a more urgent one waits for runs at the waiter's priority.
TEST_F(ThreadTest, SpinWaitsUnderStrictPriorities) {
    struct Shared {
        HANDLE goSpinner, goOther, goOwner;
        CRITICAL_SECTION cs;
        LONG ownerReady;
        LONG flag;     // set by the thread the spinner waits for
        LONG sawFlag;  // the spinner saw it within its bound
        DWORD spinSleep;
        int spinner, other, owner;  // priorities (256 levels)
    };
    struct Case {
        const char* what;
        cehost::SchedulingMode mode;
        int spinner, other;
        DWORD spinSleep;
        int owner;  // > 0: `other` needs a section owned by a thread this urgent
        bool progress;
    };
    using cehost::SchedulingMode;
    const Case cases[] = {
        {"Sleep(0) over a less urgent thread", SchedulingMode::kCe, 150, 200, 0, 0, false},
        {"Sleep(0) among equals", SchedulingMode::kCe, 150, 150, 0, 0, true},
        {"Sleep(1) over a less urgent thread", SchedulingMode::kCe, 150, 200, 1, 0, true},
        {"Sleep(0) with host scheduling", SchedulingMode::kParallel, 150, 200, 0, 0, true},
        {"owner inherits the waiter's priority", SchedulingMode::kCe, 150, 100, 0, 200, true},
    };
    // The spinner wakes the thread it waits for, then spins (bounded here).
    static const LPTHREAD_START_ROUTINE spinner = [](LPVOID p) -> DWORD {
        auto* s = static_cast<Shared*>(p);
        CeSetThreadPriority(GetCurrentThread(), s->spinner);
        WaitForSingleObject(s->goSpinner, INFINITE);
        SetEvent(s->goOther);
        SetEvent(s->goOwner);
        const DWORD start = GetTickCount();
        while (GetTickCount() - start < 500) {
            if (InterlockedCompareExchange(&s->flag, 0, 0) != 0) {
                InterlockedExchange(&s->sawFlag, 1);
                break;
            }
            Sleep(s->spinSleep);
        }
        return 0;
    };
    static const LPTHREAD_START_ROUTINE other = [](LPVOID p) -> DWORD {
        auto* s = static_cast<Shared*>(p);
        CeSetThreadPriority(GetCurrentThread(), s->other);
        WaitForSingleObject(s->goOther, INFINITE);
        if (s->owner > 0)
            EnterCriticalSection(&s->cs);
        InterlockedExchange(&s->flag, 1);
        if (s->owner > 0)
            LeaveCriticalSection(&s->cs);
        return 0;
    };
    static const LPTHREAD_START_ROUTINE owner = [](LPVOID p) -> DWORD {
        auto* s = static_cast<Shared*>(p);
        CeSetThreadPriority(GetCurrentThread(), s->owner);
        EnterCriticalSection(&s->cs);
        InterlockedExchange(&s->ownerReady, 1);
        WaitForSingleObject(s->goOwner, INFINITE);
        LeaveCriticalSection(&s->cs);
        return 0;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        cehost::SetSchedulingMode(c.mode);
        Shared s{};
        s.goSpinner = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        s.goOther = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        s.goOwner = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        InitializeCriticalSection(&s.cs);
        s.spinSleep = c.spinSleep;
        s.spinner = c.spinner;
        s.other = c.other;
        s.owner = c.owner;
        std::vector<HANDLE> threads;
        if (c.owner > 0) {
            threads.push_back(CreateThread(nullptr, 0, owner, &s, 0, nullptr));
            while (ReadAcquire(&s.ownerReady) == 0)
                std::this_thread::sleep_for(1ms);
        }
        threads.push_back(CreateThread(nullptr, 0, other, &s, 0, nullptr));
        threads.push_back(CreateThread(nullptr, 0, spinner, &s, 0, nullptr));
        std::this_thread::sleep_for(20ms);  // all of them waiting
        SetEvent(s.goSpinner);
        for (HANDLE t : threads) {
            EXPECT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
            CloseHandle(t);
        }
        EXPECT_EQ(s.sawFlag, c.progress ? 1 : 0);
        DeleteCriticalSection(&s.cs);
        CloseHandle(s.goSpinner);
        CloseHandle(s.goOther);
        CloseHandle(s.goOwner);
    }
}

}  // namespace
