// Events, WaitForSingleObject, CloseHandle, critical sections, interlocked.
//
// Critical sections: the caller's record holds only a magic word and the
// address of its CsImpl, which is registered in a table; a record is used
// only when its magic is live and its impl is registered for that very
// record, so an uninitialised record (0xCD garbage), a deleted one or a copy
// is refused and counted without being dereferenced. Waits to enter are
// termination points.
//
// A section owned by a thread that was killed anywhere (parked) stays owned:
// whoever enters it next waits for ever, as on CE. That is counted
// ("cs.enter.owner.killed") and noted on stderr, the hang being the fault.
#include <cstdio>
#include <unordered_map>

#include "ce/sync.h"
#include "ce/thread.h"
#include "cehost/core.h"
#include "cehost/counters.h"
#include "core/internal.h"

namespace ce_internal {

struct CsImpl {
    LPCRITICAL_SECTION record;  // the record it was initialised in
    uint64_t epoch;
    std::mutex m;
    std::condition_variable cv;
    DWORD owner = 0;       // guarded by m; thread id, 0 when free
    DWORD depth = 0;       // guarded by m
    bool deleted = false;  // guarded by m
    // The owner's record, set and cleared with `owner` (under m); read
    // without m for priority inheritance and parked owners. A record named
    // here is alive: a thread gives up its sections before it ends, and a
    // parked one is never freed.
    std::atomic<ThreadRecord*> ownerRecord{nullptr};
};

namespace {

constexpr DWORD kCsLive = 0x43534C56;     // "CSLV"
constexpr DWORD kCsDeleted = 0x43534445;  // "CSDE"

struct EventObject {
    std::mutex m;
    std::condition_variable cv;
    bool manualReset = false;  // fixed at creation
    bool signalled = false;    // guarded by m
    bool closed = false;       // guarded by m
};

BOOL CloseEventObject(const std::shared_ptr<void>& object) {
    auto ev = std::static_pointer_cast<EventObject>(object);
    {
        std::lock_guard<std::mutex> g(ev->m);
        ev->closed = true;
    }
    ev->cv.notify_all();
    return TRUE;
}

const cehost::HandleKind* EventKind() {
    static const cehost::HandleKind* kind = cehost::RegisterHandleKind("event", CloseEventObject);
    return kind;
}

struct SectionTable {
    std::mutex lock;
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
            std::lock_guard<std::mutex> g(Sections().lock);
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
        std::lock_guard<std::mutex> g(Sections().lock);
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

}  // namespace

ThreadRecord* SectionOwnerRecord(CsImpl* cs) {
    return cs->ownerRecord.load();
}

void AbandonHeldSections(ThreadRecord& self) {
    for (auto& impl : self.held) {
        bool abandoned = false;
        {
            std::lock_guard<std::mutex> g(impl->m);
            if (!impl->deleted && impl->owner == self.id) {
                impl->owner = 0;
                impl->depth = 0;
                impl->ownerRecord.store(nullptr);
                abandoned = true;
            }
        }
        if (abandoned) {
            // On the real platform the section would stay owned forever.
            cehost::CountMisuse("thread.ended.holding.cs");
            impl->cv.notify_all();
        }
    }
    self.held.clear();
}

void SweepSectionLeaks() {
    uint64_t n = 0;
    {
        SectionTable& t = Sections();
        std::lock_guard<std::mutex> g(t.lock);
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
    ev->signalled = bInitialState != FALSE;
    CountCreated(CallFault::kCreateEvent);
    return cehost::NewHandle(EventKind(), ev);
}

CEAPI BOOL SetEvent(HANDLE hEvent) {
    PlatformCall call;
    auto ev = LookupEvent(hEvent);
    if (!ev)
        return FALSE;
    {
        std::lock_guard<std::mutex> g(ev->m);
        ev->signalled = true;
    }
    // Every waiter re-checks; on an auto-reset event the first to run takes
    // the signal and the others sleep again, so one wait is satisfied.
    ev->cv.notify_all();
    return TRUE;
}

CEAPI BOOL ResetEvent(HANDLE hEvent) {
    PlatformCall call;
    auto ev = LookupEvent(hEvent);
    if (!ev)
        return FALSE;
    std::lock_guard<std::mutex> g(ev->m);
    ev->signalled = false;
    return TRUE;
}

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
    std::unique_lock<std::mutex> lk(ev->m);
    bool ready = TerminableWait(lk, ev->cv, DeadlineAfter(dwMilliseconds),
                                [&] { return ev->signalled || ev->closed; });
    if (ev->closed) {
        // The handle was closed under the waiter: the object is still ours
        // (shared), but the wait has nothing left to wait for.
        lk.unlock();
        cehost::CountMisuse("event.closed.during.wait");
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    if (!ready)
        return WAIT_TIMEOUT;
    if (!ev->manualReset)
        ev->signalled = false;
    return WAIT_OBJECT_0;
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
        std::lock_guard<std::mutex> g(t.lock);
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
        std::lock_guard<std::mutex> g(Sections().lock);
        Sections().live.erase(impl.get());
    }
    __atomic_store_n(&cs->magic, kCsDeleted, __ATOMIC_RELAXED);
    __atomic_store_n(&cs->impl, static_cast<void*>(nullptr), __ATOMIC_RELAXED);
    DWORD self = CurrentThread().id;
    bool heldByOther;
    {
        std::lock_guard<std::mutex> g(impl->m);
        // An owner that was killed is gone, as its kernel thread would be:
        // its section may be deleted (its kill was counted).
        ThreadRecord* owner = impl->ownerRecord.load();
        heldByOther =
            impl->owner != 0 && impl->owner != self && !(owner != nullptr && owner->parked.load());
        impl->deleted = true;
    }
    if (heldByOther)
        cehost::CountMisuse("cs.deleted.while.held");
    impl->cv.notify_all();
}

CEAPI void EnterCriticalSection(LPCRITICAL_SECTION cs) {
    PlatformCall call;
    cehost::ThreadCheckpoint();
    auto impl = ValidSection(cs);
    if (!impl)
        return;
    ThreadRecord& self = CurrentThread();
    std::unique_lock<std::mutex> lk(impl->m);
    if (impl->owner == self.id) {
        ++impl->depth;
        return;
    }
    if (impl->owner != 0) {
        ThreadRecord* owner = impl->ownerRecord.load();
        if (owner != nullptr && owner->parked.load()) {
            cehost::CountMisuse("cs.enter.owner.killed");
            std::fprintf(stderr,
                         "ce: EnterCriticalSection: thread %u waits for a section that thread %u "
                         "owned when it was terminated: for ever\n",
                         self.id, owner->id);
        }
        // The owner runs on this thread's priority meanwhile (CE scheduling).
        SchedBlockedOn(self, impl.get());
        TerminableWait(lk, impl->cv, Clock::time_point::max(),
                       [&] { return impl->owner == 0 || impl->deleted; });
        SchedBlockedOn(self, nullptr);
    }
    if (impl->deleted) {
        lk.unlock();
        cehost::CountMisuse("cs.deleted");
        return;
    }
    impl->owner = self.id;
    impl->depth = 1;
    impl->ownerRecord.store(&self);
    lk.unlock();
    self.held.push_back(impl);
}

CEAPI void LeaveCriticalSection(LPCRITICAL_SECTION cs) {
    PlatformCall call;
    auto impl = ValidSection(cs);
    if (!impl)
        return;
    ThreadRecord& self = CurrentThread();
    std::unique_lock<std::mutex> lk(impl->m);
    if (impl->owner != self.id) {
        lk.unlock();
        cehost::CountMisuse("cs.leave.notowner");
        return;
    }
    if (--impl->depth > 0)
        return;
    impl->owner = 0;
    impl->ownerRecord.store(nullptr);
    lk.unlock();
    impl->cv.notify_all();
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
