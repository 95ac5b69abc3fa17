// The receive pipeline shared by every port type: receive transfers kept
// queued on the receive pipe (bulk-IN, or interrupt-IN on devices that have
// no other), retired strictly in issue order into the receive ring, XON/XOFF
// filtering of received data, input flow control by the ring's fill level,
// and the back-off of a receive path that fails.
//
// Everything here runs on the port's worker thread [worker] only, the
// receive ring's producer (ring.h: one look at ringTail per computation; a
// stale one errs on the safe side). The pipe is looked at and used only
// inside deviceLock (Stop closes it there); clearing a halt is a synchronous
// request made outside it. No memory is allocated here.
#pragma once

#include "driver/port/port.h"

// SerialPort's Service: retires every completed receive transfer in order,
// refills every free slot the ring has room for, runs input flow control.
//
// A receive path that fails (a transfer completes in error or with its
// status unreadable and none completes well in the pass, an issue fails, or
// the pipe is halted or its state unknown when the ring is short of space)
// is not given up while its pipe is open: a pipe the host reports halted
// is recovered (halt.h), and issuing waits a back-off that doubles from kRxRetryFirstMs to
// kRxRetryMaxMs with every failing pass and drops back after a transfer
// completes well. Meanwhile the result is negative, -(milliseconds left),
// so that the worker thread also wakes without an event.
//
// Otherwise 1 while anything is outstanding or the pipe is usable, and 0
// once the receive pipe is closed (Stop) and no receive or flow-control
// transfer is outstanding. Once teardown asks the worker to end
// (`stopping`), every receive and flow-control transfer is retired
// (PortRetireTransfers) and the result is 0.
int ServiceBulk(SerialPort* port) SL_EXCLUDES(port->deviceLock, port->openLock);

// Back-off of a failing receive path: first and longest wait.
constexpr DWORD kRxRetryFirstMs = 2;
constexpr DWORD kRxRetryMaxMs = 100;

// Retires the oldest queued receive transfer when it has completed: 1 when
// one was retired (and delivered), 0 when none was.
int CompleteReceive(SerialPort* port) SL_EXCLUDES(port->deviceLock, port->openLock);

// Queues one receive transfer when a slot is free and the ring has room for
// every queued transfer plus this one at the full transfer size: 1 issued,
// -1 nothing issued but the pipe is usable, 0 the receive path is stuck (the
// issue failed, or the pipe is halted or its state unknown). The transfer
// asks for rxTransferSize bytes with USB_IN_TRANSFER |
// USB_SHORT_TRANSFER_OK: a bulk transfer, or an interrupt transfer when the
// receive endpoint is an interrupt endpoint (devices whose only IN endpoint
// is one).
int IssueReceive(SerialPort* port) SL_EXCLUDES(port->deviceLock);

// SerialPort's DeliverReceived: stores one block in the ring (filtering
// XON/XOFF into outputHeld when DCB.fOutX is set; bytes that do not fit are
// dropped), then, when at least one byte was stored, sets readEvent and
// posts EV_RXCHAR (an empty block, or one of flow characters only, wakes no
// reader). Always TRUE. Must not be called with deviceLock or openLock held.
BOOL DeliverReceived(SerialPort* port, const BYTE* data, DWORD length)
    SL_EXCLUDES(port->deviceLock, port->openLock);

// Retires finished flow-control transfers, then, when none is outstanding,
// stops the device above three quarters full (lines dropped, XOFF) and
// resumes it below one quarter (lines raised, XON, and writers held by the
// input stop are woken). An XON is also sent whenever input runs while the
// device was last sent XOFF (input running again after a settings reset, or
// resuming after XON/XOFF input control was switched off), so that a device
// is never left stopped. The decisions are taken inside deviceLock. Always 0.
int InputFlowControl(SerialPort* port) SL_EXCLUDES(port->deviceLock);
