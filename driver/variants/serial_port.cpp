// The basic port (type 0): a bulk-IN and a bulk-OUT endpoint and no control
// protocol. These operations are the defaults of every other port class.
#include "driver/platform/usb_calls.h"
#include "driver/port/line_status.h"
#include "driver/port/port.h"
#include "driver/port/receive.h"

namespace {

constexpr LONG kDefaultMaxWriteSize = 63;
constexpr LONG kDefaultRxSlotCount = 4;
constexpr LONG kDefaultRxTransferSize = 64;

// Opens the endpoint's pipe and clears its halt; the halt request's outcome
// is not examined. 0 when the pipe does not open.
USB_PIPE OpenAndClear(SerialPort* port, LPCUSB_ENDPOINT endpoint) {
    USB_PIPE pipe = UsbOpenPipe(port, endpoint);
    UsbClearHalt(port, endpoint);
    return pipe;
}

}  // namespace

BOOL SerialPort::Start() {
    // A bulk endpoint reporting a packet size of 0 cannot move data: receive
    // transfers of 0 bytes would complete at once forever, and the write
    // limit and the zero-length-packet rule are defined by the packet size.
    // Such a device is refused before anything is opened. So is a bulk-OUT
    // packet size of 1: a transfer stays one byte below the packet size, so
    // no write could ever send a byte, and every write would report 0 bytes
    // as a success.
    if (sendEndpoint != nullptr && EndpointPacketSize(sendEndpoint) < 2)
        return FALSE;
    if (receiveEndpoint != nullptr && EndpointPacketSize(receiveEndpoint) == 0)
        return FALSE;

    maxWriteSize = kDefaultMaxWriteSize;
    // "ReceiveSlots" raises (or lowers) the slot count, up to kMaxRxSlots.
    rxSlotCount = kDefaultRxSlotCount;
    if (rxSlotsWanted > 0)
        rxSlotCount = rxSlotsWanted < kMaxRxSlots ? rxSlotsWanted : kMaxRxSlots;
    rxTransferSize = kDefaultRxTransferSize;
    if (sendEndpoint != nullptr)
        maxWriteSize = static_cast<LONG>(EndpointPacketSize(sendEndpoint)) - 1;
    if (receiveEndpoint != nullptr) {
        rxTransferSize = static_cast<LONG>(EndpointPacketSize(receiveEndpoint));
    }
    WriteULongRelease(&modemStatus, MS_CTS_ON | MS_DSR_ON);
    USB_PIPE receive = nullptr;
    USB_PIPE send = nullptr;
    if (receiveEndpoint != nullptr)
        receive = OpenAndClear(this, receiveEndpoint);
    if (sendEndpoint != nullptr)
        send = OpenAndClear(this, sendEndpoint);
    // No other thread uses the port yet; the pipes are stored inside
    // deviceLock all the same, like every later look at them.
    LockGuard guard(deviceLock);
    receivePipe = receive;
    sendPipe = send;
    return TRUE;
}

BOOL SerialPort::Stop() {
    LockGuard guard(deviceLock);
    if (receivePipe != nullptr)
        UsbClosePipe(this, receivePipe);
    receivePipe = nullptr;
    if (sendPipe != nullptr)
        UsbClosePipe(this, sendPipe);
    sendPipe = nullptr;
    return TRUE;
}

void SerialPort::WakeAll() {
    SetEvent(readEvent);
    SetEvent(writeEvent);
}

BOOL SerialPort::ApplyLineSettings() {
    return ApplyHandshakeLines(this);
}

BOOL ApplyHandshakeLines(SerialPort* port) {
    // The lines are decided and sent inside deviceLock, where input flow
    // control changes inputStopped and sends its own line changes: a value
    // decided on a stale inputStopped can never reach the device after the
    // worker's newer one (a raise after its drop would let the device
    // overrun the ring). A class whose request waits for the device's
    // answer waits inside the lock; settings change seldom.
    LockGuard guard(port->deviceLock);
    const DCB dcb = port->dcb;
    if (!dcb.fOutX)
        WriteRelease(&port->outputHeld, 0);
    const bool running = ReadAcquire(&port->inputStopped) == 0;
    DWORD value = 0;
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE ||
        (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE && running)) {
        value |= kLineDtr;
    }
    if (dcb.fRtsControl == RTS_CONTROL_ENABLE ||
        (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE && running)) {
        value |= kLineRts;
    }
    port->SetControlLines(kLineDtr | kLineRts, value, nullptr);
    return TRUE;
}

USB_TRANSFER SerialPort::IssueWrite(const BYTE* data, DWORD length) {
    if ((usbMode & kUsbModeWriteUnlimited) == 0) {
        // maxWriteSize is at least 1: Start refuses packet sizes below 2.
        if (length > static_cast<DWORD>(maxWriteSize))
            length = static_cast<DWORD>(maxWriteSize);
        // These chips lose the transfer when its length ends in 0xF; one
        // byte less goes now and the rest with the next transfer.
        if ((usbMode & kUsbModeNoNibbleRule) == 0 && (length & 0xFu) == 0xFu)
            length -= 1;
    }
    if (sendPipe == nullptr)
        return nullptr;
    return UsbIssueBulk(this, sendPipe, writeEvent, USB_OUT_TRANSFER, length,
                        const_cast<BYTE*>(data));
}

USB_TRANSFER SerialPort::SendImmediate(const BYTE* ch) {
    USB_PIPE pipe;
    {
        LockGuard guard(deviceLock);
        pipe = sendPipe;
    }
    if (pipe == nullptr)
        return nullptr;
    return UsbIssueBulk(this, pipe, nullptr, USB_OUT_TRANSFER, 1, const_cast<BYTE*>(ch));
}

USB_TRANSFER SerialPort::SendFlowChar(const BYTE* ch) {
    if (sendPipe == nullptr)
        return nullptr;
    return UsbIssueBulk(this, sendPipe, serviceEvent, USB_OUT_TRANSFER, 1, const_cast<BYTE*>(ch));
}

BOOL SerialPort::WriteFinished(DWORD* count) {
    if (sendEndpoint == nullptr || *count == 0)
        return FALSE;
    const DWORD packet = EndpointPacketSize(sendEndpoint);
    if (packet == 0)
        return FALSE;
    return *count % packet == 0 ? TRUE : FALSE;
}

BOOL SerialPort::SetBreak(BOOL) {
    return 0;
}

DWORD_PTR SerialPort::SetControlLines(DWORD, DWORD, HANDLE) {
    return 0;
}

BOOL SerialPort::SelectChannel(OpenHandle* handle, DWORD channel) {
    if (parent != nullptr)
        return parent->SelectChannel(handle, channel);
    return channel == kChannelPrimary ? TRUE : FALSE;
}

BOOL SerialPort::DeliverReceived(const BYTE* data, DWORD length) {
    return ::DeliverReceived(this, data, length);
}

int SerialPort::Service() {
    return ServiceBulk(this);
}
