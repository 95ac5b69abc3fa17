// The receive pipeline shared by every port type: receive transfers kept
// queued on the bulk-IN pipe, retired strictly in issue order into the
// receive ring, XON/XOFF filtering of received data, and input flow control
// by the ring's fill level.
//
// Everything here runs on the port's worker thread [worker] only. The ring
// has one producer (this thread, ringHead) and one consumer side (readers and
// the receive purge, ringTail); each computation reads ringTail once with
// ReadAcquire, and a stale value errs on the safe side (less free space, more
// bytes held). No memory is allocated here.
#pragma once

#include "driver/port/port.h"

// SerialPort's Service: retires every completed receive transfer in order,
// refills every free slot the ring has room for, runs input flow control.
// Nonzero while anything is outstanding or the pipe is usable; 0 once the
// last issue failed and no receive or flow-control transfer is outstanding.
int ServiceBulk(SerialPort* port);

// Retires the oldest queued receive transfer when it has completed: 1 when
// one was retired (and delivered), 0 when none was.
int CompleteReceive(SerialPort* port);

// Queues one receive transfer when a slot is free and the ring has room for
// every queued transfer plus this one at the full transfer size: 1 issued,
// -1 nothing issued but the pipe is usable, 0 the receive path is stuck (the
// issue failed, or the pipe is halted or its state unknown).
int IssueReceive(SerialPort* port);

// SerialPort's DeliverReceived: stores one block in the ring (filtering
// XON/XOFF into outputHeld when DCB.fOutX is set; bytes that do not fit are
// dropped), sets readEvent and posts EV_RXCHAR, also for an empty block.
// Always TRUE. Must not be called with flowLock or openLock held.
BOOL DeliverReceived(SerialPort* port, const BYTE* data, DWORD length)
    SL_EXCLUDES(port->flowLock, port->openLock);

// Retires finished flow-control transfers, then, when none is outstanding,
// stops the device above three quarters full (lines dropped, XOFF) and
// resumes it below one quarter (lines raised, XON, and writers held by the
// input stop are woken). Always 0.
int InputFlowControl(SerialPort* port) SL_EXCLUDES(port->flowLock);

// Ring arithmetic on signed 32-bit values: bytes held and free space for the
// given indices.
inline LONG RingHeld(LONG head, LONG tail, LONG size) {
    LONG held = head - tail;
    return held < 0 ? held + size : held;
}
inline LONG RingFree(LONG head, LONG tail, LONG size) {
    LONG free = tail - head - 1;
    return free < 0 ? free + size : free;
}
