// Synchronisation: events, waits, critical sections, interlocked operations.
//
// Every call may be made from any thread. A wait, a sleep, and every other
// blocking platform call is also a point at which a thread that another
// thread terminated (TerminateThread) ends.
#pragma once

#include "ce/types.h"

// ---- Events and waits --------------------------------------------------

CEAPI HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                          BOOL bInitialState, LPCWSTR lpName);
#define CreateEvent CreateEventW
CEAPI BOOL SetEvent(HANDLE hEvent);
CEAPI BOOL ResetEvent(HANDLE hEvent);
// Waits on an event or a thread handle. WAIT_OBJECT_0, WAIT_TIMEOUT, or
// WAIT_FAILED (null, closed or wrong-kind handle; counted as misuse).
CEAPI DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
// Closes any handle of the core services (event, thread) and the application
// handles of the device manager. FALSE and a misuse count for a null, closed
// or unknown handle.
CEAPI BOOL CloseHandle(HANDLE hObject);

// ---- Critical sections (recursive) ---------------------------------------

// The record is opaque storage; the emulation keeps its state elsewhere and
// recognises an initialised section by its magic and its registered impl.
typedef struct _CRITICAL_SECTION {
    DWORD magic;
    DWORD reserved;
    void* impl;
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

CEAPI void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
CEAPI void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
CEAPI void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
CEAPI void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

// ---- Interlocked operations (full barriers) ------------------------------

CEAPI LONG InterlockedIncrement(LONG volatile* lpAddend);
CEAPI LONG InterlockedDecrement(LONG volatile* lpAddend);
CEAPI LONG InterlockedExchange(LONG volatile* Target, LONG Value);
CEAPI LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value);
CEAPI LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comperand);
// Stores newValue when *Target holds oldValue; returns the prior value.
CEAPI LONG InterlockedTestExchange(LONG volatile* Target, LONG oldValue, LONG newValue);
CEAPI PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value);
CEAPI PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                              PVOID Comperand);

// Single loads and stores of a 32-bit or pointer field shared between threads
// without a lock (the receive ring's indices, status words). Acquire/release
// order; the compiler keeps them as single accesses.
static inline LONG ReadAcquire(LONG const volatile* Source) {
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
static inline void WriteRelease(LONG volatile* Destination, LONG Value) {
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
static inline LONG ReadNoFence(LONG const volatile* Source) {
    return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
static inline void WriteNoFence(LONG volatile* Destination, LONG Value) {
    __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}
static inline DWORD ReadULongAcquire(DWORD const volatile* Source) {
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
static inline void WriteULongRelease(DWORD volatile* Destination, DWORD Value) {
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
static inline PVOID ReadPointerAcquire(PVOID const volatile* Source) {
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
static inline void WritePointerRelease(PVOID volatile* Destination, PVOID Value) {
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
