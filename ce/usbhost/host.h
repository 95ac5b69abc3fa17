// Internal records of the emulated USB host: buses, devices, pipes and
// transfers, and the handle tables that the function table validates against.
//
// Locking. Each bus has one mutex `mu` that guards every field marked
// "mu" below, for the bus and every device, pipe and transfer on it. Device
// models are called with `mu` held (by the scheduler thread only). `wakeMu`
// pairs with `wakeCv` for the scheduler's sleep; it may be taken with `mu`
// held, never the reverse. `kicked` and `listening` are atomics: a kick
// (a submit, a model's Wake()) sets `kicked` and takes `wakeMu` to wake the
// scheduler only when the scheduler said it sleeps for kicks (`listening`),
// so a kick while it runs, or while it waits for the next frame with the
// budget spent, costs no lock and no system call.
// Handle tables have their own lock (`HandleTable::mu_`), never held while
// taking a bus's `mu`.
//
// Engines. On a simulated bus the scheduler moves every transfer. A bus of
// real devices has an engine instead (UsbEngine below): Issue hands it each
// transfer once queued, and the engine ends it with FinishLocked from its
// own thread. Everything else (handles, records, client loading, waits,
// completion routines on the pool, removal, the traffic log) is shared.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ce/loader.h"
#include "ce/usb.h"
#include "cehost/core.h"
#include "cehost/usb_bus.h"
#include "cehost/usb_device_model.h"
#include "core/spin.h"

namespace cehost {

struct UsbDevice;
struct UsbPipe;
struct UsbTransfer;

// A fault armed on a device, consumed by matching transfers.
struct ArmedFault {
    enum Kind { kFailIssue, kError, kNever, kOutOfOrder, kData, kFailStatus } kind;
    UsbFaultTarget target;
    int remaining = 1;
    DWORD error = 0;
    UsbDataFault data = UsbDataFault::kShort;
};

struct UsbTransfer {
    uint64_t urbId = 0;
    std::shared_ptr<UsbDevice> device;
    std::shared_ptr<UsbPipe> pipe;  // null for control transfers
    uint8_t type = 0;               // usbmon codes: 1 interrupt, 2 control, 3 bulk
    uint8_t endpoint = 0;           // address with bit 7 for IN
    bool in = false;
    USB_DEVICE_REQUEST setup{};
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    DWORD flags = 0;
    LPTRANSFER_NOTIFY_ROUTINE routine = nullptr;
    LPVOID param = nullptr;
    void* handle = nullptr;  // table handle, null for the host's own transfers

    // ---- mu ----
    uint32_t actual = 0;
    DWORD error = USB_NO_ERROR;
    bool finished = false;  // data phase over, result fixed
    bool complete = false;  // result visible (IsTransferComplete)
    bool routineQueued = false;
    // Set by the thread that ran the routine, right after it returned (the
    // scheduler sets it without mu: see AwaitRoutine); read under mu.
    std::atomic<bool> routineDone{false};
    bool deferred = false;   // finished, waiting for the bus's completion report
    bool charged = false;    // control: its first frame is set
    uint64_t notBefore = 0;  // control: the frame it may end in at the earliest
    bool closed = false;
    // Faults fixed at issue.
    bool neverComplete = false;
    bool outOfOrder = false;
    bool hasErrorFault = false;
    DWORD errorFault = 0;
    bool hasDataFault = false;
    UsbDataFault dataFault = UsbDataFault::kShort;
    bool failStatus = false;
};

struct UsbPipe {
    std::shared_ptr<UsbDevice> device;
    USB_ENDPOINT_DESCRIPTOR descriptor{};
    uint8_t type = 0;  // usbmon code
    uint16_t maxPacket = 0;
    uint32_t interval = 1;  // in (micro)frames
    void* handle = nullptr;
    // ---- mu ----
    std::deque<std::shared_ptr<UsbTransfer>> queue;  // unfinished, in issue order
    std::shared_ptr<UsbTransfer> held;               // finished, completion held back
    bool halted = false;
    uint8_t toggle = 0;  // data toggle the host expects or sends next (DATA0/DATA1)
    bool closed = false;
    bool polled = false;    // interrupt: polled at least once
    uint64_t lastPoll = 0;  // interrupt: grid frame of the last poll
};

struct UsbDevice {
    UsbBusImpl* bus = nullptr;
    std::shared_ptr<UsbBusImpl> busRef;  // dropped with the device record
    uint8_t address = 0;
    std::shared_ptr<UsbDeviceModel> model;
    void* handle = nullptr;

    // Records built from the descriptors at enumeration; constant afterwards
    // and released only when the device is torn down.
    Bytes deviceDescriptor;
    std::vector<Bytes> configDescriptors;
    USB_DEVICE record{};
    std::vector<USB_CONFIGURATION> configs;
    std::vector<std::vector<USB_INTERFACE>> interfaces;             // per config
    std::vector<std::vector<std::vector<USB_ENDPOINT>>> endpoints;  // per config, interface
    std::vector<Bytes> extended;  // class-specific descriptor blocks (lpvExtended)

    // ---- mu ----
    bool enumerated = false;
    bool gone = false;
    bool removing = false;
    bool attaching = false;  // a client's USBDeviceAttach is running
    bool removed = false;
    std::u16string owner;
    LPDEVICE_NOTIFY_ROUTINE notify = nullptr;
    LPVOID notifyParam = nullptr;
    std::deque<std::shared_ptr<UsbTransfer>> control;  // unfinished control transfers
    std::set<std::shared_ptr<UsbPipe>> pipes;          // open pipes
    std::set<std::shared_ptr<UsbTransfer>> transfers;  // handles not yet closed
    std::set<uint8_t> stalled;                         // injected endpoint stalls
    std::map<uint8_t, uint8_t> toggles;                // device's data toggle per endpoint
    std::vector<ArmedFault> faults;
    int callCount[static_cast<int>(UsbCall::kCount)] = {};
    int unplugAt[static_cast<int>(UsbCall::kCount)] = {};
    int routinesPending = 0;
    int inEngine = 0;                  // transfers an engine has started and not yet ended
    std::vector<UsbLogEntry> enumLog;  // enumeration records, replayed by ClearLog
    std::vector<HMODULE> modules;      // client libraries loaded for this device
    std::shared_ptr<void> engineData;  // mu: set once, by the engine's Open
};

// Moves the transfers of a bus whose devices are not simulated. The calls
// ending in Locked are made with the bus's `mu` held and may take no lock
// that the engine's own threads hold while they wait for `mu`; the others
// with no lock held, on a host thread.
class UsbEngine {
  public:
    virtual ~UsbEngine() = default;
    // Opens the device behind `d->model` and takes it over; false when it
    // cannot (the model records why).
    virtual bool Open(UsbDevice& d) = 0;
    // `t` was queued on its pipe (or the device's control queue): start it.
    virtual void StartLocked(const std::shared_ptr<UsbTransfer>& t) = 0;
    // A client ends `t` early (abort, close, pipe closed, removal) with
    // `error`. True when the engine still has it in flight and ends it
    // itself once the device side has let go of it (the caller then waits
    // for `t->complete`); false when the caller ends it now.
    virtual bool CancelLocked(const std::shared_ptr<UsbTransfer>& t, DWORD error) = 0;
    // The device was torn down and no transfer of it is in flight: give it
    // back. Called on a host thread with no lock held.
    virtual void Release(UsbDevice& d) = 0;
    // Stops the engine's threads; no device is open any more.
    virtual void Stop() = 0;
};
std::unique_ptr<UsbEngine> MakeRealUsbEngine(UsbBusImpl& bus);

class UsbBusImpl : public std::enable_shared_from_this<UsbBusImpl> {
  public:
    UsbBusImpl(int number, UsbTiming timing);
    void Start();
    void Stop();

    // Scheduler and completion threads.
    void Kick();
    void SchedulerLoop();
    void UntimedLoop();
    void TimedLoop();
    void CompletionLoop();
    void RunRoutines(std::unique_lock<std::mutex>& lk);
    // Sleeps until a kick (when `forKicks`), a stop, or `until`.
    void Sleep(bool forKicks, std::chrono::steady_clock::time_point until);
    // With `lk` held on mu: waits until `done()`, which waits for a
    // transfer's routine. Counted in `routineWaiters`, so that the scheduler, which
    // runs routines without the lock, takes it to wake the waiter.
    template <class Pred>
    void AwaitRoutine(std::unique_lock<std::mutex>& lk, Pred done);

    // ---- with mu held ----
    bool ServiceLocked(int& bulkLeft, uint64_t frame, uint64_t& due);
    bool PassLocked(int& bulkLeft, uint64_t frame, uint64_t& due);
    bool ServiceControlLocked(UsbDevice& d, uint64_t frame, uint64_t& due);
    bool ServicePipeLocked(UsbPipe& p);
    // A NAK or STALL from the model: true when it ended the step (`moved`
    // then says whether anything happened), false on an ACK.
    bool RefusedLocked(UsbHandshake hs, UsbPipe& p, const std::shared_ptr<UsbTransfer>& t,
                       bool& moved);
    void FailPipeLocked(UsbPipe& p, const std::shared_ptr<UsbTransfer>& t, DWORD error);
    void FinishLocked(const std::shared_ptr<UsbTransfer>& t, DWORD error);
    // Ends a transfer early: at once on the simulated bus, through the
    // engine's cancellation on a real one (complete once that is over).
    void EndLocked(const std::shared_ptr<UsbTransfer>& t, DWORD error);
    void PublishLocked(const std::shared_ptr<UsbTransfer>& t);
    // A transfer the scheduler ended: published now, or deferred to the
    // bus's next completion report.
    void ReportLocked(const std::shared_ptr<UsbTransfer>& t);
    // Publishes the deferred transfers (of the pipe, or the device, or all).
    void PublishDeferredLocked(const UsbPipe* pipe, const UsbDevice* device);
    void LogSubmitLocked(const UsbTransfer& t);
    void LogCompleteLocked(const UsbTransfer& t);
    void FailInFlightLocked(UsbDevice& d, DWORD error);
    ArmedFault* TakeFaultLocked(UsbDevice& d, ArmedFault::Kind kind, const UsbTransfer& t);
    bool TakeFaultLocked(UsbDevice& d, ArmedFault::Kind kind, uint8_t endpoint, int request);
    // Counts a call on the device; true when the call unplugs it.
    bool CountCallLocked(const std::shared_ptr<UsbDevice>& d, UsbCall call);
    void StartRemovalLocked(const std::shared_ptr<UsbDevice>& d);

    // Issues a transfer; waits for it when it has no routine. Returns the
    // transfer (its handle registered when `withHandle`), null when refused.
    std::shared_ptr<UsbTransfer> Issue(const std::shared_ptr<UsbDevice>& d,
                                       const std::shared_ptr<UsbPipe>& p, UsbCall call,
                                       std::shared_ptr<UsbTransfer> t, bool withHandle);
    // Runs one of the host's own control requests synchronously.
    DWORD HostControl(const std::shared_ptr<UsbDevice>& d, USB_DEVICE_REQUEST setup, Bytes& data);

    std::shared_ptr<UsbDevice> Enumerate(std::shared_ptr<UsbDeviceModel> model);
    void OfferToClients(const std::shared_ptr<UsbDevice>& d);
    // Removal on the calling host thread.
    void Remove(const std::shared_ptr<UsbDevice>& d);
    std::shared_ptr<UsbDevice> FindLocked(UsbDeviceId id) const;

    const int number;
    const UsbTiming timing;

    mutable std::mutex mu;
    std::condition_variable doneCv;  // with mu: completions, routines, removals
    std::map<uint8_t, std::shared_ptr<UsbDevice>> devices;  // mu
    uint8_t nextAddress = 1;                                // mu
    bool logging = true;                                    // mu
    std::vector<UsbLogEntry> log;                           // mu
    uint64_t bulkBytes = 0;                                 // mu
    std::deque<std::shared_ptr<UsbTransfer>> routines;      // mu: to run on the pool
    std::vector<std::shared_ptr<UsbTransfer>> ready;        // mu: to run on the scheduler
    // Threads in AwaitRoutine (changed under mu, read by the scheduler
    // without it after each routine it runs).
    std::atomic<int> routineWaiters{0};
    std::condition_variable routineCv;        // with mu
    bool stopping = false;                    // mu
    std::vector<std::thread> removalThreads;  // mu
    size_t rr = 0;                            // mu: bulk round robin
    int completeEvery = 0;  // mu: 0 per transfer, N: reports at every Nth frame boundary
    std::vector<std::shared_ptr<UsbTransfer>> deferred;  // mu: ended, not yet reported
    bool strict = false;                                 // mu: strict ordering
    uint32_t removalErrors = 0;                          // mu: alternates the strict codes
    std::deque<std::pair<std::chrono::steady_clock::time_point, std::shared_ptr<UsbTransfer>>>
        late;  // mu: routines held back on the pool (strict ordering)

    std::mutex wakeMu;
    std::condition_variable wakeCv;
    std::atomic<bool> kicked{false};     // work may have arrived since the last pass
    std::atomic<bool> listening{false};  // the scheduler sleeps, and a kick ends the sleep
    // How soon kicks have come lately: whether the scheduler spins before it
    // sleeps for one (core/spin.h). The scheduler's alone.
    ce_internal::SpinGauge kickGauge;
    std::atomic<bool> modelWakes{true};  // a model's Wake() kicks: a pass runs or work waits
    std::function<void()> waker;
    std::atomic<bool> stopFlag{false};

    std::thread scheduler;
    std::vector<std::thread> pool;
    // Set at construction for a bus of real devices (kReal), else null.
    std::unique_ptr<UsbEngine> engine;
};

template <class Pred>
void UsbBusImpl::AwaitRoutine(std::unique_lock<std::mutex>& lk, Pred done) {
    // Undone on the way out, also when the wait ends the thread.
    struct Count {
        std::atomic<int>& n;
        explicit Count(std::atomic<int>& c) : n(c) { n++; }
        ~Count() { n--; }
    } count(routineWaiters);
    WaitTerminable(lk, doneCv, INFINITE, done);
}

// Handle tables. A handle encodes a slot index and the slot's generation, so
// a stale handle (closed, or of a torn-down device) is recognised without
// touching freed memory.
enum class UsbHandleKind : uint32_t { kDevice = 1, kPipe = 2, kTransfer = 3 };
void* UsbRegisterHandle(UsbHandleKind kind, std::shared_ptr<void> object);
std::shared_ptr<void> UsbLookupHandle(UsbHandleKind kind, const void* handle);
// Drops the slot; false when it was already stale.
bool UsbReleaseHandle(UsbHandleKind kind, const void* handle);
void UsbClearHandles();

// Records built from raw descriptors; false when they are malformed.
bool BuildRecords(UsbDevice& d);

// Misuse of a stale handle, counted under "usb.<what>".
void CountStale(const char* what);

// Lets a thread that may have been terminated end at a function-table entry.
void Checkpoint();

// True on the bus's completion threads.
bool OnCompletionThread();
bool OnSchedulerThread();

}  // namespace cehost
