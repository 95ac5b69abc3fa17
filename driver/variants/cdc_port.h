// CDC abstract-control port (type 1): the basic bulk pair plus an
// interrupt-IN status endpoint carrying SERIAL_STATE notifications; line
// coding, control lines and break go as class requests to the interface
// that owns the status endpoint (wIndex = interfaceNumber).
//
// Variants by UsbMode flag: kUsbModeCdcStatusCts, a chip whose SERIAL_STATE
// carries CTS in bit 7; kUsbModeNoLineCoding, a device that must never be
// sent SET_LINE_CODING.
//
// Threads and locks: Start/Stop [attach]; ApplyLineSettings, SetBreak and
// the synchronous SetControlLines [app] (the latter with deviceLock held from
// ApplyHandshakeLines, without it from the DTR/RTS requests and the last
// close: it enters the lock itself, which is recursive); the asynchronous
// SetControlLines [worker, inside deviceLock] from input flow control;
// Service, IssueNotify and CompleteNotify [worker] only. `lineState` and
// `notifyPipe` are guarded by deviceLock (Start stores them inside it too);
// `notifyTransfer`, `notifyBuffer` and `notifyBackOff` belong to the worker
// (and to Stop once it has ended).
#pragma once

#include "driver/port/halt.h"
#include "driver/port/port.h"

// Whether the DCB's data bits, parity and stop bits have a line-coding
// code: bDataBits 5, 6, 7, 8 or 16, bParityType 0-4, bCharFormat 0-2.
BOOL CdcLineCodingFits(const DCB& dcb);

class CdcPort : public SerialPort {
  public:
    CdcPort() noexcept {}

    // FALSE, with nothing opened, when the class, receive or send endpoint
    // is missing or the class endpoint reports a packet size of 0.
    // Otherwise the bulk pair as the basic port, the status pipe opened and
    // its halt cleared, SET_COMM_FEATURE(ABSTRACT_STATE) sent.
    BOOL Start() override SL_EXCLUDES(deviceLock);
    // Retires a status transfer a terminated worker left, closes the status
    // pipe, then the bulk pipes (the worker has retired its other transfers
    // by then, or teardown has: see PortTeardown).
    BOOL Stop() override SL_EXCLUDES(deviceLock);
    // DTR and RTS from the DCB, then SET_LINE_CODING (unless the device
    // must not receive it). Always TRUE.
    BOOL ApplyLineSettings() override SL_EXCLUDES(deviceLock);
    // SEND_BREAK 0xFFFF (until ended) or 0. Nonzero when the request was
    // issued, 0 when it could not be.
    BOOL SetBreak(BOOL on) override SL_EXCLUDES(deviceLock);
    // SET_CONTROL_LINE_STATE with the lines in `mask` changed to `value`.
    // With an event: returns the transfer for the caller to retire (0 when
    // not issued). Without: waits for the device's answer outside deviceLock
    // (inside it when the caller holds it) and returns nonzero when the
    // request was issued, 0 when not.
    DWORD_PTR SetControlLines(DWORD mask, DWORD value, HANDLE event) override;
    // The bulk pass, then the status transfer retired and issued again.
    // Nonzero while the bulk side has work or a status transfer is out;
    // negative (a timed wake-up) while the bulk side or a failing status
    // pipe backs off.
    int Service() override SL_EXCLUDES(deviceLock, openLock);

    // [worker] Issues the next status transfer when none is outstanding.
    void IssueNotify() SL_EXCLUDES(deviceLock);
    // [worker] Retires a finished status transfer and, for a well-formed
    // SERIAL_STATE notification, reports the line state.
    void CompleteNotify() SL_EXCLUDES(openLock);

    // Control-line state last requested (kLineDtr | kLineRts); 0 after
    // Start.
    DWORD lineState SL_GUARDED_BY(deviceLock);
    // Pipe of classEndpoint, or 0.
    USB_PIPE notifyPipe SL_GUARDED_BY(deviceLock);
    // The outstanding status transfer, or 0, and where it lands.
    USB_TRANSFER notifyTransfer;
    BYTE notifyBuffer[64];
    // Back-off of a failing status pipe: no status transfer is issued
    // before its retry time. [worker] only (Start zeroes it).
    HaltBackOff notifyBackOff;
};

// Bytes asked for by each status transfer: the class endpoint's packet
// size, raised to a whole number of packets that holds a 10-byte
// SERIAL_STATE notification (endpoints of 8 bytes split it in two packets),
// and never more than notifyBuffer holds. 0 for a packet size of 0.
DWORD CdcNotifyLength(DWORD packetSize);

// The modem-status word (MS_ bits), CE_ error bits and signal events of a
// SERIAL_STATE UART bitmap. Without `ctsInState` CTS is always reported on;
// with it CTS follows bit 7. Break and ring are irregular signals: a device
// sets them once per break or ring (and resets them after sending), or, on
// some devices, in every notification while they last. Either way they are
// events (EV_BREAK with CE_BREAK, EV_RING), raised for each notification
// that carries them, and never held as a line, which the first kind would
// never drop.
void CdcDecodeSerialState(WORD bitmap, BOOL ctsInState, DWORD* modemWord, DWORD* lineErrors,
                          DWORD* signals);
