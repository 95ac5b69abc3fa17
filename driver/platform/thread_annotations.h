// Lock annotations. Under clang they become the thread-safety analysis
// attributes (inert unless -Wthread-safety is given); under gcc they only
// document the locking contract. The platform's CRITICAL_SECTION is a plain
// record and its Enter/Leave calls carry no annotations, so the names state
// which lock guards which field rather than letting the analysis prove it.
#pragma once

#if defined(__clang__)
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
