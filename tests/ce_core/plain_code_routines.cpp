#include "plain_code_routines.h"

DWORD WINAPI SpinningRoutine(LPVOID p) {
    auto* a = static_cast<RoutineArgs*>(p);
    WriteRelease(&a->started, 1);
    while (ReadAcquire(&a->release) == 0) {
    }
    for (;;) {
        Sleep(1);
        WriteRelease(&a->afterCall, 1);
    }
}

DWORD WINAPI WaitingRoutine(LPVOID p) {
    auto* a = static_cast<RoutineArgs*>(p);
    WriteRelease(&a->started, 1);
    WaitForSingleObject(a->event, INFINITE);
    WriteRelease(&a->afterCall, 1);
    return 1;
}

DWORD WINAPI SleepingRoutine(LPVOID p) {
    auto* a = static_cast<RoutineArgs*>(p);
    WriteRelease(&a->started, 1);
    Sleep(60000);
    WriteRelease(&a->afterCall, 1);
    return 1;
}

DWORD WINAPI HoldingRoutine(LPVOID p) {
    auto* a = static_cast<RoutineArgs*>(p);
    EnterCriticalSection(a->section);
    WriteRelease(&a->started, 1);
    WaitForSingleObject(a->event, INFINITE);
    WriteRelease(&a->afterCall, 1);
    LeaveCriticalSection(a->section);
    return 1;
}

DWORD WINAPI EnteringRoutine(LPVOID p) {
    auto* a = static_cast<RoutineArgs*>(p);
    WriteRelease(&a->started, 1);
    EnterCriticalSection(a->section);
    WriteRelease(&a->afterCall, 1);
    LeaveCriticalSection(a->section);
    return 1;
}
