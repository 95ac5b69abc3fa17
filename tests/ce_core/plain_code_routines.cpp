#include "plain_code_routines.h"

DWORD WINAPI PlainRoutine(LPVOID p) {
    auto* a = static_cast<RoutineArgs*>(p);
    if (a->how == Blocks::kHolding || a->how == Blocks::kReturning)
        EnterCriticalSection(a->section);
    WriteRelease(&a->started, 1);
    switch (a->how) {
        case Blocks::kSpinning:
            while (ReadAcquire(&a->release) == 0) {
            }
            for (;;) {
                Sleep(1);
                WriteRelease(&a->afterCall, 1);
            }
        case Blocks::kWaiting:
        case Blocks::kHolding:
            WaitForSingleObject(a->event, INFINITE);
            break;
        case Blocks::kSleeping:
            Sleep(60000);
            break;
        case Blocks::kEntering:
            EnterCriticalSection(a->section);
            break;
        case Blocks::kReturning:
            return 77;
        case Blocks::kSelf:
            TerminateThread(GetCurrentThread(), 77);
            break;
    }
    WriteRelease(&a->afterCall, 1);
    return 1;
}
