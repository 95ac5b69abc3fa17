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
// On process attach creates the driver-wide locks (DriverGlobalsCreate) and
// asks the loader for no thread attach/detach calls; on process detach
// deletes the locks. TRUE for every reason.
SERLYNX_EXPORT BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved);

// [loader] The critical sections of the port token table and of the stream
// layer's handle lists: created before the library's first call, deleted
// after its last. A second create (a loader that attaches again without a
// detach in between) or a delete of what does not exist does nothing. Code
// that links the driver's objects directly instead of loading the library
// calls DriverGlobalsCreate itself.
void DriverGlobalsCreate();
void DriverGlobalsDelete();
