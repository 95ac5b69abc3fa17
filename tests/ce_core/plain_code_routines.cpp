#include "plain_code_routines.h"

DWORD WINAPI PlainRoutine(LPVOID p) {
    auto* a = static_cast<RoutineArgs*>(p);
    const Blocks how = a->how;
    if (how == Blocks::kHolding || how == Blocks::kReturning)
        EnterCriticalSection(a->section);
    WriteRelease(&a->started, 1);
    while (how == Blocks::kSpinning && ReadAcquire(&a->release) == 0) {
    }
    for (; how == Blocks::kSpinning; WriteRelease(&a->afterCall, 1))
        Sleep(1);
    if (how == Blocks::kWaiting || how == Blocks::kHolding)
        WaitForSingleObject(a->event, INFINITE);
    else if (how == Blocks::kSleeping)
        Sleep(60000);
    else if (how == Blocks::kEntering)
        EnterCriticalSection(a->section);
    else if (how == Blocks::kReturning)
        return 77;
    else if (how == Blocks::kSelf)
        TerminateThread(GetCurrentThread(), 77);
    WriteRelease(&a->afterCall, 1);
    return 1;
}
