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
#include "driver/stream/requests.h"
#include "driver/stream/stream.h"
#include "driver/variants/catalog.h"

namespace {

// Device type FILE_DEVICE_SERIAL_PORT, access FILE_ANY_ACCESS, method
// METHOD_BUFFERED: every code but its function number.
constexpr DWORD kSerialFamilyMask = 0xFFFFC003u;
constexpr DWORD kSerialFamily = 0x001B0000u;

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

// ---- Requests ----------------------------------------------------------------

// A refused request: ERROR_INVALID_PARAMETER, FALSE.
BOOL Refuse() {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

// What a request's serving function gets, its buffers already tested
// against the request's row (requests.h).
struct RequestCall {
    OpenHandle* record;  // the handle, for the wait-mask requests
    SerialPort* port;    // the channel the handle names
    PBYTE in;
    DWORD inLength;
    PBYTE out;
    DWORD outLength;
    PDWORD actual;
};

BOOL SerialSetBreakOn(const RequestCall& c) {
    return c.port->SetBreak(TRUE) != 0;
}

BOOL SerialSetBreakOff(const RequestCall& c) {
    return c.port->SetBreak(FALSE) != 0;
}

// A line under handshake control is the driver's to move: refused.
BOOL SetLine(const RequestCall& c, DWORD line, BOOL on) {
    DCB dcb;
    PortLoadDcb(c.port, &dcb);
    if (line == kLineDtr ? dcb.fDtrControl == DTR_CONTROL_HANDSHAKE
                         : dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
        return Refuse();
    }
    return c.port->SetControlLines(line, on ? line : 0, nullptr) != 0;
}

BOOL SerialSetDtr(const RequestCall& c) {
    return SetLine(c, kLineDtr, TRUE);
}

BOOL SerialClrDtr(const RequestCall& c) {
    return SetLine(c, kLineDtr, FALSE);
}

BOOL SerialSetRts(const RequestCall& c) {
    return SetLine(c, kLineRts, TRUE);
}

BOOL SerialClrRts(const RequestCall& c) {
    return SetLine(c, kLineRts, FALSE);
}

// Output stopped (or resumed) as by a received XOFF (XON), only while
// XON/XOFF output control is on; XON wakes a held writer in any case.
BOOL SerialSetXoff(const RequestCall& c) {
    DCB dcb;
    PortLoadDcb(c.port, &dcb);
    if (dcb.fOutX)
        WriteRelease(&c.port->outputHeld, 1);
    return TRUE;
}

BOOL SerialSetXon(const RequestCall& c) {
    DCB dcb;
    PortLoadDcb(c.port, &dcb);
    if (dcb.fOutX)
        WriteRelease(&c.port->outputHeld, 0);
    SetEvent(c.port->writeEvent);
    return TRUE;
}

BOOL SerialGetWaitMask(const RequestCall& c) {
    PutDword(c.out, static_cast<DWORD>(ReadAcquire(EventWord(c.record))) >> 16);
    *c.actual = 4;
    return TRUE;
}

BOOL SerialSetWaitMask(const RequestCall& c) {
    DWORD mask;
    CopyBytes(&mask, c.in, sizeof(mask));
    SetWaitMask(c.record, mask);
    return TRUE;
}

BOOL SerialWaitOnMask(const RequestCall& c) {
    DWORD events = 0;
    BOOL ok = WaitOnMask(c.record, &events);
    PutDword(c.out, events);
    *c.actual = ok ? 4 : 0;
    return ok;
}

BOOL SerialGetCommStatus(const RequestCall& c) {
    SERIAL_DEV_STATUS status;
    status.Errors = CommStatus(c.port, &status.ComStat);
    CopyBytes(c.out, &status, sizeof(status));
    *c.actual = sizeof(status);
    return TRUE;
}

BOOL SerialGetModemStatus(const RequestCall& c) {
    PutDword(c.out, ReadULongAcquire(&c.port->modemStatus) &
                        (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON));
    *c.actual = 4;
    return TRUE;
}

BOOL SerialGetProperties(const RequestCall& c) {
    COMMPROP prop;
    FillProperties(&prop);
    CopyBytes(c.out, &prop, sizeof(prop));
    *c.actual = sizeof(prop);
    return TRUE;
}

BOOL SerialSetTimeouts(const RequestCall& c) {
    COMMTIMEOUTS timeouts;
    CopyBytes(&timeouts, c.in, sizeof(timeouts));
    StoreTimeouts(c.port, &timeouts);
    return TRUE;
}

BOOL SerialGetTimeouts(const RequestCall& c) {
    COMMTIMEOUTS timeouts;
    LoadTimeouts(c.port, &timeouts);
    CopyBytes(c.out, &timeouts, sizeof(timeouts));
    *c.actual = sizeof(timeouts);
    return TRUE;
}

BOOL SerialPurge(const RequestCall& c) {
    DWORD flags;
    CopyBytes(&flags, c.in, sizeof(flags));
    Purge(c.port, flags);
    return TRUE;
}

// There are no queues to size.
BOOL SerialSetQueueSize(const RequestCall&) {
    return TRUE;
}

BOOL SerialImmediateChar(const RequestCall& c) {
    return ImmediateChar(c.port, c.in);
}

BOOL SerialGetDcb(const RequestCall& c) {
    DCB dcb;
    PortLoadDcb(c.port, &dcb);
    CopyBytes(c.out, &dcb, sizeof(dcb));
    *c.actual = sizeof(dcb);
    return TRUE;
}

BOOL SerialSetDcb(const RequestCall& c) {
    DCB dcb;
    CopyBytes(&dcb, c.in, sizeof(dcb));
    // A data format the port cannot express is refused, and the settings
    // stay as they were.
    if (dcb.DCBlength != sizeof(DCB) || !LineFormatFits(c.port, dcb))
        return Refuse();
    PortStoreDcb(c.port, &dcb);
    c.port->ApplyLineSettings();
    return TRUE;
}

BOOL SerialEnableIr(const RequestCall& c) {
    return c.port->SelectChannel(c.record, kChannelSecondary) != 0;
}

BOOL SerialDisableIr(const RequestCall& c) {
    return c.port->SelectChannel(c.record, kChannelPrimary) != 0;
}

// ---- Dispatch ----------------------------------------------------------------

struct Request {
    DWORD code;
    DWORD inSize;
    DWORD outSize;
    BOOL (*serve)(const RequestCall& call);
};

#define SERLYNX_REQUEST(code, in, out, serve) Request{code, in, out, serve},
constexpr Request kRequests[] = {SERLYNX_SERIAL_REQUESTS(SERLYNX_REQUEST)};
#undef SERLYNX_REQUEST
constexpr DWORD kRequestCount = sizeof(kRequests) / sizeof(kRequests[0]);

// Row i serves function number i + 1, so a code's function number finds
// its row; no request needs both an input and an output.
constexpr bool RequestsInFunctionOrder() {
    for (DWORD i = 0; i < kRequestCount; ++i) {
        if (kRequests[i].code != (kSerialFamily | ((i + 1) << 2)))
            return false;
        if (kRequests[i].inSize != 0 && kRequests[i].outSize != 0)
            return false;
    }
    return true;
}
static_assert(RequestsInFunctionOrder(), "kRequests must list functions 1, 2, 3 ... in order");

// The row of a code; null for a code outside the serial family (another
// device type, access or method) or a function number no request has.
const Request* FindRequest(DWORD code) {
    if ((code & kSerialFamilyMask) != kSerialFamily)
        return nullptr;
    DWORD function = (code >> 2) & 0xFFF;
    if (function < 1 || function > kRequestCount)
        return nullptr;
    return &kRequests[function - 1];
}

// The buffer rules of requests.h, then the request's own function.
BOOL Dispatch(const Request& request, const RequestCall& call) {
    if (request.outSize != 0 && call.actual != nullptr)
        *call.actual = 0;
    if (request.inSize != 0 && (call.in == nullptr || call.inLength < request.inSize))
        return Refuse();
    if (request.outSize != 0 &&
        (call.out == nullptr || call.actual == nullptr || call.outLength < request.outSize)) {
        return Refuse();
    }
    return request.serve(call);
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
        if (port == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
        } else {
            const Request* request = FindRequest(code);
            if (request != nullptr) {
                result = Dispatch(*request, RequestCall{&handle->open, port, in, inLength, out,
                                                        outLength, actual});
            }
            HandleLeavePort(handle);
        }
        InterlockedDecrement(&handle->open.busyCount);
    }
    HandleRelease(handle);
    return result;
}
