// The port-type catalog: one row per port type (the low byte of the
// "UsbMode" word, usb_mode.h) with everything the rest of the driver needs
// to know about it: the class the configured attach creates, the suffix
// the first attach gives the friendly name, the devices whose ids fix the
// type whatever their descriptors say, whether the class can give its line
// every data format, and whether it has a second channel to bind.
//
// A new port type is a row here (its type code in usb_mode.h, the row at
// that index), its class in this directory and its device model in sim/.
// The table is checked when it is compiled: one row per type, in type
// order.
//
// Threads: the table is constant; the functions read it from any thread.
#pragma once

#include "driver/platform/ce.h"
#include "driver/variants/usb_mode.h"

class SerialPort;

// Stands for every product of a vendor in a DeviceOverride.
inline constexpr DWORD kAnyProduct = 0xFFFFFFFF;

// A device whose vendor and product ids decide its UsbMode word at first
// attach, after the descriptors have been scored.
struct DeviceOverride {
    WORD vendor;
    DWORD product;  // or kAnyProduct
    // Flags to set along with the row's type.
    DWORD flags;
    // FALSE: the word becomes the row's type with `flags`. TRUE: the type
    // the descriptors gave stays and only `flags` are added to it (the
    // device needs a flag, not another class).
    BOOL addFlagsOnly;
};

struct PortTypeEntry {
    // The low byte of the UsbMode word; equal to the row's index.
    DWORD type;
    // The class object for the UsbMode word (the flags may choose among
    // classes of the type), allocated uncleared and not filled in; null
    // when memory is short. A reference: a row without one, or a type
    // without its row, does not compile.
    SerialPort* (&create)(DWORD usbMode);
    // The friendly-name suffix the first attach appends for this type, and
    // the one for a word with kUsbModeVariant (null: the same).
    LPCWSTR suffix;
    LPCWSTR variantSuffix = nullptr;
    // Whether the port can give its line the DCB's data bits, parity and
    // stop bits; null: the class sends none of them to a device, so every
    // value is kept (for IOCTL_SERIAL_GET_DCB) and harms nothing.
    BOOL (*lineFormatFits)(DWORD usbMode, const DCB& dcb) = nullptr;
    // Binds the second channel's bulk endpoints (each null when the device
    // key names none); null for a port with one channel.
    void (*bindSecondChannel)(SerialPort* port, LPCUSB_ENDPOINT receive,
                              LPCUSB_ENDPOINT send) = nullptr;
    // Devices that get this type (or its flags) by their ids. Within a row,
    // a vendor's listed products come before its kAnyProduct entry.
    const DeviceOverride* overrides = nullptr;
    DWORD overrideCount = 0;
};

// The catalog, indexed by port type.
extern const PortTypeEntry kPortTypes[kPortTypeCount];

// The row of the word's type; null for a type no port has.
const PortTypeEntry* PortTypeOf(DWORD usbMode);

// The first attach's last step: the word the scoring chose, changed by the
// device's ids. The first override in table order that sets a type for
// these ids decides the type and its flags; then every override that only
// adds flags for them adds its own.
DWORD ApplyDeviceOverrides(WORD vendor, WORD product, DWORD usbMode);

// The friendly-name suffix for the word (",cdc", ",ftdi" ...): its type's,
// or the basic port's for a type no port has.
LPCWSTR FriendlyNameSuffix(DWORD usbMode);
