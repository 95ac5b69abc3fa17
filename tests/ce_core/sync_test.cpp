// Events and critical sections.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "ce/sync.h"
#include "ce/thread.h"
#include "common/platform_test.h"

namespace {

using namespace std::chrono_literals;

class SyncTest : public PlatformTest {};

TEST_F(SyncTest, EventResetModesAndInitialState) {
    for (BOOL manual : {FALSE, TRUE})
        for (BOOL initial : {FALSE, TRUE}) {
            SCOPED_TRACE(testing::Message() << "manual " << manual << " initial " << initial);
            HANDLE e = CreateEventW(nullptr, manual, initial, nullptr);
            EXPECT_EQ(WaitForSingleObject(e, 0), initial ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
            EXPECT_EQ(WaitForSingleObject(e, 20), initial && manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
            EXPECT_TRUE(SetEvent(e));
            EXPECT_TRUE(SetEvent(e));  // sets do not accumulate
            EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
            EXPECT_EQ(WaitForSingleObject(e, 0), manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
            EXPECT_TRUE(ResetEvent(e));
            EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
            EXPECT_TRUE(CloseHandle(e));
        }
}

// Waiters on other threads: an auto-reset event releases one per set (a
// short settle shows that no second one followed); a close under a waiter
// fails its wait.
TEST_F(SyncTest, WaitersOnOtherThreads) {
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> waiting{0}, woken{0}, failed{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i)
        waiters.emplace_back([&] {
            ++waiting;
            DWORD r = WaitForSingleObject(e, INFINITE);
            ++(r == WAIT_OBJECT_0 ? woken : failed);
        });
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
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(failed.load(), 1);
    ExpectMisuse("event.closed.during.wait", 1);
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

}  // namespace
