// Stream interface internals shared by the COM_ entry points: the handle
// record behind every open handle, its lifetime protocol, the detach of a
// handle from its port, the receive-side claim protocol between readers and
// the receive purge, and the consistent copies of the port's settings.
//
// Entry points run on application threads ([app]) and on the device
// manager's thread for COM_Init/COM_Deinit; several at once on one port and
// even on one handle (a close or a process-exit detach while a read, write or
// wait blocks on the same handle).
#pragma once

#include "driver/platform/ce.h"
#include "driver/port/port.h"
#include "driver/port/ring.h"

// ---- Handle records -----------------------------------------------------

// The locks of the two driver-wide lists of records below (the detached and
// the live ones), created and deleted by HandleListsCreate/Delete.
extern CriticalSection g_detachedLock;
extern CriticalSection g_liveLock;

// What COM_Open allocates: the OpenHandle that the port code sees (first, so
// that the handle value is the OpenHandle's address), followed by the stream
// layer's own bookkeeping.
//
// Lifetime. `refs` counts the parties that may still touch the record: one
// for the application's handle, plus one for every entry-point call running
// on it (taken before anything else is read, dropped last). Whoever drops the
// count to 0 closes `waitEvent` and frees the record. So a call that still
// runs after the bounded wake passes of a detach keeps the record alive, and
// the last call out frees it.
//
// `claimed` decides who drops the application's reference: COM_Close, or
// COM_Deinit for a record still on the port's list at device removal. The
// first InterlockedExchange that finds 0 owns it, so a close racing with the
// removal never frees twice.
//
// A handle cut loose by a process-exit notice waits for its COM_Close off the
// port's list; `detachedNext` links it on the list of such handles and
// `detachedOwner` names the port that owned it, so that a device removal
// before that close frees it too.
//
// Admission. The device manager does not wait for calls it has already let
// in when a removal starts: a COM_Read, COM_Write, COM_IOControl or
// COM_Close it admitted just before may reach the driver after COM_Deinit
// dropped the record's last reference. So every record whose application
// reference is still held is also on one driver-wide list of live records
// (`liveNext`, under a critical section), and the entry points take their
// reference through HandleAdmit, which finds the context on that list and
// counts the reference under the same lock. Whoever drops the application's
// reference takes the record off the list first (HandleUnlist); a call
// arriving later finds nothing and fails with ERROR_INVALID_HANDLE instead
// of touching freed memory.
//
// The port. A record keeps its owner port's token (`token`), and a call
// touches the port only between HandleEnterPort and HandleLeavePort, which
// count it inside the port (port_token.h): the removal frees the port only
// once that count is 0, so a call that outlives the wake passes of a detach
// or of COM_Deinit still finds the port, its locks and events in place.
struct StreamHandle {
    OpenHandle open;
    LONG refs;
    LONG claimed;
    StreamHandle* detachedNext SL_GUARDED_BY(g_detachedLock);
    SerialPort* detachedOwner SL_GUARDED_BY(g_detachedLock);
    StreamHandle* liveNext SL_GUARDED_BY(g_liveLock);
    DWORD token;
};
static_assert(__builtin_offsetof(StreamHandle, open) == 0, "the handle value is the OpenHandle");

inline void HandleRetain(StreamHandle* handle) {
    InterlockedIncrement(&handle->refs);
}
// The record behind an entry point's context with a reference taken for the
// call, or null (last error ERROR_INVALID_HANDLE) when the context names no
// live record: never opened, closed, or freed by a device removal. [app]
StreamHandle* HandleAdmit(DWORD_PTR context) SL_EXCLUDES(g_liveLock);
// Links a new record on the live list (COM_Open) / takes it off (whoever
// claimed the application's reference, before dropping it).
void HandleList(StreamHandle* handle) SL_EXCLUDES(g_liveLock);
void HandleUnlist(StreamHandle* handle) SL_EXCLUDES(g_liveLock);
// Drops one reference; the last one closes the wait event and frees the
// record, after which `handle` must not be touched.
void HandleRelease(StreamHandle* handle);

// The handle's channel as it stands; null once detached. Only a call that
// has entered the port may dereference it.
inline SerialPort* HandlePort(StreamHandle* handle) {
    return static_cast<SerialPort*>(
        ReadPointerAcquire(reinterpret_cast<PVOID volatile*>(&handle->open.port)));
}
// The handle's channel with the call counted inside its port, or null (with
// nothing counted) when the handle is detached or its port is being
// removed. Take it after raising busyCount, so that a detacher clearing
// `port` either sees the call in busyCount or the call sees `port` null.
// Every non-null result is paired with one HandleLeavePort.
SerialPort* HandleEnterPort(StreamHandle* handle);
void HandleLeavePort(StreamHandle* handle);

// [loader] Create / delete the locks of the driver-wide handle lists, while
// no call runs.
void HandleListsCreate();
void HandleListsDelete();

// Cuts a handle loose from its port: clears `port`, wakes the calls running
// on the handle with at most six passes 20..100 ms apart while its busyCount
// is not 0, unlinks it from the owner's list and runs the last-close work
// when the list became empty. With `awaitClose` (a process-exit notice) the
// unlinked record is kept on the list of detached handles until its close.
// A second detach of the same handle returns at once. [app] (COM_Close,
// IOCTL_PSL_NOTIFY)
void DetachHandle(StreamHandle* handle, BOOL awaitClose);

// Handles the process-exit notification for `handle`. Always TRUE.
BOOL PslNotify(StreamHandle* handle, const BYTE* in, DWORD inLength);

// ---- Receive-side claim --------------------------------------------------

// `readBusy` holds 0 (free), kReaderOwned (a COM_Read owns the receive side)
// or kReaderAborted (that read was aborted by PURGE_RXABORT), optionally with
// kRxClearRequested added, or kRxClearing alone while a receive purge moves
// `ringTail` with no reader running. Only the owner of the receive side
// moves `ringTail`: a purge that finds a reader asks it (kRxClearRequested)
// and the reader empties the ring before it copies anything more, so a byte
// is never delivered twice, never after the purge returned, and the tail
// never moves backwards.
constexpr LONG kReaderOwned = 1;
constexpr LONG kReaderAborted = 2;
constexpr LONG kRxClearRequested = 4;
constexpr LONG kRxClearing = 8;

// The reader's side of a pending receive purge: empties the ring when one was
// requested and clears the request. TRUE when it did.
BOOL ServeRxClear(SerialPort* port);
// IOCTL_SERIAL_PURGE with PURGE_RXCLEAR. Returns once the ring was emptied
// (or, should a reader fail to answer within a second, with the request left
// for that reader).
void PurgeReceive(SerialPort* port);

// ---- Settings ------------------------------------------------------------

// The port's COMMTIMEOUTS, read and written field by field with atomic
// accesses: IOCTL_SERIAL_SET_TIMEOUTS may run while a read or write takes its
// copy at its start.
void LoadTimeouts(SerialPort* port, COMMTIMEOUTS* out);
void StoreTimeouts(SerialPort* port, const COMMTIMEOUTS* in);

// Whether output flow control holds sending back (CTS, DSR, received XOFF,
// or our own input stop) under the settings `dcb`: the port's own, read
// inside deviceLock, so that the answer and the write it gates see the same
// settings.
BOOL OutputHeldBack(SerialPort* port, const DCB* dcb) SL_REQUIRES(port->deviceLock);

// Unaligned copies between a caller's buffer and a record.
inline void CopyBytes(void* to, const void* from, size_t length) {
    __builtin_memcpy(to, from, length);
}
