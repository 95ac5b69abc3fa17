// Host-side controls of the emulated core services: heap statistics and
// allocation-failure injection, failure injection for events, threads and
// registry writes, the tick offset, thread priorities and
// termination, the strict scheduling and termination modes, the generic
// handle table, and interruptible waits for the other platform services
// (device manager, USB host).
//
// All functions are thread-safe unless stated otherwise.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "ce/types.h"

namespace cehost {

// ---- Local heap ------------------------------------------------------------

struct HeapStats {
    uint64_t liveBlocks = 0;   // blocks allocated and not yet freed
    uint64_t liveBytes = 0;    // their requested sizes, summed
    uint64_t allocations = 0;  // successful LocalAlloc calls since the last reset
    uint64_t failed = 0;       // LocalAlloc calls that failed (injected or real)
};
HeapStats GetHeapStats();
// The nth LocalAlloc from now (1 = the next one) fails once with
// ERROR_NOT_ENOUGH_MEMORY. 0 cancels.
void FailNthAllocation(uint64_t nth);
// Every LocalAlloc from the nth one from now on fails, until cleared. 0 cancels.
void FailAllAllocationsFrom(uint64_t nth);
void ClearAllocationFailures();
// LocalFree of a block that is no longer live is a misuse ("heap.free.notlive").

// ---- Events, threads and the registry: failure injection -------------------

// Each call kind below can be made to fail once, at its nth call from now
// (1 = the next one); 0 cancels. ResetPlatform cancels them all.
// CreateEvent: null, last error ERROR_NOT_ENOUGH_MEMORY (out of objects).
void FailNthEventCreation(uint64_t nth);
// CreateThread: null, ERROR_NOT_ENOUGH_MEMORY; no thread starts.
void FailNthThreadCreation(uint64_t nth);
// TerminateThread: FALSE, ERROR_ACCESS_DENIED; the target runs on untouched.
void FailNthThreadTermination(uint64_t nth);
// RegCreateKeyEx and RegSetValueEx, counted together: the call returns
// ERROR_OUTOFMEMORY (the object store is full) and changes nothing.
void FailNthRegistryWrite(uint64_t nth);
// Successful CreateEvent and CreateThread calls since the last ResetPlatform.
uint64_t EventsCreated();
uint64_t ThreadsCreated();

// ---- Time --------------------------------------------------------------------

// GetTickCount() = monotonic milliseconds since the platform started + offset,
// modulo 2^32. ResetPlatform sets the offset back to 0.
void SetTickOffset(DWORD offset);
DWORD GetTickOffset();
void AdvanceTicks(DWORD ms);
// Moves the offset so that GetTickCount() now returns `ticks` (handy to put
// the counter just before its 32-bit wrap).
void SetTickCountNow(DWORD ticks);

// ---- Interlocked operations ------------------------------------------------------

// Contention on one word: the next `times` InterlockedCompareExchange (and
// InterlockedTestExchange) calls on `target`, from any thread, each find it
// changed just before they exchange, as if another thread had stored into it
// between the caller's read and its exchange (bit 31 of the word flips, so an
// even `times` leaves the word as it was). A null target or 0 cancels;
// ResetPlatform cancels too.
void ContendCompareExchange(volatile LONG* target, int times);

// ---- Threads -------------------------------------------------------------------

// Termination point. A thread that TerminateThread has marked ends here: it
// does not return to its caller. Every blocking core call (waits, Sleep,
// EnterCriticalSection) is one; the device manager and the USB host call this
// at each of their entry points, before taking any lock of their own.
//
// The thread ends by unwinding its stack (pthread_exit): destructors of the
// frames between here and the thread's start run, locks held through RAII in
// host code are released, and no frame returns. So never call this from a
// destructor, a noexcept function, or inside a catch (...) that does not
// rethrow. Cheap when the thread is not being terminated; a no-op on threads
// the platform did not create.
void ThreadCheckpoint();
// True when the calling thread has been marked for termination (it will end
// at its next termination point).
bool ThreadTerminationPending();

// Priority of a thread on the 256-level scale (0 highest .. 255), as last set
// by SetThreadPriority/CeSetThreadPriority; 251 (normal) by default. Accepts
// thread handles and GetCurrentThread(). -1 for an invalid handle (no misuse
// counted).
int ThreadPriority256(HANDLE thread);
// Platform threads (CreateThread) whose start routine has not yet ended.
uint64_t RunningThreadCount();

// Waits on `cv` (with `lock` held on entry and on return) until `ready()`
// holds or `timeoutMs` passes (INFINITE: no limit). Returns ready(). The wait
// is a termination point: TerminateThread wakes it at once and the thread
// ends (the lock is released first). For host-side services that block a
// platform thread on their own condition variables (a synchronous USB
// transfer, a device-manager call that waits).
bool WaitTerminable(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                    DWORD timeoutMs, const std::function<bool()>& ready);

// ---- Strict modes ------------------------------------------------------------------

// How threads run driver code (docs/emulated-core.md, "Strict modes").
enum class SchedulingMode {
    // As the host schedules them, all at once (the default).
    kParallel,
    // As on a one-CPU CE device: one run token, held by the most urgent
    // thread that is ready to run driver code, handed over at every platform
    // call and, among threads of equal priority only, when a quantum of
    // 100 ms is spent; Sleep(0) yields to equal priorities only; a thread
    // waiting to enter a critical section lends its priority to the owner.
    kCe,
};
void SetSchedulingMode(SchedulingMode mode);
SchedulingMode GetSchedulingMode();

// Where TerminateThread stops its target.
enum class TerminationMode {
    // At its next termination point, by unwinding its stack; the sections
    // it owns are released (the default).
    kAtTerminationPoint,
    // Wherever it is in driver code, as on CE: parked for good, never
    // unwound, the sections it owns kept owned, its handle signalled. A
    // target inside a platform call is stopped when the call returns (or at
    // once when it blocks there). Its stack and record are never freed:
    // SweepLeaks counts each parked thread as a "thread.parked" leak.
    kAnywhere,
};
void SetTerminationMode(TerminationMode mode);
TerminationMode GetTerminationMode();
// ResetPlatform sets both modes from the environment: SERLYNX_SCHEDULING=ce
// and SERLYNX_TERMINATION=anywhere; anything else, or nothing, gives the
// defaults.

// Priorities (256-level scale) at which the host's own threads run driver
// code under SchedulingMode::kCe: the host controller's interrupt thread,
// which runs completion routines, and the USB host driver's thread that
// installs clients and reports attach and removal. Applications run at 251
// (THREAD_PRIORITY_NORMAL) unless they say otherwise.
constexpr int kUsbInterruptPriority = 100;
constexpr int kUsbHostPriority = 101;

// Marks host code calling into a driver (an entry point, a completion or
// notification routine) for as long as the object lives; nests. Under
// SchedulingMode::kCe the thread needs the run token for driver code, so
// it waits for it here; `cePriority` (>= 0) is then the thread's priority
// for it. Construct with no lock held.
class DriverCodeScope {
  public:
    explicit DriverCodeScope(int cePriority = -1);
    ~DriverCodeScope();
    DriverCodeScope(const DriverCodeScope&) = delete;
    DriverCodeScope& operator=(const DriverCodeScope&) = delete;

  private:
    int savedPlatformDepth_;
    bool outermost_;
};

// Marks one platform call for the whole of a function the platform's other
// services export (device manager, USB host): declare it first in the
// function, so that it outlives every lock the function takes. Called from
// driver code it is a scheduling point of SchedulingMode::kCe, and a thread
// killed under TerminationMode::kAnywhere while inside is stopped on its way
// back into driver code, never inside the platform. Not for tests.
class PlatformEntry {
  public:
    PlatformEntry();
    ~PlatformEntry();
    PlatformEntry(const PlatformEntry&) = delete;
    PlatformEntry& operator=(const PlatformEntry&) = delete;

  private:
    void* self_;  // the thread's record
};

// Threads parked by TerminationMode::kAnywhere since the last ResetPlatform.
uint64_t ParkedThreadCount();
// The next `times` waits on a thread handle with a finite timeout
// (WaitForSingleObject) each give up after `after`, or at their own timeout
// if that comes first, returning WAIT_TIMEOUT unless the thread ended by
// then: a thread slow to end, at a chosen moment. 0 cancels; ResetPlatform
// cancels too.
void CutShortThreadWaits(int times, std::chrono::microseconds after);
// Waits that CutShortThreadWaits made give up since the last ResetPlatform.
uint64_t ThreadWaitsCutShort();

// ---- Handle table ----------------------------------------------------------------

// Every HANDLE of the core services and of the device manager's application
// side is a value in one table. Values are never reused, so a stale handle is
// told apart from a live one and never reaches a freed object.
struct HandleKind;
// Called by CloseHandle after the handle has left the table (outside the
// table's lock), with the object the handle named. It returns the result of
// CloseHandle.
using HandleCloseFn = BOOL (*)(const std::shared_ptr<void>& object);
// Registers a kind of handle once (e.g. at static initialisation); the name
// is used in misuse and leak reports ("handle.<name>").
const HandleKind* RegisterHandleKind(const char* name, HandleCloseFn onClose);
// Enters an object into the table; never fails.
HANDLE NewHandle(const HandleKind* kind, std::shared_ptr<void> object);
// The object behind a live handle of the given kind. For a null, closed,
// unknown or wrong-kind handle: nullptr, SetLastError(ERROR_INVALID_HANDLE)
// and one misuse ("handle.null", "handle.closed", "handle.unknown",
// "handle.wrongkind").
std::shared_ptr<void> LookupHandle(HANDLE h, const HandleKind* kind);
// The same without counting or setting the last error (for probes).
std::shared_ptr<void> PeekHandle(HANDLE h, const HandleKind* kind);
// Live handles of one kind (nullptr: of every kind).
uint64_t LiveHandleCount(const HandleKind* kind = nullptr);
uint64_t LiveHandleCount(const std::string& kindName);

// ---- Leak sweep ------------------------------------------------------------------

// Counts as leaks what the current test left behind since the last
// ResetPlatform: live heap blocks ("heap.block"), open handles
// ("handle.<kind>"), critical sections never deleted ("cs.undeleted") and
// platform threads still running ("thread.running"). Used by the tests'
// teardown.
void SweepLeaks();

}  // namespace cehost
