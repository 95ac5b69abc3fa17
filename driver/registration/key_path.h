// Client key paths under "Drivers\USB\LoadClients".
//
// The USB host driver finds a client through a key whose path encodes the
// settings it matched: a device group (vendor, product, release), a
// device-class group (class, subclass, protocol) and an interface-class group
// (class, subclass, protocol), then the driver ID. USBDeviceAttach rebuilds
// that path from the USB_DRIVER_SETTINGS it is handed, to read the key's
// values and to hand the key to ActivateDevice.
//
// Plain functions, no state; any thread.
#pragma once

#include "ce/types.h"
#include "ce/usb.h"

// Writes the client key path of `settings` and `driverId` into `path`
// (capacity in UTF-16 units, terminator included). For each group: "Default"
// when its first member is USB_NO_INFO, else the first member in decimal,
// followed by "_<second>" when the second is given and then "_<third>" when
// the third is given too (a third member without a second is not used).
// Returns FALSE, leaving `path` empty, when the path does not fit or an
// argument is null: a cut path could name another device's key.
BOOL BuildClientKeyPath(LPCUSB_DRIVER_SETTINGS settings, LPCWSTR driverId, LPWSTR path,
                        size_t capacity);

// The path of the key that first-attach configuration writes for a device:
// "<root>\<vendor>_<product>_<release>\Default\Default\<driverId>" (decimal),
// the same path BuildClientKeyPath gives for settings that name vendor,
// product and release and leave both classes open.
BOOL BuildDeviceKeyPath(WORD vendor, WORD product, WORD release, LPCWSTR driverId, LPWSTR path,
                        size_t capacity);

// True when the settings came from the catch-all key: vendor, device class
// and interface class all left open.
BOOL IsCatchAllSettings(LPCUSB_DRIVER_SETTINGS settings);
