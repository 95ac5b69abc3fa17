// CDC abstract-control port: class requests on the default pipe and the
// SERIAL_STATE status cycle on the interrupt-IN endpoint.
#include "driver/variants/cdc_port.h"

#include "driver/platform/usb_calls.h"
#include "driver/port/halt.h"
#include "driver/port/line_status.h"
#include "driver/port/receive.h"

namespace {

// Host-to-device, class, recipient interface.
constexpr BYTE kClassOut = 0x21;

constexpr BYTE kSetCommFeature = 0x02;
constexpr BYTE kSetLineCoding = 0x20;
constexpr BYTE kSetControlLineState = 0x22;
constexpr BYTE kSendBreak = 0x23;

constexpr WORD kFeatureAbstractState = 0x0001;
// ABSTRACT_STATE value 0x0002: the device multiplexes no calls and keeps
// its data path idle-free.
constexpr BYTE kAbstractStateData[2] = {0x02, 0x00};
constexpr WORD kBreakUntilEnded = 0xFFFF;

// SERIAL_STATE notification: header, then the 16-bit UART bitmap.
constexpr DWORD kSerialStateLength = 10;
constexpr BYTE kNotifyRequestType = 0xA1;
constexpr BYTE kNotifySerialState = 0x20;
constexpr DWORD kSerialStateOffset = 8;

// UART state bitmap.
constexpr WORD kStateDcd = 0x0001;
constexpr WORD kStateDsr = 0x0002;
constexpr WORD kStateBreak = 0x0004;
constexpr WORD kStateRing = 0x0008;
constexpr WORD kStateFraming = 0x0010;
constexpr WORD kStateParity = 0x0020;
constexpr WORD kStateOverrun = 0x0040;
constexpr WORD kStateCts = 0x0080;  // only on the chips that report it

struct StateBit {
    WORD state;
    DWORD modem;
    DWORD error;
    DWORD signal;
};

constexpr StateBit kStateBits[] = {
    {kStateDcd, MS_RLSD_ON, 0, 0},        {kStateDsr, MS_DSR_ON, 0, 0},
    {kStateBreak, 0, CE_BREAK, EV_BREAK}, {kStateRing, 0, 0, EV_RING},
    {kStateFraming, 0, CE_FRAME, 0},      {kStateParity, 0, CE_RXPARITY, 0},
    {kStateOverrun, 0, CE_OVERRUN, 0},
};

// A class request to the port's interface; synchronous without an event.
USB_TRANSFER IssueClassRequest(CdcPort* port, BYTE request, WORD value, WORD length, void* data,
                               HANDLE event) {
    USB_DEVICE_REQUEST setup;
    setup.bmRequestType = kClassOut;
    setup.bRequest = request;
    setup.wValue = value;
    setup.wIndex = static_cast<WORD>(port->interfaceNumber & 0xFFFF);
    setup.wLength = length;
    return UsbIssueVendor(port, event, USB_SEND_TO_INTERFACE | USB_OUT_TRANSFER, &setup, data);
}

// A synchronous request whose outcome only configures the device: the
// transfer is closed unexamined. TRUE when it was issued.
BOOL SendClassRequest(CdcPort* port, BYTE request, WORD value, WORD length, void* data) {
    USB_TRANSFER transfer = IssueClassRequest(port, request, value, length, data, nullptr);
    if (transfer == nullptr)
        return FALSE;
    UsbCloseTransfer(port, transfer);
    return TRUE;
}

// Whether Stop has not yet closed the status pipe.
bool NotifyPipeOpen(CdcPort* port) SL_EXCLUDES(port->deviceLock) {
    LockGuard guard(port->deviceLock);
    return port->notifyPipe != nullptr;
}

}  // namespace

DWORD CdcNotifyLength(DWORD packetSize) {
    if (packetSize == 0)
        return 0;
    DWORD length = packetSize;
    while (length < kSerialStateLength)
        length += packetSize;
    return length < sizeof(CdcPort::notifyBuffer) ? length : sizeof(CdcPort::notifyBuffer);
}

void CdcDecodeSerialState(WORD bitmap, BOOL ctsInState, DWORD* modemWord, DWORD* lineErrors,
                          DWORD* signals) {
    DWORD modem = 0;
    DWORD errors = 0;
    DWORD events = 0;
    for (const StateBit& bit : kStateBits) {
        if (bitmap & bit.state) {
            modem |= bit.modem;
            errors |= bit.error;
            events |= bit.signal;
        }
    }
    *signals = events;
    if (!ctsInState || (bitmap & kStateCts) != 0)
        modem |= MS_CTS_ON;
    *modemWord = modem;
    *lineErrors = errors;
}

BOOL CdcPort::Start() {
    if (classEndpoint == nullptr || receiveEndpoint == nullptr || sendEndpoint == nullptr)
        return FALSE;
    // A status endpoint of packet size 0 would complete every status
    // transfer at once with nothing: the worker would spin on it.
    if (EndpointPacketSize(classEndpoint) == 0)
        return FALSE;
    if (!SerialPort::Start())
        return FALSE;

    // Start runs before the worker thread exists; the pipe and the line
    // state are stored inside deviceLock all the same.
    notifyTransfer = nullptr;
    notifyBackOff.failures = 0;
    notifyBackOff.retryAt = 0;
    USB_PIPE pipe = UsbOpenPipe(this, classEndpoint);
    UsbClearHalt(this, classEndpoint);
    {
        LockGuard guard(deviceLock);
        lineState = 0;
        notifyPipe = pipe;
    }

    BYTE feature[sizeof(kAbstractStateData)] = {kAbstractStateData[0], kAbstractStateData[1]};
    SendClassRequest(this, kSetCommFeature, kFeatureAbstractState, sizeof(feature), feature);
    // The first status transfer is issued by the worker's first pass.
    return TRUE;
}

BOOL CdcPort::Stop() {
    // No worker runs: a status transfer left by one that was terminated is
    // retired before its pipe closes, which may end its handle, and before
    // the event its routine sets goes away.
    {
        LockGuard guard(deviceLock);
        if (notifyTransfer != nullptr) {
            UsbDropTransfer(this, notifyTransfer);
            notifyTransfer = nullptr;
        }
        if (notifyPipe != nullptr)
            UsbClosePipe(this, notifyPipe);
        notifyPipe = nullptr;
    }
    return SerialPort::Stop();
}

BOOL CdcLineCodingFits(const DCB& dcb) {
    const BYTE bits = dcb.ByteSize;
    const BOOL bitsFit = (bits >= 5 && bits <= 8) || bits == 16;
    return bitsFit && dcb.Parity <= SPACEPARITY && dcb.StopBits <= TWOSTOPBITS;
}

BOOL CdcPort::ApplyLineSettings() {
    ApplyHandshakeLines(this);
    if ((usbMode & kUsbModeNoLineCoding) != 0)
        return TRUE;

    // dwDTERate, bCharFormat, bParityType, bDataBits: the DCB's values as
    // they stand, the codes are the same.
    DCB dcb;
    PortLoadDcb(this, &dcb);
    BYTE coding[7];
    coding[0] = static_cast<BYTE>(dcb.BaudRate);
    coding[1] = static_cast<BYTE>(dcb.BaudRate >> 8);
    coding[2] = static_cast<BYTE>(dcb.BaudRate >> 16);
    coding[3] = static_cast<BYTE>(dcb.BaudRate >> 24);
    coding[4] = dcb.StopBits;
    coding[5] = dcb.Parity;
    coding[6] = dcb.ByteSize;
    SendClassRequest(this, kSetLineCoding, 0, sizeof(coding), coding);
    return TRUE;
}

BOOL CdcPort::SetBreak(BOOL on) {
    // The application is told whether the request went to the device; the
    // device's answer is not examined.
    return SendClassRequest(this, kSendBreak, on ? kBreakUntilEnded : 0, 0, nullptr);
}

DWORD_PTR CdcPort::SetControlLines(DWORD mask, DWORD value, HANDLE event) {
    if (event != nullptr) {
        // Input flow control, which holds deviceLock and retires the transfer.
        deviceLock.AssertHeld();
        lineState = (lineState & ~mask) | value;
        return reinterpret_cast<DWORD_PTR>(IssueClassRequest(
            this, kSetControlLineState, static_cast<WORD>(lineState & 0xFFFF), 0, nullptr, event));
    }

    // The request is issued inside deviceLock, so that the device sees the
    // line states in the order they were decided, and answered outside it:
    // neither writers nor the worker wait for the device (except when the
    // caller already holds the lock: ApplyHandshakeLines decides and sends
    // the handshake lines inside it).
    HANDLE done = CreateEvent(nullptr, FALSE, FALSE, nullptr);
    deviceLock.Enter();
    lineState = (lineState & ~mask) | value;
    const WORD wValue = static_cast<WORD>(lineState & 0xFFFF);
    if (done == nullptr) {
        // No event to wait on: the request is made synchronously, inside
        // the lock, which keeps the order at the price of holding it.
        BOOL issued = SendClassRequest(this, kSetControlLineState, wValue, 0, nullptr);
        deviceLock.Leave();
        return issued;
    }
    USB_TRANSFER transfer = IssueClassRequest(this, kSetControlLineState, wValue, 0, nullptr, done);
    deviceLock.Leave();
    if (transfer != nullptr) {
        WaitForSingleObject(done, INFINITE);
        UsbCloseTransfer(this, transfer);
    }
    CloseHandle(done);
    return transfer != nullptr ? TRUE : FALSE;
}

int CdcPort::Service() {
    if (ReadAcquire(&stopping) != 0) {
        // Teardown: the status transfer is retired before its pipe closes,
        // inside deviceLock (see PortTeardown).
        {
            LockGuard guard(deviceLock);
            if (notifyTransfer != nullptr) {
                UsbDropTransfer(this, notifyTransfer);
                notifyTransfer = nullptr;
            }
        }
        return ServiceBulk(this);
    }
    const int bulk = ServiceBulk(this);
    CompleteNotify();
    IssueNotify();
    // A receive path or a status pipe backing off asks for a timed wake-up
    // (the sooner of the two); the status transfer's completion wakes the
    // thread as before.
    int wait = bulk < 0 ? bulk : 0;
    if (notifyTransfer == nullptr) {
        const DWORD left = HaltBackOffLeft(&notifyBackOff);
        if (left > 0 && NotifyPipeOpen(this) && (wait == 0 || -static_cast<int>(left) > wait))
            wait = -static_cast<int>(left);
    }
    if (wait < 0)
        return wait;
    return (bulk != 0 || notifyTransfer != nullptr) ? 1 : 0;
}

void CdcPort::IssueNotify() {
    if (notifyTransfer != nullptr || HaltBackOffLeft(&notifyBackOff) > 0)
        return;
    const DWORD length = CdcNotifyLength(EndpointPacketSize(classEndpoint));
    LockGuard guard(deviceLock);
    if (notifyPipe != nullptr) {
        notifyTransfer =
            UsbIssueInterrupt(this, notifyPipe, serviceEvent,
                              USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK, length, notifyBuffer);
    }
}

void CdcPort::CompleteNotify() {
    USB_TRANSFER transfer = notifyTransfer;
    if (transfer == nullptr)
        return;
    DWORD bytes = 0;
    DWORD error = 0;
    const BOOL done = UsbIsComplete(this, transfer);
    const BOOL ok = UsbGetStatus(this, transfer, &bytes, &error);
    if (ok && !done)
        return;
    // A transfer whose status cannot be read is aborted (the buffer is
    // reused by the next one) and closed; its contents are not trusted.
    if (ok) {
        UsbCloseTransfer(this, transfer);
    } else {
        UsbDropTransfer(this, transfer);
        bytes = 0;
    }
    notifyTransfer = nullptr;
    // A halted status pipe fails every later transfer at once: without
    // recovering it the status would be lost for good. A failing pipe is
    // polled again only after the back-off, so that the worker does not
    // spin on an endpoint that keeps failing.
    if (!ok || (error != USB_NO_ERROR && error != USB_CANCELED_ERROR)) {
        RecoverHaltedPipe(this, &notifyPipe, classEndpoint);
        HaltBackOffFailed(&notifyBackOff);
    } else if (error == USB_NO_ERROR) {
        notifyBackOff.failures = 0;
    }

    // Only a complete SERIAL_STATE counts; anything else (another
    // notification, a short, long or failed transfer) is dropped.
    if (bytes != kSerialStateLength || notifyBuffer[0] != kNotifyRequestType ||
        notifyBuffer[1] != kNotifySerialState) {
        return;
    }
    const WORD bitmap = static_cast<WORD>(notifyBuffer[kSerialStateOffset] |
                                          (notifyBuffer[kSerialStateOffset + 1] << 8));
    DWORD modem = 0;
    DWORD errors = 0;
    DWORD signals = 0;
    CdcDecodeSerialState(bitmap, (usbMode & kUsbModeCdcStatusCts) != 0 ? TRUE : FALSE, &modem,
                         &errors, &signals);
    UpdateLineStatus(this, modem, errors, signals);
}
