// The port object: the class every port type derives from, its fields, its
// thirteen virtual operations, and the open-handle record that links an
// application's handle to a port.
//
// Threads that touch a port (tags used below):
//   [attach]  the USB host driver's thread running USBDeviceAttach and the
//             device notification (creation, PortInit, PortTeardown, free);
//   [worker]  the port's own worker thread (ServiceThread): receive ring
//             producer, receive slots, input flow control, line status;
//   [app]     application threads inside the COM_ entry points: ring
//             consumer, writes, settings, comm-event waits;
//   [host]    the USB host driver's completion threads, which only ever set
//             an event through TransferNotify.
//
// Locks (CriticalSection objects; the lock-checking build proves the SL_
// annotations below):
//   `sessionLock` serialises the work of opening and closing handles (the
//     link or unlink of a record with the first-open or last-close work that
//     goes with it), so that a last close never undoes a later first open.
//     It is taken before `openLock` or `deviceLock`, never while either is
//     held.
//   `openLock` guards `openList`, `openBarred` and the `next` links of the
//     records on the list (every walk of it).
//   `deviceLock` guards what the driver sends to the device and the state
//     that decides it: `dcb`, the pipes (`receivePipe`, `sendPipe`, a CDC
//     port's `notifyPipe`: Stop closes them inside it, so no transfer is
//     issued on a closed pipe) and a CDC port's `lineState`. It serialises
//     the issue of transfers on the send side (IssueWrite, SendFlowChar and
//     SetControlLines with an event run inside it: writes, flow-control
//     characters and handshake-line requests) and the decisions that depend
//     on `inputStopped` (input flow control's transitions, the handshake
//     lines of ApplyHandshakeLines).
//   No function holds `openLock` and `deviceLock` at once.
//
// Lock-free fields: the ring indices and the small state words shared between
// [worker] and [app] are only read and written through ce/sync.h's
// ReadAcquire/WriteRelease (or Interlocked*), never with plain accesses; the
// comments of each field say which.
//
// Lifetime: the attach code creates the object with `new` (uncleared local
// heap, null on failure) and frees it with PortDelete after PortTeardown,
// once no stream call is inside the port any more (port_token.h counts them).
// Open handles point at a port but never own it.
#pragma once

#include "driver/platform/ce.h"
#include "driver/platform/critical_section.h"
#include "driver/variants/usb_mode.h"

class SerialPort;

// Number of entries of `rxTransfers`; `rxSlotCount` never exceeds it.
constexpr LONG kMaxRxSlots = 8;

// Channel codes of SelectChannel.
constexpr DWORD kChannelSecondary = 10;
constexpr DWORD kChannelPrimary = 11;

// Bits of `modemStatus` besides the published MS_ bits: set while the device
// reports a break condition on its receive line.
constexpr DWORD kModemBreak = 0x01;

// Handshake-line bits of SetControlLines' mask and value.
constexpr DWORD kLineDtr = 0x01;
constexpr DWORD kLineRts = 0x02;

// Back-off state of a pipe that fails (driver/port/halt.h): consecutive
// failures (0 while healthy) and the tick before which it is left alone.
struct HaltBackOff {
    LONG failures;
    DWORD retryAt;
};

// The record behind every open handle: the value COM_Open returns and every
// other entry point receives. LocalAlloc(LPTR), so it starts zero-filled.
struct OpenHandle {
    // Next record on the owner's `openList`; changed only under the owner's
    // `openLock`.
    OpenHandle* next;
    // The channel this handle reads, writes and controls; null once the
    // handle is detached. Written by [app] (open, SelectChannel, detach) and
    // read by [worker] (NotifyEvents) without a common lock: always through
    // ReadPointerAcquire / WritePointerRelease.
    SerialPort* port;
    // Access code given to COM_Open (GENERIC_READ / GENERIC_WRITE bits).
    DWORD access;
    // Calls now running on this handle; InterlockedIncrement/Decrement only.
    LONG busyCount;
    // Auto-reset event a comm-event wait on this handle blocks on.
    HANDLE waitEvent;
    // 0 no wait, 1 a wait is running, 2 the wait was aborted; interlocked.
    LONG waitState;
    // High 16 bits: wait mask; low 16 bits: pending EV_ events. Changed by
    // [app] and [worker] only with interlocked compare-exchange loops.
    DWORD eventWord;
};

// The owner of a handle's list: a second channel's handles live on the list
// of the channel's parent.
SerialPort* OwnerPort(SerialPort* port);

// The basic port (type 0): one bulk-IN and one bulk-OUT endpoint and no
// control protocol. Its operations are also the defaults of every derived
// class (driver/variants/serial_port.cpp).
class SerialPort {
  public:
    // Port objects live on the local heap, uncleared: every field is given
    // its value by the attach code, Start, PortInit or PortResetSettings
    // before it is read. A failed allocation yields null.
    static void* operator new(size_t size) noexcept;
    static void operator delete(void* block) noexcept;
    // Placement form, for a port embedded in another (WmcPort::secondary).
    static void* operator new(size_t, void* where) noexcept { return where; }

    SerialPort() noexcept {}
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // ---- Virtual operations, in slot order -------------------------------

    // [attach] Run by PortInit once the port's locks exist, before any
    // event, buffer or thread of the port does. Opens the pipes, clears their
    // halt and stores them (inside deviceLock), sets maxWriteSize, rxSlotCount,
    // rxTransferSize and the initial modemStatus. FALSE makes PortInit fail
    // with nothing created (the basic port refuses an endpoint whose packet
    // size is 0).
    virtual BOOL Start() SL_EXCLUDES(deviceLock);
    // [attach] Last step of PortTeardown before the release (and first of a
    // failed PortInit's unwinding): closes the pipes Start opened and zeroes
    // their fields, inside deviceLock (which exists whenever Stop may run).
    // Runs only while no worker thread does: at teardown the worker has
    // ended and retired its transfers, or was terminated and teardown
    // retired them (a class retires its own transfers here, before their
    // pipe closes); a worker that could not be ended keeps its pipes. TRUE;
    // FALSE only when something the class started could not be stopped and
    // still uses the object (a second channel's worker thread), which then
    // must not be released.
    virtual BOOL Stop() SL_EXCLUDES(deviceLock);
    // [app] Sets readEvent and writeEvent so blocked readers and writers look
    // at their handle again (COM_Deinit, handle detach).
    virtual void WakeAll();
    // [app] Sends `dcb` to the device (first open, IOCTL_SERIAL_SET_DCB);
    // takes deviceLock itself.
    virtual BOOL ApplyLineSettings() SL_EXCLUDES(deviceLock);
    // [app, inside deviceLock] Starts one write of at most maxWriteSize bytes
    // straight from `data` (which must stay valid until it completes); its
    // completion sets writeEvent. 0 when not issued.
    virtual USB_TRANSFER IssueWrite(const BYTE* data, DWORD length) SL_REQUIRES(deviceLock);
    // [app] Sends one character synchronously, outside deviceLock (the lock
    // is taken only for a look at the pipe); returns the finished transfer
    // for the caller to read and close, 0 when unsupported or failed.
    virtual USB_TRANSFER SendImmediate(const BYTE* ch) SL_EXCLUDES(deviceLock);
    // [worker, inside deviceLock] Sends XON/XOFF asynchronously from `ch`
    // (which must outlive the transfer); completion sets serviceEvent.
    virtual USB_TRANSFER SendFlowChar(const BYTE* ch) SL_REQUIRES(deviceLock);
    // [app] After each write transfer: corrects *count to data bytes where
    // the class frames them, and answers whether a zero-length packet must
    // follow.
    virtual BOOL WriteFinished(DWORD* count);
    // [app] Starts or ends a break; the result is the IOCTL's result.
    virtual BOOL SetBreak(BOOL on) SL_EXCLUDES(deviceLock);
    // Changes the lines in `mask` (kLineDtr, kLineRts) to the bits of
    // `value`. With an event ([worker], inside deviceLock: input flow control
    // is the only such caller): asynchronous, the transfer handle is
    // returned for the caller to retire. With event 0 ([app]): synchronous,
    // called with deviceLock held (ApplyHandshakeLines) or not (the DTR/RTS
    // requests, the last close); the class states the result. The lock's
    // state thus depends on the caller and the argument, which the analysis
    // cannot express: the operation carries no lock annotation, and a class
    // whose event branch touches guarded fields says so with
    // deviceLock.AssertHeld().
    virtual DWORD_PTR SetControlLines(DWORD mask, DWORD value, HANDLE event);
    // [app] Points `handle` at one channel (kChannelSecondary,
    // kChannelPrimary).
    virtual BOOL SelectChannel(OpenHandle* handle, DWORD channel);
    // [worker] Consumes one completed receive block: framing removed,
    // XON/XOFF filtered, bytes stored in the ring, readers and waiters woken.
    virtual BOOL DeliverReceived(const BYTE* data, DWORD length) SL_EXCLUDES(deviceLock, openLock);
    // [worker] One pass of the worker thread. Positive: wait for
    // serviceEvent, then call again; negative: the same, but call again
    // after at most -result milliseconds even when nothing sets the event
    // (a receive path backing off from failures); 0 ends the thread.
    virtual int Service() SL_EXCLUDES(deviceLock, openLock);

    // ---- Fields, in declaration order ------------------------------------

    // The WmcPort that embeds this port as its second channel; null for
    // every other port. [attach]
    SerialPort* parent;
    // Open handles on this port, newest first. Always empty on a second
    // channel: its handles stay on the parent's list.
    OpenHandle* openList SL_GUARDED_BY(openLock);
    CriticalSection openLock;
    // Stream activation handle; 0 while not activated. [attach]
    HANDLE activation;
    // USB device handle and the host driver's function table. [attach]
    USB_HANDLE usbDevice;
    LPCUSB_FUNCS usbFuncs;
    // Worker priority on the 256-level scale from "Priority256"; <= 0 none.
    LONG priority256;
    // 256-level priority of the thread that ran PortInit.
    LONG defaultPriority256;
    // The worker thread; null while the port is not started.
    HANDLE serviceThread;
    // Auto-reset event waking the worker thread: receive, flow-control and
    // status completions, readers after taking bytes, open/close/purge and
    // teardown.
    HANDLE serviceEvent;
    // UsbMode word: low byte port type, higher bits flags (usb_mode.h).
    // [attach]
    DWORD usbMode;
    // Interface owning the class endpoint; low 16 bits are the wIndex of
    // class and vendor requests. [attach]
    DWORD interfaceNumber;
    // Endpoints bound at attach (null when absent). [attach]
    LPCUSB_ENDPOINT classEndpoint;
    LPCUSB_ENDPOINT receiveEndpoint;
    LPCUSB_ENDPOINT sendEndpoint;
    // Pipe of receiveEndpoint, or 0. Opened by Start before the worker
    // exists and stored inside deviceLock; afterwards read ([worker],
    // IssueReceive) and closed (Stop) only inside it, so no transfer is
    // issued on a closed pipe.
    USB_PIPE receivePipe SL_GUARDED_BY(deviceLock);
    // The receive ring. Once PortInit has made it (RingCreate), only the
    // functions of driver/port/ring.h move its indices or copy bytes in or
    // out; the rules of the indices and their wrap are written there.
    // Capacity in bytes ("ReceiveBuffer", 4096 by default). [attach];
    // PortInit brings it within bounds (ReceiveRingSize) before anything
    // reads it.
    DWORD ringSize;
    // Storage, ringSize bytes. Bytes from ringTail up to ringHead belong to
    // the consumer, the rest to the worker thread.
    BYTE* ring;
    // Next store position, 0..ringSize-1. Moved by [worker] only, the
    // producer (WriteRelease after the bytes are stored); the consumer reads
    // it with ReadAcquire.
    LONG ringHead;
    // Next take position, 1..ringSize, never 0 (ringSize reads as 0). Moved
    // by [app] only, the owner of the receive side: a reader or a receive
    // purge (WriteRelease after the bytes were taken); the worker reads it
    // once per computation with ReadAcquire: a stale value only understates
    // free space.
    LONG ringTail;
    // Pipe of sendEndpoint, or 0. Like receivePipe: after Start, used and
    // closed only inside deviceLock.
    USB_PIPE sendPipe SL_GUARDED_BY(deviceLock);
    // Back-off of a failing send pipe (halt.h, SendPipeFailed); PortInit
    // zeroes it.
    HaltBackOff sendBackOff SL_GUARDED_BY(deviceLock);
    // Receive slots asked for by the device key ("ReceiveSlots"); 0 or less:
    // the port type's default. [attach], read by Start.
    LONG rxSlotsWanted;
    // Receive transfers kept queued (at most kMaxRxSlots), bytes requested
    // by each, and the slot stride (transfer size rounded up to 16).
    // Set by Start/PortInit, then read-only.
    LONG rxSlotCount;
    LONG rxTransferSize;
    LONG rxSlotStride;
    // rxSlotCount buffers of rxSlotStride bytes; slot i at i * rxSlotStride.
    BYTE* rxSlots;
    // Oldest queued slot, number queued and their transfers (0 when free).
    // [worker] only (and PortInit/PortTeardown while no worker runs).
    LONG rxFirst;
    LONG rxQueued;
    USB_TRANSFER rxTransfers[kMaxRxSlots];
    // Back-off of a failing receive path: consecutive passes that found it
    // failing (0 while healthy), and the tick before which no receive
    // transfer is issued. [worker] only (PortInit zeroes them).
    LONG rxFailures;
    DWORD rxRetryAt;
    // Set (WriteRelease) by PortTeardown [attach] to ask the worker to
    // retire its transfers and end; read by [worker] with ReadAcquire.
    // PortInit zeroes it.
    LONG stopping;
    // Outstanding handshake-line request and XON/XOFF byte of input flow
    // control, or 0. [worker] only; issued inside deviceLock.
    USB_TRANSFER flowLineTransfer;
    USB_TRANSFER flowCharTransfer;
    // Nonzero while the last flow character sent to the device was XOFF: an
    // XON is owed as soon as input runs again, whatever the settings say by
    // then (a first open resets them). [worker] inside deviceLock; PortInit
    // zeroes it, settings resets leave it.
    LONG xoffSent;
    // Largest number of bytes one write transfer takes. Set by Start.
    LONG maxWriteSize;
    // Timeouts and line settings. `dcb` is stored only inside deviceLock
    // (PortStoreDcb) and read inside it: a snapshot (PortLoadDcb) or the
    // fields directly while the lock is held. `timeouts` is [app] only.
    COMMTIMEOUTS timeouts;
    DCB dcb SL_GUARDED_BY(deviceLock);
    // CE_ bits accumulated since IOCTL_SERIAL_GET_COMMSTATUS; changed only
    // with interlocked operations (OR loop by [worker], exchange by [app]).
    DWORD errors;
    // MS_ bits plus kModemBreak as last reported; written by [worker] and
    // Start (WriteULongRelease), read by [app] with ReadULongAcquire.
    DWORD modemStatus;
    // Auto-reset event waking a writer: write completions, output flow
    // changes (received XON/XOFF, CTS/DSR, input resuming, every stored
    // DCB), purge, detach.
    HANDLE writeEvent;
    // 0 idle, 1 a writer is inside COM_Write, 2 aborted by purge; claimed
    // with InterlockedTestExchange.
    LONG writeBusy;
    // Auto-reset event waking a reader.
    HANDLE readEvent;
    // 0 idle, 1 a reader is inside COM_Read, 2 aborted by purge; interlocked.
    LONG readBusy;
    // Nonzero while output is stopped by a received XOFF (DCB.fOutX).
    // Written by [worker] and [app] (ApplyLineSettings, XON/XOFF requests)
    // with WriteRelease, read with ReadAcquire.
    LONG outputHeld;
    // Input flow-control state, 0 running, 1 stopped (ring above three
    // quarters until it falls below one quarter). Written by [worker] inside
    // deviceLock and by PortResetSettings; read with ReadAcquire, and inside
    // deviceLock wherever a request sent to the device depends on it.
    LONG inputStopped;
    // See the Locks paragraph above.
    CriticalSection deviceLock;
    // See the Locks paragraph above. [app] only (COM_Open, handle detach).
    CriticalSection sessionLock SL_ACQUIRED_BEFORE(openLock, deviceLock);
    // Set by COM_Deinit when it takes the open list at device removal: no
    // record is linked on `openList` any more, so a COM_Open that was under
    // way fails instead of leaving a record on a port about to be freed.
    LONG openBarred SL_GUARDED_BY(openLock);
};

// Frees a port object allocated by the attach code (after PortTeardown, or
// at once when PortInit failed). Null is ignored.
void PortDelete(SerialPort* port);

// `dcb` under deviceLock: PortStoreDcb for every store ([app]: settings reset,
// IOCTL_SERIAL_SET_DCB), PortLoadDcb for a consistent copy on any thread.
// Both take deviceLock for the copy only; code that holds it reads `dcb`
// directly. PortStoreDcb then sets writeEvent, so that a writer held back by
// output flow control looks at the new settings.
void PortLoadDcb(SerialPort* port, DCB* out) SL_EXCLUDES(port->deviceLock);
void PortStoreDcb(SerialPort* port, const DCB* in) SL_EXCLUDES(port->deviceLock);

// SerialPort's ApplyLineSettings, also the first step of the CDC and FTDI
// classes' own: DTR and RTS from the DCB's control modes (handshake lines
// follow inputStopped), sent with the class's SetControlLines, mask 3, no
// event. Decides and sends inside deviceLock, so that it never undoes a newer
// change of input flow control. Releases outputHeld when XON/XOFF output
// control is off. [app]
BOOL ApplyHandshakeLines(SerialPort* port) SL_EXCLUDES(port->deviceLock);

// Packet size of an endpoint: the low 11 bits of wMaxPacketSize.
DWORD EndpointPacketSize(LPCUSB_ENDPOINT endpoint);
