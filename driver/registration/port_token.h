// The "ClientInfo" token: a 32-bit value that names a port object.
//
// The attach hands ActivateDevice a client-info value that the device manager
// stores as the active key's "ClientInfo" (REG_DWORD); COM_Open and
// COM_Deinit read it back to find their port. A port's address does not fit
// in 32 bits on every host, so the value is a token: a slot of a fixed table
// together with that slot's generation. Released tokens and values that were
// never handed out find nothing, even once the slot serves another port.
//
// Threads: the USB host driver's thread registers (attach) and releases
// (device notification) tokens; the device manager's and applications'
// threads look them up. All three calls are safe from any thread at once;
// the table is guarded by a short spin lock (no platform object to create or
// destroy). A port looked up stays valid for the caller because the removal
// path deactivates the stream device, which ends every call into it, before
// it releases the token and frees the port.
#pragma once

#include "ce/types.h"

class SerialPort;

// Number of ports that can hold a token at once.
inline constexpr DWORD kPortTokenSlots = 64;

// A new token for `port`, never 0; 0 when `port` is null or the table is full.
DWORD PortTokenRegister(SerialPort* port);
// The port that `token` names, or null when the token is 0, forged, or
// released.
SerialPort* PortTokenLookup(DWORD token);
// The live token of `port`, or 0 when it holds none. The attach path uses
// this as the port's "started" mark: a port holds a token exactly while its
// worker thread runs.
DWORD PortTokenFind(const SerialPort* port);
// Releases `token`; later lookups of it find nothing. Unknown tokens are
// ignored.
void PortTokenRelease(DWORD token);
