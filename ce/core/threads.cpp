// Threads, termination, priorities, Sleep, the tick count and last error.
//
// Termination: TerminateThread marks the target and wakes it if it sleeps in
// a platform wait; the target ends at its next termination point (every
// blocking core call and cehost::ThreadCheckpoint). It ends by pthread_exit,
// which unwinds its stack without returning into any frame (the driver's
// frames have no cleanups; host frames release their RAII locks). The
// thread's handle is signalled by the start trampoline's guard only once the
// unwind has left every frame above it, and TerminateThread returns after
// that, so the terminator may free what the target used and even unload the
// library its code lives in.
//
// Killed anywhere (TerminationMode::kAnywhere): the target is parked instead,
// as CE stops a thread without letting it run any more of its code. A signal
// stops it at once in driver code; inside a platform call (where it may hold
// the platform's locks) the handler leaves it be, and the thread parks itself
// when the call returns into driver code, or at once when it blocks there.
// The parked thread never runs again; its terminator finishes it: the run
// token and what the thread owned as a participant go, it stops counting as
// running, the sections it owns are counted ("thread.killed.holding.cs") and
// stay owned, and its handle is signalled.
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>

#include "ce/sync.h"
#include "ce/thread.h"
#include "cehost/core.h"
#include "cehost/counters.h"
#include "core/internal.h"

namespace ce_internal {
namespace {

std::atomic<DWORD> gNextThreadId{0x100};
std::atomic<uint64_t> gRunning{0};

// Running platform threads per ResetPlatform generation, for the leak sweep.
std::mutex gEpochLock;
uint64_t gEpoch = 1;  // guarded by gEpochLock
// Guarded by gEpochLock; never destroyed: platform threads may still end while
// the process exits.
std::map<uint64_t, uint64_t>& gRunningByEpoch = *new std::map<uint64_t, uint64_t>;

uint64_t StartedInEpoch() {
    std::lock_guard<std::mutex> g(gEpochLock);
    ++gRunningByEpoch[gEpoch];
    return gEpoch;
}

void EndedInEpoch(uint64_t epoch) {
    std::lock_guard<std::mutex> g(gEpochLock);
    if (--gRunningByEpoch[epoch] == 0)
        gRunningByEpoch.erase(epoch);
}

// Threads parked per generation (guarded by gEpochLock; never destroyed).
std::map<uint64_t, uint64_t>& gParkedByEpoch = *new std::map<uint64_t, uint64_t>;

std::atomic<int> gTermination{static_cast<int>(cehost::TerminationMode::kAtTerminationPoint)};

bool KillAnywhereMode() {
    return gTermination.load() == static_cast<int>(cehost::TerminationMode::kAnywhere);
}

// CutShortThreadWaits.
std::mutex gCutLock;
int gCutTimes = 0;                       // guarded by gCutLock
std::chrono::microseconds gCutAfter{0};  // guarded by gCutLock
std::atomic<uint64_t> gCutFired{0};

std::optional<std::chrono::microseconds> TakeCut() {
    std::lock_guard<std::mutex> g(gCutLock);
    if (gCutTimes <= 0)
        return std::nullopt;
    --gCutTimes;
    return gCutAfter;
}

pid_t OwnThreadId() {
    return static_cast<pid_t>(syscall(SYS_gettid));
}

thread_local std::shared_ptr<ThreadRecord> tRecordOwner;
thread_local ThreadRecord* tRecord = nullptr;
thread_local DWORD tLastError = 0;

constexpr int kNormalPriority256 = CE_THREAD_PRIO_256_BASE + THREAD_PRIORITY_NORMAL;

const Clock::time_point gStart = Clock::now();
std::atomic<DWORD> gTickOffset{0};
// Milliseconds since gStart at which the counter stands, or -1 (running).
std::atomic<int64_t> gTickFrozenAt{-1};

// The object behind a thread handle.
struct ThreadObject {
    std::shared_ptr<ThreadRecord> record;
    uint64_t epoch = 0;
    std::mutex m;
    std::condition_variable cv;
    bool ended = false;                  // guarded by m
    DWORD exitCode = STILL_ACTIVE;       // guarded by m
    std::atomic<bool> finishing{false};  // a parked thread's finish has begun
};

BOOL CloseThreadObject(const std::shared_ptr<void>&) {
    return TRUE;
}

const cehost::HandleKind* ThreadKind() {
    static const cehost::HandleKind* kind = cehost::RegisterHandleKind("thread", CloseThreadObject);
    return kind;
}

struct StartBlock {
    std::shared_ptr<ThreadObject> object;
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
};

// Runs when the start routine returns and also while a terminated thread
// unwinds past the trampoline: records the exit code and signals the handle.
struct FinishGuard {
    ThreadObject* object;
    DWORD result = 0;
    bool returned = false;
    ~FinishGuard() {
        ThreadRecord& self = *object->record;
        AbandonHeldSections(self);
        DWORD code = returned ? result : self.terminateCode.load();
        gRunning.fetch_sub(1);
        EndedInEpoch(object->epoch);
        {
            std::lock_guard<std::mutex> g(object->m);
            object->ended = true;
            object->exitCode = code;
        }
        object->cv.notify_all();
    }
};

extern "C" void* ThreadTrampoline(void* arg) {
    std::unique_ptr<StartBlock> start(static_cast<StartBlock*>(arg));
    tRecordOwner = start->object->record;
    tRecord = tRecordOwner.get();
    // Before the checkpoint: a terminator that finds no id yet finds the
    // mark set at the checkpoint instead.
    tRecord->tid.store(OwnThreadId());
    FinishGuard guard{start->object.get()};
    // A thread terminated before it got here never enters its routine.
    cehost::ThreadCheckpoint();
    {
        cehost::DriverCodeScope driverCode;
        guard.result = start->routine(start->parameter);
    }
    guard.returned = true;
    return nullptr;
}

// A parked thread's end, made by its terminator (or by itself, when it
// terminated itself, before it parks). Once only.
void FinishParked(ThreadObject& object) {
    if (object.finishing.exchange(true))
        return;
    ThreadRecord& t = *object.record;
    SchedForget(t);
    for (const auto& impl : t.held) {
        if (SectionOwnerRecord(impl.get()) == &t)
            cehost::CountMisuse("thread.killed.holding.cs");
    }
    gRunning.fetch_sub(1);
    EndedInEpoch(object.epoch);
    {
        std::lock_guard<std::mutex> g(gEpochLock);
        ++gParkedByEpoch[object.epoch];
    }
    {
        std::lock_guard<std::mutex> g(object.m);
        object.ended = true;
        object.exitCode = t.terminateCode.load();
    }
    object.cv.notify_all();
}

// The kill signal: parks a thread in driver code; anywhere else the thread
// parks itself at the next place that may (leaving the platform call, the
// start of its routine).
int KillSignal() {
    return SIGRTMIN + 2;
}

extern "C" void KillSignalHandler(int) {
    ThreadRecord* self = CurrentThreadIfAny();
    if (self == nullptr || !KillDue(*self))
        return;
    if (self->platformDepth.load() != 0 || self->driverDepth.load() == 0)
        return;
    ParkThisThread(*self);
}

void InstallKillHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_handler = KillSignalHandler;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(KillSignal(), &action, nullptr);
    });
}

// TerminateThread on the calling thread.
[[noreturn]] void EndSelf(ThreadRecord& self, DWORD code, bool kill) {
    self.terminateCode.store(code);
    self.killAnywhere.store(kill);
    self.terminate.store(true);
    if (kill)
        FinishParked(*static_cast<ThreadObject*>(self.object));
    EndTerminatedThread();
}

void SendKill(const ThreadRecord& target) {
    // By kernel id: a thread that has ended meanwhile is not there any more
    // (or its id names another thread, whose handler finds nothing due).
    const pid_t tid = target.tid.load();
    if (tid != 0)
        syscall(SYS_tgkill, getpid(), tid, KillSignal());
}

std::shared_ptr<ThreadObject> LookupThreadObject(HANDLE h) {
    return std::static_pointer_cast<ThreadObject>(cehost::LookupHandle(h, ThreadKind()));
}

// The record named by a thread handle or the pseudo-handle; counts misuse.
std::shared_ptr<ThreadRecord> ResolveThread(HANDLE h) {
    if (h == CurrentThreadPseudoHandle()) {
        CurrentThread();
        return tRecordOwner;
    }
    auto obj = LookupThreadObject(h);
    return obj ? obj->record : nullptr;
}

struct ResetHook {
    ResetHook() {
        ThreadKind();
        cehost::RegisterResetHook([] {
            const char* v = std::getenv("SERLYNX_TERMINATION");
            cehost::SetTerminationMode(v != nullptr && std::strcmp(v, "anywhere") == 0
                                           ? cehost::TerminationMode::kAnywhere
                                           : cehost::TerminationMode::kAtTerminationPoint);
            cehost::CutShortThreadWaits(0, std::chrono::microseconds(0));
            gCutFired.store(0);
            gTickOffset.store(0);
            gTickFrozenAt.store(-1);
            // The thread that resets (a test's main thread) starts afresh too:
            // a priority left by one test would leak into the next one.
            CurrentThread().priority256.store(kNormalPriority256);
            tLastError = 0;
            std::lock_guard<std::mutex> g(gEpochLock);
            ++gEpoch;
        });
    }
} resetHook;

}  // namespace

ThreadRecord& CurrentThread() {
    if (!tRecord) {
        tRecordOwner = std::make_shared<ThreadRecord>();
        tRecordOwner->id = gNextThreadId.fetch_add(1);
        tRecordOwner->tid.store(OwnThreadId());
        tRecord = tRecordOwner.get();
    }
    return *tRecord;
}

ThreadRecord* CurrentThreadIfAny() {
    return tRecord;
}

void ParkThisThread(ThreadRecord& self) {
    // Nothing here may allocate or take a lock: this may run in the kill
    // signal's handler.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    MarkHeldSectionsParked(self);
    self.parked.store(true);
    for (;;)
        pause();
}

void EndTerminatedThread() {
    ThreadRecord& self = CurrentThread();
    if (self.killAnywhere.load())
        ParkThisThread(self);
    self.exiting.store(true);
    AbandonHeldSections(self);
    // Unwinds to the trampoline, whose guard signals the handle.
    pthread_exit(nullptr);
}

void WakeForTermination(ThreadRecord& target) {
    // Lock order is object mutex -> waitLock for the waiter, so the waker
    // only tries the object mutex and backs off when it is busy. A futex
    // sleeper registers its word under waitLock and looks at `terminate`
    // after that, so either it sees the mark or its word changes under it.
    for (;;) {
        std::unique_lock<std::mutex> g(target.waitLock);
        if (target.waitWord != nullptr) {
            target.waitWord->fetch_add(kWordKick);
            FutexWake(target.waitWord, INT_MAX);
            return;
        }
        if (!target.waitMutex)
            return;
        if (target.waitMutex->try_lock()) {
            target.waitCv->notify_all();
            target.waitMutex->unlock();
            return;
        }
        g.unlock();
        sched_yield();
    }
}

void SweepThreadLeaks() {
    uint64_t n = 0;
    uint64_t parked = 0;
    {
        std::lock_guard<std::mutex> g(gEpochLock);
        auto it = gRunningByEpoch.find(gEpoch);
        if (it != gRunningByEpoch.end())
            n = it->second;
        auto p = gParkedByEpoch.find(gEpoch);
        if (p != gParkedByEpoch.end())
            parked = p->second;
    }
    for (uint64_t i = 0; i < n; ++i)
        cehost::CountLeak("thread.running");
    // Its stack and record, never freed.
    for (uint64_t i = 0; i < parked; ++i)
        cehost::CountLeak("thread.parked");
}

}  // namespace ce_internal

using namespace ce_internal;

// ---- Threads --------------------------------------------------------------------

CEAPI HANDLE CreateThread(LPSECURITY_ATTRIBUTES, size_t, LPTHREAD_START_ROUTINE lpStartAddress,
                          LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
    PlatformCall call;
    cehost::ThreadCheckpoint();
    if ((dwCreationFlags & CREATE_SUSPENDED) || !lpStartAddress) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (InjectCallFault(CallFault::kCreateThread)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto object = std::make_shared<ThreadObject>();
    object->record = std::make_shared<ThreadRecord>();
    object->record->id = gNextThreadId.fetch_add(1);
    object->record->platformThread = true;
    object->record->object = object.get();
    auto* start = new StartBlock{object, lpStartAddress, lpParameter};

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    gRunning.fetch_add(1);
    object->epoch = StartedInEpoch();
    pthread_t tid;
    int rc = pthread_create(&tid, &attr, ThreadTrampoline, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        gRunning.fetch_sub(1);
        EndedInEpoch(object->epoch);
        delete start;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (lpThreadId)
        *lpThreadId = object->record->id;
    CountCreated(CallFault::kCreateThread);
    return cehost::NewHandle(ThreadKind(), object);
}

CEAPI HANDLE GetCurrentThread(void) {
    PlatformCall call;
    return CurrentThreadPseudoHandle();
}

CEAPI DWORD GetCurrentThreadId(void) {
    PlatformCall call;
    return CurrentThread().id;
}

CEAPI int CeGetThreadPriority(HANDLE hThread) {
    PlatformCall call;
    auto r = ResolveThread(hThread);
    if (!r)
        return THREAD_PRIORITY_ERROR_RETURN;
    return r->priority256.load();
}

CEAPI BOOL CeSetThreadPriority(HANDLE hThread, int nPriority) {
    PlatformCall call;
    auto r = ResolveThread(hThread);
    if (!r)
        return FALSE;
    if (nPriority < 0 || nPriority > 255) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    r->priority256.store(nPriority);
    return TRUE;
}

CEAPI int GetThreadPriority(HANDLE hThread) {
    PlatformCall call;
    auto r = ResolveThread(hThread);
    if (!r)
        return THREAD_PRIORITY_ERROR_RETURN;
    // Priorities above the 8-level band read as its most urgent level.
    int p = r->priority256.load();
    return p >= CE_THREAD_PRIO_256_BASE ? p - CE_THREAD_PRIO_256_BASE
                                        : THREAD_PRIORITY_TIME_CRITICAL;
}

CEAPI BOOL SetThreadPriority(HANDLE hThread, int nPriority) {
    PlatformCall call;
    auto r = ResolveThread(hThread);
    if (!r)
        return FALSE;
    if (nPriority < THREAD_PRIORITY_TIME_CRITICAL || nPriority > THREAD_PRIORITY_IDLE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    r->priority256.store(CE_THREAD_PRIO_256_BASE + nPriority);
    return TRUE;
}

CEAPI BOOL TerminateThread(HANDLE hThread, DWORD dwExitCode) {
    PlatformCall call;
    cehost::ThreadCheckpoint();
    const bool kill = KillAnywhereMode();
    std::shared_ptr<ThreadObject> obj;
    if (hThread == CurrentThreadPseudoHandle()) {
        ThreadRecord& self = CurrentThread();
        if (!self.platformThread) {
            // Only threads the platform created can be ended.
            cehost::CountMisuse("thread.terminate.foreign");
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        EndSelf(self, dwExitCode, kill);
    }
    obj = LookupThreadObject(hThread);
    if (!obj)
        return FALSE;
    if (InjectCallFault(CallFault::kTerminateThread)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    ThreadRecord& target = *obj->record;
    {
        std::lock_guard<std::mutex> g(obj->m);
        if (obj->ended)
            return TRUE;
    }
    if (&target == tRecord)
        EndSelf(target, dwExitCode, kill);
    if (!target.terminate.load()) {
        target.terminateCode.store(dwExitCode);
        target.killAnywhere.store(kill);
        target.terminate.store(true);
    }
    // A target waiting for the run token is let through to its end.
    SchedWakeAll();
    WakeForTermination(target);
    if (target.killAnywhere.load()) {
        InstallKillHandler();
        SendKill(target);
    }
    // Returns only once the target has left all of its frames, or is parked.
    // A target spinning in plain code is waited for until its next platform
    // call (unless it is killed anywhere, which stops it there).
    std::unique_lock<std::mutex> lk(obj->m);
    const auto noteAt = Clock::now() + std::chrono::seconds(5);
    bool warned = false;
    for (;;) {
        const auto deadline = target.killAnywhere.load()
                                  ? Clock::now() + std::chrono::milliseconds(1)
                                  : DeadlineAfter(5000);
        if (TerminableWait(lk, obj->cv, deadline,
                           [&] { return obj->ended || target.parked.load(); }))
            break;
        if (!warned && Clock::now() >= noteAt) {
            std::fprintf(stderr,
                         "ce: TerminateThread: thread %u has made no platform call for 5 s; "
                         "still waiting for it\n",
                         target.id);
            warned = true;
        }
    }
    if (!obj->ended) {
        lk.unlock();
        FinishParked(*obj);
        lk.lock();
        // Another terminator may be finishing it.
        TerminableWait(lk, obj->cv, Clock::time_point::max(), [&] { return obj->ended; });
    }
    return TRUE;
}

CEAPI BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    PlatformCall call;
    auto obj = LookupThreadObject(hThread);
    if (!obj)
        return FALSE;
    if (!lpExitCode) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> g(obj->m);
    *lpExitCode = obj->exitCode;
    return TRUE;
}

// Waits for a thread handle (used by WaitForSingleObject).
DWORD ce_internal::WaitForThreadObject(const std::shared_ptr<void>& object, DWORD ms) {
    auto obj = std::static_pointer_cast<ThreadObject>(object);
    Clock::time_point deadline = DeadlineAfter(ms);
    bool cut = false;
    if (ms != INFINITE) {
        if (auto after = TakeCut()) {
            const auto early = Clock::now() + *after;
            cut = early < deadline;
            deadline = std::min(deadline, early);
        }
    }
    std::unique_lock<std::mutex> lk(obj->m);
    if (TerminableWait(lk, obj->cv, deadline, [&] { return obj->ended; }))
        return WAIT_OBJECT_0;
    if (cut)
        gCutFired.fetch_add(1);
    return WAIT_TIMEOUT;
}

const cehost::HandleKind* ce_internal::ThreadHandleKind() {
    return ThreadKind();
}

// ---- Sleep, ticks, last error ---------------------------------------------------

CEAPI void Sleep(DWORD dwMilliseconds) {
    PlatformCall call;
    cehost::ThreadCheckpoint();
    ThreadRecord& self = CurrentThread();
    if (dwMilliseconds == 0) {
        // Under the CE scheduling mode, driver code yields to threads of its
        // own priority only.
        if (self.participant)
            SchedYield(self);
        sched_yield();
        return;
    }
    std::unique_lock<std::mutex> lk(self.sleepMutex);
    TerminableWait(lk, self.sleepCv, DeadlineAfter(dwMilliseconds), [] { return false; });
}

CEAPI DWORD GetTickCount(void) {
    PlatformCall call;
    int64_t ms = gTickFrozenAt.load();
    if (ms < 0)
        ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - gStart).count();
    return static_cast<DWORD>(static_cast<uint64_t>(ms)) + gTickOffset.load();
}

CEAPI void SetLastError(DWORD dwErrCode) {
    PlatformCall call;
    tLastError = dwErrCode;
}
CEAPI DWORD GetLastError(void) {
    PlatformCall call;
    return tLastError;
}

// ---- Host controls ----------------------------------------------------------------

namespace cehost {

void SetTerminationMode(TerminationMode mode) {
    gTermination.store(static_cast<int>(mode));
    if (mode == TerminationMode::kAnywhere)
        InstallKillHandler();
}

TerminationMode GetTerminationMode() {
    return static_cast<TerminationMode>(gTermination.load());
}

uint64_t ParkedThreadCount() {
    std::lock_guard<std::mutex> g(gEpochLock);
    auto p = gParkedByEpoch.find(gEpoch);
    return p != gParkedByEpoch.end() ? p->second : 0;
}

void CutShortThreadWaits(int times, std::chrono::microseconds after) {
    std::lock_guard<std::mutex> g(gCutLock);
    gCutTimes = times > 0 ? times : 0;
    gCutAfter = after;
}

uint64_t ThreadWaitsCutShort() {
    return gCutFired.load();
}

void ThreadCheckpoint() {
    ThreadRecord* self = tRecord;
    if (self && self->terminate.load(std::memory_order_acquire) && !self->exiting.load())
        EndTerminatedThread();
}

bool ThreadTerminationPending() {
    ThreadRecord* self = tRecord;
    return self && self->terminate.load();
}

int ThreadPriority256(HANDLE thread) {
    std::shared_ptr<ThreadRecord> r;
    if (thread == CurrentThreadPseudoHandle()) {
        CurrentThread();
        r = tRecordOwner;
    } else if (auto obj =
                   std::static_pointer_cast<ThreadObject>(PeekHandle(thread, ThreadKind()))) {
        r = obj->record;
    }
    return r ? r->priority256.load() : -1;
}

uint64_t RunningThreadCount() {
    return gRunning.load();
}

bool WaitTerminable(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                    DWORD timeoutMs, const std::function<bool()>& ready) {
    ThreadCheckpoint();
    return TerminableWait(lock, cv, DeadlineAfter(timeoutMs), ready);
}

void SetTickOffset(DWORD offset) {
    gTickOffset.store(offset);
}
DWORD GetTickOffset() {
    return gTickOffset.load();
}
void AdvanceTicks(DWORD ms) {
    gTickOffset.fetch_add(ms);
}
void FreezeTicks(bool frozen) {
    gTickFrozenAt.store(
        frozen
            ? std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - gStart).count()
            : -1);
}
void SetTickCountNow(DWORD ticks) {
    DWORD raw = GetTickCount() - gTickOffset.load();
    gTickOffset.store(ticks - raw);
}

}  // namespace cehost
