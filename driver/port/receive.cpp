// Receive pipeline and input flow control; worker thread only.
#include "driver/port/receive.h"

#include "driver/platform/usb_calls.h"
#include "driver/port/line_status.h"

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
    }
}

}  // namespace

int ServiceBulk(SerialPort* port) {
    while (CompleteReceive(port) == 1) {
    }
    int last;
    do {
        last = IssueReceive(port);
    } while (last == 1);
    InputFlowControl(port);
    return (last != 0 || port->rxQueued != 0 || port->flowCharTransfer != nullptr ||
            port->flowLineTransfer != nullptr)
               ? 1
               : 0;
}

int IssueReceive(SerialPort* port) {
    if (port->rxQueued >= port->rxSlotCount)
        return -1;

    const LONG size = static_cast<LONG>(port->ringSize);
    const LONG free = RingFree(ReadNoFence(&port->ringHead), ReadAcquire(&port->ringTail), size);
    if (free - (port->rxQueued + 1) * port->rxTransferSize < 0) {
        // Short of space: only a healthy pipe keeps the thread waiting for a
        // reader to make room.
        BOOL halted = TRUE;
        BOOL ok = FALSE;
        EnterCriticalSection(&port->flowLock);
        if (port->receivePipe != nullptr)
            ok = UsbIsPipeHalted(port, port->receivePipe, &halted);
        LeaveCriticalSection(&port->flowLock);
        return (!ok || halted) ? 0 : -1;
    }

    LONG slot = port->rxFirst + port->rxQueued;
    if (slot >= port->rxSlotCount)
        slot -= port->rxSlotCount;
    USB_TRANSFER transfer = nullptr;
    EnterCriticalSection(&port->flowLock);
    if (port->receivePipe != nullptr) {
        transfer = UsbIssueBulk(
            port, port->receivePipe, port->serviceEvent, USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK,
            static_cast<DWORD>(port->rxTransferSize), port->rxSlots + slot * port->rxSlotStride);
    }
    LeaveCriticalSection(&port->flowLock);
    if (transfer == nullptr)
        return 0;
    port->rxTransfers[slot] = transfer;
    port->rxQueued += 1;
    return 1;
}

int CompleteReceive(SerialPort* port) {
    if (port->rxQueued == 0)
        return 0;
    const LONG first = port->rxFirst;
    USB_TRANSFER transfer = port->rxTransfers[first];
    DWORD bytes = 0;
    DWORD error = static_cast<DWORD>(-1);
    const BOOL done = UsbIsComplete(port, transfer);
    const BOOL ok = UsbGetStatus(port, transfer, &bytes, &error);
    // Delivery is in issue order: later transfers wait for the oldest.
    if (ok && !done)
        return 0;

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
    port->DeliverReceived(port->rxSlots + first * port->rxSlotStride, bytes);

    LONG next = first + 1;
    if (next >= port->rxSlotCount)
        next -= port->rxSlotCount;
    port->rxFirst = next;
    port->rxQueued -= 1;
    return 1;
}

BOOL DeliverReceived(SerialPort* port, const BYTE* data, DWORD length) {
    DCB dcb;
    PortLoadDcb(port, &dcb);
    const LONG size = static_cast<LONG>(port->ringSize);
    LONG head = ReadNoFence(&port->ringHead);
    const LONG tail = ReadAcquire(&port->ringTail);
    BYTE* ring = port->ring;

    if (!dcb.fOutX) {
        const LONG free = RingFree(head, tail, size);
        // Bytes beyond the free space are dropped; the space reservation of
        // IssueReceive keeps this from happening to a whole transfer.
        const LONG n = static_cast<DWORD>(free) < length ? free : static_cast<LONG>(length);
        const LONG toEnd = size - head;
        if (n < toEnd) {
            __builtin_memcpy(ring + head, data, static_cast<size_t>(n));
            head += n;
        } else {
            __builtin_memcpy(ring + head, data, static_cast<size_t>(toEnd));
            __builtin_memcpy(ring, data + toEnd, static_cast<size_t>(n - toEnd));
            head = n - toEnd;
        }
        WriteRelease(&port->ringHead, head);
    } else {
        // XON/XOFF are taken out of the data; the last one in the block
        // decides, also when it lies in a part dropped for lack of room.
        // The free positions run from ringHead up to, not including,
        // ringTail - 1 (ringTail is 1..ringSize, so that is 0..ringSize-1).
        const BYTE xon = static_cast<BYTE>(dcb.XonChar);
        const BYTE xoff = static_cast<BYTE>(dcb.XoffChar);
        const LONG stop = tail - 1;
        FlowChar flow = FlowChar::kNone;
        for (DWORD i = 0; i < length; ++i) {
            const BYTE b = data[i];
            if (b == xoff) {
                flow = FlowChar::kXoff;
            } else if (b == xon) {
                flow = FlowChar::kXon;
            } else if (head != stop) {
                ring[head] = b;
                if (++head == size)
                    head = 0;
            }
        }
        WriteRelease(&port->ringHead, head);
        if (flow != FlowChar::kNone) {
            WriteRelease(&port->outputHeld, flow == FlowChar::kXoff ? 1 : 0);
            SetEvent(port->writeEvent);
        }
    }

    SetEvent(port->readEvent);
    NotifyEvents(port, EV_RXCHAR);
    return TRUE;
}

int InputFlowControl(SerialPort* port) {
    RetireFlowTransfer(port, &port->flowLineTransfer);
    RetireFlowTransfer(port, &port->flowCharTransfer);
    if (port->flowLineTransfer != nullptr || port->flowCharTransfer != nullptr)
        return 0;

    const LONG size = static_cast<LONG>(port->ringSize);
    const LONG held = RingHeld(ReadNoFence(&port->ringHead), ReadAcquire(&port->ringTail), size);
    const LONG stopped = ReadAcquire(&port->inputStopped);
    const bool stopNow = stopped == 0 && held > static_cast<LONG>((3LL * size) / 4);
    const bool resumeNow = stopped != 0 && held < size / 4;
    if (!stopNow && !resumeNow)
        return 0;

    // The DCB is read, the requests are issued and the state is set inside
    // flowLock, so that they do not interleave with a writer's transfers on
    // the bulk-OUT pipe nor with a settings change.
    EnterCriticalSection(&port->flowLock);
    const DWORD mask = HandshakeMask(port->dcb);
    if (mask != 0) {
        port->flowLineTransfer = reinterpret_cast<USB_TRANSFER>(
            port->SetControlLines(mask, stopNow ? 0 : mask, port->serviceEvent));
    }
    if (port->dcb.fInX) {
        // The transfer reads the character from the port's own DCB.
        const char* ch = stopNow ? &port->dcb.XoffChar : &port->dcb.XonChar;
        port->flowCharTransfer = port->SendFlowChar(reinterpret_cast<const BYTE*>(ch));
    }
    WriteRelease(&port->inputStopped, stopNow ? 1 : 0);
    LeaveCriticalSection(&port->flowLock);

    // A writer held by the input stop (fInX without fTXContinueOnXoff) waits
    // on writeEvent; nothing else would wake it when input resumes.
    if (resumeNow)
        SetEvent(port->writeEvent);
    return 0;
}
