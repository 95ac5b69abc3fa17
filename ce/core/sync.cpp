// Events, WaitForSingleObject, CloseHandle, critical sections, interlocked.
//
// Events and critical sections each keep their state in one futex word of
// their own. Setting an event or leaving a section is one atomic operation,
// plus a FUTEX_WAKE only when a thread may sleep on the word; an uncontended
// enter is one compare-exchange; a waiter spins for a few microseconds
// (see SpinWindow()) before it sleeps with FUTEX_WAIT, except under the CE
// scheduling mode (the thread it would wait for may need the run token this
// one holds) and on a one-CPU host. Any thread may call any of them.
//
// Event word (EventObject::state): kSignalled and kClosed in the low byte,
// the termination kicks (kWordKick) above. SetEvent sets kSignalled with a
// sequentially consistent RMW and then reads `waiters`; a waiter adds itself
// to `waiters` and then reads the word, also sequentially consistent: so
// either the waiter sees the signal, or the setter sees the waiter and wakes
// it (FUTEX_WAIT refuses to sleep once the word differs from what the waiter
// read). The set is a release and every successful wait reads the word with
// acquire (an auto-reset wait takes kSignalled with a compare-exchange), so
// what the setter wrote before SetEvent happens before what the waiter does
// after its wait: that is the event's whole memory contract, and it is also
// what ThreadSanitizer sees (the futex calls only sleep and wake; they carry
// no ordering). Every wake wakes all sleepers: on an auto-reset event the
// first to take the signal wins and the others sleep again, so a sleeper
// that was woken but ends (terminated) never strands another one.
//
// Critical sections: the caller's record holds only a magic word and the
// address of its CsImpl, which is registered in a table; a record is used
// only when its magic is live and its impl is registered for that very
// record, so an uninitialised record (0xCD garbage), a deleted one or a copy
// is refused and counted without being dereferenced. Section word
// (CsImpl::word): kLocked, kContended (a thread may sleep on it; set by
// every thread that goes to sleep and by one that takes the section after
// sleeping), kicks above. Entering takes kLocked with an acquire
// compare-exchange; leaving clears kLocked and kContended with a release RMW
// and wakes one sleeper if kContended was set. `owner`, `depth` and
// `ownerRecord` are written only by the owner while it holds kLocked. Waits
// to enter are termination points; DeleteCriticalSection wakes them (they
// fail, counted).
//
// A section owned by a thread that was killed anywhere (parked) stays owned:
// whoever enters it next waits for ever, as on CE. That is counted
// ("cs.enter.owner.killed") and noted on stderr, the hang being the fault.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <shared_mutex>
#include <unordered_map>

#include "ce/sync.h"
#include "ce/thread.h"
#include "cehost/core.h"
#include "cehost/counters.h"
#include "core/internal.h"
#include "core/spin.h"

namespace ce_internal {

struct CsImpl {
    LPCRITICAL_SECTION record;  // the record it was initialised in
    uint64_t epoch;
    std::atomic<uint32_t> word{0};     // kLocked | kContended | kicks
    std::atomic<DWORD> owner{0};       // thread id, 0 when free; written by the owner
    DWORD depth = 0;                   // the owner's alone
    std::atomic<bool> deleted{false};  // set once, by DeleteCriticalSection
    // Set once, by the owner as it is parked (killed anywhere): the section
    // stays owned for ever. Read by threads entering it and by the delete,
    // which must not touch the owner's record (another owner's may be freed
    // by then).
    std::atomic<bool> ownerParked{false};
    // The owner's record, set and cleared with `owner`; read under the
    // scheduler's lock for priority inheritance (a participant's record is
    // alive) and by the owner itself.
    std::atomic<ThreadRecord*> ownerRecord{nullptr};
    SpinGauge spin;  // how long entering threads have waited lately
};

namespace {

constexpr DWORD kCsLive = 0x43534C56;     // "CSLV"
constexpr DWORD kCsDeleted = 0x43534445;  // "CSDE"

// Event word bits.
constexpr uint32_t kSignalled = 1;
constexpr uint32_t kClosed = 2;
// Section word bits.
constexpr uint32_t kLocked = 1;
constexpr uint32_t kContended = 2;

// Worth spinning: the caller does not hold the CE mode's run token (the
// thread it waits for may need it).
bool SpinAllowed(const ThreadRecord& self) {
    return !self.participant;
}

struct EventObject {
    std::atomic<uint32_t> state{0};    // kSignalled | kClosed | kicks
    std::atomic<uint32_t> waiters{0};  // threads about to sleep or asleep on `state`
    bool manualReset = false;          // fixed at creation
    SpinGauge spin;                    // how long its waits have taken lately
};

BOOL CloseEventObject(const std::shared_ptr<void>& object) {
    auto ev = std::static_pointer_cast<EventObject>(object);
    ev->state.fetch_or(kClosed);
    if (ev->waiters.load() != 0)
        FutexWake(&ev->state, INT_MAX);
    return TRUE;
}

const cehost::HandleKind* EventKind() {
    static const cehost::HandleKind* kind = cehost::RegisterHandleKind("event", CloseEventObject);
    return kind;
}

struct SectionTable {
    std::shared_mutex lock;  // shared to look a record up, exclusive to change the table
    std::unordered_map<CsImpl*, std::shared_ptr<CsImpl>> live;  // guarded by lock
    uint64_t epoch = 1;                                         // guarded by lock
};

SectionTable& Sections() {
    static SectionTable* t = new SectionTable;
    return *t;
}

struct ResetHook {
    ResetHook() {
        EventKind();
        cehost::RegisterResetHook([] {
            std::unique_lock<std::shared_mutex> g(Sections().lock);
            ++Sections().epoch;
        });
    }
} resetHook;

DWORD LoadMagic(LPCRITICAL_SECTION cs) {
    return __atomic_load_n(&cs->magic, __ATOMIC_RELAXED);
}
void* LoadImpl(LPCRITICAL_SECTION cs) {
    return __atomic_load_n(&cs->impl, __ATOMIC_RELAXED);
}

// The live impl of a record, or null after counting the misuse.
std::shared_ptr<CsImpl> ValidSection(LPCRITICAL_SECTION cs) {
    if (!cs) {
        cehost::CountMisuse("cs.null");
        return nullptr;
    }
    DWORD magic = LoadMagic(cs);
    if (magic == kCsLive) {
        auto* impl = static_cast<CsImpl*>(LoadImpl(cs));
        std::shared_lock<std::shared_mutex> g(Sections().lock);
        auto it = Sections().live.find(impl);
        if (it != Sections().live.end() && it->second->record == cs)
            return it->second;
    }
    cehost::CountMisuse(magic == kCsDeleted ? "cs.deleted" : "cs.uninitialised");
    return nullptr;
}

std::shared_ptr<EventObject> LookupEvent(HANDLE h) {
    return std::static_pointer_cast<EventObject>(cehost::LookupHandle(h, EventKind()));
}

// Registers `word` for TerminateThread, lends the run token and sleeps while
// the word holds `seen`. False, without sleeping, when the thread has been
// marked for termination: the caller tidies up and ends it. The caller
// keeps the word alive.
bool SleepOnWord(ThreadRecord& self, std::atomic<uint32_t>* word, uint32_t seen,
                 Clock::time_point deadline) {
    {
        std::lock_guard<std::mutex> g(self.waitLock);
        self.waitWord = word;
    }
    // Looked at after registering (see WakeForTermination).
    const bool end = self.terminate.load() && !self.exiting.load();
    if (!end) {
        SchedLendForWait(self);
        FutexWait(word, seen, deadline);
    }
    std::lock_guard<std::mutex> g(self.waitLock);
    self.waitWord = nullptr;
    return !end;
}

// Takes kLocked if it is free (acquire); `extra` is kContended for a thread
// that has slept on the section.
bool TryLockWord(CsImpl& impl, uint32_t extra) {
    uint32_t s = impl.word.load(std::memory_order_relaxed);
    while (!(s & kLocked))
        if (impl.word.compare_exchange_weak(s, s | kLocked | extra, std::memory_order_acquire,
                                            std::memory_order_relaxed))
            return true;
    return false;
}

// Clears kLocked (release) and wakes a sleeper if there may be one: all of
// them with `all` (a section given up by a thread that ended).
void UnlockWord(CsImpl& impl, bool all) {
    if (impl.word.fetch_and(~(kLocked | kContended), std::memory_order_release) & kContended)
        FutexWake(&impl.word, all ? INT_MAX : 1);
}

// Waits until the section is free and takes it (false: it was deleted
// meanwhile). A termination point.
bool LockContended(CsImpl& impl, ThreadRecord& self) {
    // Timed from here, spin included, as an event's wait is.
    const Clock::time_point began = Clock::now();
    if (impl.ownerParked.load()) {
        cehost::CountMisuse("cs.enter.owner.killed");
        std::fprintf(stderr,
                     "ce: EnterCriticalSection: thread %u waits for a section that thread %u "
                     "owned when it was terminated: for ever\n",
                     self.id, impl.owner.load(std::memory_order_relaxed));
    } else if (SpinAllowed(self) && Spin(impl.spin, [&] { return TryLockWord(impl, 0); })) {
        impl.spin.Learn(Clock::now() - began);  // the owner left within the spin
        return true;
    }
    // The owner runs on this thread's priority meanwhile (CE scheduling).
    SchedBlockedOn(self, &impl);
    bool taken = false;
    for (;;) {
        if (self.terminate.load() && !self.exiting.load())
            EndTerminatedThread();
        uint32_t s = impl.word.load();
        if (impl.deleted.load())
            break;
        if (!(s & kLocked)) {
            if (impl.word.compare_exchange_weak(s, s | kLocked | kContended,
                                                std::memory_order_acquire,
                                                std::memory_order_relaxed)) {
                taken = true;
                break;
            }
            continue;
        }
        if (!(s & kContended) && !impl.word.compare_exchange_weak(s, s | kContended))
            continue;
        if (!SleepOnWord(self, &impl.word, s | kContended, Clock::time_point::max()))
            EndTerminatedThread();
    }
    SchedBlockedOn(self, nullptr);
    impl.spin.Learn(Clock::now() - began);
    return taken;
}

}  // namespace

ThreadRecord* SectionOwnerRecord(CsImpl* cs) {
    return cs->ownerRecord.load();
}

void MarkHeldSectionsParked(ThreadRecord& self) {
    for (auto& impl : self.held)
        if (impl->owner.load(std::memory_order_relaxed) == self.id)
            impl->ownerParked.store(true);
}

void AbandonHeldSections(ThreadRecord& self) {
    for (auto& impl : self.held) {
        if (impl->deleted.load() || impl->owner.load(std::memory_order_relaxed) != self.id)
            continue;
        impl->owner.store(0, std::memory_order_relaxed);
        impl->depth = 0;
        impl->ownerRecord.store(nullptr);
        UnlockWord(*impl, true);
        // On the real platform the section would stay owned forever.
        cehost::CountMisuse("thread.ended.holding.cs");
    }
    self.held.clear();
}

void SweepSectionLeaks() {
    uint64_t n = 0;
    {
        SectionTable& t = Sections();
        std::shared_lock<std::shared_mutex> g(t.lock);
        for (const auto& [p, impl] : t.live)
            if (impl->epoch == t.epoch)
                ++n;
    }
    for (uint64_t i = 0; i < n; ++i)
        cehost::CountLeak("cs.undeleted");
}

}  // namespace ce_internal

using namespace ce_internal;

// ---- Events and waits --------------------------------------------------------------

CEAPI HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                          LPCWSTR lpName) {
    PlatformCall call;
    cehost::ThreadCheckpoint();
    if (lpName) {
        // Named events are not emulated; no driver here shares events by name.
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (InjectCallFault(CallFault::kCreateEvent)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto ev = std::make_shared<EventObject>();
    ev->manualReset = bManualReset != FALSE;
    ev->state.store(bInitialState != FALSE ? kSignalled : 0, std::memory_order_relaxed);
    CountCreated(CallFault::kCreateEvent);
    return cehost::NewHandle(EventKind(), ev);
}

CEAPI BOOL SetEvent(HANDLE hEvent) {
    PlatformCall call;
    auto ev = LookupEvent(hEvent);
    if (!ev)
        return FALSE;
    // Already signalled: whoever set it woke the sleepers of the time, and
    // no thread sleeps on a signalled word.
    if (!(ev->state.fetch_or(kSignalled) & kSignalled) && ev->waiters.load() != 0)
        FutexWake(&ev->state, INT_MAX);
    return TRUE;
}

CEAPI BOOL ResetEvent(HANDLE hEvent) {
    PlatformCall call;
    auto ev = LookupEvent(hEvent);
    if (!ev)
        return FALSE;
    ev->state.fetch_and(~kSignalled, std::memory_order_relaxed);
    return TRUE;
}

namespace {

enum class EventWait { kSignalled, kTimeout, kClosed };

// Takes the signal if the word holds one (acquire); on an auto-reset event
// only one waiter takes it.
bool TakeSignal(EventObject& ev, uint32_t& s) {
    while (s & kSignalled) {
        if (ev.manualReset)
            return true;
        if (ev.state.compare_exchange_weak(s, s & ~kSignalled, std::memory_order_acquire))
            return true;
    }
    return false;
}

EventWait WaitForEvent(EventObject& ev, DWORD ms) {
    ThreadRecord& self = CurrentThread();
    Clock::time_point deadline{};
    Clock::time_point began{};  // when the wait first found nothing
    bool spun = !SpinAllowed(self) || ms == 0;
    for (;;) {
        if (self.terminate.load() && !self.exiting.load())
            EndTerminatedThread();
        uint32_t s = ev.state.load(std::memory_order_acquire);
        if (s & kClosed)
            return EventWait::kClosed;
        if (TakeSignal(ev, s)) {
            if (began != Clock::time_point{})
                ev.spin.Learn(Clock::now() - began);
            return EventWait::kSignalled;
        }
        if (s & kClosed)
            continue;
        if (ms == 0 || self.exiting.load())
            return EventWait::kTimeout;
        if (deadline == Clock::time_point{}) {
            began = Clock::now();
            deadline = DeadlineAfter(ms);
        } else if (deadline != Clock::time_point::max() && Clock::now() >= deadline) {
            ev.spin.Learn(Clock::now() - began);
            return EventWait::kTimeout;
        }
        if (!spun) {
            spun = true;
            Spin(ev.spin, [&] {
                return (ev.state.load(std::memory_order_relaxed) & (kSignalled | kClosed)) != 0;
            });
            continue;
        }
        ev.waiters.fetch_add(1);
        // Read after joining `waiters` (see the top of the file).
        const bool ended = ev.state.load() == s && !SleepOnWord(self, &ev.state, s, deadline);
        ev.waiters.fetch_sub(1);
        if (ended)
            EndTerminatedThread();
    }
}

}  // namespace

CEAPI DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    PlatformCall call;
    cehost::ThreadCheckpoint();
    HandleEntryView e;
    const char* why = nullptr;
    if (!FindHandle(hHandle, &e, &why)) {
        cehost::CountMisuse(why);
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    if (e.kind == ThreadHandleKind())
        return WaitForThreadObject(e.object, dwMilliseconds);
    if (e.kind != EventKind()) {
        cehost::CountMisuse("handle.wrongkind");
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    auto ev = std::static_pointer_cast<EventObject>(e.object);
    switch (WaitForEvent(*ev, dwMilliseconds)) {
        case EventWait::kSignalled:
            return WAIT_OBJECT_0;
        case EventWait::kTimeout:
            return WAIT_TIMEOUT;
        case EventWait::kClosed:
            break;
    }
    // The handle was closed under the waiter: the object is still ours
    // (shared), but the wait has nothing left to wait for.
    cehost::CountMisuse("event.closed.during.wait");
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

CEAPI BOOL CloseHandle(HANDLE hObject) {
    PlatformCall call;
    if (hObject == CurrentThreadPseudoHandle()) {
        // Harmless on the real platform, but never what the caller meant.
        cehost::CountMisuse("handle.pseudo");
        return TRUE;
    }
    HandleEntryView e;
    const char* why = nullptr;
    if (!TakeHandle(hObject, &e, &why)) {
        cehost::CountMisuse(why);
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    cehost::HandleCloseFn close = HandleCloseOf(e.kind);
    return close ? close(e.object) : TRUE;
}

// ---- Critical sections ------------------------------------------------------------------

CEAPI void InitializeCriticalSection(LPCRITICAL_SECTION cs) {
    PlatformCall call;
    if (!cs) {
        cehost::CountMisuse("cs.null");
        return;
    }
    SectionTable& t = Sections();
    auto impl = std::make_shared<CsImpl>();
    impl->record = cs;
    {
        std::unique_lock<std::shared_mutex> g(t.lock);
        impl->epoch = t.epoch;
        if (LoadMagic(cs) == kCsLive) {
            auto it = t.live.find(static_cast<CsImpl*>(LoadImpl(cs)));
            if (it != t.live.end() && it->second->record == cs) {
                // Initialised twice without a delete in between.
                t.live.erase(it);
                cehost::CountMisuse("cs.reinitialised");
            }
        }
        t.live.emplace(impl.get(), impl);
    }
    __atomic_store_n(&cs->impl, static_cast<void*>(impl.get()), __ATOMIC_RELAXED);
    __atomic_store_n(&cs->reserved, 0u, __ATOMIC_RELAXED);
    __atomic_store_n(&cs->magic, kCsLive, __ATOMIC_RELEASE);
}

CEAPI void DeleteCriticalSection(LPCRITICAL_SECTION cs) {
    PlatformCall call;
    auto impl = ValidSection(cs);
    if (!impl)
        return;
    {
        std::unique_lock<std::shared_mutex> g(Sections().lock);
        Sections().live.erase(impl.get());
    }
    __atomic_store_n(&cs->magic, kCsDeleted, __ATOMIC_RELAXED);
    __atomic_store_n(&cs->impl, static_cast<void*>(nullptr), __ATOMIC_RELAXED);
    const DWORD owner = impl->owner.load(std::memory_order_relaxed);
    // An owner that was killed is gone, as its kernel thread would be: its
    // section may be deleted (its kill was counted).
    const bool heldByOther = owner != 0 && owner != CurrentThread().id && !impl->ownerParked.load();
    impl->deleted.store(true);
    if (heldByOther)
        cehost::CountMisuse("cs.deleted.while.held");
    // Threads waiting to enter fail (their word changes under them).
    impl->word.fetch_add(kWordKick);
    FutexWake(&impl->word, INT_MAX);
}

CEAPI void EnterCriticalSection(LPCRITICAL_SECTION cs) {
    PlatformCall call;
    cehost::ThreadCheckpoint();
    auto impl = ValidSection(cs);
    if (!impl)
        return;
    ThreadRecord& self = CurrentThread();
    // Only this thread stores its own id there, and clears it before it
    // leaves: reading it back means it owns the section.
    if (impl->owner.load(std::memory_order_relaxed) == self.id) {
        ++impl->depth;
        return;
    }
    bool taken = !impl->deleted.load() && (TryLockWord(*impl, 0) || LockContended(*impl, self));
    if (taken && impl->deleted.load()) {
        UnlockWord(*impl, true);  // taken just as it was deleted
        taken = false;
    }
    if (!taken) {
        cehost::CountMisuse("cs.deleted");
        return;
    }
    impl->owner.store(self.id, std::memory_order_relaxed);
    impl->depth = 1;
    impl->ownerRecord.store(&self);
    self.held.push_back(impl);
}

CEAPI void LeaveCriticalSection(LPCRITICAL_SECTION cs) {
    PlatformCall call;
    auto impl = ValidSection(cs);
    if (!impl)
        return;
    ThreadRecord& self = CurrentThread();
    if (impl->owner.load(std::memory_order_relaxed) != self.id) {
        cehost::CountMisuse("cs.leave.notowner");
        return;
    }
    if (--impl->depth > 0)
        return;
    impl->owner.store(0, std::memory_order_relaxed);
    impl->ownerRecord.store(nullptr);
    UnlockWord(*impl, false);
    for (auto it = self.held.begin(); it != self.held.end(); ++it)
        if (it->get() == impl.get()) {
            self.held.erase(it);
            break;
        }
}

// ---- Interlocked ----------------------------------------------------------------------------

CEAPI LONG InterlockedIncrement(LONG volatile* p) {
    PlatformCall call;
    return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST);
}
CEAPI LONG InterlockedDecrement(LONG volatile* p) {
    PlatformCall call;
    return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST);
}
CEAPI LONG InterlockedExchange(LONG volatile* p, LONG v) {
    PlatformCall call;
    return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
CEAPI LONG InterlockedExchangeAdd(LONG volatile* p, LONG v) {
    PlatformCall call;
    return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST);
}

namespace {

// ContendCompareExchange: the word whose exchanges find it changed, and how
// many more of them will.
std::atomic<LONG volatile*> g_contendTarget{nullptr};
std::atomic<int> g_contendLeft{0};

struct ContendReset {
    ContendReset() {
        cehost::RegisterResetHook([] { cehost::ContendCompareExchange(nullptr, 0); });
    }
} g_contendReset;

// Another thread's store between the caller's read and its exchange: bit 31
// of the word flips.
void ContendIfTargeted(LONG volatile* p) {
    if (g_contendTarget.load(std::memory_order_acquire) != p)
        return;
    int left = g_contendLeft.load();
    while (left > 0 && !g_contendLeft.compare_exchange_weak(left, left - 1)) {
    }
    if (left <= 0)
        return;
    __atomic_xor_fetch(p, static_cast<LONG>(0x80000000u), __ATOMIC_SEQ_CST);
    if (left == 1)
        g_contendTarget.store(nullptr, std::memory_order_release);
}

}  // namespace

namespace cehost {

void ContendCompareExchange(volatile LONG* target, int times) {
    g_contendTarget.store(nullptr, std::memory_order_release);
    g_contendLeft.store(target != nullptr ? times : 0);
    if (target != nullptr && times > 0)
        g_contendTarget.store(target, std::memory_order_release);
}

}  // namespace cehost

CEAPI LONG InterlockedCompareExchange(LONG volatile* p, LONG exchange, LONG comperand) {
    PlatformCall call;
    ContendIfTargeted(p);
    __atomic_compare_exchange_n(p, &comperand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comperand;
}
CEAPI LONG InterlockedTestExchange(LONG volatile* p, LONG oldValue, LONG newValue) {
    return InterlockedCompareExchange(p, newValue, oldValue);
}
CEAPI PVOID InterlockedExchangePointer(PVOID volatile* p, PVOID v) {
    PlatformCall call;
    return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
CEAPI PVOID InterlockedCompareExchangePointer(PVOID volatile* p, PVOID exchange, PVOID comperand) {
    PlatformCall call;
    __atomic_compare_exchange_n(p, &comperand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comperand;
}
