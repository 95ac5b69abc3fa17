// Internals shared by the core services' sources (not part of any API).
//
// Threads: every thread that calls into the platform has a ThreadRecord
// (created on first use; platform threads get theirs from CreateThread). A
// blocking core call waits through TerminableWait, which registers the
// mutex/condition variable it sleeps on in the record so that TerminateThread
// can wake it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
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
    std::mutex waitLock;  // guards the two pointers below
    std::mutex* waitMutex = nullptr;
    std::condition_variable* waitCv = nullptr;

    // Sleep() waits here.
    std::mutex sleepMutex;
    std::condition_variable sleepCv;

    // Critical sections this thread owns; touched only by the thread itself.
    std::vector<std::shared_ptr<CsImpl>> held;
};

// The calling thread's record, created on first use.
ThreadRecord& CurrentThread();

// Ends the calling thread because it was terminated. Call with no platform
// lock held. Does not return.
[[noreturn]] void EndTerminatedThread();

// Releases the sections the calling thread still owns (counting misuse):
// called when a thread ends, normally or not.
void AbandonHeldSections(ThreadRecord& self);

// Wakes the target if it sleeps in a TerminableWait (it has been marked).
void WakeForTermination(ThreadRecord& target);

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
        if (deadline == Clock::time_point::max()) {
            cv.wait(lock);
        } else if (cv.wait_until(lock, deadline) == std::cv_status::timeout) {
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
