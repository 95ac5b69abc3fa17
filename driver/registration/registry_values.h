// Registry layout of the driver: client key paths and the names of the
// values of the catch-all key, the device key and the active key (the bits
// of the "UsbMode" word: driver/variants/usb_mode.h). Every key lives under
// HKEY_LOCAL_MACHINE.
//
// All names are UTF-16 constants; registry names compare without regard to
// case, so the spelling here is the one the driver writes.
#pragma once

#include "ce/types.h"

// ---- Keys -------------------------------------------------------------------

// Root of the USB host driver's client keys. A client key is
// <root>\<device group>\<device-class group>\<interface-class group>\<driver ID>,
// each group "Default" or decimal numbers joined by "_".
inline constexpr WCHAR kLoadClientsRoot[] = u"Drivers\\USB\\LoadClients";
inline constexpr WCHAR kDefaultGroup[] = u"Default";
// The last component of every client key this driver writes.
inline constexpr WCHAR kDriverId[] = u"Serlynx";
// Matches any device that no other client claims; armed by USBInstallDriver
// and spent by the first attach that comes through it.
inline constexpr WCHAR kCatchAllKeyPath[] =
    u"Drivers\\USB\\LoadClients\\Default\\Default\\Default\\Serlynx";

// Capacity, terminator included, of every client key path the driver builds.
// A path that does not fit (an overlong driver ID) is refused, never cut.
inline constexpr size_t kKeyPathChars = 256;

// ---- Values of the catch-all key -------------------------------------------

inline constexpr WCHAR kValueDll[] = u"Dll";                  // REG_SZ, library file name
inline constexpr WCHAR kValueInstallTime[] = u"InstallTime";  // REG_DWORD, tick at install

// ---- Values of a device key --------------------------------------------------

inline constexpr WCHAR kValuePrefix[] = u"Prefix";              // REG_SZ "COM"
inline constexpr WCHAR kValueTsp[] = u"Tsp";                    // REG_SZ "Unimodem.dll"
inline constexpr WCHAR kValueDeviceType[] = u"DeviceType";      // REG_DWORD 1 (modem)
inline constexpr WCHAR kValueClassEndp[] = u"ClassEndp";        // REG_DWORD
inline constexpr WCHAR kValueReceiveEndp[] = u"ReceiveEndp";    // REG_DWORD
inline constexpr WCHAR kValueSendEndp[] = u"SendEndp";          // REG_DWORD
inline constexpr WCHAR kValueUsbMode[] = u"UsbMode";            // REG_DWORD, usb_mode.h
inline constexpr WCHAR kValueFriendlyName[] = u"FriendlyName";  // REG_SZ
// Never written by the driver; an administrator may add them by hand.
// "Priority256": the worker thread's priority on the 256-level scale (0 or
// less, or absent: the priority of the thread that attached the device).
// "ReceiveBuffer": the receive ring in bytes (absent or 0: 4096). A value
// too small for the port's receive transfers is raised to the smallest that
// queues them all at once (slots x transfer size + 1: 257 bytes for four
// 64-byte transfers, 2049 for four 512-byte ones); one above 1 MiB is cut
// to 1 MiB (driver/port/ring.h, ReceiveRingSize).
// "ReceiveSlots": receive transfers kept queued at once (absent or 0: 4;
// above 8: 8). More slots carry more packets per frame on a host that
// reports completions only at frame boundaries.
inline constexpr WCHAR kValuePriority256[] = u"Priority256";      // REG_DWORD
inline constexpr WCHAR kValueReceiveBuffer[] = u"ReceiveBuffer";  // REG_DWORD
inline constexpr WCHAR kValueReceiveSlots[] = u"ReceiveSlots";    // REG_DWORD

inline constexpr WCHAR kPrefixCom[] = u"COM";
inline constexpr WCHAR kTspUnimodem[] = u"Unimodem.dll";
inline constexpr DWORD kDeviceTypeModem = 1;

// ---- Value of the device manager's active key ------------------------------

// REG_DWORD: the token the attach passed to ActivateDevice (port_token.h).
inline constexpr WCHAR kValueClientInfo[] = u"ClientInfo";
