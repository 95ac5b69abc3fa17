// Stream entry points that create and destroy the device context and the
// open handles, the trivial entry points, the detach of a handle from its
// port, and the first-open and last-close work.
//
// The device context is a copy of the device manager's active-key path; the
// port is looked up through the key's "ClientInfo" token each time COM_Open
// and COM_Deinit run, so a context never outlives its port's address.

#include "driver/platform/export.h"
#include "driver/port/lifecycle.h"
#include "driver/registration/port_token.h"
#include "driver/registration/registry_values.h"
#include "driver/stream/com_entry.h"
#include "driver/stream/stream.h"

// The locks of the two lists below (stream.h names them for the records'
// links).
CriticalSection g_detachedLock;
CriticalSection g_liveLock;

namespace {

// Handles detached by a process-exit notice and not yet closed, newest
// first, guarded by a lock held for a few list operations only. Taken inside
// the owner's openLock when a record moves here from the open list, so that
// a removal always finds a record on one list or the other.
StreamHandle* g_detached SL_GUARDED_BY(g_detachedLock) = nullptr;

// Records whose application reference is still held (see HandleAdmit),
// newest first, under a lock held for one list walk. Neither list lock is
// held while another lock is taken.
StreamHandle* g_live SL_GUARDED_BY(g_liveLock) = nullptr;

// Drops the application's reference of a record whose claim the caller won:
// off the live list first, so no call is admitted on it any more.
void DropApplicationReference(StreamHandle* handle) {
    HandleUnlist(handle);
    HandleRelease(handle);
}

// Takes `handle` off the detached list if it is there.
void ForgetDetached(StreamHandle* handle) {
    LockGuard guard(g_detachedLock);
    for (StreamHandle** link = &g_detached; *link != nullptr; link = &(*link)->detachedNext) {
        if (*link == handle) {
            *link = handle->detachedNext;
            handle->detachedNext = nullptr;
            break;
        }
    }
}

// Moves the detached handles that `port` owned onto `taken`, each with a
// reference, as TakeOpenList does for the open ones.
void TakeDetached(SerialPort* port, OpenHandle** taken) {
    LockGuard guard(g_detachedLock);
    for (StreamHandle** link = &g_detached; *link != nullptr;) {
        StreamHandle* handle = *link;
        if (handle->detachedOwner != port) {
            link = &handle->detachedNext;
            continue;
        }
        *link = handle->detachedNext;
        handle->detachedNext = nullptr;
        HandleRetain(handle);
        handle->open.next = *taken;
        *taken = &handle->open;
    }
}

enum class Lookup { kKeyFailed, kNoPort, kFound };

// Reads the "ClientInfo" token from the active key named by the device
// context; kFound when it is a REG_DWORD other than 0 (whether it still names
// a port is the token table's to say).
Lookup ReadClientInfo(LPCWSTR activeKey, DWORD* tokenOut) {
    *tokenOut = 0;
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, activeKey, 0, 0, &key) != ERROR_SUCCESS) {
        return Lookup::kKeyFailed;
    }
    DWORD type = REG_NONE;
    DWORD token = 0;
    DWORD size = sizeof(token);
    if (RegQueryValueEx(key, kValueClientInfo, nullptr, &type, reinterpret_cast<BYTE*>(&token),
                        &size) != ERROR_SUCCESS) {
        type = REG_NONE;
    }
    RegCloseKey(key);
    if (type != REG_DWORD || size != sizeof(token) || token == 0)
        return Lookup::kNoPort;
    *tokenOut = token;
    return Lookup::kFound;
}

// First open: settings back to their defaults, what the worker received
// while no handle was open dropped (through the receive side's protocol, so
// that a late reader still owning that side keeps it), the worker woken to
// queue receive transfers into the emptied ring, and the defaults sent.
void FirstOpenStart(SerialPort* port) SL_REQUIRES(port->sessionLock) {
    PortResetSettings(port);
    PurgeReceive(port);
    SetEvent(port->serviceEvent);
    port->ApplyLineSettings();
}

// Last close, on the owner (the primary port of a two-channel device): the
// handshake modes and input XON/XOFF are switched off in the stored DCB (not
// sent: the next first open resets and sends it), any break ends and both
// lines drop.
void LastCloseReset(SerialPort* port) SL_REQUIRES(port->sessionLock) {
    {
        LockGuard guard(port->deviceLock);
        port->dcb.fDtrControl = DTR_CONTROL_DISABLE;
        port->dcb.fRtsControl = RTS_CONTROL_DISABLE;
        port->dcb.fInX = 0;
    }
    SetEvent(port->serviceEvent);
    port->SetBreak(FALSE);
    port->SetControlLines(kLineDtr | kLineRts, 0, nullptr);
}

// Moves whatever is on the port's list onto `taken` (cutting every record
// loose and taking a reference to it on the way) and leaves the list empty
// and barred to new records, all under openLock, so that the worker thread's
// event posting never walks a record that is about to be freed and no open
// still under way links one after the last take.
void TakeOpenList(SerialPort* port, OpenHandle** taken) SL_EXCLUDES(port->openLock) {
    LockGuard guard(port->openLock);
    port->openBarred = 1;
    OpenHandle* record = port->openList;
    port->openList = nullptr;
    while (record != nullptr) {
        OpenHandle* next = record->next;
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&record->port), nullptr);
        // A record still on the list has not been released by its closer, so
        // it is alive here; the reference keeps it so until the removal is
        // done with it, whatever a racing COM_Close does meanwhile.
        HandleRetain(reinterpret_cast<StreamHandle*>(record));
        record->next = *taken;
        *taken = record;
        record = next;
    }
}

}  // namespace

void HandleListsCreate() {
    g_liveLock.Create();
    g_detachedLock.Create();
}

void HandleListsDelete() {
    g_liveLock.Delete();
    g_detachedLock.Delete();
}

StreamHandle* HandleAdmit(DWORD_PTR context) {
    StreamHandle* wanted = reinterpret_cast<StreamHandle*>(context);
    StreamHandle* found = nullptr;
    if (wanted != nullptr) {
        LockGuard guard(g_liveLock);
        for (StreamHandle* h = g_live; h != nullptr; h = h->liveNext) {
            if (h == wanted) {
                HandleRetain(h);
                found = h;
                break;
            }
        }
    }
    if (found == nullptr)
        SetLastError(ERROR_INVALID_HANDLE);
    return found;
}

void HandleList(StreamHandle* handle) {
    LockGuard guard(g_liveLock);
    handle->liveNext = g_live;
    g_live = handle;
}

void HandleUnlist(StreamHandle* handle) {
    LockGuard guard(g_liveLock);
    for (StreamHandle** link = &g_live; *link != nullptr; link = &(*link)->liveNext) {
        if (*link == handle) {
            *link = handle->liveNext;
            handle->liveNext = nullptr;
            break;
        }
    }
}

SerialPort* HandleEnterPort(StreamHandle* handle) {
    if (PortTokenEnter(handle->token) == nullptr)
        return nullptr;
    SerialPort* port = HandlePort(handle);
    if (port == nullptr)
        PortTokenLeave(handle->token);
    return port;
}

void HandleLeavePort(StreamHandle* handle) {
    PortTokenLeave(handle->token);
}

void HandleRelease(StreamHandle* handle) {
    if (InterlockedDecrement(&handle->refs) != 0)
        return;
    CloseHandle(handle->open.waitEvent);
    LocalFree(handle);
}

void DetachHandle(StreamHandle* handle, BOOL awaitClose) {
    OpenHandle* record = &handle->open;
    // Counted inside the port first (even while its removal is under way:
    // the record must leave the list before its closer may free it), so
    // that the port outlives this detach.
    SerialPort* owner = PortTokenEnterToDetach(handle->token);
    SerialPort* port = static_cast<SerialPort*>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&record->port), nullptr));
    if (owner == nullptr) {
        // The port is gone: its removal took every record off its lists.
        return;
    }
    if (port != nullptr) {
        // Calls running on the handle see `port` null at their next look, or
        // their wait ends; give them at most six wake passes (300 ms of sleep).
        DWORD delay = 0;
        while (ReadAcquire(&record->busyCount) != 0) {
            SetEvent(record->waitEvent);
            owner->WakeAll();
            delay += 20;
            if (delay > 100)
                break;
            Sleep(delay);
        }
        // The unlink and the last-close work it may call for go together,
        // so that an open in between never sees its settings undone.
        LockGuard session(owner->sessionLock);
        BOOL found = FALSE;
        BOOL emptied = FALSE;
        owner->openLock.Enter();
        for (OpenHandle** link = &owner->openList; *link != nullptr; link = &(*link)->next) {
            if (*link == record) {
                *link = record->next;
                record->next = nullptr;
                found = TRUE;
                break;
            }
        }
        emptied = found && owner->openList == nullptr;
        if (found && awaitClose) {
            LockGuard guard(g_detachedLock);
            handle->detachedOwner = owner;
            handle->detachedNext = g_detached;
            g_detached = handle;
        }
        owner->openLock.Leave();
        if (emptied)
            LastCloseReset(owner);
    }
    PortTokenLeave(handle->token);
}

BOOL PslNotify(StreamHandle* handle, const BYTE* in, DWORD inLength) {
    if (in == nullptr || inLength != DEVICE_PSL_NOTIFY_TARGET_SIZE)
        return TRUE;
    DWORD size = 0;
    DWORD flags = 0;
    CopyBytes(&size, in, sizeof(size));
    CopyBytes(&flags, in + 4, sizeof(flags));
    if (size == DEVICE_PSL_NOTIFY_TARGET_SIZE && flags == DLL_PROCESS_EXITING) {
        DetachHandle(handle, TRUE);
    }
    return TRUE;
}

SERLYNX_EXPORT DWORD_PTR COM_Init(LPCWSTR activeKey, LPCVOID) {
    if (activeKey == nullptr)
        return 0;
    size_t length = CeWcsLen(activeKey);
    WCHAR* copy = static_cast<WCHAR*>(LocalAlloc(LMEM_FIXED, (length + 1) * sizeof(WCHAR)));
    if (copy == nullptr)
        return 0;
    CopyBytes(copy, activeKey, (length + 1) * sizeof(WCHAR));
    return reinterpret_cast<DWORD_PTR>(copy);
}

SERLYNX_EXPORT BOOL COM_Deinit(DWORD_PTR context) {
    if (context == 0)
        return FALSE;
    LPCWSTR activeKey = reinterpret_cast<LPCWSTR>(context);
    DWORD token = 0;
    Lookup found = ReadClientInfo(activeKey, &token);
    if (found == Lookup::kKeyFailed)
        return FALSE;
    // Not entered: the removal that runs this waits for the calls inside
    // only once it returns.
    SerialPort* port = found == Lookup::kFound ? PortTokenLookup(token) : nullptr;
    if (port != nullptr) {
        // The list is emptied first, under openLock, every record cut loose
        // and the list barred to opens still under way; the passes then wake
        // the calls still running. A record linked by a COM_Open just before
        // the bar is picked up by a later pass.
        OpenHandle* taken = nullptr;
        DWORD delay = 0;
        for (;;) {
            TakeOpenList(port, &taken);
            LONG busy = PortTokenCallsInside(token);
            for (OpenHandle* record = taken; record != nullptr; record = record->next) {
                SetEvent(record->waitEvent);
                busy += ReadAcquire(&record->busyCount);
            }
            port->WakeAll();
            if (busy == 0)
                break;
            delay += 20;
            if (delay > 100)
                break;
            Sleep(delay);
        }
        TakeOpenList(port, &taken);
        TakeDetached(port, &taken);
        // The application's reference of each record goes unless a COM_Close
        // already under way has it; a call still running after the passes
        // keeps its own reference and frees the record on its way out (and
        // the removal waits for it before the port goes).
        while (taken != nullptr) {
            StreamHandle* handle = reinterpret_cast<StreamHandle*>(taken);
            taken = taken->next;
            if (InterlockedExchange(&handle->claimed, 1) == 0)
                DropApplicationReference(handle);
            HandleRelease(handle);
        }
    }
    LocalFree(reinterpret_cast<HLOCAL>(context));
    return TRUE;
}

SERLYNX_EXPORT DWORD_PTR COM_Open(DWORD_PTR context, DWORD accessCode, DWORD /*shareMode*/) {
    if (context == 0)
        return 0;
    DWORD token = 0;
    if (ReadClientInfo(reinterpret_cast<LPCWSTR>(context), &token) != Lookup::kFound)
        return 0;
    // Fails once the port's removal has begun.
    SerialPort* port = PortTokenEnter(token);
    if (port == nullptr)
        return 0;
    StreamHandle* handle = static_cast<StreamHandle*>(LocalAlloc(LPTR, sizeof(StreamHandle)));
    if (handle != nullptr) {
        handle->open.waitEvent = CreateEvent(nullptr, FALSE, FALSE, nullptr);
        if (handle->open.waitEvent == nullptr) {
            LocalFree(handle);
            handle = nullptr;
        }
    }
    if (handle != nullptr) {
        handle->open.port = port;
        handle->open.access = accessCode;
        handle->token = token;
        handle->refs = 1;
        HandleList(handle);
        // Linking and the first-open work go together: a later open returns
        // only once the port is set up, and a last close's work never runs
        // in between.
        BOOL barred;
        {
            LockGuard session(port->sessionLock);
            OpenHandle* former;
            {
                LockGuard guard(port->openLock);
                barred = port->openBarred != 0;
                former = port->openList;
                if (!barred) {
                    handle->open.next = former;
                    port->openList = &handle->open;
                }
            }
            if (!barred && former == nullptr)
                FirstOpenStart(port);
        }
        if (barred) {
            // The device is going: the open fails and leaves no record.
            InterlockedExchange(&handle->claimed, 1);
            DropApplicationReference(handle);
            handle = nullptr;
        }
    }
    PortTokenLeave(token);
    return reinterpret_cast<DWORD_PTR>(handle);
}

SERLYNX_EXPORT BOOL COM_Close(DWORD_PTR context) {
    StreamHandle* handle = HandleAdmit(context);
    if (handle == nullptr)
        return FALSE;
    DetachHandle(handle, FALSE);
    ForgetDetached(handle);
    if (InterlockedExchange(&handle->claimed, 1) == 0)
        DropApplicationReference(handle);
    HandleRelease(handle);
    return TRUE;
}

SERLYNX_EXPORT DWORD COM_Seek(DWORD_PTR, LONG, DWORD) {
    return 0xFFFFFFFFu;
}

SERLYNX_EXPORT DWORD COM_PowerUp(DWORD_PTR) {
    return 1;
}

SERLYNX_EXPORT DWORD COM_PowerDown(DWORD_PTR) {
    return 1;
}
