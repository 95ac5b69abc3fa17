// Internals shared by the core services' sources (not part of any API).
//
// Threads: every thread that calls into the platform has a ThreadRecord
// (created on first use; platform threads get theirs from CreateThread). A
// blocking core call either waits through TerminableWait, which registers the
// mutex/condition variable it sleeps on in the record, or sleeps on a futex
// word (events and critical sections, sync.cpp), which it registers as
// `waitWord`; either way TerminateThread finds what to wake.
//
// Driver code and platform code: a thread runs driver code between a
// DriverCodeScope's start and end (host code calling a driver's entry point
// or routine, and a platform thread's start routine) except inside a
// platform call, which every exported platform function marks with a
// PlatformCall. The strict modes work on that distinction: the run token of
// the CE scheduling mode is needed only to run driver code (sched.cpp), and
// a thread killed anywhere is stopped in driver code, never inside the
// platform, where it may hold the platform's own locks.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "ce/types.h"
#include "cehost/core.h"

namespace ce_internal {

using Clock = std::chrono::steady_clock;

struct CsImpl;

struct ThreadRecord {
    DWORD id = 0;
    bool platformThread = false;  // created by CreateThread; set before it runs
    std::atomic<bool> terminate{false};
    std::atomic<bool> exiting{false};  // unwinding: waits no longer block
    std::atomic<DWORD> terminateCode{0};
    std::atomic<int> priority256{251};  // THREAD_PRIORITY_NORMAL on the 256 scale

    // What the thread sleeps on right now, for TerminateThread to wake it.
    std::mutex waitLock;  // guards the three pointers below
    std::mutex* waitMutex = nullptr;
    std::condition_variable* waitCv = nullptr;
    // A futex word (sync.cpp): kept alive by the sleeper while it is named
    // here; the terminator adds kWordKick to it and wakes every sleeper.
    std::atomic<uint32_t>* waitWord = nullptr;

    // Sleep() waits here.
    std::mutex sleepMutex;
    std::condition_variable sleepCv;

    // Critical sections this thread owns; touched only by the thread itself
    // (and read by the one who finishes it once it is parked).
    std::vector<std::shared_ptr<CsImpl>> held;

    // ---- Strict modes ----
    std::atomic<pid_t> tid{0};  // kernel thread id, for the kill signal; set by the thread
    // Nesting, changed only by the thread itself and read by its own signal
    // handler: it runs driver code when driverDepth > 0 and platformDepth
    // is 0.
    std::atomic<int> driverDepth{0};
    std::atomic<int> platformDepth{0};
    // Set with `terminate` under TerminationMode::kAnywhere: the thread is
    // parked, not unwound.
    std::atomic<bool> killAnywhere{false};
    std::atomic<bool> parked{false};  // stopped for good (ParkThisThread)
    void* object = nullptr;           // its ThreadObject (threads.cpp); platform threads only

    // Guarded by the scheduler's lock (sched.cpp).
    bool participant = false;     // inside driver code under the CE scheduling mode
    bool ready = false;           // waiting for the run token
    int64_t readySeq = 0;         // its place among the ready threads of its priority
    int effective = 0;            // priority with what it inherits, while picking
    CsImpl* blockedOn = nullptr;  // the section it waits to enter
    Clock::time_point quantumStart{};
};

// The calling thread's record, created on first use.
ThreadRecord& CurrentThread();
// The calling thread's record when it has one (async-signal-safe once the
// thread has a record).
ThreadRecord* CurrentThreadIfAny();

// Marks one platform call for the whole of an exported function; declare it
// first, so that it outlives every lock the function takes. Entered from
// driver code it is a scheduling point of the CE mode (at the start and on
// the way back), and on the way back a thread killed meanwhile is parked.
void BeginPlatformCall(ThreadRecord& self);
void EndPlatformCall(ThreadRecord& self);
class PlatformCall {
  public:
    PlatformCall() : self_(CurrentThread()) { BeginPlatformCall(self_); }
    ~PlatformCall() { EndPlatformCall(self_); }
    PlatformCall(const PlatformCall&) = delete;
    PlatformCall& operator=(const PlatformCall&) = delete;

  private:
    ThreadRecord& self_;
};

// ---- CE scheduling (sched.cpp) ----
// All of them do nothing unless the CE scheduling mode is on. The scheduler's
// lock is a leaf: it may be taken with any other lock held, and no other lock
// is taken under it.
bool CeScheduling();
// Driver code starts on the thread (outermost scope): it joins the threads
// that compete for the token and waits for it.
void SchedEnterDriver(ThreadRecord& self);
// The thread's outermost driver code ended: the token goes to the next one.
void SchedLeaveDriver(ThreadRecord& self);
// A platform call from driver code starts or returns: the thread takes the
// token back if it lent it, and hands it over to a more urgent ready thread
// (or, its quantum spent, to one of equal priority). Called with no lock
// held.
void SchedPoint(ThreadRecord& self);
// Sleep(0): hands the token to a ready thread of equal priority, if any.
void SchedYield(ThreadRecord& self);
// The thread is about to block in a platform wait: the token goes to the
// next ready thread until the call returns into driver code.
void SchedLendForWait(ThreadRecord& self);
// The thread waits to enter `cs` (null: no longer), lending its priority to
// the owner.
void SchedBlockedOn(ThreadRecord& self, CsImpl* cs);
// Threads waiting for the token look again (a target marked for
// termination is let through).
void SchedWakeAll();
// A parked thread leaves the competition for good.
void SchedForget(ThreadRecord& thread);
// The record of the section's owner (null when free); sync.cpp.
ThreadRecord* SectionOwnerRecord(CsImpl* cs);
// Marks the sections the calling thread owns as owned by a parked thread
// (sync.cpp). Async-signal-safe: called as the thread parks, when its
// `held` is not being changed (it parks in driver code or on its way out).
void MarkHeldSectionsParked(ThreadRecord& self);

// ---- Kill anywhere (threads.cpp) ----
// Stops the calling thread for good: it never runs again, is never unwound,
// and keeps what it owns. Async-signal-safe. Whoever terminated it finishes
// its handle (a thread that terminated itself has done so already).
[[noreturn]] void ParkThisThread(ThreadRecord& self);
// True when the calling thread must be parked now, in driver code.
inline bool KillDue(const ThreadRecord& self) {
    return self.terminate.load() && self.killAnywhere.load() && !self.parked.load();
}

// Ends the calling thread because it was terminated: by unwinding it, or,
// when it was killed anywhere, by parking it. Call with no platform lock
// held. Does not return.
[[noreturn]] void EndTerminatedThread();

// Releases the sections the calling thread still owns (counting misuse):
// called when a thread ends, normally or not.
void AbandonHeldSections(ThreadRecord& self);

// Wakes the target if it sleeps in a TerminableWait (it has been marked).
void WakeForTermination(ThreadRecord& target);

// ---- Futex words (events and critical sections, sync.cpp) ----
// Every futex word keeps its flags in the low byte; TerminateThread (and
// DeleteCriticalSection) add kWordKick to the word a thread sleeps on, so that
// a sleeper that checked its conditions just before finds the word changed
// and does not sleep.
constexpr uint32_t kWordKick = 0x100;

// The futex call that takes this build's timespec (32-bit targets built with
// a 64-bit time_t need the time64 one).
#if defined(SYS_futex_time64) && !defined(__LP64__)
constexpr long kFutexCall = sizeof(time_t) > sizeof(long) ? SYS_futex_time64 : SYS_futex;
#else
constexpr long kFutexCall = SYS_futex;
#endif

// Sleeps while *word == expected, until woken or the deadline (max(): none);
// spurious returns are possible: the caller looks again. steady_clock is
// CLOCK_MONOTONIC, the clock FUTEX_WAIT_BITSET measures absolute deadlines
// on.
inline void FutexWait(std::atomic<uint32_t>* word, uint32_t expected, Clock::time_point deadline) {
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
    timespec ts{};
    timespec* tsp = nullptr;
    if (deadline != Clock::time_point::max()) {
        const auto ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch())
                .count();
        ts.tv_sec = static_cast<time_t>(ns / 1000000000);
        ts.tv_nsec = static_cast<long>(ns % 1000000000);
        tsp = &ts;
    }
    syscall(kFutexCall, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG,
            expected, tsp, nullptr, FUTEX_BITSET_MATCH_ANY);
}

inline void FutexWake(std::atomic<uint32_t>* word, int n) {
    syscall(kFutexCall, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, n,
            nullptr, nullptr, 0);
}

// Deadline for a timeout in milliseconds (INFINITE: time_point::max()).
inline Clock::time_point DeadlineAfter(DWORD ms) {
    if (ms == INFINITE)
        return Clock::time_point::max();
    return Clock::now() + std::chrono::milliseconds(ms);
}

// Sleeps on cv (lock held on entry and return) until ready() or the
// deadline (Clock::time_point::max(): none); returns ready(). A termination
// point: TerminateThread wakes the sleeper through the registration below,
// and a terminated thread ends here after releasing the lock.
template <class Ready>
bool TerminableWait(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                    Clock::time_point deadline, Ready ready) {
    ThreadRecord& self = CurrentThread();
    if (self.exiting.load())
        return ready();
    {
        std::lock_guard<std::mutex> g(self.waitLock);
        self.waitMutex = lock.mutex();
        self.waitCv = &cv;
    }
    auto unregister = [&self] {
        std::lock_guard<std::mutex> g(self.waitLock);
        self.waitMutex = nullptr;
        self.waitCv = nullptr;
    };
    for (;;) {
        if (self.terminate.load()) {
            unregister();
            lock.unlock();
            EndTerminatedThread();
        }
        if (ready()) {
            unregister();
            return true;
        }
        SchedLendForWait(self);
        bool timedOut = false;
        if (deadline == Clock::time_point::max())
            cv.wait(lock);
        else
            timedOut = cv.wait_until(lock, deadline) == std::cv_status::timeout;
        if (timedOut) {
            if (self.terminate.load())
                continue;
            bool r = ready();
            unregister();
            return r;
        }
    }
}

// ---- Handle table (handles.cpp) ----

struct HandleEntryView {
    const cehost::HandleKind* kind = nullptr;
    std::shared_ptr<void> object;
};
// Looks a handle up without counting; classifies a failure as "handle.null",
// "handle.closed" or "handle.unknown" in *why.
bool FindHandle(HANDLE h, HandleEntryView* out, const char** why);
// Removes a live handle from the table (CloseHandle).
bool TakeHandle(HANDLE h, HandleEntryView* out, const char** why);
const char* HandleKindName(const cehost::HandleKind* kind);
cehost::HandleCloseFn HandleCloseOf(const cehost::HandleKind* kind);
void SweepHandleLeaks();

// ---- Thread handles (threads.cpp) ----
const cehost::HandleKind* ThreadHandleKind();
DWORD WaitForThreadObject(const std::shared_ptr<void>& object, DWORD ms);

// ---- Failure injection (faults.cpp) ----
enum class CallFault { kCreateEvent, kCreateThread, kTerminateThread, kRegistryWrite, kCount };
// True when this call of `kind` is the one armed to fail (which disarms it).
bool InjectCallFault(CallFault kind);
// Counts a successful creation (kCreateEvent, kCreateThread).
void CountCreated(CallFault kind);

// ---- Per-subsystem sweeps ----
void SweepHeapLeaks();
void SweepSectionLeaks();
void SweepThreadLeaks();

// The pseudo-handle of GetCurrentThread.
inline HANDLE CurrentThreadPseudoHandle() {
    return (HANDLE)(LONG_PTR)-2;
}

}  // namespace ce_internal
