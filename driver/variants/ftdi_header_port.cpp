// FTDI port whose chip takes a rate code and a header byte in front of the
// data of every bulk-OUT transfer (type 3 without flag 0x200).
#include "driver/platform/usb_calls.h"
#include "driver/variants/ftdi_port.h"

namespace {

// The header holds the data length in bits 2-7 and the value 1 in bits 0-1,
// so one transfer carries at most 63 data bytes.
constexpr DWORD kMaxHeaderData = 63;
constexpr BYTE kHeaderTag = 0x01;

// Lengths these chips lose: a transfer of 15 mod 16 bytes. With the header
// that is a data length of 14 mod 16.
constexpr DWORD kUnsafeDataNibble = 14;

}  // namespace

BOOL FtdiHeaderPort::Start() {
    // A transfer stays below the packet size and holds the header and at
    // least one data byte: packets of fewer than 3 bytes cannot carry data.
    if (sendEndpoint != nullptr && EndpointPacketSize(sendEndpoint) < 3)
        return FALSE;
    if (!FtdiPort::Start())
        return FALSE;
    // A transfer, header included, stays below the packet size (so it is
    // one short packet), and the header cannot count past 63.
    DWORD limit = EndpointPacketSize(sendEndpoint) - 2;
    if (limit > kMaxHeaderData)
        limit = kMaxHeaderData;
    maxWriteSize = static_cast<LONG>(limit);
    return TRUE;
}

BOOL FtdiHeaderPort::ApplyLineSettings() {
    ApplyHandshakeLines(this);
    DCB dcb;
    PortLoadDcb(this, &dcb);
    SendRequest(kFtdiBaudRate, FtdiRateCode(dcb.BaudRate));
    SendRequest(kFtdiDataFormat, FtdiDataFormat(dcb, FALSE));
    return TRUE;
}

USB_TRANSFER FtdiHeaderPort::SendWithHeader(USB_PIPE pipe, BYTE* buffer, const BYTE* data,
                                            DWORD length, HANDLE event) {
    buffer[0] = static_cast<BYTE>(length * 4 + kHeaderTag);
    if (length > 0)
        __builtin_memcpy(buffer + 1, data, length);
    if (pipe == nullptr)
        return nullptr;
    return UsbIssueBulk(this, pipe, event, USB_OUT_TRANSFER, length + 1, buffer);
}

USB_TRANSFER FtdiHeaderPort::IssueWrite(const BYTE* data, DWORD length) {
    // The limit holds whatever the UsbMode flags say: writeBuffer and the
    // header have room for 63 data bytes, no more.
    if (length > static_cast<DWORD>(maxWriteSize))
        length = static_cast<DWORD>(maxWriteSize);
    if ((usbMode & kUsbModeNoNibbleRule) == 0 && length % 16 == kUnsafeDataNibble)
        length -= 1;
    return SendWithHeader(sendPipe, writeBuffer, data, length, writeEvent);
}

USB_TRANSFER FtdiHeaderPort::SendImmediate(const BYTE* ch) {
    // Synchronous, outside deviceLock (taken only for the look at the pipe,
    // as the basic port does): the packet is done with when the call
    // returns.
    USB_PIPE pipe;
    {
        LockGuard guard(deviceLock);
        pipe = sendPipe;
    }
    BYTE packet[2];
    return SendWithHeader(pipe, packet, ch, 1, nullptr);
}

USB_TRANSFER FtdiHeaderPort::SendFlowChar(const BYTE* ch) {
    return SendWithHeader(sendPipe, charBuffer, ch, 1, serviceEvent);
}

BOOL FtdiHeaderPort::WriteFinished(DWORD* count) {
    // The transfer's count includes the header; callers count data bytes
    // (a write, and the immediate character, whose 2 bytes are 1 character).
    if (*count != 0)
        *count -= 1;
    return FALSE;
}
