// A tiny stream-driver library loaded through the real shared-object path of
// the loader: its load handler turns off thread notifications the way a
// driver does, and it counts its load-handler calls.
#include <atomic>

#include "ce/windows.h"

#define TESTLIB_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
std::atomic<int> attaches{0};
std::atomic<int> detaches{0};
std::atomic<int> inits{0};
}  // namespace

TESTLIB_EXPORT BOOL DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        ++attaches;
        using DisableFn = BOOL (*)(HMODULE);
        FARPROC proc = GetProcAddressW(GetModuleHandleW(u"coredll"), u"DisableThreadLibraryCalls");
        if (proc)
            reinterpret_cast<DisableFn>(reinterpret_cast<void (*)()>(proc))(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        ++detaches;
    }
    return TRUE;
}

TESTLIB_EXPORT int DmTest_Attaches() {
    return attaches.load();
}
TESTLIB_EXPORT int DmTest_Detaches() {
    return detaches.load();
}
TESTLIB_EXPORT int DmTest_Inits() {
    return inits.load();
}

TESTLIB_EXPORT DWORD_PTR TST_Init(LPCWSTR, LPCVOID) {
    ++inits;
    return 0x7E57;
}
TESTLIB_EXPORT BOOL TST_Deinit(DWORD_PTR) {
    return TRUE;
}
TESTLIB_EXPORT DWORD_PTR TST_Open(DWORD_PTR ctx, DWORD, DWORD) {
    return ctx + 1;
}
TESTLIB_EXPORT BOOL TST_Close(DWORD_PTR) {
    return TRUE;
}
TESTLIB_EXPORT DWORD TST_Read(DWORD_PTR, LPVOID, DWORD) {
    return 0;
}
TESTLIB_EXPORT DWORD TST_Write(DWORD_PTR, LPCVOID, DWORD n) {
    return n;
}
TESTLIB_EXPORT DWORD TST_Seek(DWORD_PTR, LONG, DWORD) {
    return 0xFFFFFFFFu;
}
TESTLIB_EXPORT BOOL TST_IOControl(DWORD_PTR, DWORD, PBYTE, DWORD, PBYTE, DWORD, PDWORD) {
    return TRUE;
}
TESTLIB_EXPORT DWORD TST_PowerUp(DWORD_PTR) {
    return 1;
}
TESTLIB_EXPORT DWORD TST_PowerDown(DWORD_PTR) {
    return 1;
}
