// The platform's contract with the driver and the tool: what makes it strict
// (the heap's fill pattern and failure injection, the misuse and leak counts
// every test ends on), events and critical sections, thread termination as a
// driver ends a worker that does not stop, and the registry with the REGEDIT4
// text the tool keeps it in between runs.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
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
// is counted once under its kind; every kind of object left behind at the
// end is a leak of its own kind.
TEST_F(StrictnessTest, MisuseAndLeaksAreCountedByKind) {
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
    EXPECT_TRUE(CloseHandle(GetCurrentThread()));
    EXPECT_FALSE(TerminateThread(GetCurrentThread(), 0));  // not a platform thread
    CRITICAL_SECTION garbage, cs, left;
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
    // What stays at the end.
    InitializeCriticalSection(&left);
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"K", 0, nullptr, 0, 0, nullptr, &key, nullptr);
    void* block = LocalAlloc(LPTR, 4);
    HANDLE t = CreateThread(
        nullptr, 0, [](LPVOID e) -> DWORD { return WaitForSingleObject(e, INFINITE); }, go, 0,
        nullptr);
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
    SetEvent(go);
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
    CloseHandle(go);
    RegCloseKey(key);
    LocalFree(block);
    DeleteCriticalSection(&left);
    SkipLeakSweep();
}

class SyncTest : public PlatformTest {};

TEST_F(SyncTest, EventResetModesAndInitialState) {
    for (BOOL manual : {FALSE, TRUE})
        for (BOOL initial : {FALSE, TRUE}) {
            SCOPED_TRACE(testing::Message() << "manual " << manual << " initial " << initial);
            HANDLE e = CreateEventW(nullptr, manual, initial, nullptr);
            EXPECT_EQ(WaitForSingleObject(e, 0), initial ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
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
        a->how = how;
        a->event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        a->section = cs;
        *t = CreateThread(nullptr, 0, PlainRoutine, a, 0, nullptr);
        return a;
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
// running plain code is waited for until its next platform call. Killed
// anywhere, a thread is parked where it is, never unwound: even in plain
// code, and a section it owns stays owned.
TEST_F(ThreadTest, TerminateEndsAThreadWhereverItIs) {
    const struct {
        Blocks how;
        bool anywhere;  // TerminationMode::kAnywhere
    } cases[] = {{Blocks::kWaiting, false}, {Blocks::kSleeping, false}, {Blocks::kEntering, false},
                 {Blocks::kHolding, false}, {Blocks::kSpinning, false}, {Blocks::kReturning, false},
                 {Blocks::kSelf, false},    {Blocks::kWaiting, true},   {Blocks::kEntering, true},
                 {Blocks::kSpinning, true}, {Blocks::kHolding, true}};
    uint64_t parked = 0;
    for (const auto& c : cases) {
        const Blocks how = c.how;
        SCOPED_TRACE(testing::Message()
                     << static_cast<int>(how) << (c.anywhere ? " anywhere" : ""));
        cehost::SetTerminationMode(c.anywhere ? cehost::TerminationMode::kAnywhere
                                              : cehost::TerminationMode::kAtTerminationPoint);
        const bool ends = how == Blocks::kReturning || how == Blocks::kSelf;
        const bool threadHolds = how == Blocks::kHolding || how == Blocks::kReturning;
        CRITICAL_SECTION cs;
        InitializeCriticalSection(&cs);
        EnterCriticalSection(&cs);
        if (how != Blocks::kEntering)
            LeaveCriticalSection(&cs);
        HANDLE t;
        RoutineArgs* a = Start(how, &t, &cs);
        while (ReadAcquire(&a->started) == 0)
            std::this_thread::sleep_for(1ms);
        std::atomic<bool> released{false};
        std::thread releaser([&] {
            std::this_thread::sleep_for(50ms);
            released = true;
            WriteRelease(&a->release, 1);
        });
        if (!ends) {
            EXPECT_EQ(ExitCode(t), STILL_ACTIVE);
            EXPECT_TRUE(TerminateThread(t, 77));
            EXPECT_TRUE(released || how != Blocks::kSpinning || c.anywhere)
                << "returned while the thread ran";
        }
        releaser.join();
        EXPECT_EQ(WaitForSingleObject(t, ends ? 5000 : 0), WAIT_OBJECT_0);
        EXPECT_EQ(ExitCode(t), 77u);
        ExpectMisuse("thread.ended.holding.cs", threadHolds && !c.anywhere ? 1 : 0);
        ExpectMisuse("thread.killed.holding.cs", threadHolds && c.anywhere ? 1 : 0);
        if (how != Blocks::kEntering && !(threadHolds && c.anywhere))
            EnterCriticalSection(&cs);  // would hang if the section stayed owned
        if (!(threadHolds && c.anywhere))
            LeaveCriticalSection(&cs);
        DeleteCriticalSection(&cs);
        EXPECT_TRUE(TerminateThread(t, 5)) << "an ended thread is left alone";
        EXPECT_EQ(ExitCode(t), 77u);
        Finish(a, t);
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

class RegistryTest : public PlatformTest {};

TEST_F(RegistryTest, NamesIgnoreCaseAndShortBuffersAreRefused) {
    HKEY a = nullptr, b = nullptr;
    DWORD disp = 0;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\USB", 0, nullptr, 0, 0, nullptr, &a, &disp);
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"DRIVERS\\usb", 0, nullptr, 0, 0, nullptr, &b, &disp);
    EXPECT_EQ(disp, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(RegSetValueExW(b, u"PREFIX", 0, REG_SZ, reinterpret_cast<const BYTE*>(u"ECH"), 8), 0);
    // A buffer a unit short: the size is told, the buffer left untouched.
    char16_t buf[4] = {u'#'};
    DWORD size = 7;
    EXPECT_EQ(RegQueryValueExW(a, u"prefix", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(buf[0], u'#');
    EXPECT_EQ(RegDeleteValueW(a, u"pREFIX"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(a, u"Prefix"), ERROR_FILE_NOT_FOUND);
    RegCloseKey(a);
    RegCloseKey(b);
}

// Values of every shape survive export and import byte for byte; a bad file
// names its line and changes nothing, not even what its good lines before
// the fault would have.
TEST_F(RegistryTest, TextRoundTripsAndMalformedTextChangesNothing) {
    const std::vector<uint8_t> odd = {0x41, 0x00, 0x42}, binary(300, 0x5A);
    cehost::RegWrite(u"Drivers\\T", u"Odd\"q\"\\", REG_SZ, odd);  // not a whole string
    cehost::RegWrite(u"Drivers\\T", u"", 0x1234, binary);
    cehost::RegWriteString(u"Drivers\\T", u"Dll", u"C:\\dir\\\"x\"");
    cehost::RegWriteDword(u"Drivers\\T", u"Index", 0x12345678);
    const std::string text = cehost::ExportRegText();
    EXPECT_NE(text.find("\"Index\"=dword:12345678\n"), std::string::npos) << text;
    cehost::ResetPlatform();
    ASSERT_TRUE(cehost::ImportRegText(text)) << text;
    EXPECT_EQ(cehost::RegRead(u"drivers\\t", u"odd\"Q\"\\")->data, odd);
    EXPECT_EQ(cehost::RegRead(u"drivers\\t", u"")->data, binary);
    EXPECT_EQ(cehost::RegReadString(u"drivers\\t", u"dll"), u"C:\\dir\\\"x\"");
    EXPECT_EQ(cehost::RegReadDword(u"drivers\\t", u"index"), 0x12345678u);
    EXPECT_EQ(cehost::ExportRegText(), text) << "export is stable";
    const struct {
        const char* line4;
        const char* mentions;
    } cases[] = {
        {"\"a\"=dword:123456789", "8 hex"},     {"\"a\"=hex:01,zz", "zz"},
        {"\"a\"=\"open", "unterminated"},       {"\"a\"=\"bad \\q\"", "escape"},
        {"\"a\"=hex:01,\\", "end of the file"}, {"\"a\"=\"\xC3\x28\"", "UTF-8"},
    };
    for (const auto& c : cases) {
        cehost::RegFileError err;
        EXPECT_FALSE(cehost::ImportRegText(
            std::string("REGEDIT4\n[-HKEY_LOCAL_MACHINE\\Drivers]\n[HKEY_LOCAL_MACHINE\\X]\n") +
                c.line4 + "\n",
            &err));
        EXPECT_EQ(err.line, 4) << c.line4;
        EXPECT_NE(err.message.find(c.mentions), std::string::npos) << err.ToString();
        EXPECT_EQ(cehost::ExportRegText(), text);
    }
}

}  // namespace
