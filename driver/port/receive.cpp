// Receive pipeline and input flow control; worker thread only.
#include "driver/port/receive.h"

#include "driver/platform/usb_calls.h"
#include "driver/port/halt.h"
#include "driver/port/lifecycle.h"
#include "driver/port/line_status.h"
#include "driver/port/ring.h"

namespace {

// Flow character seen last in a received block.
enum class FlowChar { kNone, kXon, kXoff };

// Handshake lines under input flow control: those in handshake mode.
DWORD HandshakeMask(const DCB& dcb) {
    DWORD mask = 0;
    if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE)
        mask |= kLineDtr;
    if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        mask |= kLineRts;
    return mask;
}

// Retires a finished flow-control transfer. A transfer whose status cannot
// be read is given up (aborted and closed).
void RetireFlowTransfer(SerialPort* port, USB_TRANSFER* field) {
    USB_TRANSFER transfer = *field;
    if (transfer == nullptr)
        return;
    const BOOL done = UsbIsComplete(port, transfer);
    DWORD error = static_cast<DWORD>(-1);
    const BOOL ok = UsbGetStatus(port, transfer, nullptr, &error);
    if (!ok) {
        *field = nullptr;
        UsbDropTransfer(port, transfer);
    } else if (done) {
        *field = nullptr;
        UsbCloseTransfer(port, transfer);
        // A flow character that failed on the send pipe leaves it halted:
        // it is recovered here, or no write would go through until one
        // fails and recovers it.
        if (field == &port->flowCharTransfer && error != USB_NO_ERROR &&
            error != USB_CANCELED_ERROR) {
            SendPipeFailed(port);
        }
    }
}

// Failing passes after which the back-off has reached its longest wait.
constexpr LONG kFailuresAtLongestWait = 7;
static_assert((kRxRetryFirstMs << (kFailuresAtLongestWait - 1)) >= kRxRetryMaxMs &&
                  (kRxRetryFirstMs << (kFailuresAtLongestWait - 2)) < kRxRetryMaxMs,
              "the doubling reaches the longest wait at the last count");

// What retiring the oldest receive transfer found.
enum class Retired { kNone, kWell, kFailed };

// Retires the oldest queued receive transfer when it has completed and
// delivers what it reports.
Retired RetireOldest(SerialPort* port) {
    if (port->rxQueued == 0)
        return Retired::kNone;
    const LONG first = port->rxFirst;
    USB_TRANSFER transfer = port->rxTransfers[first];
    DWORD bytes = 0;
    DWORD error = static_cast<DWORD>(-1);
    const BOOL done = UsbIsComplete(port, transfer);
    const BOOL ok = UsbGetStatus(port, transfer, &bytes, &error);
    // Delivery is in issue order: later transfers wait for the oldest.
    if (ok && !done)
        return Retired::kNone;

    port->rxTransfers[first] = nullptr;
    if (ok) {
        UsbCloseTransfer(port, transfer);
    } else {
        // Status unknown: the count cannot be trusted, and the transfer
        // must not go on filling the slot once it is reissued.
        UsbDropTransfer(port, transfer);
        bytes = 0;
    }
    // The transfer asked for rxTransferSize bytes; a larger report would
    // read past the slot.
    if (bytes > static_cast<DWORD>(port->rxTransferSize)) {
        bytes = static_cast<DWORD>(port->rxTransferSize);
    }
    // A transfer that ended in error still delivers the bytes it reports.
    port->DeliverReceived(port->rxSlots + first * port->rxSlotStride, bytes);

    LONG next = first + 1;
    if (next >= port->rxSlotCount)
        next -= port->rxSlotCount;
    port->rxFirst = next;
    port->rxQueued -= 1;
    return ok && error == USB_NO_ERROR ? Retired::kWell : Retired::kFailed;
}

// Whether Stop has not yet closed the receive pipe.
bool ReceivePipeOpen(SerialPort* port) SL_EXCLUDES(port->deviceLock) {
    LockGuard guard(port->deviceLock);
    return port->receivePipe != nullptr;
}

// One more failing pass of the receive path. A halted pipe is recovered
// (halt.h): a halted pipe fails every transfer at once until it is, and a
// pipe that is not halted is left alone (a reset would put its data toggle
// out of step with the device's). Issuing then waits the back-off, doubled
// with every failing pass up to its longest.
void BackOff(SerialPort* port) SL_EXCLUDES(port->deviceLock) {
    RecoverHaltedPipe(port, &port->receivePipe, port->receiveEndpoint);

    if (port->rxFailures < kFailuresAtLongestWait)
        port->rxFailures += 1;
    DWORD delay = kRxRetryFirstMs << (port->rxFailures - 1);
    if (delay > kRxRetryMaxMs)
        delay = kRxRetryMaxMs;
    port->rxRetryAt = GetTickCount() + delay;
}

// Milliseconds left of the back-off; 0 when a receive transfer may be issued.
DWORD RetryWait(SerialPort* port) {
    if (port->rxFailures == 0)
        return 0;
    const LONG left = static_cast<LONG>(port->rxRetryAt - GetTickCount());
    return left > 0 ? static_cast<DWORD>(left) : 0;
}

}  // namespace

int ServiceBulk(SerialPort* port) {
    if (ReadAcquire(&port->stopping) != 0) {
        PortRetireTransfers(port);
        return 0;
    }
    bool well = false;
    bool failed = false;
    for (;;) {
        const Retired retired = RetireOldest(port);
        if (retired == Retired::kNone)
            break;
        (retired == Retired::kWell ? well : failed) = true;
    }
    if (well)
        port->rxFailures = 0;
    else if (failed)
        BackOff(port);

    // A stuck path on an open pipe is tried again later rather than given
    // up: only Stop, which closes the pipe, ends the thread.
    bool closed = false;
    if (RetryWait(port) == 0) {
        int last;
        do {
            last = IssueReceive(port);
        } while (last == 1);
        if (last == 0) {
            if (ReceivePipeOpen(port))
                BackOff(port);
            else
                closed = true;
        }
    } else {
        closed = !ReceivePipeOpen(port);
    }
    InputFlowControl(port);

    const bool outstanding = port->rxQueued != 0 || port->flowCharTransfer != nullptr ||
                             port->flowLineTransfer != nullptr;
    if (closed && !outstanding)
        return 0;
    const DWORD wait = RetryWait(port);
    return wait > 0 ? -static_cast<int>(wait) : 1;
}

int IssueReceive(SerialPort* port) {
    if (port->rxQueued >= port->rxSlotCount)
        return -1;

    const LONG free = RingWriter(port).Free();
    if (free - (port->rxQueued + 1) * port->rxTransferSize < 0) {
        // Short of space: only a healthy pipe keeps the thread waiting for a
        // reader to make room.
        BOOL halted = TRUE;
        BOOL ok = FALSE;
        {
            LockGuard guard(port->deviceLock);
            if (port->receivePipe != nullptr)
                ok = UsbIsPipeHalted(port, port->receivePipe, &halted);
        }
        return (!ok || halted) ? 0 : -1;
    }

    LONG slot = port->rxFirst + port->rxQueued;
    if (slot >= port->rxSlotCount)
        slot -= port->rxSlotCount;
    const DWORD flags = USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK;
    const DWORD length = static_cast<DWORD>(port->rxTransferSize);
    BYTE* buffer = port->rxSlots + slot * port->rxSlotStride;
    USB_TRANSFER transfer = nullptr;
    {
        LockGuard guard(port->deviceLock);
        if (port->receivePipe != nullptr) {
            // A device whose only IN endpoint is an interrupt endpoint sends its
            // data there (the first attach binds it as the receive endpoint);
            // the host refuses bulk transfers on such a pipe.
            const BYTE type =
                port->receiveEndpoint->Descriptor.bmAttributes & USB_ENDPOINT_TYPE_MASK;
            transfer = type == USB_ENDPOINT_TYPE_INTERRUPT
                           ? UsbIssueInterrupt(port, port->receivePipe, port->serviceEvent, flags,
                                               length, buffer)
                           : UsbIssueBulk(port, port->receivePipe, port->serviceEvent, flags,
                                          length, buffer);
        }
        // Recorded inside the lock, so that a worker terminated at teardown
        // (which holds it meanwhile) never leaves a transfer no slot records.
        if (transfer != nullptr) {
            port->rxTransfers[slot] = transfer;
            port->rxQueued += 1;
        }
    }
    return transfer != nullptr ? 1 : 0;
}

int CompleteReceive(SerialPort* port) {
    return RetireOldest(port) == Retired::kNone ? 0 : 1;
}

BOOL DeliverReceived(SerialPort* port, const BYTE* data, DWORD length) {
    DCB dcb;
    PortLoadDcb(port, &dcb);
    RingWriter ring(port);
    bool stored = false;

    if (!dcb.fOutX) {
        // Bytes beyond the free space are dropped; the space reservation of
        // IssueReceive keeps this from happening to a whole transfer.
        stored = ring.Store(data, length) > 0;
        ring.Publish();
    } else {
        // XON/XOFF are taken out of the data; the last one in the block
        // decides, also when it lies in a part dropped for lack of room.
        const BYTE xon = static_cast<BYTE>(dcb.XonChar);
        const BYTE xoff = static_cast<BYTE>(dcb.XoffChar);
        FlowChar flow = FlowChar::kNone;
        for (DWORD i = 0; i < length; ++i) {
            const BYTE b = data[i];
            if (b == xoff)
                flow = FlowChar::kXoff;
            else if (b == xon)
                flow = FlowChar::kXon;
            else if (ring.Put(b))
                stored = true;
        }
        ring.Publish();
        if (flow != FlowChar::kNone) {
            WriteRelease(&port->outputHeld, flow == FlowChar::kXoff ? 1 : 0);
            SetEvent(port->writeEvent);
        }
    }

    // Readers and EV_RXCHAR waiters are woken for stored bytes only: an
    // empty or failed transfer, or a block of flow characters, has nothing
    // for them.
    if (stored) {
        SetEvent(port->readEvent);
        NotifyEvents(port, EV_RXCHAR);
    }
    return TRUE;
}

int InputFlowControl(SerialPort* port) {
    RetireFlowTransfer(port, &port->flowLineTransfer);
    RetireFlowTransfer(port, &port->flowCharTransfer);
    if (port->flowLineTransfer != nullptr || port->flowCharTransfer != nullptr)
        return 0;

    const LONG size = static_cast<LONG>(port->ringSize);
    const LONG held = RingHeld(port);
    const LONG stopAbove = static_cast<LONG>((3LL * size) / 4);
    const LONG resumeBelow = size / 4;
    // A first look without the lock: most passes cross no threshold.
    LONG stopped = ReadAcquire(&port->inputStopped);
    if ((stopped == 0 && held <= stopAbove && port->xoffSent == 0) ||
        (stopped != 0 && held >= resumeBelow)) {
        return 0;
    }

    // The state is read again, the DCB read, the requests issued and the
    // state set inside deviceLock, so that they do not interleave with a
    // writer's transfers on the bulk-OUT pipe, with a settings change, nor
    // with the handshake lines an application's settings send.
    port->deviceLock.Enter();
    stopped = ReadAcquire(&port->inputStopped);
    const bool stopNow = stopped == 0 && held > stopAbove;
    const bool resumeNow = stopped != 0 && held < resumeBelow;
    const DWORD mask = HandshakeMask(port->dcb);
    // The transfers read the characters from the port's own DCB.
    const BYTE* xon = reinterpret_cast<const BYTE*>(&port->dcb.XonChar);
    const BYTE* xoff = reinterpret_cast<const BYTE*>(&port->dcb.XoffChar);
    if (stopNow) {
        if (mask != 0) {
            port->flowLineTransfer =
                reinterpret_cast<USB_TRANSFER>(port->SetControlLines(mask, 0, port->serviceEvent));
        }
        if (port->dcb.fInX) {
            port->flowCharTransfer = port->SendFlowChar(xoff);
            if (port->flowCharTransfer != nullptr)
                port->xoffSent = 1;
        }
        WriteRelease(&port->inputStopped, 1);
    } else {
        if (resumeNow) {
            if (mask != 0) {
                port->flowLineTransfer = reinterpret_cast<USB_TRANSFER>(
                    port->SetControlLines(mask, mask, port->serviceEvent));
            }
            WriteRelease(&port->inputStopped, 0);
        }
        // Input runs: XON with XON/XOFF input control on, and whenever the
        // device was last told XOFF, also when that control has been
        // switched off or the settings reset since (a first open after a
        // close that left the device stopped).
        if ((resumeNow && port->dcb.fInX) ||
            (port->xoffSent != 0 && ReadAcquire(&port->inputStopped) == 0)) {
            port->flowCharTransfer = port->SendFlowChar(xon);
            port->xoffSent = 0;
        }
    }
    port->deviceLock.Leave();

    // A writer held by the input stop (fInX without fTXContinueOnXoff) waits
    // on writeEvent; nothing else would wake it when input resumes.
    if (resumeNow)
        SetEvent(port->writeEvent);
    return 0;
}
