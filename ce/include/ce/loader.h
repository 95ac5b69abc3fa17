// Library loading and lookup of procedures by name.
//
// A library name ("serlynx.dll") resolves to a real shared object next to the
// executable or on the configured search path, or to an entry-point table a
// test registered in-process under that name. "coredll" is the platform's own
// module; the procedures a driver looks up in it are DisableThreadLibraryCalls,
// CeGetThreadPriority and CeSetThreadPriority.
#pragma once

#include "ce/types.h"

typedef BOOL(WINAPI* PFN_DLLMAIN)(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved);

CEAPI HMODULE LoadLibraryW(LPCWSTR lpLibFileName);
CEAPI BOOL FreeLibrary(HMODULE hLibModule);
// Only already-loaded modules, and "coredll".
CEAPI HMODULE GetModuleHandleW(LPCWSTR lpModuleName);
CEAPI FARPROC GetProcAddressW(HMODULE hModule, LPCWSTR lpProcName);
CEAPI BOOL DisableThreadLibraryCalls(HMODULE hLibModule);

#define LoadLibrary LoadLibraryW
#define GetModuleHandle GetModuleHandleW
#define GetProcAddress GetProcAddressW
