// Recovery of a halted pipe, shared by the receive, send and status pipes.
//
// A host controller halts a pipe on any transaction error but a cancel (a
// STALL, a CRC or bit-stuffing error, no response, babble) and moves nothing
// on it until the client's ResetPipe. ResetPipe clears the halt within the
// host and resets the host's data toggle, but not the endpoint on the
// device: its stall and its toggle are cleared by the standard request
// CLEAR_FEATURE(ENDPOINT_HALT). A pipe is therefore recovered with both, the
// request first, so that the two toggles start again at DATA0 together;
// either alone leaves the pipe failing (host still halted) or drops a packet
// (toggles out of step).
//
// The pipe field is read inside deviceLock (Stop closes the pipes there); the
// feature request is synchronous and made outside it. Recovery is attempted
// with a back-off (HaltBackOff), so that an endpoint that keeps failing
// costs a request every kHaltRetryMaxMs at most, not a spin.
#pragma once

#include "driver/port/port.h"

// First and longest wait of a failing pipe's back-off (milliseconds).
constexpr DWORD kHaltRetryFirstMs = 2;
constexpr DWORD kHaltRetryMaxMs = 100;

// The wait after `failures` consecutive failures (1 or more): doubles from
// kHaltRetryFirstMs up to kHaltRetryMaxMs.
DWORD HaltBackOffDelay(LONG failures);

// Counts one more failure and sets the next retry time.
void HaltBackOffFailed(HaltBackOff* backOff);
// Milliseconds left before the pipe may be used again; 0 when it may.
DWORD HaltBackOffLeft(const HaltBackOff* backOff);

// When the host reports `*pipe` halted: CLEAR_FEATURE(ENDPOINT_HALT) to
// `endpoint`, then ResetPipe. TRUE when a halt was found (and cleared),
// FALSE when the pipe is not halted, its state cannot be read or it is
// closed. Must not be called with deviceLock held.
BOOL RecoverHaltedPipe(SerialPort* port, USB_PIPE* pipe, LPCUSB_ENDPOINT endpoint)
    SL_EXCLUDES(port->deviceLock);

// The send pipe after a transfer on it ([app] writes, [worker] flow
// characters) ended in an error other than a cancel: recovered when halted,
// at most once per back-off wait (sendBackOff, under deviceLock). Writes made
// meanwhile fail at once on the still halted pipe.
void SendPipeFailed(SerialPort* port) SL_EXCLUDES(port->deviceLock);
// A transfer on the send pipe ended well: the back-off starts over.
void SendPipeWorked(SerialPort* port) SL_EXCLUDES(port->deviceLock);
