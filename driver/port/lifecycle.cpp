// Port lifecycle: initialisation, settings reset, the worker thread, the
// completion routine, and teardown.
#include "driver/port/lifecycle.h"

#include "driver/platform/usb_calls.h"
#include "driver/port/ring.h"

namespace {

typedef int(WINAPI* CeGetThreadPriorityFn)(HANDLE thread);
typedef BOOL(WINAPI* CeSetThreadPriorityFn)(HANDLE thread, int priority);

// The 8-level scale maps to 248..255 on the 256-level one.
constexpr LONG kLevelBase256 = CE_THREAD_PRIO_256_BASE;
constexpr LONG kLevelCount = 8;

// Looks a procedure up in the core library; older platforms lack the
// 256-level priority calls.
FARPROC CoreProcedure(LPCWSTR name) {
    HMODULE core = GetModuleHandle(u"coredll");
    if (core == nullptr)
        return nullptr;
    return GetProcAddress(core, name);
}

template <typename Fn>
Fn AsFunction(FARPROC procedure) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(procedure));
}

HANDLE NewAutoResetEvent() {
    return CreateEvent(nullptr, FALSE, FALSE, nullptr);
}

void CloseAndClear(HANDLE* handle) {
    if (*handle != nullptr)
        CloseHandle(*handle);
    *handle = nullptr;
}

void FreeAndClear(BYTE** block) {
    if (*block != nullptr)
        LocalFree(*block);
    *block = nullptr;
}

// Releases what PortInit created after Start and marks the port not started.
// Runs only while no worker thread exists.
void ReleaseResources(SerialPort* port) {
    CloseAndClear(&port->serviceThread);
    CloseAndClear(&port->readEvent);
    CloseAndClear(&port->writeEvent);
    CloseAndClear(&port->serviceEvent);
    port->openLock.Delete();
    port->deviceLock.Delete();
    port->sessionLock.Delete();
    FreeAndClear(&port->ring);
    FreeAndClear(&port->rxSlots);
}

// Time allowed, all together, for the aborted transfers of a terminated
// worker to report completion before they are closed anyway.
constexpr DWORD kAbortSettleMs = 1000;
// Time allowed for a terminated worker thread to be seen gone.
constexpr DWORD kTerminateSettleMs = 1000;

// Every receive and flow-control transfer a worker can hold at once.
constexpr int kMaxAbandoned = kMaxRxSlots + 2;

// Takes a transfer out of its field into `list` (when there is one).
void Collect(USB_TRANSFER* field, USB_TRANSFER* list, int* count) {
    if (*field == nullptr)
        return;
    list[(*count)++] = *field;
    *field = nullptr;
}

}  // namespace

// The worker retires its transfers this way when asked to end; at teardown
// it runs again for what a terminated worker left. The transfers are all
// aborted first and then given one bounded wait together to report
// completion, so that the host no longer writes into their buffers once they
// are released; then each is closed, which returns after its routine ran
// (an abort may return before it does).
void PortRetireTransfers(SerialPort* port) {
    // Inside deviceLock: a worker terminated at teardown has either not
    // begun or finished (see PortTeardown).
    LockGuard guard(port->deviceLock);
    USB_TRANSFER list[kMaxAbandoned];
    int count = 0;
    for (LONG i = 0; i < port->rxQueued; ++i) {
        LONG slot = port->rxFirst + i;
        if (slot >= port->rxSlotCount)
            slot -= port->rxSlotCount;
        Collect(&port->rxTransfers[slot], list, &count);
    }
    port->rxQueued = 0;
    Collect(&port->flowLineTransfer, list, &count);
    Collect(&port->flowCharTransfer, list, &count);

    for (int i = 0; i < count; ++i) {
        if (!UsbIsComplete(port, list[i]))
            UsbAbort(port, list[i]);
    }
    for (DWORD waited = 0; waited < kAbortSettleMs; ++waited) {
        int complete = 0;
        while (complete < count && UsbIsComplete(port, list[complete]))
            ++complete;
        if (complete == count)
            break;
        Sleep(1);
    }
    for (int i = 0; i < count; ++i)
        UsbCloseTransfer(port, list[i]);
}

BOOL PortInit(SerialPort* port) {
    // Everything PortInit may have to undo starts out absent, so that a
    // failure at any step releases exactly what exists.
    port->serviceThread = nullptr;
    port->readEvent = nullptr;
    port->writeEvent = nullptr;
    port->serviceEvent = nullptr;
    port->ring = nullptr;
    port->rxSlots = nullptr;
    // The locks come first: Start stores the pipes it opens inside
    // deviceLock, and Stop, which unwinds a failure after Start, closes them
    // there.
    port->openLock.Create();
    port->deviceLock.Create();
    port->sessionLock.Create();
    // Also before Start: a two-channel port's Start starts its second
    // channel's worker, which posts events through this port's list.
    {
        LockGuard guard(port->openLock);
        port->openList = nullptr;
        port->openBarred = 0;
    }

    if (!port->Start()) {
        port->openLock.Delete();
        port->deviceLock.Delete();
        port->sessionLock.Delete();
        return FALSE;
    }

    port->readEvent = NewAutoResetEvent();
    port->writeEvent = NewAutoResetEvent();
    port->serviceEvent = NewAutoResetEvent();
    if (port->readEvent == nullptr || port->writeEvent == nullptr ||
        port->serviceEvent == nullptr) {
        goto fail;
    }

    if (port->rxSlotCount > kMaxRxSlots)
        port->rxSlotCount = kMaxRxSlots;
    port->ringSize = ReceiveRingSize(port->ringSize, port->rxSlotCount, port->rxTransferSize);

    if (!RingCreate(port))
        goto fail;

    port->rxSlotStride = (port->rxTransferSize + 15) & ~15;
    port->rxSlots =
        static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, static_cast<size_t>(port->rxSlotStride) *
                                                      static_cast<size_t>(port->rxSlotCount)));
    if (port->rxSlots == nullptr)
        goto fail;

    port->rxFirst = 0;
    port->rxQueued = 0;
    for (LONG i = 0; i < kMaxRxSlots; ++i)
        port->rxTransfers[i] = nullptr;
    port->flowLineTransfer = nullptr;
    port->flowCharTransfer = nullptr;
    port->rxFailures = 0;
    port->rxRetryAt = 0;
    port->stopping = 0;
    port->xoffSent = 0;
    {
        // No thread uses it yet; stored inside its lock all the same.
        LockGuard guard(port->deviceLock);
        port->sendBackOff.failures = 0;
        port->sendBackOff.retryAt = 0;
    }

    // No call exists yet: both directions are free.
    port->writeBusy = 0;
    port->readBusy = 0;
    PortResetSettings(port);

    if (FARPROC get = CoreProcedure(u"CeGetThreadPriority")) {
        port->defaultPriority256 = AsFunction<CeGetThreadPriorityFn>(get)(GetCurrentThread());
    } else {
        LONG level = GetThreadPriority(GetCurrentThread());
        port->defaultPriority256 = level < kLevelCount ? level + kLevelBase256 : level;
    }

    // Last: every field the worker reads has its value before it starts.
    port->serviceThread = CreateThread(nullptr, 0, ServiceThread, port, 0, nullptr);
    if (port->serviceThread == nullptr)
        goto fail;
    return TRUE;

fail:
    port->Stop();
    ReleaseResources(port);
    return FALSE;
}

BOOL PortResetSettings(SerialPort* port) {
    // The busy flags and the ring's tail belong to the calls that own them:
    // a late call on a handle cut loose by a process-exit notice may still
    // own a direction when the next first open resets the settings.
    WriteRelease(&port->outputHeld, 0);
    WriteRelease(&port->inputStopped, 0);
    InterlockedExchange(reinterpret_cast<LONG volatile*>(&port->errors), 0);

    port->timeouts = COMMTIMEOUTS{};
    port->timeouts.ReadIntervalTimeout = 250;
    port->timeouts.ReadTotalTimeoutMultiplier = 10;
    port->timeouts.ReadTotalTimeoutConstant = 100;

    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 9600;
    dcb.fBinary = 1;
    dcb.ByteSize = 8;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    PortStoreDcb(port, &dcb);
    return TRUE;
}

DWORD WINAPI ServiceThread(LPVOID parameter) {
    SerialPort* port = static_cast<SerialPort*>(parameter);
    const LONG priority = port->priority256 > 0 ? port->priority256 : port->defaultPriority256;
    if (FARPROC set = CoreProcedure(u"CeSetThreadPriority")) {
        AsFunction<CeSetThreadPriorityFn>(set)(GetCurrentThread(), priority);
    } else {
        // Anything more urgent than the 8-level scale can say becomes its
        // most urgent level.
        SetThreadPriority(GetCurrentThread(),
                          priority >= kLevelBase256 ? priority - kLevelBase256 : 0);
    }

    int busy = port->Service();
    while (busy != 0) {
        // A negative result asks to be called again after that many
        // milliseconds at the latest (a receive path backing off).
        const DWORD timeout = busy > 0 ? INFINITE : static_cast<DWORD>(-busy);
        // A failed wait would turn the loop into a spin; the events outlive
        // the thread, so this only ends a thread whose port is broken.
        const DWORD result = WaitForSingleObject(port->serviceEvent, timeout);
        if (result != WAIT_OBJECT_0 && result != WAIT_TIMEOUT)
            break;
        busy = port->Service();
    }
    return 0;
}

DWORD WINAPI TransferNotify(LPVOID context) {
    SetEvent(static_cast<HANDLE>(context));
    return 0;
}

BOOL PortTeardown(SerialPort* port) {
    if (port->serviceThread == nullptr)
        return TRUE;  // PortInit failed: nothing to release

    // The worker ends first and retires its transfers while their pipes are
    // still open.
    WriteRelease(&port->stopping, 1);
    SetEvent(port->serviceEvent);
    BOOL ended = TRUE;
    if (WaitForSingleObject(port->serviceThread, kServiceThreadExitTimeoutMs) != WAIT_OBJECT_0) {
        // The worker is terminated while this thread holds deviceLock: a
        // thread stopped while it owns a section never leaves it (and Stop,
        // below, enters this one), and what the worker does inside it
        // (issuing a transfer and recording it, retiring its transfers) is
        // not cut in half. Nothing else can hold the lock now: every stream
        // call has left.
        LockGuard guard(port->deviceLock);
        // Termination is confirmed by the thread's handle before anything it
        // uses is released; the wait is bounded, so that a thread that
        // cannot be ended never hangs the host's notification thread.
        if (!TerminateThread(port->serviceThread, 0) ||
            WaitForSingleObject(port->serviceThread, kTerminateSettleMs) != WAIT_OBJECT_0) {
            ended = FALSE;
        }
    }
    if (!ended) {
        // A worker thread still runs on this port: its pipes, events, locks,
        // ring, receive slots and transfers stay as they are, and so must
        // the object (the caller does not free it). That leaks them for
        // good, which is the lesser harm: releasing them would hand a live
        // thread freed memory and closed handles. The pipes stay open too:
        // closing one may end the handles of the transfers the thread still
        // holds. Should it run again, it finds `stopping` set, retires its
        // transfers and ends.
        return FALSE;
    }
    // Transfers a terminated worker left are closed before their pipes,
    // buffers and the event their completion sets go away (Stop does the
    // same for a class's own, the status transfer of a CDC port).
    PortRetireTransfers(port);
    // FALSE only from a two-channel port whose second channel kept running:
    // that channel's worker posts events through this port's list.
    if (!port->Stop())
        return FALSE;
    ReleaseResources(port);
    return TRUE;
}
