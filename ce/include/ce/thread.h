// Threads, priorities, time, last error.
#pragma once

#include "ce/types.h"

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);

#define CREATE_SUSPENDED 0x00000004u

// The 8-level scale: 0 (highest, THREAD_PRIORITY_TIME_CRITICAL) .. 7 (IDLE).
#define THREAD_PRIORITY_TIME_CRITICAL 0
#define THREAD_PRIORITY_HIGHEST 1
#define THREAD_PRIORITY_ABOVE_NORMAL 2
#define THREAD_PRIORITY_NORMAL 3
#define THREAD_PRIORITY_BELOW_NORMAL 4
#define THREAD_PRIORITY_LOWEST 5
#define THREAD_PRIORITY_ABOVE_IDLE 6
#define THREAD_PRIORITY_IDLE 7
#define THREAD_PRIORITY_ERROR_RETURN 0x7FFFFFFF
// The 256-level scale: 0 (highest) .. 255; the 8 levels map to 248..255.
#define CE_THREAD_PRIO_256_BASE 248

// The thread runs at once (CREATE_SUSPENDED is not supported and fails).
// Its handle is signalled when it has ended; close it with CloseHandle.
CEAPI HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, size_t dwStackSize,
                          LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                          DWORD dwCreationFlags, LPDWORD lpThreadId);
// A pseudo-handle naming the calling thread (valid in the priority calls).
CEAPI HANDLE GetCurrentThread(void);
CEAPI DWORD GetCurrentThreadId(void);
CEAPI int GetThreadPriority(HANDLE hThread);
CEAPI BOOL SetThreadPriority(HANDLE hThread, int nPriority);
// Also reachable through GetProcAddress(GetModuleHandle(L"coredll"), ...);
// drivers look them up by name since older platforms lack them.
CEAPI int CeGetThreadPriority(HANDLE hThread);
CEAPI BOOL CeSetThreadPriority(HANDLE hThread, int nPriority);
// The target ends at its next platform call (a wait, a sleep, a USB call, ...)
// and never returns into the caller's code. The call returns once the target
// has stopped running, so its owner may free what it used.
CEAPI BOOL TerminateThread(HANDLE hThread, DWORD dwExitCode);
CEAPI BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
#define STILL_ACTIVE 0x00000103u

CEAPI void Sleep(DWORD dwMilliseconds);
// Milliseconds, monotonic, wrapping at 2^32; tests may move its offset.
CEAPI DWORD GetTickCount(void);

CEAPI void SetLastError(DWORD dwErrCode);
CEAPI DWORD GetLastError(void);
