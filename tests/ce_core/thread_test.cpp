// Thread termination, as a driver ends a worker that does not stop.
#include <atomic>
#include <chrono>
#include <thread>

#include "ce/heap.h"
#include "ce/sync.h"
#include "ce/thread.h"
#include "common/platform_test.h"
#include "plain_code_routines.h"

namespace {

using namespace std::chrono_literals;

class ThreadTest : public PlatformTest {
  protected:
    // Args in platform heap memory, freed right after the thread ended so
    // that ASan reports any later touch by it.
    static RoutineArgs* Start(Blocks how, HANDLE* t, CRITICAL_SECTION* cs = nullptr) {
        auto* a = static_cast<RoutineArgs*>(LocalAlloc(LPTR, sizeof(RoutineArgs)));
        a->how = how;
        a->event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        a->section = cs;
        *t = CreateThread(nullptr, 0, PlainRoutine, a, 0, nullptr);
        return a;
    }
    static void AwaitStart(RoutineArgs* a) {
        while (ReadAcquire(&a->started) == 0)
            std::this_thread::sleep_for(1ms);
    }
    static void Finish(RoutineArgs* a, HANDLE t) {
        EXPECT_EQ(ReadAcquire(&a->afterCall), 0) << "a platform call returned into the thread";
        CloseHandle(a->event);
        LocalFree(a);
        CloseHandle(t);
    }
    static DWORD ExitCode(HANDLE t) {
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(t, &code));
        return code;
    }
};

// A thread blocked in a platform call is woken by TerminateThread and ends
// there: nothing after the call runs, its handle is signalled with the
// termination's code, and a section it held is released (and counted). One
// running plain code is waited for until its next platform call.
TEST_F(ThreadTest, TerminateEndsAThreadWhereverItIs) {
    for (Blocks how : {Blocks::kWaiting, Blocks::kSleeping, Blocks::kEntering, Blocks::kHolding,
                       Blocks::kSpinning, Blocks::kReturning, Blocks::kSelf}) {
        SCOPED_TRACE(static_cast<int>(how));
        const bool ends = how == Blocks::kReturning || how == Blocks::kSelf;
        const bool threadHolds = how == Blocks::kHolding || how == Blocks::kReturning;
        CRITICAL_SECTION cs;
        InitializeCriticalSection(&cs);
        EnterCriticalSection(&cs);
        if (how != Blocks::kEntering)
            LeaveCriticalSection(&cs);
        HANDLE t;
        RoutineArgs* a = Start(how, &t, &cs);
        AwaitStart(a);
        std::atomic<bool> released{false};
        std::thread releaser([&] {
            std::this_thread::sleep_for(50ms);
            released = true;
            WriteRelease(&a->release, 1);
        });
        if (!ends) {
            EXPECT_EQ(ExitCode(t), STILL_ACTIVE);
            EXPECT_TRUE(TerminateThread(t, 77));
            EXPECT_TRUE(released || how != Blocks::kSpinning) << "returned while the thread ran";
        }
        releaser.join();
        EXPECT_EQ(WaitForSingleObject(t, ends ? 5000 : 0), WAIT_OBJECT_0);
        EXPECT_EQ(ExitCode(t), 77u);
        ExpectMisuse("thread.ended.holding.cs", threadHolds ? 1 : 0);
        if (how != Blocks::kEntering)
            EnterCriticalSection(&cs);  // would hang if the section stayed owned
        LeaveCriticalSection(&cs);
        DeleteCriticalSection(&cs);
        EXPECT_TRUE(TerminateThread(t, 5)) << "an ended thread is left alone";
        EXPECT_EQ(ExitCode(t), 77u);
        Finish(a, t);
    }
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
        EXPECT_EQ(ExitCode(t), DWORD(1000 + i));
        Finish(a, t);
    }
    EXPECT_EQ(cehost::RunningThreadCount(), running);
}

// Host services block platform threads through WaitTerminable; termination
// releases their lock and unwinds their frames (destructors run).
TEST_F(ThreadTest, TerminateUnwindsHostWaits) {
    static std::mutex m;
    static std::condition_variable cv;
    static std::atomic<int> stage;  // 1 waiting, 2 unwound, more: went on
    HANDLE t = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            struct Guard {
                ~Guard() { stage += 1; }
            } guard;
            std::unique_lock<std::mutex> lk(m);
            stage = 1;
            cehost::WaitTerminable(lk, cv, INFINITE, [] { return false; });
            return stage += 5;
        },
        nullptr, 0, nullptr);
    while (stage != 1)
        std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(TerminateThread(t, 0));
    EXPECT_EQ(stage.load(), 2);
    EXPECT_TRUE(m.try_lock()) << "the host lock was released";
    m.unlock();
    CloseHandle(t);
}

}  // namespace
