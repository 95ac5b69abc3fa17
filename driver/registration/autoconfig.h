// First-attach auto-configuration: the device classification and the naming
// that the attach through the catch-all key writes into the device's own key.
//
// The classification walks the active configuration and keeps, per kind of
// endpoint (interrupt-IN, bulk-IN, bulk-OUT), the best-scoring candidates.
// Scores favour the layouts of the serial devices met in practice: a CDC
// communication interface (class 2) with its status endpoint, data
// interfaces (class 10) with an IN/OUT pair sharing one endpoint number, and
// interfaces that hold nothing but the pair.
//
// Runs on the USB host driver's thread inside USBDeviceAttach; no lock, no
// state kept between calls.
#pragma once

#include "ce/types.h"
#include "ce/usb.h"

// What the walk over the endpoints decided: the four device-key values.
struct EndpointChoice {
    DWORD classEndp;    // interrupt-IN status endpoint address, or 0
    DWORD receiveEndp;  // bulk-IN address; bits 8-15 the second channel's (type 2)
    DWORD sendEndp;     // bulk-OUT address; bits 8-15 the second channel's (type 2)
    DWORD usbMode;      // port type and flags, vendor overrides applied
};

// Classifies the device: endpoint scoring over the active configuration
// (alternate settings skipped), port type, then the vendor/product overrides.
// A null device or a device without an active configuration counts as one
// without interfaces.
void ChooseEndpoints(LPCUSB_DEVICE device, EndpointChoice* choice);

// Capacity of a friendly name in UTF-16 units, terminator included.
inline constexpr size_t kFriendlyNameChars = 64;
inline constexpr WCHAR kDefaultFriendlyName[] = u"Serlynx";

// Builds the friendly name into `name` (kFriendlyNameChars units): the product
// string (or the manufacturer string when the device has no product string)
// read with two synchronous GetDescriptor calls, first its 2-byte header and
// then its whole length, or kDefaultFriendlyName when the device names no
// string or a read fails; then the suffix of `usbMode` (FriendlyNameSuffix,
// driver/variants/catalog.h) when the whole still fits in 63 characters.
// Returns the name's length.
size_t BuildFriendlyName(USB_HANDLE device, LPCUSB_FUNCS funcs, LPCUSB_DEVICE info, DWORD usbMode,
                         LPWSTR name);

// The branch of USBDeviceAttach taken for a match through the catch-all key
// at `catchAllPath`. Spends the key's "Dll" and "InstallTime" whatever
// follows; when the attach comes less than 3000 ms after installation,
// classifies the device and writes its device key (driver ID `driverId`).
// Creates no port: the device is served from its next attach on.
void ConfigureFirstAttach(USB_HANDLE device, LPCUSB_FUNCS funcs, LPCWSTR driverId,
                          LPCWSTR catchAllPath);

// The one-shot window after installation, in milliseconds.
inline constexpr DWORD kFirstAttachWindowMs = 3000;
