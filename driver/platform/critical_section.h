// The driver's lock: the platform's critical section, which clang's
// thread-safety analysis knows as a capability (thread_annotations.h), and
// LockGuard, which holds one for a scope.
//
// A CriticalSection is plain storage with no constructor or destructor of
// its own, so that it can live in a port object (uncleared local heap, freed
// without a destructor) and in static storage: its owner creates it before
// any thread uses it and deletes it after the last one has.
//
// The platform's critical sections are recursive: a thread that holds one
// may enter it again. The analysis does not model that (it reports a second
// acquisition), so the driver never relies on it where the analysis looks:
// where a function may run with a lock held or not (a virtual operation
// whose contract depends on an argument), that function leaves the lock's
// state to its callers and says so.
#pragma once

#include "driver/platform/ce.h"
#include "driver/platform/thread_annotations.h"

class SL_CAPABILITY("mutex") CriticalSection {
  public:
    // While no other thread can reach the lock.
    void Create() { InitializeCriticalSection(&section); }
    void Delete() { DeleteCriticalSection(&section); }

    void Enter() SL_ACQUIRE() { EnterCriticalSection(&section); }
    void Leave() SL_RELEASE() { LeaveCriticalSection(&section); }

    // Tells the analysis that the calling thread holds the lock where it
    // cannot see that itself: a branch of a virtual operation that only a
    // caller holding the lock takes. It checks nothing at run time; each use
    // names the caller whose contract makes it true.
    void AssertHeld() const SL_ASSERT_CAPABILITY(this) {}

  private:
    CRITICAL_SECTION section;
};

// Holds `lock` from its construction to the end of its scope.
class SL_SCOPED_CAPABILITY LockGuard {
  public:
    explicit LockGuard(CriticalSection& lock) SL_ACQUIRE(lock) : held(lock) { held.Enter(); }
    ~LockGuard() SL_RELEASE() { held.Leave(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

  private:
    CriticalSection& held;
};
