// The CE scheduling mode: one run token for driver code, and the marks of
// driver code and platform calls that both strict modes rely on.
//
// CE devices of this class have one CPU and strict preemptive priorities.
// Here a thread needs the run token to run driver code: from the start of
// its outermost DriverCodeScope (a platform thread's start routine, host code
// calling a driver) to its end, except while it blocks in a platform wait,
// when it lends the token to the next ready thread until the call returns.
// Host code (device models, the bus scheduler moving packets, tests, the
// platform's own work inside a call) never needs it: it stands for the
// hardware and the kernel, which run beside the driver. So host code that
// blocks outside the platform (a model's mutex, a socket, a condition
// variable) never holds the token; and no thread waits for the token while
// holding a platform lock, because it is taken only where driver code starts
// (called with no lock held) and where a platform call returns into driver
// code (after the call has released its locks).
//
// The token goes to the most urgent ready thread: lowest 256-level priority,
// raised to that of any thread waiting (directly or through a chain) for a
// critical section it owns, since CE lends priority to the owner; a thread
// marked for termination first, as it must run to its end. Among equals, in
// the order they became ready, except that a thread preempted by a more
// urgent one goes back to the front. The holder hands the token over at its
// platform calls (at the start and on the way back) to a more urgent ready
// thread, and to one of equal priority once it has held it for a quantum;
// Sleep(0) hands it to an equal one at once, never to a less urgent one.
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cehost/core.h"
#include "cehost/counters.h"
#include "core/internal.h"

namespace ce_internal {
namespace {

using namespace std::chrono_literals;

constexpr auto kQuantum = 100ms;
// A wait for the token this long names the holder on stderr: some thread
// keeps running driver code without a platform call, or blocks holding the
// token somewhere the platform does not see.
constexpr auto kLongWaitNote = 10s;

std::atomic<int> gMode{static_cast<int>(cehost::SchedulingMode::kParallel)};

struct Scheduler {
    std::mutex m;
    std::condition_variable cv;               // token released, thread ready, mode changed
    ThreadRecord* holder = nullptr;           // m
    std::vector<ThreadRecord*> participants;  // m: threads in driver code under the mode
    int64_t nextBack = 1;                     // m
    int64_t nextFront = 0;                    // m
};

Scheduler& Sched() {
    static Scheduler* s = new Scheduler;  // threads may still run at exit
    return *s;
}

// Effective priorities of every participant (lock held).
void ComputeEffective(Scheduler& s) {
    for (ThreadRecord* t : s.participants)
        t->effective = t->terminate.load() ? -1 : t->priority256.load();
    for (size_t round = 0; round < s.participants.size(); ++round) {
        bool changed = false;
        for (ThreadRecord* w : s.participants) {
            if (w->blockedOn == nullptr)
                continue;
            ThreadRecord* owner = SectionOwnerRecord(w->blockedOn);
            if (owner != nullptr && owner->participant && w->effective < owner->effective) {
                owner->effective = w->effective;
                changed = true;
            }
        }
        if (!changed)
            break;
    }
}

// The ready thread to run next (lock held, effective priorities computed).
ThreadRecord* BestReady(Scheduler& s) {
    ThreadRecord* best = nullptr;
    for (ThreadRecord* t : s.participants) {
        if (!t->ready)
            continue;
        if (best == nullptr || t->effective < best->effective ||
            (t->effective == best->effective && t->readySeq < best->readySeq))
            best = t;
    }
    return best;
}

void Join(Scheduler& s, ThreadRecord& self) {
    if (self.participant)
        return;
    self.participant = true;
    s.participants.push_back(&self);
}

void Leave(Scheduler& s, ThreadRecord& self) {
    if (!self.participant)
        return;
    self.participant = false;
    self.ready = false;
    self.blockedOn = nullptr;
    s.participants.erase(std::find(s.participants.begin(), s.participants.end(), &self));
    if (s.holder == &self)
        s.holder = nullptr;
    s.cv.notify_all();
}

// Makes the thread ready and waits until it holds the token (lock held).
// Returns without it when the mode was switched off, or when the thread was
// killed (it is parked on its way back into driver code).
void WaitForToken(Scheduler& s, std::unique_lock<std::mutex>& lk, ThreadRecord& self, bool front) {
    self.ready = true;
    self.readySeq = front ? s.nextFront-- : s.nextBack++;
    s.cv.notify_all();
    auto noteAt = Clock::now() + kLongWaitNote;
    for (;;) {
        if (gMode.load() != static_cast<int>(cehost::SchedulingMode::kCe) || KillDue(self))
            break;
        if (s.holder == nullptr) {
            ComputeEffective(s);
            if (BestReady(s) == &self) {
                s.holder = &self;
                self.quantumStart = Clock::now();
                break;
            }
        }
        if (s.cv.wait_until(lk, noteAt) == std::cv_status::timeout) {
            std::fprintf(
                stderr,
                "ce: CE scheduling: thread %u has waited %lld s for the run token, "
                "held by thread %u\n",
                self.id,
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::seconds>(kLongWaitNote).count()),
                s.holder != nullptr ? s.holder->id : 0u);
            noteAt = Clock::now() + kLongWaitNote;
        }
    }
    self.ready = false;
}

// Hands the token over when a ready thread is more urgent, or, with
// `equalToo` (or the quantum spent), as urgent (lock held, token held).
void MaybeHandOver(Scheduler& s, std::unique_lock<std::mutex>& lk, ThreadRecord& self,
                   bool equalToo) {
    ComputeEffective(s);
    ThreadRecord* best = BestReady(s);
    if (best == nullptr || best->effective > self.effective)
        return;
    const bool preempted = best->effective < self.effective;
    if (!preempted && !equalToo && Clock::now() - self.quantumStart < kQuantum)
        return;
    s.holder = nullptr;
    WaitForToken(s, lk, self, preempted);
}

void ReadModesFromEnvironment() {
    const char* v = std::getenv("SERLYNX_SCHEDULING");
    cehost::SetSchedulingMode(v != nullptr && std::strcmp(v, "ce") == 0
                                  ? cehost::SchedulingMode::kCe
                                  : cehost::SchedulingMode::kParallel);
}

struct ResetHook {
    ResetHook() { cehost::RegisterResetHook(&ReadModesFromEnvironment); }
} resetHook;

}  // namespace

bool CeScheduling() {
    return gMode.load(std::memory_order_relaxed) == static_cast<int>(cehost::SchedulingMode::kCe);
}

void SchedEnterDriver(ThreadRecord& self) {
    if (!CeScheduling())
        return;
    Scheduler& s = Sched();
    std::unique_lock<std::mutex> lk(s.m);
    Join(s, self);
    if (s.holder != &self)
        WaitForToken(s, lk, self, false);
}

void SchedLeaveDriver(ThreadRecord& self) {
    // Only the thread itself makes itself a participant, so it may look
    // without the lock.
    if (!self.participant)
        return;
    Scheduler& s = Sched();
    std::lock_guard<std::mutex> g(s.m);
    Leave(s, self);
}

void SchedPoint(ThreadRecord& self) {
    if (!CeScheduling())
        return;
    Scheduler& s = Sched();
    std::unique_lock<std::mutex> lk(s.m);
    Join(s, self);  // driver code that began before the mode was switched on
    if (s.holder != &self)
        WaitForToken(s, lk, self, false);
    else
        MaybeHandOver(s, lk, self, false);
}

void SchedYield(ThreadRecord& self) {
    if (!self.participant || !CeScheduling())
        return;
    Scheduler& s = Sched();
    std::unique_lock<std::mutex> lk(s.m);
    if (s.holder == &self)
        MaybeHandOver(s, lk, self, true);
}

void SchedLendForWait(ThreadRecord& self) {
    if (!self.participant)
        return;
    Scheduler& s = Sched();
    std::lock_guard<std::mutex> g(s.m);
    if (s.holder == &self) {
        s.holder = nullptr;
        s.cv.notify_all();
    }
}

void SchedBlockedOn(ThreadRecord& self, CsImpl* cs) {
    if (!self.participant)
        return;
    Scheduler& s = Sched();
    std::lock_guard<std::mutex> g(s.m);
    self.blockedOn = cs;
}

void SchedWakeAll() {
    Scheduler& s = Sched();
    std::lock_guard<std::mutex> g(s.m);
    s.cv.notify_all();
}

void SchedForget(ThreadRecord& thread) {
    Scheduler& s = Sched();
    std::lock_guard<std::mutex> g(s.m);
    Leave(s, thread);
}

void BeginPlatformCall(ThreadRecord& self) {
    // Counted first: from here a kill signal waits for the way out.
    const int depth = self.platformDepth.fetch_add(1) + 1;
    if (depth == 1 && self.driverDepth.load() > 0)
        SchedPoint(self);
}

void EndPlatformCall(ThreadRecord& self) {
    if (self.platformDepth.load() == 1 && self.driverDepth.load() > 0 && !self.exiting.load())
        SchedPoint(self);
    const int depth = self.platformDepth.fetch_sub(1) - 1;
    if (depth == 0 && self.driverDepth.load() > 0 && KillDue(self))
        ParkThisThread(self);
}

}  // namespace ce_internal

namespace cehost {

using ce_internal::ThreadRecord;

void SetSchedulingMode(SchedulingMode mode) {
    ce_internal::gMode.store(static_cast<int>(mode));
    ce_internal::SchedWakeAll();
}

SchedulingMode GetSchedulingMode() {
    return static_cast<SchedulingMode>(ce_internal::gMode.load());
}

PlatformEntry::PlatformEntry() : self_(&ce_internal::CurrentThread()) {
    ce_internal::BeginPlatformCall(*static_cast<ThreadRecord*>(self_));
}

PlatformEntry::~PlatformEntry() {
    ce_internal::EndPlatformCall(*static_cast<ThreadRecord*>(self_));
}

DriverCodeScope::DriverCodeScope(int cePriority) {
    ThreadRecord& self = ce_internal::CurrentThread();
    savedPlatformDepth_ = self.platformDepth.load();
    outermost_ = self.driverDepth.load() == 0;
    if (outermost_ || savedPlatformDepth_ > 0) {
        if (outermost_ && cePriority >= 0 && ce_internal::CeScheduling())
            self.priority256.store(cePriority);
        ce_internal::SchedEnterDriver(self);
    }
    // Driver code from here (a kill signal stops the thread at once).
    self.platformDepth.store(0);
    self.driverDepth.fetch_add(1);
    if (ce_internal::KillDue(self))
        ce_internal::ParkThisThread(self);  // killed on its way in
}

DriverCodeScope::~DriverCodeScope() {
    ThreadRecord& self = ce_internal::CurrentThread();
    // Back in the platform call that called the driver, if one did. The
    // token stays while the thread is still inside driver code further out
    // (a routine called from a platform call the driver made); host code
    // that called the platform gives it up.
    if (savedPlatformDepth_ > 0)
        self.platformDepth.store(savedPlatformDepth_);
    if (self.driverDepth.fetch_sub(1) == 1)
        ce_internal::SchedLeaveDriver(self);
}

}  // namespace cehost
