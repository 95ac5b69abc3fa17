// Lock annotations for clang's thread-safety analysis. The lock-checking
// build (`make lockcheck`: the driver compiled by clang with
// -Wthread-safety -Wthread-safety-beta -Werror) proves with them that every
// field marked SL_GUARDED_BY is touched only with its lock held, that every
// function marked SL_REQUIRES is called with its lock held and every one
// marked SL_EXCLUDES without it, and that locks are taken in their declared
// order (SL_ACQUIRED_BEFORE). The locks are CriticalSection objects
// (driver/platform/critical_section.h), which the analysis knows as
// capabilities. Under gcc the annotations only document the contract.
#pragma once

#if defined(__clang__)
#define SL_ATTRIBUTE(x) __attribute__((x))
#else
#define SL_ATTRIBUTE(x)
#endif

// On a class: its objects are locks.
#define SL_CAPABILITY(name) SL_ATTRIBUTE(capability(name))
// On a class: its objects hold a lock for their lifetime.
#define SL_SCOPED_CAPABILITY SL_ATTRIBUTE(scoped_lockable)
// On a field or variable: touched only with lock `x` held.
#define SL_GUARDED_BY(x) SL_ATTRIBUTE(guarded_by(x))
// On a pointer: what it points at is touched only with lock `x` held.
#define SL_PT_GUARDED_BY(x) SL_ATTRIBUTE(pt_guarded_by(x))
// On a lock: it is taken before the locks named (never while they are held).
#define SL_ACQUIRED_BEFORE(...) SL_ATTRIBUTE(acquired_before(__VA_ARGS__))
// On a function: called with the locks held / not held.
#define SL_REQUIRES(...) SL_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define SL_EXCLUDES(...) SL_ATTRIBUTE(locks_excluded(__VA_ARGS__))
// On a function: takes / gives back the locks (no argument: the object's
// own).
#define SL_ACQUIRE(...) SL_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define SL_RELEASE(...) SL_ATTRIBUTE(release_capability(__VA_ARGS__))
// On a function: once it returns, the lock counts as held.
#define SL_ASSERT_CAPABILITY(x) SL_ATTRIBUTE(assert_capability(x))
// On a function: its body is not analysed. Only for a small function whose
// locking the analysis cannot follow, with a comment saying why it is sound.
#define SL_NO_THREAD_SAFETY_ANALYSIS SL_ATTRIBUTE(no_thread_safety_analysis)
