// The emulated USB host: buses, plugging device models, client drivers, fault
// injection and the traffic log. For tools, tests and benchmarks; drivers see
// only the published function table (ce/usb.h).
//
// Threads. Each bus runs one scheduler thread (moves packets between pipes
// and device models, then runs the completion routines of the transfers it
// ended, as a host controller's interrupt thread does), a small pool of
// completion threads (runs the routines of transfers ended by an abort, a
// close or a removal; never the thread that issued the transfer), and a
// host thread per attach or removal (calls USBDeviceAttach and the device
// notification routine). A completion routine must not wait for a transfer:
// a transfer without a routine issued from one is refused and counted
// ("usb.sync.in.routine"). The calls below may come from any thread except a completion
// routine or a client's entry point (Plug, Unplug and Replug wait for those).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ce/usb.h"
#include "cehost/usb_device_model.h"

namespace cehost {

enum class UsbTiming {
    kUntimed,    // packets move as fast as the machine allows
    kFullSpeed,  // 1 ms frames, at most 19 bulk packets a frame on the bus
    kHighSpeed,  // 125 us microframes, at most 13 bulk packets a microframe
    kReal,       // no simulation: real devices (RealUsbDeviceModel, usb_real.h)
                 // at the pace of the machine's own USB
};

// When a timed bus reports the completions of the transfers its scheduler
// ends (those a client ends, by abort, close or removal, are reported at
// once on every bus).
enum class UsbCompletion {
    kPerTransfer,  // at once, mid-frame: controllers that interrupt per transfer
    kEndOfFrame,   // at the end of the (micro)frame the transfer ended in: OHCI,
                   // UHCI (done queue / IOC interrupt at the frame's end)
    kEveryFrames,  // at every Nth (micro)frame boundary: EHCI's interrupt
                   // threshold, 8 microframes (1 ms) by default
};

// The entries of the function table, for "unplug at the Nth call of a kind".
enum class UsbCall {
    kGetDeviceInfo,
    kRegisterNotificationRoutine,
    kGetDescriptor,
    kIssueVendorTransfer,
    kClearFeature,
    kOpenPipe,
    kClosePipe,
    kIsPipeHalted,
    kResetPipe,
    kIssueBulkTransfer,
    kIssueInterruptTransfer,
    kIsTransferComplete,
    kGetTransferStatus,
    kAbortTransfer,
    kCloseTransfer,
    kCount
};

// Which transfers a fault applies to: an endpoint address (0 for the
// control endpoint, kAnyEndpoint for all) and, for control transfers, a
// bRequest (kAnyRequest for all).
constexpr int kAnyEndpoint = -1;
constexpr int kAnyRequest = -1;
struct UsbFaultTarget {
    int endpoint = kAnyEndpoint;
    int request = kAnyRequest;
};

enum class UsbDataFault {
    kShort,      // IN: half of the first packet arrives and ends the transfer;
                 // OUT: only the first half of the data reaches the device
    kEmpty,      // the transfer ends at once with 0 bytes and no error
    kOversized,  // IN: the device babbles past the buffer: buffer filled with
                 // junk, USB_DATA_OVERRUN_ERROR
};

// One record of the traffic log: a submit ('S') or completion ('C').
struct UsbLogEntry {
    uint64_t urbId = 0;
    char event = 'S';
    uint8_t transferType = 0;  // 1 interrupt, 2 control, 3 bulk (usbmon codes)
    uint8_t endpoint = 0;      // address, bit 7 set for IN
    uint8_t device = 0;
    uint16_t bus = 0;
    bool hasSetup = false;
    uint8_t setup[8] = {};
    Bytes data;                  // OUT data on submit, IN data on completion
    DWORD error = USB_NO_ERROR;  // completion's error code
    uint32_t urbLength = 0;      // requested length (submit) or bytes moved
    int64_t timeNs = 0;          // wall clock, ns since the epoch
};

// Sends every USB_FUNCS call made on the bus's devices through the checks of
// the emulation; the table handed to USBDeviceAttach.
LPCUSB_FUNCS UsbFunctions();

// Loads the client library `library` and calls its USBInstallDriver with that
// name on a host thread. Returns what it returned (false when the library or
// the entry point cannot be found).
bool UsbInstallClient(const std::u16string& library);
bool UsbUninstallClient(const std::u16string& library);

class UsbBusImpl;
using UsbDeviceId = uint32_t;  // the device's address on its bus, 1..127

class UsbBus {
  public:
    explicit UsbBus(UsbTiming timing = UsbTiming::kUntimed);
    // Unplugs every device (with the usual notifications) and stops the
    // bus's threads.
    ~UsbBus();
    UsbBus(const UsbBus&) = delete;
    UsbBus& operator=(const UsbBus&) = delete;

    int Number() const;
    UsbTiming Timing() const;

    // Completion reporting of a timed bus (untimed and real buses ignore
    // it); `frames` is N of kEveryFrames. Per transfer by default. On every
    // timed bus a control transfer takes at least one frame: its stages
    // cannot all fit in the frame it starts in.
    void SetCompletion(UsbCompletion mode, int frames = 8);

    // Strict host ordering and lifetime, as far as the host driver's
    // documented guarantees go and no further. Off by default; on when the
    // environment has CEHOST_USB_STRICT_ORDER=1 at the bus's construction.
    // With it on:
    //  - closing a pipe also invalidates the handles of every transfer
    //    issued on it (later use is a counted misuse, "usb.transfer.stale";
    //    they are not counted as leaks);
    //  - AbortTransfer and ClosePipe return once the transfers are ended,
    //    without waiting for their routines, which run later on the pool
    //    (a few milliseconds late);
    //  - at removal the client's notification routine gets USB_CLOSE_DEVICE
    //    without waiting for the routines of the failed transfers, and those
    //    transfers end with USB_CANCELED_ERROR or
    //    USB_DEVICE_NOT_RESPONDING_ERROR (alternately) instead of
    //    USB_DEVICE_GONE_ERROR.
    // The removal still waits for every routine before the client
    // libraries are released.
    void SetStrictOrdering(bool on);
    bool StrictOrdering() const;

    // Plugs a device: enumerates it, searches the client keys and offers it
    // to the matching clients, most specific first. Returns after the attach
    // calls; the device stays plugged (claimed or not). 0 when enumeration
    // failed (no device descriptor).
    UsbDeviceId Plug(std::shared_ptr<UsbDeviceModel> model);
    // Plugs and enumerates without looking for clients, for tests that call
    // the function table themselves.
    UsbDeviceId PlugUnclaimed(std::shared_ptr<UsbDeviceModel> model);
    // Removal: in-flight transfers complete with USB_DEVICE_GONE_ERROR and
    // their routines run, new issues fail, then the registered notification
    // routine gets USB_CLOSE_DEVICE on a host thread. When it has returned
    // (and any attach still running has returned) the device is torn down:
    // every transfer its client has not closed counts as a leak
    // ("usb.transfer.unclosed"), the device's handles and records die (later
    // use is a counted misuse) and the client libraries are released.
    // Returns after the teardown. False for an unknown device.
    bool Unplug(UsbDeviceId id);
    // Unplug and plug the same model again (with client search); the new id.
    UsbDeviceId Replug(UsbDeviceId id);
    // Waits until a removal started by a fault has finished.
    bool WaitUnplugged(UsbDeviceId id, int timeoutMs = 10000);

    bool IsPlugged(UsbDeviceId id) const;
    // The device handle handed to clients (null once the device is gone).
    USB_HANDLE Handle(UsbDeviceId id) const;
    // Driver ID of the client that accepted the device, empty when unclaimed.
    std::u16string Owner(UsbDeviceId id) const;

    // ---- Fault injection (per device; cleared when it is unplugged) ----
    // The next `count` issues on the target return 0.
    void FailIssues(UsbDeviceId id, UsbFaultTarget target, int count = 1);
    // The next `count` transfers on the target complete with `error` and no
    // data, without reaching the device.
    void CompleteWithError(UsbDeviceId id, UsbFaultTarget target, DWORD error, int count = 1);
    // The endpoint answers STALL until CLEAR_FEATURE(ENDPOINT_HALT).
    //
    // Halts as host controllers have them: every transaction error but a
    // cancel (a STALL, an injected CRC or not-responding error, babble)
    // halts the host's pipe; IsPipeHalted reports it and every transfer on
    // it ends at once with USB_STALL_ERROR until the client's ResetPipe,
    // which clears the host's halt and resets its data toggle to DATA0.
    // CLEAR_FEATURE(ENDPOINT_HALT) clears only the device's side: its stall
    // and its toggle. Host and device each keep a DATA0/DATA1 toggle per
    // endpoint; a packet whose toggle is not the receiver's is acknowledged
    // and dropped. The default pipe never halts.
    void Stall(UsbDeviceId id, uint8_t endpoint);
    // The next `count` transfers on the target never complete until they are
    // aborted, closed, their pipe is closed or the device goes.
    void NeverComplete(UsbDeviceId id, UsbFaultTarget target, int count = 1);
    // The next transfer on the target is reported complete only after the
    // transfer issued after it on the same pipe (completions swap).
    void CompleteOutOfOrder(UsbDeviceId id, UsbFaultTarget target, int count = 1);
    void CorruptData(UsbDeviceId id, UsbFaultTarget target, UsbDataFault kind, int count = 1);
    // The next `count` GetTransferStatus calls on transfers of the target fail.
    void FailTransferStatus(UsbDeviceId id, UsbFaultTarget target, int count = 1);
    // The device is unplugged as the `nth` call (1-based) of `call` on it is
    // made; that call sees the device gone. Removal runs on a host thread;
    // WaitUnplugged waits for it.
    void UnplugAtCall(UsbDeviceId id, UsbCall call, int nth);
    void ClearFaults(UsbDeviceId id);

    // ---- Traffic log ----
    // Logging is on by default; off, nothing is recorded (benchmarks).
    void SetLogging(bool on);
    std::vector<UsbLogEntry> Log() const;
    // Forgets the log; it then starts again with the enumeration of every
    // plugged device.
    void ClearLog();
    // Writes the log as a usbmon pcap file (link type 220). False on I/O error.
    bool WritePcap(const std::string& path) const;

    // Number of payload bytes moved on bulk endpoints since the bus started.
    uint64_t BulkBytes() const;

  private:
    std::shared_ptr<UsbBusImpl> impl_;
};

// Writes log entries as a usbmon pcap file (link type 220).
bool WriteUsbmonPcap(const std::string& path, const std::vector<UsbLogEntry>& entries);

}  // namespace cehost
