// Device attach: the USB client entry point USBDeviceAttach (exported) and
// the device notification routine it registers for every port it creates.
//
// Threads: both run on the USB host driver's threads and take no lock of
// their own. The host driver may report a device gone (on one thread) while
// its attach still runs (on another): the removal then waits until the
// attach is done with the port (port_token.h), so the attach never works on
// a freed object. Likewise the removal frees the port only once no stream
// call is inside it any more.
#pragma once

#include "ce/types.h"
#include "ce/usb.h"
#include "driver/platform/export.h"

class SerialPort;

// Offers a device to the driver. A match through the catch-all key runs the
// first-attach configuration and returns FALSE; any other key is a device
// key: the port object of its configured class is created, bound to the
// device's endpoints, registered for removal, started and activated as a
// stream device. TRUE, with *fAcceptControl TRUE, exactly when a port object
// was created (also when it could not be started or activated). Refused
// (FALSE, nothing kept): a key path that does not fit, a key that does not
// open, an unknown port type, no memory, all port slots taken, or a device
// already being removed (its notification routine cannot be registered).
SERLYNX_EXPORT BOOL WINAPI USBDeviceAttach(USB_HANDLE hDevice, LPCUSB_FUNCS lpUsbFuncs,
                                           LPCUSB_INTERFACE lpInterface, LPCWSTR szUniqueDriverId,
                                           LPBOOL fAcceptControl,
                                           LPCUSB_DRIVER_SETTINGS lpDriverSettings, DWORD dwUnused);

// The notification routine registered for each port (context: the port's
// token, opaque to the host). On USB_CLOSE_DEVICE: closes the port to new
// stream calls, deactivates the stream device (COM_Deinit cuts the open
// handles loose) and retires the port (RetirePort); TRUE. Any other code, or
// a context that is not a live token of this driver (null, forged, or
// released by an earlier notification, even when its slot or the port's
// address serves another port since): FALSE, nothing touched.
BOOL WINAPI DeviceNotify(LPVOID lpvNotifyParameter, DWORD dwCode, LPDWORD* dwInfo1,
                         LPDWORD* dwInfo2, LPDWORD* dwInfo3, LPDWORD* dwInfo4);

// The end of a removal, once the port is closed to new stream calls
// (PortTokenClose) and its stream device is gone: waits until no stream call
// is inside the port (waking them meanwhile), releases the token, stops a
// started port (worker thread ended, events, locks and buffers released) and
// frees the object. A port whose worker thread could not be ended is left in
// place instead of being freed under it.
void RetirePort(DWORD token, SerialPort* port, BOOL started);

// The seven values of a device key, defaults applied.
struct DeviceKeyValues {
    DWORD usbMode;      // absent or not REG_DWORD: 0 (basic port); 0x100 reads as 1
    DWORD classEndp;    // low byte: interrupt-IN status endpoint
    DWORD receiveEndp;  // low byte: bulk-IN; second byte: second channel's bulk-IN
    DWORD sendEndp;     // low byte: bulk-OUT; second byte: second channel's bulk-OUT
    LONG priority256;   // as stored; <= 0: the initialising thread's priority
    DWORD ringSize;     // absent or 0: 4096
    DWORD rxSlots;      // "ReceiveSlots"; absent or 0: the port type's default
};

// Reads the device key at `path` (under HKEY_LOCAL_MACHINE). FALSE when the
// key does not open.
BOOL ReadDeviceKey(LPCWSTR path, DeviceKeyValues* values);

// Default capacity of the receive ring.
inline constexpr DWORD kDefaultRingSize = 4096;
