// COM_Read and COM_Write: bytes between an application's buffer and the port
// its handle names, one reader and one writer per port at a time.
//
// A read takes bytes straight out of the receive ring (the worker thread is
// the only producer) under the serial read timeouts. A write hands the bytes
// to the device one transfer at a time through the class's IssueWrite, holds
// back while output flow control forbids sending, and ends with a
// zero-length packet where the class asks for one, so that a device whose
// last packet was full knows the transfer is over.

#include "driver/platform/export.h"
#include "driver/platform/usb_calls.h"
#include "driver/port/halt.h"
#include "driver/stream/com_entry.h"
#include "driver/stream/stream.h"

namespace {

// Milliseconds left of a total bound `total` (neither 0 nor MAXDWORD)
// `start` ticks ago; 0 once it has passed. Unsigned arithmetic throughout, so
// a wrap of the tick counter does no harm.
DWORD TimeLeft(DWORD total, DWORD start) {
    DWORD elapsed = GetTickCount() - start;
    return elapsed > total ? 0 : total - elapsed;
}

// The longest finite wait: MAXDWORD itself means no limit (INFINITE).
constexpr DWORD kLongestWait = MAXDWORD - 1;

// a + b and a * b for timeout terms, held at kLongestWait: a sum or product
// past 32 bits is a very long time, never a short one that wrapped, and
// never the "no limit" of MAXDWORD by accident.
DWORD TimeoutSum(DWORD a, DWORD b) {
    return b >= kLongestWait || a >= kLongestWait - b ? kLongestWait : a + b;
}

DWORD TimeoutProduct(DWORD a, DWORD b) {
    return b != 0 && a > kLongestWait / b ? kLongestWait : a * b;
}

// Claims the receive side. A receive purge holds it for a few instructions
// only, and is waited out rather than reported as a second reader. The wait
// sleeps (a yield would only let threads of the same priority run, and a
// purge running at a lower one would never get to finish).
BOOL ClaimReader(SerialPort* port) {
    for (;;) {
        LONG prior = InterlockedTestExchange(&port->readBusy, 0, kReaderOwned);
        if (prior == 0)
            return TRUE;
        if (prior != kRxClearing)
            return FALSE;
        Sleep(1);
    }
}

// Gives the receive side back, serving a purge that was asked for meanwhile.
void ReleaseReader(SerialPort* port) {
    for (;;) {
        if (ServeRxClear(port))
            continue;
        LONG state = ReadAcquire(&port->readBusy);
        if ((state & kRxClearRequested) != 0)
            continue;
        if (InterlockedTestExchange(&port->readBusy, state, 0) == state)
            return;
    }
}

// Claims the send side; a second writer on the port is refused.
BOOL ClaimWriter(SerialPort* port) {
    return InterlockedTestExchange(&port->writeBusy, 0, 1) == 0;
}

// The entry tests of COM_Read and COM_Write, in their order: a detached
// handle, the missing access right, no buffer for a non-empty transfer,
// another call owning the direction. The record's reference and a count in
// its busyCount are taken before `port` is looked at, so a detacher that
// clears `port` either sees this call in the count or this call sees `port`
// null. Returns the port, entered (HandleEnterPort) with the direction
// claimed, and *handleOut set; on refusal gives all back, sets the last
// error and returns null.
SerialPort* EnterTransfer(DWORD_PTR context, DWORD access, const void* buffer, DWORD count,
                          BOOL (*claim)(SerialPort*), StreamHandle** handleOut) {
    StreamHandle* handle = HandleAdmit(context);
    if (handle == nullptr)
        return nullptr;
    InterlockedIncrement(&handle->open.busyCount);
    SerialPort* port = HandleEnterPort(handle);
    DWORD error = ERROR_SUCCESS;
    if (port == nullptr)
        error = ERROR_INVALID_HANDLE;
    else if ((handle->open.access & access) == 0)
        error = ERROR_INVALID_ACCESS;
    else if (buffer == nullptr && count != 0)
        error = ERROR_INVALID_PARAMETER;
    else if (!claim(port))
        error = ERROR_ACCESS_DENIED;
    if (error != ERROR_SUCCESS) {
        if (port != nullptr)
            HandleLeavePort(handle);
        InterlockedDecrement(&handle->open.busyCount);
        HandleRelease(handle);
        SetLastError(error);
        return nullptr;
    }
    *handleOut = handle;
    return port;
}

// The way out of a transfer call whose direction was given back: the port
// left, the handle's count and reference dropped.
void LeaveTransfer(StreamHandle* handle) {
    HandleLeavePort(handle);
    InterlockedDecrement(&handle->open.busyCount);
    HandleRelease(handle);
}

// Empties the ring and wakes the worker thread. The caller owns the receive
// side.
void EmptyRing(SerialPort* port) {
    RingDiscard(port);
    SetEvent(port->serviceEvent);
}

// Adds 20 ms to a transfer wait without running into INFINITE.
DWORD WithGrace(DWORD wait) {
    return wait > MAXDWORD - 21 ? MAXDWORD - 1 : wait + 20;
}

}  // namespace

BOOL ServeRxClear(SerialPort* port) {
    LONG state = ReadAcquire(&port->readBusy);
    if ((state & kRxClearRequested) == 0)
        return FALSE;
    // The ring is emptied before the request is cleared, so that a purge that
    // waits for its request to go also finds the ring emptied after its call.
    EmptyRing(port);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        LONG prior = InterlockedTestExchange(&port->readBusy, state, state & ~kRxClearRequested);
        if (prior == state)
            break;
        state = prior;
    }
    return TRUE;
}

void PurgeReceive(SerialPort* port) {
    DWORD waited = 0;
    for (;;) {
        LONG state = ReadAcquire(&port->readBusy);
        if (state == 0) {
            if (InterlockedTestExchange(&port->readBusy, 0, kRxClearing) != 0)
                continue;
            EmptyRing(port);
            WriteRelease(&port->readBusy, 0);
            return;
        }
        if (state == kReaderOwned || state == kReaderAborted) {
            if (InterlockedTestExchange(&port->readBusy, state, state | kRxClearRequested) !=
                state) {
                continue;
            }
            SetEvent(port->readEvent);
            // The reader serves the request at its next look at the ring, or
            // on its way out.
            while ((ReadAcquire(&port->readBusy) & kRxClearRequested) != 0 && waited < 1000) {
                Sleep(1);
                ++waited;
            }
            return;
        }
        // Another purge is at work, or the reader has yet to serve an earlier
        // request: this purge must not count on bytes that arrived since.
        if (waited >= 1000)
            return;
        Sleep(1);
        ++waited;
    }
}

void LoadTimeouts(SerialPort* port, COMMTIMEOUTS* out) {
    const DWORD* from = reinterpret_cast<const DWORD*>(&port->timeouts);
    DWORD* to = reinterpret_cast<DWORD*>(out);
    for (size_t i = 0; i < sizeof(COMMTIMEOUTS) / sizeof(DWORD); ++i) {
        to[i] = ReadULongAcquire(&from[i]);
    }
}

void StoreTimeouts(SerialPort* port, const COMMTIMEOUTS* in) {
    const DWORD* from = reinterpret_cast<const DWORD*>(in);
    DWORD* to = reinterpret_cast<DWORD*>(&port->timeouts);
    for (size_t i = 0; i < sizeof(COMMTIMEOUTS) / sizeof(DWORD); ++i) {
        WriteULongRelease(&to[i], from[i]);
    }
}

BOOL OutputHeldBack(SerialPort* port, const DCB* dcb) {
    DWORD modem = ReadULongAcquire(&port->modemStatus);
    if (dcb->fOutxCtsFlow && (modem & MS_CTS_ON) == 0)
        return TRUE;
    if (dcb->fOutxDsrFlow && (modem & MS_DSR_ON) == 0)
        return TRUE;
    if (dcb->fOutX && ReadAcquire(&port->outputHeld) != 0)
        return TRUE;
    if (dcb->fInX && !dcb->fTXContinueOnXoff && ReadAcquire(&port->inputStopped) != 0) {
        return TRUE;
    }
    return FALSE;
}

SERLYNX_EXPORT DWORD COM_Read(DWORD_PTR context, LPVOID buffer, DWORD count) {
    StreamHandle* handle = nullptr;
    SerialPort* port = EnterTransfer(context, GENERIC_READ, buffer, count, ClaimReader, &handle);
    if (port == nullptr)
        return 0xFFFFFFFFu;

    COMMTIMEOUTS timeouts;
    LoadTimeouts(port, &timeouts);
    DWORD multiplier =
        timeouts.ReadTotalTimeoutMultiplier == MAXDWORD ? 0 : timeouts.ReadTotalTimeoutMultiplier;
    DWORD interval;
    if (timeouts.ReadIntervalTimeout == MAXDWORD) {
        interval = 0;
    } else if (timeouts.ReadIntervalTimeout == 0) {
        interval = MAXDWORD;
    } else {
        interval = TimeoutSum(timeouts.ReadIntervalTimeout, TimeoutProduct(8, multiplier));
    }
    DWORD total = TimeoutSum(timeouts.ReadTotalTimeoutConstant, TimeoutProduct(multiplier, count));
    if (total == 0 && interval != 0)
        total = MAXDWORD;

    DWORD start = GetTickCount();
    DWORD done = 0;
    BYTE* out = static_cast<BYTE*>(buffer);
    while (count > 0) {
        if (ServeRxClear(port))
            continue;
        if (HandlePort(handle) == nullptr)
            break;
        if ((ReadAcquire(&port->readBusy) & ~kRxClearRequested) != kReaderOwned)
            break;
        DWORD n = RingTake(port, out, count);
        if (n > 0) {
            // Room made: the worker may queue receive transfers into it.
            SetEvent(port->serviceEvent);
            out += n;
            count -= n;
            done += n;
            continue;
        }
        DWORD wait = (total == 0 || total == MAXDWORD) ? total : TimeLeft(total, start);
        if (done > 0 && interval < wait)
            wait = interval;
        if (wait == 0)
            break;
        if (WaitForSingleObject(port->readEvent, wait) == WAIT_TIMEOUT)
            break;
    }

    ReleaseReader(port);
    LeaveTransfer(handle);
    return done;
}

SERLYNX_EXPORT DWORD COM_Write(DWORD_PTR context, LPCVOID buffer, DWORD count) {
    StreamHandle* handle = nullptr;
    SerialPort* port = EnterTransfer(context, GENERIC_WRITE, buffer, count, ClaimWriter, &handle);
    if (port == nullptr)
        return 0xFFFFFFFFu;

    COMMTIMEOUTS timeouts;
    LoadTimeouts(port, &timeouts);
    DWORD total = TimeoutSum(TimeoutProduct(timeouts.WriteTotalTimeoutMultiplier, count),
                             timeouts.WriteTotalTimeoutConstant);
    if (total == 0)
        total = MAXDWORD;
    DWORD start = GetTickCount();
    DWORD done = 0;
    DWORD remaining = count;
    const BYTE* data = static_cast<const BYTE*>(buffer);
    // A write of nothing still sends the empty packet (a header-only packet
    // on framed chips), except on ports whose flags rule it out.
    BOOL zeroLength =
        count == 0 &&
        (port->usbMode & (kUsbModeFtdiNoHeader | kUsbModeWriteUnlimited)) != kUsbModeFtdiNoHeader;

    while (remaining > 0 || zeroLength) {
        port->deviceLock.Enter();
        if (remaining > 0 && OutputHeldBack(port, &port->dcb)) {
            port->deviceLock.Leave();
            DWORD wait = total == MAXDWORD ? INFINITE : TimeLeft(total, start);
            if (wait == 0 || WaitForSingleObject(port->writeEvent, wait) == WAIT_TIMEOUT) {
                remaining = 0;
            }
            if (HandlePort(handle) == nullptr || ReadAcquire(&port->writeBusy) != 1) {
                remaining = 0;
            }
            continue;
        }
        USB_TRANSFER transfer = port->IssueWrite(data, remaining);
        port->deviceLock.Leave();
        if (transfer == nullptr)
            break;

        BOOL aborted = FALSE;
        for (;;) {
            DWORD wait = total == MAXDWORD ? INFINITE : WithGrace(TimeLeft(total, start));
            DWORD result = WaitForSingleObject(port->writeEvent, wait);
            if (result == WAIT_TIMEOUT || HandlePort(handle) == nullptr ||
                ReadAcquire(&port->writeBusy) != 1) {
                UsbAbort(port, transfer);
                aborted = TRUE;
                break;
            }
            if (UsbIsComplete(port, transfer))
                break;
        }
        DWORD bytes = 0;
        DWORD status = 0xFFFFFFFFu;
        UsbGetStatus(port, transfer, &bytes, &status);
        UsbCloseTransfer(port, transfer);

        BOOL wasZeroLength = remaining == 0;
        zeroLength = port->WriteFinished(&bytes);
        if (wasZeroLength || (port->usbMode & kUsbModeFtdiNoHeader) != 0)
            zeroLength = FALSE;
        DWORD n = bytes < remaining ? bytes : remaining;
        data += n;
        remaining -= n;
        done += n;
        // A transfer that took no byte of a non-empty chunk would be offered
        // the same bytes again for ever: the write ends with what went.
        if (aborted || status != USB_NO_ERROR || (n == 0 && !wasZeroLength))
            remaining = 0;
        // A failed transfer has most likely halted the send pipe, which
        // would fail every later write until it is recovered.
        if (!aborted && status != USB_NO_ERROR && status != USB_CANCELED_ERROR)
            SendPipeFailed(port);
        else if (status == USB_NO_ERROR)
            SendPipeWorked(port);
    }

    WriteRelease(&port->writeBusy, 0);
    LeaveTransfer(handle);
    return done;
}
