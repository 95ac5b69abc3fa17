// Lock annotations. Under clang they become the thread-safety analysis
// attributes (checked with -Wthread-safety); under gcc they document the
// locking contract only. The platform's CRITICAL_SECTION is a plain record,
// so the analysis treats the names as documentation of which lock guards
// which field rather than proving it.
#pragma once

#if defined(__clang__) && defined(SERLYNX_THREAD_SAFETY)
#define SL_GUARDED_BY(x) __attribute__((guarded_by(x)))
#define SL_PT_GUARDED_BY(x) __attribute__((pt_guarded_by(x)))
#define SL_REQUIRES(...) __attribute__((requires_capability(__VA_ARGS__)))
#define SL_EXCLUDES(...) __attribute__((locks_excluded(__VA_ARGS__)))
#else
#define SL_GUARDED_BY(x)
#define SL_PT_GUARDED_BY(x)
#define SL_REQUIRES(...)
#define SL_EXCLUDES(...)
#endif
