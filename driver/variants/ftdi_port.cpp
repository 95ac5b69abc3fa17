// FTDI port with a baud-rate divisor and unframed writes (type 3 with flag
// 0x200), and the protocol pieces both FTDI classes share.
#include "driver/variants/ftdi_port.h"
#include "driver/platform/usb_calls.h"
#include "driver/port/line_status.h"
#include "driver/port/receive.h"

namespace {

constexpr DWORD kDefaultRate = 9600;
constexpr DWORD kClock = 24000000;
constexpr DWORD kSlowClock = 6000000;

// Rate codes of the header-framed chip, by code.
constexpr DWORD kRateCodes[] = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
constexpr WORD kDefaultRateCode = 5;

// The two status bytes at the head of every bulk-IN packet.
constexpr DWORD kStatusBytes = 2;
constexpr BYTE kModemLinesMask = 0xF0;  // CTS, DSR, ring, carrier: the MS_ bits
constexpr BYTE kLineErrorsMask = 0x1E;  // overrun, parity, framing, break: the CE_ bits
constexpr BYTE kLineBreakBit = 0x10;    // break in the line-status byte

// Widths of the parity (bits 8-10) and stop-bit (bits 11-12) fields of the
// data-format word.
constexpr DWORD kFormatParityMask = 0x7;
constexpr DWORD kFormatStopBitsMask = 0x3;

}  // namespace

WORD FtdiDivisor(DWORD baudRate, DWORD usbMode) {
    const DWORD rate = baudRate != 0 ? baudRate : kDefaultRate;
    const DWORD clock = (usbMode & kUsbModeFtdiSlowClock) != 0 ? kSlowClock : kClock;
    // The divisor in eighths; the chip divides its base (clock / 8) by it.
    DWORD eighths = clock / rate;
    if (eighths > kFtdiMaxDivisorEighths)
        eighths = kFtdiMaxDivisorEighths;
    // Up to a divisor of 2 the chip has three settings only: 0 runs at the
    // base rate (clock / 8) itself, 1 at two thirds of it and 2 at half of
    // it; 1 with a fraction is no divisor the chip takes. A rate above half
    // the base gets the setting whose rate is nearest to it: the base rate
    // from 5/6 of it up (2.5 Mbaud of 3), two thirds of it from 7/12 up
    // (1.75 Mbaud), else half of it.
    if (eighths < 16) {
        const DWORD base = clock / 8;
        if (rate >= base / 6 * 5)
            return 0;
        if (rate >= base / 12 * 7)
            return 1;
        return 2;
    }
    // The chip knows only the sub-integer steps 1/2, 1/4 and 1/8, one at a
    // time: the highest eighth bit set decides and the lower ones are lost.
    DWORD code = 0;
    if ((eighths & 4) != 0)
        code = 0x4000;
    else if ((eighths & 2) != 0)
        code = 0x8000;
    else if ((eighths & 1) != 0)
        code = 0xC000;
    return static_cast<WORD>(code | (eighths >> 3));
}

WORD FtdiRateCode(DWORD baudRate) {
    for (WORD code = 0; code < sizeof(kRateCodes) / sizeof(kRateCodes[0]); ++code) {
        if (kRateCodes[code] == baudRate)
            return code;
    }
    return kDefaultRateCode;
}

WORD FtdiDataFormat(const DCB& dcb, BOOL breakOn) {
    // The DCB's codes are the chip's own (parity 0-4, stop bits 0-2).
    // IOCTL_SERIAL_SET_DCB refuses others; each is still cut to its field,
    // so that a stray value can never set the break bit.
    DWORD word = static_cast<DWORD>(dcb.ByteSize) |
                 ((static_cast<DWORD>(dcb.Parity) & kFormatParityMask) << 8) |
                 ((static_cast<DWORD>(dcb.StopBits) & kFormatStopBitsMask) << 11);
    if (breakOn)
        word |= kFtdiFormatBreak;
    return static_cast<WORD>(word);
}

BOOL FtdiDataFormatFits(const DCB& dcb) {
    return (dcb.ByteSize == 7 || dcb.ByteSize == 8) && dcb.Parity <= SPACEPARITY &&
           dcb.StopBits <= TWOSTOPBITS;
}

BOOL FtdiPort::SendRequest(BYTE request, WORD value) {
    USB_DEVICE_REQUEST setup{kFtdiRequestType, request, value, 0, 0};
    USB_TRANSFER transfer = UsbIssueVendor(this, nullptr, USB_SEND_TO_DEVICE, &setup, nullptr);
    if (transfer == nullptr)
        return FALSE;
    UsbCloseTransfer(this, transfer);
    return TRUE;
}

BOOL FtdiPort::Start() {
    // Data moves only on the bulk pipes; without both there is no port.
    if (receiveEndpoint == nullptr || sendEndpoint == nullptr)
        return FALSE;
    // Every bulk-IN packet opens with the status pair: a packet size of 2 or
    // less leaves no room for a data byte, and nothing could be received.
    if (EndpointPacketSize(receiveEndpoint) <= kStatusBytes)
        return FALSE;
    if (!SerialPort::Start())
        return FALSE;
    // The reset empties the chip's buffers; its outcome is not examined.
    SendRequest(kFtdiReset, 0);
    return TRUE;
}

BOOL FtdiPort::ApplyLineSettings() {
    ApplyHandshakeLines(this);
    DCB dcb;
    PortLoadDcb(this, &dcb);
    SendRequest(kFtdiBaudRate, FtdiDivisor(dcb.BaudRate, usbMode));
    SendRequest(kFtdiDataFormat, FtdiDataFormat(dcb, FALSE));
    return TRUE;
}

BOOL FtdiPort::SetBreak(BOOL on) {
    DCB dcb;
    PortLoadDcb(this, &dcb);
    return SendRequest(kFtdiDataFormat, FtdiDataFormat(dcb, on));
}

DWORD_PTR FtdiPort::SetControlLines(DWORD mask, DWORD value, HANDLE event) {
    const WORD wValue = static_cast<WORD>(mask * 256 + value);
    if (event == nullptr)
        return SendRequest(kFtdiModemControl, wValue);
    USB_DEVICE_REQUEST setup{kFtdiRequestType, kFtdiModemControl, wValue, 0, 0};
    return reinterpret_cast<DWORD_PTR>(
        UsbIssueVendor(this, event, USB_SEND_TO_DEVICE, &setup, nullptr));
}

BOOL FtdiPort::DeliverReceived(const BYTE* data, DWORD length) {
    // The chip puts a status pair at the head of every bulk-IN packet, and a
    // transfer may hold several packets: the block is cut at the endpoint's
    // packet size (64 on full-speed chips, 512 on high-speed ones), so that
    // no data byte is taken for status. Start guarantees the endpoint.
    DWORD packet = EndpointPacketSize(receiveEndpoint);
    if (packet < kStatusBytes)
        packet = kStatusBytes;
    const DWORD dataPerPacket = packet - kStatusBytes;
    while (length >= kStatusBytes) {
        const BYTE modem = data[0];
        const BYTE line = data[1];
        DWORD n = length - kStatusBytes;
        if (n > dataPerPacket)
            n = dataPerPacket;
        // The error and break bits describe the characters a packet carries;
        // a status-only packet repeats those of the last characters received
        // (the chip's line-status register keeps them), so only the modem
        // lines of such a packet are news. A break comes as a NUL character
        // marked with the break bit: one EV_BREAK and CE_BREAK for it, not a
        // line held until the next packet, whose clear bit would raise
        // EV_BREAK a second time.
        const BYTE reported = n > 0 ? line : 0;
        UpdateLineStatus(this, modem & kModemLinesMask, reported & kLineErrorsMask,
                         (reported & kLineBreakBit) != 0 ? EV_BREAK : 0);
        if (n > 0)
            ::DeliverReceived(this, data + kStatusBytes, n);
        data += kStatusBytes + n;
        length -= kStatusBytes + n;
    }
    // A lone byte at the end is no packet: ignored.
    return TRUE;
}
