// The "ClientInfo" token: a 32-bit value that names a port object, and the
// attach state of every port the driver owns.
//
// The attach hands ActivateDevice a client-info value that the device manager
// stores as the active key's "ClientInfo" (REG_DWORD); COM_Open and
// COM_Deinit read it back to find their port. A port's address does not fit
// in 32 bits on every host, so the value is a token: a slot of a fixed table
// together with that slot's generation. Released tokens and values that were
// never handed out find nothing, even once the slot serves another port. The
// same token is the context of the port's device notification, so a stale or
// repeated removal notice never reaches another port that took the slot (or
// the address) since.
//
// The same table is the driver's record of its live ports: a port holds a
// token from its creation by the attach until its removal frees it. The
// attach marks whether the port was started and when the attach is done with
// it; the removal waits for that, since the USB host driver may report a
// device gone while its attach is still running on another thread.
//
// Calls inside. Every stream call that works on a port enters it through its
// token (PortTokenEnter) and leaves it when it no longer touches the port:
// COM_Open from its lookup to its return, and every call on an open handle
// (read, write, control request, close, process-exit detach). The count is
// taken under the table's lock, where the removal also closes the port to
// new entries (PortTokenClose) and releases the token at the end. Only the
// detach of a handle still enters a closed port (it must unlink its record);
// there is one per handle at most, each short. So once the removal has
// closed the port and seen the count at 0 after COM_Deinit, no call is
// inside and none can enter: the port, its locks and its events may go.
// COM_Deinit, which the removal itself runs, looks the port up without
// entering.
//
// Threads: the USB host driver's threads register, mark, wait, close and
// release (attach, device notification); the device manager's and
// applications' threads look tokens up, enter and leave. Every call is safe
// from any thread at once; the table is guarded by one critical section
// (which on the target inherits priority, so a host thread of high priority
// waiting for it lends the holder its priority rather than spinning), held
// for a few loads and stores. The section exists while the library is loaded
// (PortTokenTableCreate / PortTokenTableDelete, from the load handler).
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
// released. Does not count as a call inside: for COM_Deinit, which runs
// inside the removal.
SerialPort* PortTokenLookup(DWORD token);
// The port that `token` names with one call counted inside it, or null (and
// nothing counted) when the token names no port or its removal has closed it.
// Every non-null result is paired with one PortTokenLeave.
SerialPort* PortTokenEnter(DWORD token);
// The same, but also while the removal is under way (until the token is
// released): for the detach of a handle, which must still take its record
// off the port's list before the record may be freed.
SerialPort* PortTokenEnterToDetach(DWORD token);
void PortTokenLeave(DWORD token);

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
// Waits until the attach of the token's port is done; then *started tells
// whether the port was started. FALSE, without waiting, for an unknown
// token.
BOOL PortTokenWaitAttached(DWORD token, BOOL* started);
// The removal has begun: from now on PortTokenEnter fails for the token
// (lookups still find the port). TRUE for the first close of a live token;
// FALSE for a token already closed or unknown, which is left alone.
BOOL PortTokenClose(DWORD token);
// Calls now inside the token's port (0 for an unknown token).
LONG PortTokenCallsInside(DWORD token);
// Releases `token`; later lookups of it find nothing. Unknown tokens are
// ignored.
void PortTokenRelease(DWORD token);
