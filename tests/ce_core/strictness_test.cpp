// What makes the platform strict: the heap's fill pattern and failure
// injection, and the misuse and leak counts every test ends on.
#include <algorithm>
#include <string>

#include "ce/heap.h"
#include "ce/registry.h"
#include "ce/sync.h"
#include "ce/thread.h"
#include "common/platform_test.h"

namespace {

class StrictnessTest : public PlatformTest {};

TEST_F(StrictnessTest, HeapFillPatternAndFailureInjection) {
    auto* fixed = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, 64));
    auto* zeroed = static_cast<uint8_t*>(LocalAlloc(LPTR, 32));
    EXPECT_EQ(std::count(fixed, fixed + 64, 0xCD), 64) << "garbage, as the device's heap leaves it";
    EXPECT_EQ(std::count(zeroed, zeroed + 32, 0), 32);
    LocalFree(fixed);
    LocalFree(zeroed);
    // A length gone negative fails cleanly (no host allocator abort).
    EXPECT_EQ(LocalAlloc(LMEM_FIXED, static_cast<size_t>(-4)), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
    const struct {
        uint64_t once, from;
        const char* pattern;  // outcome of six allocations: o ok, x failed
    } cases[] = {{3, 0, "ooxooo"}, {0, 4, "oooxxx"}, {2, 5, "oxooxx"}};
    for (const auto& c : cases) {
        cehost::ClearAllocationFailures();
        cehost::FailNthAllocation(c.once);
        cehost::FailAllAllocationsFrom(c.from);
        std::string got;
        for (int i = 0; i < 6; ++i) {
            void* p = LocalAlloc(LPTR, 8);
            got += p ? 'o' : 'x';
            LocalFree(p);
        }
        EXPECT_EQ(got, c.pattern);
    }
}

// Each misuse fails its call (a wait on a bad handle with WAIT_FAILED) and
// is counted once under its kind.
TEST_F(StrictnessTest, MisuseFailsAndIsCounted) {
    void* p = LocalAlloc(LPTR, 4);
    LocalFree(p);
    EXPECT_EQ(LocalFree(p), p) << "a double free returns the block";
    HANDLE closed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    CloseHandle(closed);
    EXPECT_EQ(WaitForSingleObject(closed, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(closed));
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_FALSE(SetEvent(reinterpret_cast<HANDLE>(uintptr_t{0xdead0001})));
    HANDLE thread = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
    EXPECT_FALSE(SetEvent(thread));
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_TRUE(CloseHandle(GetCurrentThread()));
    EXPECT_FALSE(TerminateThread(GetCurrentThread(), 0));  // not a platform thread
    CRITICAL_SECTION garbage, cs;
    std::fill_n(reinterpret_cast<uint8_t*>(&garbage), sizeof garbage, 0xCD);
    EnterCriticalSection(&garbage);
    InitializeCriticalSection(&cs);
    CRITICAL_SECTION copy = cs;  // a copy is not the section
    EnterCriticalSection(&copy);
    LeaveCriticalSection(&cs);  // not held
    DeleteCriticalSection(&cs);
    EnterCriticalSection(&cs);
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"K", 0, nullptr, 0, 0, nullptr, &key, nullptr);
    RegCloseKey(key);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    for (const char* kind :
         {"heap.free.notlive", "handle.null", "handle.unknown", "handle.wrongkind", "handle.pseudo",
          "thread.terminate.foreign", "cs.leave.notowner", "cs.deleted", "reg.handle.closed"})
        ExpectMisuse(kind, 1);
    ExpectMisuse("handle.closed", 2);
    ExpectMisuse("cs.uninitialised", 2);
}

// Every kind of object left behind at the end is a leak of its own kind.
TEST_F(StrictnessTest, ObjectsLeftAtTheEndAreLeaks) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"K", 0, nullptr, 0, 0, nullptr, &key, nullptr);
    void* block = LocalAlloc(LPTR, 4);
    HANDLE t = CreateThread(
        nullptr, 0, [](LPVOID e) -> DWORD { return WaitForSingleObject(e, INFINITE); }, go, 0,
        nullptr);
    cehost::SweepLeaks();
    for (const char* kind : {"cs.undeleted", "handle.event", "handle.regkey", "heap.block",
                             "thread.running", "handle.thread"})
        ExpectLeak(kind, 1);
    SetEvent(go);
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
    CloseHandle(go);
    RegCloseKey(key);
    LocalFree(block);
    DeleteCriticalSection(&cs);
    SkipLeakSweep();
}

}  // namespace
