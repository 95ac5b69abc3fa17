// A thread routine compiled like driver code (without exceptions), for the
// termination tests.
#pragma once

#include "ce/windows.h"

// kSpinning spins in plain code until released, then calls Sleep in a loop;
// kHolding and kReturning enter `section` first and keep it; kReturning
// then returns 77; kSelf terminates itself with 77.
enum class Blocks { kSpinning, kWaiting, kSleeping, kEntering, kHolding, kReturning, kSelf };

struct RoutineArgs {
    Blocks how;
    LONG started;               // set by the routine when it runs
    LONG release;               // lets a spinning routine go on to its next platform call
    LONG afterCall;             // set only if a blocking platform call ever returned
    HANDLE event;               // waited on (kWaiting, kHolding)
    CRITICAL_SECTION* section;  // entered (kEntering, kHolding, kReturning)
};

DWORD WINAPI PlainRoutine(LPVOID args);
