// The "ClientInfo" token: a 32-bit value that names a port object, and the
// attach state of every port the driver owns.
//
// The attach hands ActivateDevice a client-info value that the device manager
// stores as the active key's "ClientInfo" (REG_DWORD); COM_Open and
// COM_Deinit read it back to find their port. A port's address does not fit
// in 32 bits on every host, so the value is a token: a slot of a fixed table
// together with that slot's generation. Released tokens and values that were
// never handed out find nothing, even once the slot serves another port.
//
// The same table is the driver's record of its live ports: a port holds a
// token from its creation by the attach until its removal frees it. The
// attach marks whether the port was started and when the attach is done with
// it; the removal waits for that, since the USB host driver may report a
// device gone while its attach is still running on another thread.
//
// Threads: the USB host driver's threads register, mark, wait and release
// (attach, device notification); the device manager's and applications'
// threads look tokens up. Every call is safe from any thread at once; the
// table is guarded by one critical section (which on the target inherits
// priority, so a host thread of high priority waiting for it lends the
// holder its priority rather than spinning), held for a few loads and
// stores. The section exists while the library is loaded
// (PortTokenTableCreate / PortTokenTableDelete, from the load handler). A
// port looked up stays valid for the caller because the removal deactivates
// the stream device, which ends every call into it, before it releases the
// token and frees the port.
#pragma once

#include "ce/types.h"

class SerialPort;

// Number of ports that can exist at once.
inline constexpr DWORD kPortTokenSlots = 64;

// [loader] Creates / deletes the table's lock. Create runs before any other
// call, Delete after the last one.
void PortTokenTableCreate();
void PortTokenTableDelete();

// ---- Stream side --------------------------------------------------------------

// The port that `token` names, or null when the token is 0, forged, or
// released.
SerialPort* PortTokenLookup(DWORD token);

// ---- Attach and removal side ---------------------------------------------

// A new token for `port`, never 0; 0 when `port` is null or the table is
// full. The port counts as being attached (see PortTokenAttachDone) and not
// started.
DWORD PortTokenRegister(SerialPort* port);
// The attach started the port (PortInit succeeded): its removal must tear
// it down.
void PortTokenMarkStarted(DWORD token);
// The attach has returned the port to the USB host driver; a removal
// waiting in PortTokenWaitAttached may go on.
void PortTokenAttachDone(DWORD token);
// The live token of `port`, or 0 when it holds none. Compares addresses
// only, so it is safe with a port that was already freed.
DWORD PortTokenFind(const SerialPort* port);
// Waits until the attach of the token's port is done; then *started tells
// whether the port was started. FALSE, without waiting, for an unknown
// token.
BOOL PortTokenWaitAttached(DWORD token, BOOL* started);
// Releases `token`; later lookups of it find nothing. Unknown tokens are
// ignored.
void PortTokenRelease(DWORD token);
