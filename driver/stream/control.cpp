// COM_IOControl: the serial control requests (line settings, timeouts, modem
// lines, error state, purge, immediate character, channel selection and the
// comm-event wait) and the process-exit notification.
//
// Every request works on the channel the handle names, except the three
// wait-mask requests, which work on the handle itself: each open handle has
// its own wait mask, pending events and waiter.

#include "driver/platform/export.h"
#include "driver/platform/usb_calls.h"
#include "driver/port/line_status.h"
#include "driver/stream/com_entry.h"
#include "driver/stream/stream.h"
#include "driver/variants/catalog.h"

namespace {

constexpr DWORD kSerialFamilyMask = 0xFFFFC003u;
constexpr DWORD kSerialFamily = 0x001B0000u;
constexpr DWORD kLastFunction = 23;

LONG volatile* EventWord(OpenHandle* handle) {
    return reinterpret_cast<LONG volatile*>(&handle->eventWord);
}

void PutDword(PBYTE out, DWORD value) {
    CopyBytes(out, &value, sizeof(value));
}

// ---- Wait mask -------------------------------------------------------------

// The event word is also changed by the worker thread (NotifyEvents) and by
// the waiter; every compare-exchange loop here is retried until it lands, so
// neither a new mask nor a posted event is lost to contention.
void SetWaitMask(OpenHandle* handle, DWORD mask) {
    DWORD m = mask & 0xFFFF;
    LONG word = ReadAcquire(EventWord(handle));
    for (;;) {
        LONG wanted = static_cast<LONG>((m << 16) | (static_cast<DWORD>(word) & m));
        LONG prior = InterlockedTestExchange(EventWord(handle), word, wanted);
        if (prior == word)
            break;
        word = prior;
    }
    InterlockedTestExchange(&handle->waitState, 1, 2);
    SetEvent(handle->waitEvent);
}

enum class WaitOutcome { kEvents, kAborted, kDetached, kEmpty };

// Blocks until an event in the handle's mask is pending, the mask is changed,
// the handle is detached, or there is neither mask nor event. No timeout.
BOOL WaitOnMask(OpenHandle* handle, DWORD* events) {
    *events = 0;
    if (InterlockedTestExchange(&handle->waitState, 0, 1) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    ResetEvent(handle->waitEvent);
    WaitOutcome outcome = WaitOutcome::kEmpty;
    LONG word = ReadAcquire(EventWord(handle));
    for (;;) {
        if (ReadPointerAcquire(reinterpret_cast<PVOID volatile*>(&handle->port)) == nullptr) {
            outcome = WaitOutcome::kDetached;
            break;
        }
        if (ReadAcquire(&handle->waitState) != 1) {
            outcome = WaitOutcome::kAborted;
            break;
        }
        if (word == 0) {
            outcome = WaitOutcome::kEmpty;
            break;
        }
        if ((word & 0xFFFF) == 0) {
            WaitForSingleObject(handle->waitEvent, INFINITE);
            word = ReadAcquire(EventWord(handle));
            continue;
        }
        LONG prior = InterlockedTestExchange(
            EventWord(handle), word, static_cast<LONG>(static_cast<DWORD>(word) & 0xFFFF0000u));
        if (prior == word) {
            outcome = WaitOutcome::kEvents;
            *events = static_cast<DWORD>(word) & 0xFFFF;
            break;
        }
        word = prior;
    }
    WriteRelease(&handle->waitState, 0);
    switch (outcome) {
        case WaitOutcome::kEvents:
        case WaitOutcome::kAborted:
            return TRUE;
        case WaitOutcome::kDetached:
            *events = 0;
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        case WaitOutcome::kEmpty:
            break;
    }
    *events = 0;
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

// ---- Status and properties ---------------------------------------------------

DWORD CommStatus(SerialPort* port, COMSTAT* stat) {
    DWORD errors =
        static_cast<DWORD>(InterlockedExchange(reinterpret_cast<LONG volatile*>(&port->errors), 0));
    DWORD modem = ReadULongAcquire(&port->modemStatus);
    if ((modem & kModemBreak) != 0)
        errors |= CE_BREAK;
    DCB dcb;
    PortLoadDcb(port, &dcb);
    __builtin_memset(stat, 0, sizeof(*stat));
    stat->fCtsHold = dcb.fOutxCtsFlow && (modem & MS_CTS_ON) == 0;
    stat->fDsrHold = dcb.fOutxDsrFlow && (modem & MS_DSR_ON) == 0;
    stat->fXoffHold = dcb.fOutX && ReadAcquire(&port->outputHeld) != 0;
    stat->fXoffSent = ReadAcquire(&port->inputStopped) != 0 && dcb.fInX && !dcb.fTXContinueOnXoff;
    stat->cbInQue = static_cast<DWORD>(RingHeld(port));
    stat->cbOutQue = 0;
    return errors;
}

void FillProperties(COMMPROP* prop) {
    __builtin_memset(prop, 0, sizeof(*prop));
    prop->wPacketLength = 0xFFFF;
    prop->wPacketVersion = 0xFFFF;
    prop->dwServiceMask = SP_SERIALCOMM;
    prop->dwMaxBaud = BAUD_USER;
    prop->dwProvSubType = 1;
    prop->dwProvCapabilities = 0x7FFFFFFF;
    prop->dwSettableParams = 0x7FFFFFFF;
    prop->dwSettableBaud = 0x7FFFFFFF;
    prop->wSettableData = 0x7FFF;
    prop->wSettableStopParity = 0x7FFF;
}

// ---- Purge and immediate character -------------------------------------------

void Purge(SerialPort* port, DWORD flags) {
    if ((flags & PURGE_TXABORT) != 0) {
        InterlockedTestExchange(&port->writeBusy, 1, 2);
        SetEvent(port->writeEvent);
    }
    if ((flags & PURGE_RXABORT) != 0) {
        LONG state = ReadAcquire(&port->readBusy);
        while ((state & ~kRxClearRequested) == kReaderOwned) {
            LONG aborted = (state & kRxClearRequested) | kReaderAborted;
            LONG prior = InterlockedTestExchange(&port->readBusy, state, aborted);
            if (prior == state)
                break;
            state = prior;
        }
        SetEvent(port->readEvent);
    }
    if ((flags & PURGE_RXCLEAR) != 0)
        PurgeReceive(port);
}

// TRUE when exactly one data byte went. A chip that frames every packet
// reports the framing in the transfer's count; the class's WriteFinished
// takes it off, as for any write.
BOOL ImmediateChar(SerialPort* port, const BYTE* ch) {
    USB_TRANSFER transfer = port->SendImmediate(ch);
    if (transfer == nullptr)
        return FALSE;
    DWORD bytes = 0;
    UsbGetStatus(port, transfer, &bytes, nullptr);
    UsbCloseTransfer(port, transfer);
    port->WriteFinished(&bytes);
    return bytes == 1;
}

// ---- Line settings -------------------------------------------------------------

// Whether the port can give its line the DCB's data bits, parity and stop
// bits. A CDC port sends them as line coding and an FTDI port as its data
// format; a value with no code there would reach the device as another
// setting or be refused by it. The ports that send no line settings (the
// basic port, a second channel, the type-4 port, a CDC device that takes no
// line coding) keep every value. Each port type's row says which it is.
BOOL LineFormatFits(const SerialPort* port, const DCB& dcb) {
    const PortTypeEntry* type = PortTypeOf(port->usbMode);
    return type == nullptr || type->lineFormatFits == nullptr ||
           type->lineFormatFits(port->usbMode, dcb);
}

// ---- Dispatch ----------------------------------------------------------------

// Output test: pBufOut and pdwActualOut present and at least `size` bytes.
BOOL OutFits(PBYTE out, DWORD outLength, PDWORD actual, DWORD size) {
    return out != nullptr && actual != nullptr && outLength >= size;
}

BOOL Refuse() {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

BOOL Dispatch(StreamHandle* handle, SerialPort* port, DWORD function, PBYTE in, DWORD inLength,
              PBYTE out, DWORD outLength, PDWORD actual) {
    OpenHandle* record = &handle->open;
    // The requests with an output buffer report 0 bytes until they succeed.
    switch (function) {
        case 9:
        case 11:
        case 12:
        case 13:
        case 14:
        case 16:
        case 20:
            if (actual != nullptr)
                *actual = 0;
            break;
        default:
            break;
    }
    switch (function) {
        case 1:  // IOCTL_SERIAL_SET_BREAK_ON
        case 2:  // IOCTL_SERIAL_SET_BREAK_OFF
            return port->SetBreak(function == 1 ? TRUE : FALSE) != 0;
        case 3:    // IOCTL_SERIAL_SET_DTR
        case 4:    // IOCTL_SERIAL_CLR_DTR
        case 5:    // IOCTL_SERIAL_SET_RTS
        case 6: {  // IOCTL_SERIAL_CLR_RTS
            DCB dcb;
            PortLoadDcb(port, &dcb);
            BOOL dtr = function <= 4;
            if (dtr ? dcb.fDtrControl == DTR_CONTROL_HANDSHAKE
                    : dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
                return Refuse();
            }
            DWORD mask = dtr ? kLineDtr : kLineRts;
            DWORD value = (function == 3 || function == 5) ? mask : 0;
            return port->SetControlLines(mask, value, nullptr) != 0;
        }
        case 7:    // IOCTL_SERIAL_SET_XOFF
        case 8: {  // IOCTL_SERIAL_SET_XON
            DCB dcb;
            PortLoadDcb(port, &dcb);
            if (dcb.fOutX)
                WriteRelease(&port->outputHeld, function == 7 ? 1 : 0);
            if (function == 8)
                SetEvent(port->writeEvent);
            return TRUE;
        }
        case 9:  // IOCTL_SERIAL_GET_WAIT_MASK
            if (!OutFits(out, outLength, actual, 4))
                return Refuse();
            PutDword(out, static_cast<DWORD>(ReadAcquire(EventWord(record))) >> 16);
            *actual = 4;
            return TRUE;
        case 10: {  // IOCTL_SERIAL_SET_WAIT_MASK
            if (in == nullptr || inLength < 4)
                return Refuse();
            DWORD mask;
            CopyBytes(&mask, in, sizeof(mask));
            SetWaitMask(record, mask);
            return TRUE;
        }
        case 11: {  // IOCTL_SERIAL_WAIT_ON_MASK
            if (!OutFits(out, outLength, actual, 4))
                return Refuse();
            DWORD events = 0;
            BOOL ok = WaitOnMask(record, &events);
            PutDword(out, events);
            *actual = ok ? 4 : 0;
            return ok;
        }
        case 12: {  // IOCTL_SERIAL_GET_COMMSTATUS
            if (!OutFits(out, outLength, actual, sizeof(SERIAL_DEV_STATUS)))
                return Refuse();
            SERIAL_DEV_STATUS status;
            status.Errors = CommStatus(port, &status.ComStat);
            CopyBytes(out, &status, sizeof(status));
            *actual = sizeof(status);
            return TRUE;
        }
        case 13:  // IOCTL_SERIAL_GET_MODEMSTATUS
            if (!OutFits(out, outLength, actual, 4))
                return Refuse();
            PutDword(out, ReadULongAcquire(&port->modemStatus) &
                              (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON));
            *actual = 4;
            return TRUE;
        case 14: {  // IOCTL_SERIAL_GET_PROPERTIES
            if (!OutFits(out, outLength, actual, sizeof(COMMPROP)))
                return Refuse();
            COMMPROP prop;
            FillProperties(&prop);
            CopyBytes(out, &prop, sizeof(prop));
            *actual = sizeof(prop);
            return TRUE;
        }
        case 15: {  // IOCTL_SERIAL_SET_TIMEOUTS
            if (in == nullptr || inLength < sizeof(COMMTIMEOUTS))
                return Refuse();
            COMMTIMEOUTS timeouts;
            CopyBytes(&timeouts, in, sizeof(timeouts));
            StoreTimeouts(port, &timeouts);
            return TRUE;
        }
        case 16: {  // IOCTL_SERIAL_GET_TIMEOUTS
            if (!OutFits(out, outLength, actual, sizeof(COMMTIMEOUTS)))
                return Refuse();
            COMMTIMEOUTS timeouts;
            LoadTimeouts(port, &timeouts);
            CopyBytes(out, &timeouts, sizeof(timeouts));
            *actual = sizeof(timeouts);
            return TRUE;
        }
        case 17: {  // IOCTL_SERIAL_PURGE
            if (in == nullptr || inLength < 4)
                return Refuse();
            DWORD flags;
            CopyBytes(&flags, in, sizeof(flags));
            Purge(port, flags);
            return TRUE;
        }
        case 18:  // IOCTL_SERIAL_SET_QUEUE_SIZE: there are no queues to size
            return TRUE;
        case 19:  // IOCTL_SERIAL_IMMEDIATE_CHAR
            if (in == nullptr || inLength < 1)
                return Refuse();
            return ImmediateChar(port, in);
        case 20: {  // IOCTL_SERIAL_GET_DCB
            if (!OutFits(out, outLength, actual, sizeof(DCB)))
                return Refuse();
            DCB dcb;
            PortLoadDcb(port, &dcb);
            CopyBytes(out, &dcb, sizeof(dcb));
            *actual = sizeof(dcb);
            return TRUE;
        }
        case 21: {  // IOCTL_SERIAL_SET_DCB
            if (in == nullptr || inLength < sizeof(DCB))
                return Refuse();
            DCB dcb;
            CopyBytes(&dcb, in, sizeof(dcb));
            // A data format the port cannot express is refused, and the
            // settings stay as they were.
            if (dcb.DCBlength != sizeof(DCB) || !LineFormatFits(port, dcb))
                return Refuse();
            PortStoreDcb(port, &dcb);
            port->ApplyLineSettings();
            return TRUE;
        }
        case 22:  // IOCTL_SERIAL_ENABLE_IR: the second channel
            return port->SelectChannel(record, kChannelSecondary) != 0;
        case 23:  // IOCTL_SERIAL_DISABLE_IR: the primary channel
            return port->SelectChannel(record, kChannelPrimary) != 0;
        default:
            return FALSE;
    }
}

}  // namespace

SERLYNX_EXPORT BOOL COM_IOControl(DWORD_PTR context, DWORD code, PBYTE in, DWORD inLength,
                                  PBYTE out, DWORD outLength, PDWORD actual) {
    StreamHandle* handle = HandleAdmit(context);
    if (handle == nullptr)
        return FALSE;
    BOOL result = FALSE;
    if (code == IOCTL_PSL_NOTIFY) {
        result = PslNotify(handle, in, inLength);
    } else {
        // busyCount is raised before `port` is looked at, as in COM_Read.
        InterlockedIncrement(&handle->open.busyCount);
        SerialPort* port = HandleEnterPort(handle);
        DWORD function = (code >> 2) & 0xFFF;
        if (port == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
        } else {
            if ((code & kSerialFamilyMask) == kSerialFamily && function >= 1 &&
                function <= kLastFunction) {
                result = Dispatch(handle, port, function, in, inLength, out, outLength, actual);
            }
            HandleLeavePort(handle);
        }
        InterlockedDecrement(&handle->open.busyCount);
    }
    HandleRelease(handle);
    return result;
}
