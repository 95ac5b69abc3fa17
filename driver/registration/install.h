// Installation entry points and the load handler (exported).
//
// USBInstallDriver and USBUnInstallDriver run on the USB host driver's
// thread, DllMain on the loader's; none takes a lock.
#pragma once

#include "ce/types.h"
#include "driver/platform/export.h"

// Arms the catch-all client key with the library's file name and the tick
// count of installation. FALSE for a null file name and when the key cannot
// be created or a value cannot be written.
SERLYNX_EXPORT BOOL WINAPI USBInstallDriver(LPCWSTR szDriverLibFile);
// Removes nothing; TRUE.
SERLYNX_EXPORT BOOL WINAPI USBUnInstallDriver(void);
// Asks the loader for no thread attach/detach calls; TRUE for every reason.
SERLYNX_EXPORT BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved);
