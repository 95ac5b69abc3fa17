// Thread routines compiled like driver code (without exceptions), for the
// termination tests.
#pragma once

#include "ce/sync.h"
#include "ce/thread.h"

struct RoutineArgs {
    LONG started;    // set by the routine when it runs
    LONG release;    // the test lets a spinning routine go on
    LONG afterCall;  // set only if a platform call ever returned into the routine
    HANDLE event;    // waited on by WaitingRoutine
    CRITICAL_SECTION* section;
};

// Spins in plain code until released, then calls Sleep in a loop.
DWORD WINAPI SpinningRoutine(LPVOID args);
// Blocks in WaitForSingleObject(event, INFINITE).
DWORD WINAPI WaitingRoutine(LPVOID args);
// Blocks in Sleep(60 s).
DWORD WINAPI SleepingRoutine(LPVOID args);
// Enters `section` and then blocks on `event` while holding it.
DWORD WINAPI HoldingRoutine(LPVOID args);
// Blocks in EnterCriticalSection(section) (held by someone else).
DWORD WINAPI EnteringRoutine(LPVOID args);
