#include "driver/registration/install.h"

#include "ce/loader.h"
#include "ce/registry.h"
#include "ce/thread.h"
#include "ce/usb.h"
#include "driver/platform/export.h"
#include "driver/registration/port_token.h"
#include "driver/registration/registry_io.h"
#include "driver/registration/registry_values.h"
#include "driver/stream/stream.h"

// Arms the catch-all client key: the USB host driver will offer this library
// every device no other client claims, and the first such attach within the
// configuration window writes that device's own key. Installing again
// re-arms it. FALSE for a missing file name, and when the key cannot be
// created or either value cannot be written: the library would never be
// loaded, so the installer must not be told it worked.
SERLYNX_EXPORT BOOL WINAPI USBInstallDriver(LPCWSTR szDriverLibFile) {
    if (szDriverLibFile == nullptr) {
        return FALSE;
    }
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, kCatchAllKeyPath, 0, nullptr, 0, 0, nullptr, &key,
                       &disposition) != ERROR_SUCCESS) {
        return FALSE;
    }
    BOOL written = WriteStringValue(key, kValueDll, szDriverLibFile) &&
                   WriteDwordValue(key, kValueInstallTime, GetTickCount());
    RegCloseKey(key);
    return written;
}

// Device keys hold what the administrator may have tuned by hand, so
// uninstalling removes nothing.
SERLYNX_EXPORT BOOL WINAPI USBUnInstallDriver(void) {
    return TRUE;
}

namespace {

// Whether the driver-wide locks exist. Only the loader touches it, one call
// at a time (it holds its loader lock around the load handler).
bool g_globalsCreated = false;

}  // namespace

void DriverGlobalsCreate() {
    if (g_globalsCreated)
        return;
    PortTokenTableCreate();
    HandleListsCreate();
    g_globalsCreated = true;
}

void DriverGlobalsDelete() {
    if (!g_globalsCreated)
        return;
    HandleListsDelete();
    PortTokenTableDelete();
    g_globalsCreated = false;
}

// Creates the driver-wide locks when the library is loaded and deletes them
// when it is unloaded (by then no port and no call exists: the host driver
// and the device manager hold the library while they use it). The library
// wants no thread attach and detach calls. The loader's
// DisableThreadLibraryCalls is looked up by name, since older platforms lack
// it; without it the calls simply arrive and are ignored.
SERLYNX_EXPORT BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID /*lpvReserved*/) {
    if (fdwReason == DLL_PROCESS_DETACH) {
        DriverGlobalsDelete();
    }
    if (fdwReason == DLL_PROCESS_ATTACH) {
        DriverGlobalsCreate();
        HMODULE core = GetModuleHandle(u"coredll");
        FARPROC proc =
            core != nullptr ? GetProcAddress(core, u"DisableThreadLibraryCalls") : nullptr;
        if (proc != nullptr) {
            using DisableFn = BOOL(WINAPI*)(HMODULE);
            // Through the generic function pointer type: FARPROC's own
            // signature is only a placeholder.
            auto disable = reinterpret_cast<DisableFn>(reinterpret_cast<void (*)()>(proc));
            disable(hinstDLL);
        }
    }
    return TRUE;
}

// The exported signatures must stay those the host driver and loader call
// through.
[[maybe_unused]] constexpr LPUSB_INSTALL_DRIVER kInstallSignature = USBInstallDriver;
[[maybe_unused]] constexpr LPUSB_UNINSTALL_DRIVER kUnInstallSignature = USBUnInstallDriver;
[[maybe_unused]] constexpr PFN_DLLMAIN kDllMainSignature = DllMain;
