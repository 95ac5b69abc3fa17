// Events, waits, handles, critical sections and interlocked operations.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "ce/heap.h"
#include "ce/sync.h"
#include "ce/thread.h"
#include "common/platform_test.h"

namespace {

using namespace std::chrono_literals;

class SyncTest : public PlatformTest {};

TEST_F(SyncTest, EventResetModesAndInitialState) {
    struct Case {
        const char* what;
        BOOL manual, initial;
        DWORD first, second;
    };
    const Case cases[] = {
        {"auto, set", FALSE, TRUE, WAIT_OBJECT_0, WAIT_TIMEOUT},
        {"auto, clear", FALSE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
        {"manual, set", TRUE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0},
        {"manual, clear", TRUE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        HANDLE e = CreateEventW(nullptr, c.manual, c.initial, nullptr);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(WaitForSingleObject(e, 0), c.first);
        EXPECT_EQ(WaitForSingleObject(e, 10), c.second);
        EXPECT_TRUE(SetEvent(e));
        EXPECT_TRUE(SetEvent(e));  // sets do not accumulate
        EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(e, 0), c.manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
        EXPECT_TRUE(ResetEvent(e));
        EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
        EXPECT_TRUE(CloseHandle(e));
    }
}

TEST_F(SyncTest, TimedWaitTakesAboutItsTimeout) {
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(e, 50), WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 45ms);
    CloseHandle(e);
}

TEST_F(SyncTest, InfiniteWaitEndsWhenSetFromAnotherThread) {
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::thread setter([e] {
        std::this_thread::sleep_for(20ms);
        SetEvent(e);
    });
    EXPECT_EQ(WaitForSingleObject(e, INFINITE), WAIT_OBJECT_0);
    setter.join();
    CloseHandle(e);
}

// An auto-reset event releases exactly one waiter per set; a manual-reset
// event releases them all. Each set waits until its waiter is counted (a
// loaded machine may take a while to run it); a short settle afterwards
// shows that no second waiter followed.
TEST_F(SyncTest, WaitersReleasedPerSet) {
    auto reaches = [](const std::atomic<int>& counter, int want) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (counter.load() < want && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(50ms);
        return counter.load();
    };
    for (BOOL manual : {FALSE, TRUE}) {
        SCOPED_TRACE(manual ? "manual" : "auto");
        HANDLE e = CreateEventW(nullptr, manual, FALSE, nullptr);
        HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::atomic<int> waiting{0};
        std::atomic<int> woken{0};
        std::vector<std::thread> waiters;
        for (int i = 0; i < 4; ++i)
            waiters.emplace_back([&] {
                ++waiting;
                if (WaitForSingleObject(e, 5000) == WAIT_OBJECT_0)
                    ++woken;
                // Stragglers leave when the test is over.
                WaitForSingleObject(done, 5000);
            });
        EXPECT_EQ(reaches(waiting, 4), 4);
        SetEvent(e);
        EXPECT_EQ(reaches(woken, manual ? 4 : 1), manual ? 4 : 1);
        if (!manual) {
            for (int want = 2; want <= 4; ++want) {
                SetEvent(e);
                EXPECT_EQ(reaches(woken, want), want);
            }
        }
        SetEvent(done);
        for (auto& t : waiters)
            t.join();
        EXPECT_EQ(woken.load(), 4);
        CloseHandle(e);
        CloseHandle(done);
    }
}

TEST_F(SyncTest, BadHandlesFailAndAreCounted) {
    HANDLE closed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(closed));
    HANDLE thread = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    struct Case {
        const char* kind;
        HANDLE h;
    };
    const Case cases[] = {
        {"handle.null", nullptr},
        {"handle.closed", closed},
        {"handle.unknown", reinterpret_cast<HANDLE>(uintptr_t{0xdead0001})},
        {"handle.unknown", INVALID_HANDLE_VALUE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        SetLastError(0);
        EXPECT_EQ(WaitForSingleObject(c.h, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(SetEvent(c.h));
        EXPECT_FALSE(ResetEvent(c.h));
        EXPECT_FALSE(CloseHandle(c.h));
        ExpectMisuse(c.kind, 4);
    }
    // A thread handle is not an event.
    EXPECT_FALSE(SetEvent(thread));
    ExpectMisuse("handle.wrongkind", 1);
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_FALSE(CloseHandle(thread));
    ExpectMisuse("handle.closed", 1);
    // Handle values are not reused: a new event never takes a closed value.
    HANDLE fresh = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_NE(fresh, closed);
    EXPECT_NE(fresh, thread);
    CloseHandle(fresh);
    EXPECT_TRUE(CloseHandle(GetCurrentThread()));
    ExpectMisuse("handle.pseudo", 1);
}

TEST_F(SyncTest, EventClosedDuringAWaitFailsTheWait) {
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<DWORD> result{0};
    std::thread waiter([&] { result = WaitForSingleObject(e, INFINITE); });
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(CloseHandle(e));
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_FAILED);
    ExpectMisuse("event.closed.during.wait", 1);
}

TEST_F(SyncTest, NamedEventsAreRefused) {
    EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, u"name"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(SyncTest, UnclosedHandleIsALeak) {
    CreateEventW(nullptr, FALSE, FALSE, nullptr);
    cehost::SweepLeaks();
    ExpectLeak("handle.event", 1);
    SkipLeakSweep();
}

TEST_F(SyncTest, CriticalSectionIsRecursiveAndExcludes) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);
    std::atomic<bool> entered{false};
    std::thread other([&] {
        EnterCriticalSection(&cs);
        entered = true;
        LeaveCriticalSection(&cs);
    });
    LeaveCriticalSection(&cs);
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(entered.load()) << "still held once";
    LeaveCriticalSection(&cs);
    other.join();
    EXPECT_TRUE(entered.load());
    DeleteCriticalSection(&cs);
}

TEST_F(SyncTest, CriticalSectionCountsUnderContention) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    long counter = 0;  // guarded by cs
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                EnterCriticalSection(&cs);
                ++counter;
                LeaveCriticalSection(&cs);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 8000);
    DeleteCriticalSection(&cs);
}

TEST_F(SyncTest, CriticalSectionMisuseIsCountedNotFatal) {
    // Garbage as left by LMEM_FIXED memory.
    auto* garbage =
        static_cast<CRITICAL_SECTION*>(LocalAlloc(LMEM_FIXED, sizeof(CRITICAL_SECTION)));
    EnterCriticalSection(garbage);
    LeaveCriticalSection(garbage);
    DeleteCriticalSection(garbage);
    ExpectMisuse("cs.uninitialised", 3);
    LocalFree(garbage);

    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    CRITICAL_SECTION copy = cs;  // a copy is not the section
    EnterCriticalSection(&copy);
    ExpectMisuse("cs.uninitialised", 1);

    LeaveCriticalSection(&cs);
    std::thread([&] {
        EnterCriticalSection(&cs);
        // Released by its end; the leave below comes from a non-owner.
        LeaveCriticalSection(&cs);
    }).join();
    ExpectMisuse("cs.leave.notowner", 1);

    DeleteCriticalSection(&cs);
    EnterCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    DeleteCriticalSection(&cs);
    ExpectMisuse("cs.deleted", 3);
    EnterCriticalSection(nullptr);
    ExpectMisuse("cs.null", 1);
}

TEST_F(SyncTest, CriticalSectionLeftHeldByAnEndedThreadIsReleased) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    HANDLE t = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            EnterCriticalSection(static_cast<CRITICAL_SECTION*>(p));
            return 0;
        },
        &cs, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
    ExpectMisuse("thread.ended.holding.cs", 1);
    EnterCriticalSection(&cs);  // would hang if the section stayed owned
    LeaveCriticalSection(&cs);
    DeleteCriticalSection(&cs);
    CloseHandle(t);
}

TEST_F(SyncTest, UndeletedSectionIsALeak) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    cehost::SweepLeaks();
    ExpectLeak("cs.undeleted", 1);
    DeleteCriticalSection(&cs);
    SkipLeakSweep();
}

TEST_F(SyncTest, InterlockedOperations) {
    LONG v = 5;
    EXPECT_EQ(InterlockedIncrement(&v), 6);
    EXPECT_EQ(InterlockedDecrement(&v), 5);
    EXPECT_EQ(InterlockedExchange(&v, 9), 5);
    EXPECT_EQ(InterlockedExchangeAdd(&v, -4), 9);
    EXPECT_EQ(v, 5);
    EXPECT_EQ(InterlockedCompareExchange(&v, 7, 4), 5);  // no match: unchanged
    EXPECT_EQ(v, 5);
    EXPECT_EQ(InterlockedCompareExchange(&v, 7, 5), 5);
    EXPECT_EQ(v, 7);
    // Test-exchange takes (old, new), the reverse of compare-exchange.
    EXPECT_EQ(InterlockedTestExchange(&v, 7, 0), 7);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(InterlockedTestExchange(&v, 1, 2), 0);
    EXPECT_EQ(v, 0);

    int a = 0, b = 0;
    PVOID p = &a;
    EXPECT_EQ(InterlockedExchangePointer(&p, &b), &a);
    EXPECT_EQ(InterlockedCompareExchangePointer(&p, &a, &a), &b);
    EXPECT_EQ(p, &b);
    EXPECT_EQ(InterlockedCompareExchangePointer(&p, &a, &b), &b);
    EXPECT_EQ(p, &a);
}

TEST_F(SyncTest, TestExchangeClaimsAFlagOnce) {
    LONG busy = 0;
    std::atomic<int> claims{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i)
                if (InterlockedTestExchange(&busy, 0, 1) == 0) {
                    ++claims;
                    WriteRelease(&busy, 0);
                }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_GT(claims.load(), 0);
    EXPECT_EQ(busy, 0);
    LONG counter = 0;
    threads.clear();
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i)
                InterlockedIncrement(&counter);
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 20000);
}

}  // namespace
