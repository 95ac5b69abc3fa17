// The driver's side of the device manager: activation of the stream device
// that serves a port, and its deactivation (which runs COM_Deinit before it
// returns). Called on the USB host driver's attach and notification threads.
#pragma once

#include "driver/platform/ce.h"

// Activates the stream device described by the device key `keyPath` (under
// HKEY_LOCAL_MACHINE); `clientInfo` is stored as the active key's
// "ClientInfo". The activation handle, or 0.
inline HANDLE DmActivateDevice(LPCWSTR keyPath, DWORD clientInfo) {
    return ActivateDevice(keyPath, clientInfo);
}

inline BOOL DmDeactivateDevice(HANDLE activation) {
    return DeactivateDevice(activation);
}
