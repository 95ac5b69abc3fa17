// Port lifecycle and the worker thread: PortInit brings a created port to
// life, PortTeardown releases it, PortResetSettings puts the serial settings
// to their defaults, ServiceThread runs the class's Service pass until it
// reports no work left, TransferNotify completes every asynchronous transfer.
#pragma once

#include "driver/port/port.h"

// [attach] Creates openLock, deviceLock and sessionLock, runs the class's
// Start, creates readEvent, writeEvent and serviceEvent, brings ringSize
// within bounds (ReceiveRingSize), allocates the ring (empty) and the
// receive slots, frees both directions, resets the settings, records the
// caller's priority and starts the worker thread.
// When anything after Start fails, everything done so far is undone, the
// class's Stop included, and the port is left "not started" (serviceThread
// null, as after a failed Start): FALSE. The attach code then frees the
// object without PortTeardown. WmcPort's Start also runs it for its second
// channel.
BOOL PortInit(SerialPort* port);

// [attach] For a started port: asks the worker thread to end (`stopping`)
// and wakes it, gives it 1000 ms to end, otherwise terminates it (holding
// deviceLock, so that the worker is never stopped owning it, nor halfway
// through what it does inside it); retires every transfer it left
// outstanding; only then Stop, which closes the
// pipes; then releases the thread handle, events, locks, ring and slots.
// The pipes close last because a pipe's close may end the handles of the
// transfers issued on it, and the routines of the transfers it cancels may
// run after it returned: every transfer is closed by its owner first (its
// close returns after its routine ran). Never releases anything while the
// worker thread may still run: a terminated thread is waited for
// (boundedly) until it is seen stopped, and the transfers it left
// outstanding are all aborted, given one bounded wait together and closed
// before their buffers and events go.
// TRUE, also for a port that is not started (PortInit failed), which is left
// alone. FALSE when a worker thread (this port's, or its second channel's)
// could not be ended: then nothing is released (this port's pipes stay
// open, Stop is not run) and the object must not be freed either.
BOOL PortTeardown(SerialPort* port) SL_EXCLUDES(port->deviceLock);

// [attach] at PortInit, [app] at the first open (the worker thread runs
// meanwhile): clears outputHeld, inputStopped and errors, and puts timeouts
// and dcb to their defaults. The ring and the busy flags are left to their
// owners (the first open empties the ring through the receive side's
// protocol). Always TRUE.
BOOL PortResetSettings(SerialPort* port);

// [worker] Thread routine; parameter: the port. Sets the worker priority,
// calls Service once, then waits on serviceEvent and calls it again while it
// returns nonzero (after a negative result, also once -result milliseconds
// have passed without the event). Exit code 0.
DWORD WINAPI ServiceThread(LPVOID parameter);

// [host] Completion routine of every asynchronous transfer: the context is
// an event handle, which it sets. Returns 0.
DWORD WINAPI TransferNotify(LPVOID context);

// [worker, or attach once no worker runs] Aborts every receive and
// flow-control transfer the port holds, gives them one bounded wait
// together to report completion and closes each, all inside deviceLock.
void PortRetireTransfers(SerialPort* port) SL_EXCLUDES(port->deviceLock);

// Timeout given to the worker thread to end at teardown.
constexpr DWORD kServiceThreadExitTimeoutMs = 1000;
