// FTDI ports (type 3): chips driven entirely by vendor requests on the
// default pipe (reset, modem control, baud rate, data format) that frame the
// bulk data themselves. Every bulk-IN packet starts with two status bytes
// (modem lines, line errors and break). FtdiPort (UsbMode flag 0x200) takes
// a baud-rate divisor and plain bulk-OUT data; FtdiHeaderPort takes a
// rate code from a fixed table and a header byte in front of every bulk-OUT
// transfer.
//
// Threads and locks: ApplyLineSettings, SetBreak and SetControlLines without
// an event run on [app] threads and hold no lock while they send (the mask
// byte of the modem control request names the lines to change, so nothing
// is remembered; the DCB is copied inside deviceLock); the handshake lines of
// ApplyLineSettings go inside deviceLock, held by ApplyHandshakeLines.
// SetControlLines with an event runs on [worker] inside deviceLock.
// DeliverReceived runs on [worker] only. FtdiHeaderPort's IssueWrite runs
// inside deviceLock ([app]) and SendFlowChar inside deviceLock ([worker]);
// SendImmediate reads the pipe inside deviceLock and sends outside it. They
// use different buffers (SendImmediate builds its packet on its own stack),
// so no two transfers in flight share storage.
#pragma once

#include "driver/port/port.h"

// Vendor requests of the chips (bRequest), host-to-device, recipient device.
constexpr BYTE kFtdiRequestType = 0x40;
constexpr BYTE kFtdiReset = 0x00;
constexpr BYTE kFtdiModemControl = 0x01;
constexpr BYTE kFtdiBaudRate = 0x03;
constexpr BYTE kFtdiDataFormat = 0x04;

// Bit of the data-format word that holds the line in a break.
constexpr WORD kFtdiFormatBreak = 0x4000;

// The divisor field holds 14 integer bits and a sub-integer code; the
// largest divisor it can express is 16383.5 (wValue 0x7FFF). Rates below
// what that divides down to (183 baud from 24 MHz, 45 from 6 MHz) would
// carry into the sub-integer bits and select an unrelated rate, so they are
// clamped to it: the line then runs at the slowest rate the chip has.
constexpr DWORD kFtdiMaxDivisorEighths = 0x3FFF * 8 + 4;

// wValue of FtdiPort's baud-rate request for `baudRate` (0 means 9600),
// with the 24 MHz clock or, with kUsbModeFtdiSlowClock in `usbMode`, 6 MHz.
WORD FtdiDivisor(DWORD baudRate, DWORD usbMode);
// wValue of FtdiHeaderPort's baud-rate request: the rate's code, 5 (9600)
// for rates the table lacks.
WORD FtdiRateCode(DWORD baudRate);
// The data-format word: ByteSize, Parity << 8, StopBits << 11, and the
// break bit when `breakOn`. Parity and StopBits are cut to their fields, so
// that no value reaches the break bit or another field.
WORD FtdiDataFormat(const DCB& dcb, BOOL breakOn);
// Whether the chips can run the DCB's data format: 7 or 8 data bits, parity
// 0-4 (none, odd, even, mark, space), stop bits 0-2 (one, one and a half,
// two).
BOOL FtdiDataFormatFits(const DCB& dcb);

class FtdiPort : public SerialPort {
  public:
    FtdiPort() noexcept {}

    // Needs a bulk-IN and a bulk-OUT endpoint; runs SerialPort's Start and
    // resets the chip.
    BOOL Start() override SL_EXCLUDES(deviceLock);
    // Handshake lines, then the divisor and the data format (break clear).
    // The outcomes of the requests are not examined: always TRUE.
    BOOL ApplyLineSettings() override SL_EXCLUDES(deviceLock);
    // Re-sends the data format from the DCB with the break bit set or
    // clear; nonzero when the request was issued.
    BOOL SetBreak(BOOL on) override SL_EXCLUDES(deviceLock);
    // Modem control: wValue = mask << 8 | value. With an event the transfer
    // is returned for the caller to retire; without, it is synchronous and
    // the result is nonzero when it was issued.
    DWORD_PTR SetControlLines(DWORD mask, DWORD value, HANDLE event) override;
    // Cuts the block into packets of the bulk-IN endpoint's size: each
    // packet's status pair goes to UpdateLineStatus, its data to the ring.
    BOOL DeliverReceived(const BYTE* data, DWORD length) override SL_EXCLUDES(deviceLock, openLock);

  protected:
    // Sends a vendor request with no data stage synchronously and closes
    // it; TRUE when it was issued.
    BOOL SendRequest(BYTE request, WORD value);
};

class FtdiHeaderPort : public FtdiPort {
  public:
    FtdiHeaderPort() noexcept {}

    // FtdiPort's Start, then the write limit: one transfer is a header and
    // at most 63 data bytes, and never reaches the packet size.
    BOOL Start() override SL_EXCLUDES(deviceLock);
    // Handshake lines, the rate code and the data format.
    BOOL ApplyLineSettings() override SL_EXCLUDES(deviceLock);
    USB_TRANSFER IssueWrite(const BYTE* data, DWORD length) override SL_REQUIRES(deviceLock);
    // One character with its header, synchronously.
    USB_TRANSFER SendImmediate(const BYTE* ch) override SL_EXCLUDES(deviceLock);
    // One character with its header from charBuffer; completion sets
    // serviceEvent.
    USB_TRANSFER SendFlowChar(const BYTE* ch) override SL_REQUIRES(deviceLock);
    // Takes the header byte off the count; never asks for a zero-length
    // packet.
    BOOL WriteFinished(DWORD* count) override;

    // Builds header and data in `buffer` (length + 1 bytes, length <= 63)
    // and sends it on `pipe`, the bulk-OUT pipe as the caller read it
    // inside deviceLock: through TransferNotify on `event`, or synchronously
    // when `event` is 0. 0 when not issued (also when `pipe` is 0).
    USB_TRANSFER SendWithHeader(USB_PIPE pipe, BYTE* buffer, const BYTE* data, DWORD length,
                                HANDLE event);

    // Header byte plus up to 63 data bytes of the write in flight ([app],
    // inside deviceLock).
    BYTE writeBuffer[64];
    // Header byte plus one character, for the flow-control character in
    // flight ([worker], inside deviceLock).
    BYTE charBuffer[2];
};
