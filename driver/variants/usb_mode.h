// The "UsbMode" word of a device key: the port type in the low byte and
// flags above it. The first attach writes it; the configured attach creates
// the port class it names, and the classes read the flags. A word with a
// type this driver does not know is refused at attach.
//
// Plain constants only, with no code behind them: the tools that read
// device keys include this header too. Which class, name suffix and
// devices go with each type is the port-type catalog's
// (driver/variants/catalog.h).
#pragma once

#include "ce/types.h"

// ---- Port type: the low byte ------------------------------------------------

inline constexpr DWORD kUsbModeTypeMask = 0xFF;

inline constexpr DWORD kPortTypeBasic = 0;   // SerialPort: one bulk pair, no control protocol
inline constexpr DWORD kPortTypeCdc = 1;     // CdcPort: bulk pair + interrupt status endpoint
inline constexpr DWORD kPortTypeWmc = 2;     // WmcPort: a CDC channel and a second bulk channel
inline constexpr DWORD kPortTypeFtdi = 3;    // FtdiPort / FtdiHeaderPort: vendor requests
inline constexpr DWORD kPortTypeRcs310 = 4;  // Rcs310Port: writes as vendor requests
// Number of port types; every type from here up names no port.
inline constexpr DWORD kPortTypeCount = 5;

// ---- Flags ------------------------------------------------------------------
// Bits the first attach never sets (0x400, 0x800, and the others outside
// a type's list below) come only from keys written by hand. Bits not named
// here have no effect.

// 0x100 has one meaning per type:
//   types 1 and 2: the chip reports CTS in bit 7 of its SERIAL_STATE
//     bitmap; without the flag CTS is always reported on. The first attach
//     sets it on type 1 for the single-interface layout of such a chip
//     (status 0x81, bulk-IN 0x83, bulk-OUT 0x02), whose friendly name then
//     ends in ",pl2303" instead of ",cdc";
//   type 3 with 0x200 (FtdiPort): the baud-rate divisor is computed from a
//     6 MHz clock instead of 24 MHz;
//   other types: none.
// A stored word of exactly 0x100 is read as type 1 without flags.
inline constexpr DWORD kUsbModeVariant = 0x100;
inline constexpr DWORD kUsbModeCdcStatusCts = kUsbModeVariant;   // types 1 and 2
inline constexpr DWORD kUsbModeFtdiSlowClock = kUsbModeVariant;  // type 3 with 0x200

// 0x200: type 3 is FtdiPort (plain bulk-OUT data, a baud-rate divisor)
// rather than FtdiHeaderPort (a header byte in front of every write, rate
// codes). On every type: data is never followed by a zero-length packet,
// and a write of zero bytes sends nothing unless 0x400 is set too.
inline constexpr DWORD kUsbModeFtdiNoHeader = 0x200;

// 0x400: a write transfer of the basic, CDC, two-channel, FtdiPort and
// type-4 ports takes the whole remaining length instead of at most one
// transfer's worth, and the basic write skips the 0x800 rule; a write of
// zero bytes sends a zero-length packet even with 0x200.
inline constexpr DWORD kUsbModeWriteUnlimited = 0x400;

// 0x800: transfer lengths are kept as they are. Without it, a basic-port
// write transfer whose length is 15 modulo 16 is one byte shorter (the
// byte goes with the next one), and so is an FtdiHeaderPort transfer whose
// data length is 14 modulo 16 (15 with its header).
inline constexpr DWORD kUsbModeNoNibbleRule = 0x800;

// 0x1000: types 1 and 2 never send SET_LINE_CODING, only the handshake
// lines; every data format is then accepted as it stands.
inline constexpr DWORD kUsbModeNoLineCoding = 0x1000;
