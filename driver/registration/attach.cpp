#include "driver/registration/attach.h"

#include "driver/platform/ce.h"
#include "driver/platform/device_manager.h"
#include "driver/platform/usb_calls.h"
#include "driver/port/lifecycle.h"
#include "driver/port/port.h"
#include "driver/registration/autoconfig.h"
#include "driver/registration/key_path.h"
#include "driver/registration/port_token.h"
#include "driver/registration/registry_io.h"
#include "driver/registration/registry_values.h"
#include "driver/variants/catalog.h"

namespace {

// Interval of the wake-ups while a removal waits for the stream calls still
// inside its port.
constexpr DWORD kRemovalWakeMs = 20;

LPVOID NotifyContextOf(DWORD token) {
    return reinterpret_cast<LPVOID>(static_cast<UINT_PTR>(token));
}

// The token a notification context carries; 0 for a value no token makes.
DWORD TokenOfNotifyContext(LPVOID context) {
    UINT_PTR value = reinterpret_cast<UINT_PTR>(context);
    return value > 0xFFFFFFFFu ? 0 : static_cast<DWORD>(value);
}

// The endpoints a device key names, bound to the device's records.
struct BoundEndpoints {
    LPCUSB_ENDPOINT classEndpoint;
    DWORD interfaceNumber;
    LPCUSB_ENDPOINT receiveEndpoint;
    LPCUSB_ENDPOINT sendEndpoint;
    LPCUSB_ENDPOINT secondReceive;  // second channel of a two-channel port
    LPCUSB_ENDPOINT secondSend;
};

// Walks the interfaces of the active configuration (alternate settings
// skipped) and binds each endpoint whose address equals one of the key's
// five address bytes; a later match replaces an earlier one. A byte of 0
// names no endpoint.
void BindEndpoints(LPCUSB_DEVICE device, const DeviceKeyValues& values, BoundEndpoints* bound) {
    *bound = BoundEndpoints{};
    if (device == nullptr || device->lpActiveConfig == nullptr ||
        device->lpActiveConfig->lpInterfaces == nullptr) {
        return;
    }
    const BYTE classAddress = values.classEndp & 0xFF;
    const BYTE receiveAddress = values.receiveEndp & 0xFF;
    const BYTE sendAddress = values.sendEndp & 0xFF;
    const BYTE secondReceiveAddress = (values.receiveEndp >> 8) & 0xFF;
    const BYTE secondSendAddress = (values.sendEndp >> 8) & 0xFF;

    LPCUSB_CONFIGURATION config = device->lpActiveConfig;
    for (DWORD i = 0; i < config->dwNumInterfaces; ++i) {
        const USB_INTERFACE& iface = config->lpInterfaces[i];
        if (iface.Descriptor.bAlternateSetting != 0 || iface.lpEndpoints == nullptr) {
            continue;
        }
        for (UCHAR e = 0; e < iface.Descriptor.bNumEndpoints; ++e) {
            const USB_ENDPOINT* endpoint = &iface.lpEndpoints[e];
            const BYTE address = endpoint->Descriptor.bEndpointAddress;
            if (address == 0) {
                continue;
            }
            if (address == classAddress) {
                bound->classEndpoint = endpoint;
                bound->interfaceNumber = iface.Descriptor.bInterfaceNumber;
            }
            if (address == receiveAddress) {
                bound->receiveEndpoint = endpoint;
            }
            if (address == sendAddress) {
                bound->sendEndpoint = endpoint;
            }
            if (address == secondReceiveAddress) {
                bound->secondReceive = endpoint;
            }
            if (address == secondSendAddress) {
                bound->secondSend = endpoint;
            }
        }
    }
}

BOOL AttachConfigured(USB_HANDLE device, LPCUSB_FUNCS funcs, LPCWSTR path, LPBOOL accept) {
    DeviceKeyValues values;
    if (!ReadDeviceKey(path, &values)) {
        return FALSE;
    }
    // A type this driver does not know is refused.
    const PortTypeEntry* type = PortTypeOf(values.usbMode);
    if (type == nullptr) {
        return FALSE;
    }
    SerialPort* port = type->create(values.usbMode);
    if (port == nullptr) {
        return FALSE;
    }
    // The token records the port as the driver's from here until its
    // removal frees it, and as being attached until this call is done.
    DWORD token = PortTokenRegister(port);
    if (token == 0) {
        PortDelete(port);
        return FALSE;
    }
    port->parent = nullptr;
    port->usbDevice = device;
    port->usbFuncs = funcs;
    // The notification's context is the token, not the address: a stale or
    // repeated notice finds nothing once the token is released, even when a
    // later port got the same address or slot.
    if (!UsbRegisterNotify(port, DeviceNotify, NotifyContextOf(token))) {
        // The device is already being removed and no notification will
        // come to free the object: nothing of it may stay behind.
        PortTokenRelease(token);
        PortDelete(port);
        return FALSE;
    }

    port->usbMode = values.usbMode;
    port->priority256 = values.priority256;
    port->ringSize = values.ringSize;
    port->rxSlotsWanted = static_cast<LONG>(values.rxSlots);
    BoundEndpoints bound;
    BindEndpoints(UsbGetDeviceInfo(port), values, &bound);
    port->interfaceNumber = bound.interfaceNumber;
    port->classEndpoint = bound.classEndpoint;
    port->receiveEndpoint = bound.receiveEndpoint;
    port->sendEndpoint = bound.sendEndpoint;
    if (type->bindSecondChannel != nullptr) {
        type->bindSecondChannel(port, bound.secondReceive, bound.secondSend);
    }

    *accept = TRUE;
    port->activation = nullptr;
    if (PortInit(port)) {
        PortTokenMarkStarted(token);
        port->activation = DmActivateDevice(path, token);
    }
    // From here a removal may run (it may already be waiting).
    PortTokenAttachDone(token);
    return TRUE;
}

}  // namespace

BOOL ReadDeviceKey(LPCWSTR path, DeviceKeyValues* values) {
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, path, 0, 0, &key) != ERROR_SUCCESS) {
        return FALSE;
    }
    DWORD usbMode = kPortTypeBasic;
    DWORD classEndp = 0;
    DWORD receiveEndp = 0;
    DWORD sendEndp = 0;
    DWORD priority = 0;
    DWORD ringSize = 0;
    DWORD rxSlots = 0;
    ReadDwordValue(key, kValueUsbMode, &usbMode);
    ReadDwordValue(key, kValueClassEndp, &classEndp);
    ReadDwordValue(key, kValueReceiveEndp, &receiveEndp);
    ReadDwordValue(key, kValueSendEndp, &sendEndp);
    ReadDwordValue(key, kValuePriority256, &priority);
    ReadDwordValue(key, kValueReceiveBuffer, &ringSize);
    ReadDwordValue(key, kValueReceiveSlots, &rxSlots);
    RegCloseKey(key);

    // A bare 0x100, as some keys written by hand carry it, means a CDC port.
    values->usbMode = usbMode == kUsbModeVariant ? kPortTypeCdc : usbMode;
    values->classEndp = classEndp;
    values->receiveEndp = receiveEndp;
    values->sendEndp = sendEndp;
    values->priority256 = static_cast<LONG>(priority);
    values->ringSize = ringSize != 0 ? ringSize : kDefaultRingSize;
    values->rxSlots = rxSlots;
    return TRUE;
}

SERLYNX_EXPORT BOOL WINAPI USBDeviceAttach(USB_HANDLE hDevice, LPCUSB_FUNCS lpUsbFuncs,
                                           LPCUSB_INTERFACE /*lpInterface*/,
                                           LPCWSTR szUniqueDriverId, LPBOOL fAcceptControl,
                                           LPCUSB_DRIVER_SETTINGS lpDriverSettings,
                                           DWORD /*dwUnused*/) {
    if (fAcceptControl == nullptr) {
        return FALSE;
    }
    *fAcceptControl = FALSE;
    if (lpUsbFuncs == nullptr || lpDriverSettings == nullptr || szUniqueDriverId == nullptr) {
        return FALSE;
    }
    // A path that does not fit (an overlong driver ID) is refused rather than
    // cut: a cut path could name another client's key.
    WCHAR path[kKeyPathChars];
    if (!BuildClientKeyPath(lpDriverSettings, szUniqueDriverId, path, kKeyPathChars)) {
        return FALSE;
    }
    if (IsCatchAllSettings(lpDriverSettings)) {
        ConfigureFirstAttach(hDevice, lpUsbFuncs, szUniqueDriverId, path);
        return FALSE;
    }
    return AttachConfigured(hDevice, lpUsbFuncs, path, fAcceptControl);
}

void RetirePort(DWORD token, SerialPort* port, BOOL started) {
    // Every call still inside ends soon: its handle has been cut loose (by
    // COM_Deinit, or before by a close or process-exit notice), so it sees
    // `port` null at its next look; each of its waits is woken here again
    // and again; and a synchronous USB request it may be making fails at
    // once, the device being gone. So the wait has no bound of its own.
    while (PortTokenCallsInside(token) != 0) {
        if (started)
            port->WakeAll();
        Sleep(kRemovalWakeMs);
    }
    PortTokenRelease(token);
    // A port whose PortInit succeeded runs its worker thread even when its
    // activation failed: it is stopped and released before it is freed. One
    // whose worker could not be ended is left in place (leaked) rather than
    // freed under that thread.
    if (started && !PortTeardown(port)) {
        return;
    }
    PortDelete(port);
}

BOOL WINAPI DeviceNotify(LPVOID lpvNotifyParameter, DWORD dwCode, LPDWORD* /*dwInfo1*/,
                         LPDWORD* /*dwInfo2*/, LPDWORD* /*dwInfo3*/, LPDWORD* /*dwInfo4*/) {
    if (dwCode != USB_CLOSE_DEVICE || lpvNotifyParameter == nullptr) {
        return FALSE;
    }
    // Only a live token of the driver leads to a port: a stale or repeated
    // notice finds nothing and touches nothing.
    DWORD token = TokenOfNotifyContext(lpvNotifyParameter);
    BOOL started = FALSE;
    // The host driver may report the removal while the attach still works
    // on the port on another thread; the attach is short once the device is
    // gone, so wait for it.
    if (token == 0 || !PortTokenWaitAttached(token, &started)) {
        return FALSE;
    }
    SerialPort* port = PortTokenLookup(token);
    // From here no stream call enters the port; a second notice for the same
    // port, racing with this one, leaves it to this one.
    if (port == nullptr || !PortTokenClose(token)) {
        return FALSE;
    }
    if (port->activation != nullptr) {
        // COM_Deinit runs inside and cuts the open handles loose while the
        // worker thread and the events still exist.
        DmDeactivateDevice(port->activation);
        port->activation = nullptr;
    }
    RetirePort(token, port, started);
    return TRUE;
}

[[maybe_unused]] constexpr LPUSB_DEVICE_ATTACH kAttachSignature = USBDeviceAttach;
[[maybe_unused]] constexpr LPDEVICE_NOTIFY_ROUTINE kNotifySignature = DeviceNotify;
