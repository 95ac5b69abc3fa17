// The simulated bus: scheduler, completions, removal.
//
// The scheduler thread alone moves data between transfers and device models;
// it holds the bus lock while it does, so a transfer that is aborted, closed
// or failed by a removal never sees data move after the call that ended it
// returned. Completion routines run with no lock held: those of transfers
// the scheduler ended run on the scheduler thread right after its pass, as
// a host controller driver runs them on its interrupt thread; those of
// transfers ended by a caller (abort, close, removal) run on the bus's
// completion threads, never on the caller's.
//
// Hand-offs. Each costs a thread switch, on this machine tens of
// microseconds when the threads sit on different cores, so the bus keeps
// them few: the routines of one pass run as one batch with the lock taken
// once; a kick (a submit, a model's Wake()) wakes the scheduler only when it
// sleeps for kicks, a model's Wake() kicks only while something is queued,
// and a submit kicks only for a new head of its queue, after releasing the
// lock. The scheduler sleeps only when nothing queued can move without a
// kick and no frame it waits for has begun, and before it sleeps for a kick
// it spins while kicks have lately come within the spin (core/spin.h).
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include <sys/prctl.h>

#include "ce/thread.h"
#include "cehost/core.h"
#include "cehost/counters.h"
#include "core/spin.h"
#include "usbhost/host.h"

namespace cehost {
namespace {

constexpr int kCompletionThreads = 2;
// How late the routine of a transfer a client ended runs under strict
// ordering.
constexpr auto kLateRoutine = std::chrono::milliseconds(3);
// Packets one bulk pipe may move per pass in untimed mode before the others
// get their turn.
constexpr int kUntimedPacketsPerPass = 16;

thread_local bool tlsCompletionThread = false;
thread_local bool tlsSchedulerThread = false;

std::atomic<uint64_t> gUrbId{0x1000};

bool Matches(const UsbFaultTarget& target, const UsbTransfer& t) {
    if (target.endpoint != kAnyEndpoint) {
        if (t.type == 2 ? target.endpoint != 0 : target.endpoint != t.endpoint)
            return false;
    }
    if (target.request != kAnyRequest) {
        if (t.type != 2 || t.setup.bRequest != target.request)
            return false;
    }
    return true;
}

}  // namespace

bool OnCompletionThread() {
    return tlsCompletionThread;
}
bool OnSchedulerThread() {
    return tlsSchedulerThread;
}
void Checkpoint() {
    ThreadCheckpoint();
}

UsbBusImpl::UsbBusImpl(int n, UsbTiming t) : number(n), timing(t) {
    // A model's Wake() matters only to a transfer that waits on the bus: a
    // transfer queued later brings its own kick.
    waker = [this] {
        if (modelWakes.load())
            Kick();
    };
}

void UsbBusImpl::Start() {
    // Real devices move their own packets: the engine's threads stand in
    // for the scheduler.
    if (!engine)
        scheduler = std::thread([this] { SchedulerLoop(); });
    for (int i = 0; i < kCompletionThreads; i++)
        pool.emplace_back([this] { CompletionLoop(); });
}

void UsbBusImpl::Stop() {
    std::vector<std::thread> removals;
    {
        std::lock_guard<std::mutex> g(mu);
        removals.swap(removalThreads);
    }
    for (auto& r : removals)
        r.join();
    {
        std::lock_guard<std::mutex> g(mu);
        stopping = true;
        routineCv.notify_all();
    }
    stopFlag.store(true);
    { std::lock_guard<std::mutex> g(wakeMu); }
    wakeCv.notify_all();
    if (scheduler.joinable())
        scheduler.join();
    for (auto& p : pool)
        p.join();
    pool.clear();
    if (engine)
        engine->Stop();
}

void UsbBusImpl::Kick() {
    // The scheduler passes over the bus again by itself after anything its
    // own pass moved (a model that wakes while being served, a transfer it
    // ended): no need to wake it.
    if (tlsSchedulerThread)
        return;
    // Already kicked: the scheduler has yet to pass, and will see it.
    if (kicked.exchange(true))
        return;
    // Running, or asleep until the next frame whatever comes: it looks at
    // `kicked` before it next sleeps for kicks. (`listening` is set before
    // `kicked` is read there, and both are sequentially consistent, so one
    // of the two sides sees the other's store.)
    if (!listening.load())
        return;
    { std::lock_guard<std::mutex> g(wakeMu); }
    wakeCv.notify_one();
}

void UsbBusImpl::Sleep(bool forKicks, std::chrono::steady_clock::time_point until) {
    auto woken = [&] { return (forKicks && kicked.load()) || stopFlag.load(); };
    if (!forKicks) {
        std::unique_lock<std::mutex> lk(wakeMu);
        if (until == std::chrono::steady_clock::time_point::max())
            wakeCv.wait(lk, woken);
        else
            wakeCv.wait_until(lk, until, woken);
        return;
    }
    // A kick that comes while the scheduler spins costs the kicker no lock
    // and no system call (`listening` is still false).
    const auto began = std::chrono::steady_clock::now();
    if (ce_internal::Spin(kickGauge, woken, until)) {
        kickGauge.Learn(std::chrono::steady_clock::now() - began);
        return;
    }
    std::unique_lock<std::mutex> lk(wakeMu);
    listening.store(true);
    bool kick = true;
    if (until == std::chrono::steady_clock::time_point::max())
        wakeCv.wait(lk, woken);
    else
        kick = wakeCv.wait_until(lk, until, woken);
    listening.store(false);
    // A sleep that lasted to its deadline counts as a long one: a bus that
    // polls an idle device every (micro)frame must not spin each time.
    kickGauge.Learn(kick ? std::chrono::steady_clock::now() - began
                         : std::chrono::steady_clock::duration::max());
}

void UsbBusImpl::SchedulerLoop() {
    tlsSchedulerThread = true;
    // Named for profiles and for ps -L: "usbbus<N>".
    prctl(PR_SET_NAME, ("usbbus" + std::to_string(number)).c_str(), 0UL, 0UL, 0UL);
    if (timing == UsbTiming::kUntimed)
        UntimedLoop();
    else
        TimedLoop();
}

// Untimed: pass over every pipe until nothing moves, then sleep until a
// submit or a model's Wake().
void UsbBusImpl::UntimedLoop() {
    while (!stopFlag.load()) {
        // Taken before the pass: a kick during it means another pass.
        kicked.store(false);
        bool progress = false;
        {
            std::unique_lock<std::mutex> lk(mu);
            int unlimited = INT_MAX;
            uint64_t due = 0;
            progress = ServiceLocked(unlimited, 0, due);
            RunRoutines(lk);
        }
        if (!progress)
            Sleep(true, std::chrono::steady_clock::time_point::max());
    }
}

// Timed: frames sit on a fixed grid from the bus's start, a start of frame
// every 1 ms (125 us on high speed), and each grid frame carries at most its
// budget of bulk packets. Like a host controller that keeps walking its
// bulk list through the frame, the scheduler serves what is queued, then
// sleeps until a submit or a model's Wake() (served at once from what is
// left of this frame's budget), or, when work waits for a later frame
// (budget spent, an interrupt endpoint not yet due for its poll), until
// that frame begins. A frame that passed while the scheduler was not
// running is lost, never made up later, so no stretch of N frames carries
// more than N frames' budget.
void UsbBusImpl::TimedLoop() {
    using Clock = std::chrono::steady_clock;
    const auto frame = timing == UsbTiming::kHighSpeed ? std::chrono::nanoseconds(125000)
                                                       : std::chrono::nanoseconds(1000000);
    const int budget = timing == UsbTiming::kHighSpeed ? 13 : 19;
    // Frame boundaries are worth being woken on time: the default timer
    // slack (50 us) is a large part of a 125 us microframe.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    const auto origin = Clock::now();
    uint64_t current = 0;
    uint64_t reported = 0;  // completion reports: the period last reported
    int left = budget;
    while (!stopFlag.load()) {
        kicked.store(false);
        const auto grid = static_cast<uint64_t>((Clock::now() - origin) / frame);
        if (grid != current) {
            current = grid;
            left = budget;
        }
        uint64_t due = UINT64_MAX;
        {
            std::unique_lock<std::mutex> lk(mu);
            // A controller that reports completions at frame boundaries
            // reports, at each, every transfer that ended before it.
            if (completeEvery > 0 && current / completeEvery != reported) {
                reported = current / completeEvery;
                PublishDeferredLocked(nullptr, nullptr);
            }
            ServiceLocked(left, current, due);
            if (completeEvery > 0 && !deferred.empty())
                due = std::min<uint64_t>(due, (current / completeEvery + 1) * completeEvery);
            RunRoutines(lk);
        }
        // With the budget spent a submit cannot move before the next frame:
        // it is not worth a pass, nor a wake-up.
        if (due == UINT64_MAX)
            Sleep(true, Clock::time_point::max());
        else
            Sleep(left != 0, origin + frame * std::max(due, current + 1));
    }
}

// The routines of the transfers the pass just ended, run on the scheduler
// thread as a host controller driver runs them on its interrupt thread: in
// completion order, before the next pass, the whole batch with no lock held:
// a client woken by the first routine finds the bus lock free, and the
// others' routineDone set as they return. The lock is taken once at the end.
void UsbBusImpl::RunRoutines(std::unique_lock<std::mutex>& lk) {
    while (!ready.empty()) {
        std::vector<std::shared_ptr<UsbTransfer>> batch;
        batch.swap(ready);
        lk.unlock();
        // While a routine runs this thread counts as a completion thread:
        // what the routine issues or ends is handled as it would be on the
        // pool.
        tlsSchedulerThread = false;
        tlsCompletionThread = true;
        for (auto& t : batch) {
            {
                DriverCodeScope driverCode(kUsbInterruptPriority);
                t->routine(t->param);
            }
            // Marked at once, not after the batch: the routine has most
            // likely just woken a client that is about to close the
            // transfer. The lock is taken only when one already waits.
            t->routineDone.store(true);
            if (routineWaiters.load() > 0) {
                { std::lock_guard<std::mutex> g(mu); }
                doneCv.notify_all();
            }
        }
        tlsCompletionThread = false;
        tlsSchedulerThread = true;
        lk.lock();
        for (auto& t : batch)
            t->device->routinesPending--;
        doneCv.notify_all();
    }
}

void UsbBusImpl::CompletionLoop() {
    tlsCompletionThread = true;
    prctl(PR_SET_NAME, ("usbdone" + std::to_string(number)).c_str(), 0UL, 0UL, 0UL);
    std::unique_lock<std::mutex> lk(mu);
    for (;;) {
        // Routines held back (strict ordering) join the queue when due.
        const auto now = std::chrono::steady_clock::now();
        while (!late.empty() && late.front().first <= now) {
            routines.push_back(std::move(late.front().second));
            late.pop_front();
        }
        if (routines.empty()) {
            if (late.empty()) {
                if (stopping)
                    break;
                routineCv.wait(lk, [&] { return stopping || !routines.empty() || !late.empty(); });
            } else {
                // A copy: the other completion thread may take the entry
                // (and free it) while this one waits.
                const auto due = late.front().first;
                routineCv.wait_until(lk, due);
            }
            continue;
        }
        std::shared_ptr<UsbTransfer> t = routines.front();
        routines.pop_front();
        lk.unlock();
        {
            DriverCodeScope driverCode(kUsbInterruptPriority);
            t->routine(t->param);
        }
        lk.lock();
        t->routineDone.store(true);
        t->device->routinesPending--;
        doneCv.notify_all();
    }
}

// One pass over the bus in grid frame `frame` (0 when untimed): control
// transfers, the interrupt endpoints due for a poll, then bulk packets round
// robin over the pipes, at most `bulkLeft` of them (decremented). `due`
// comes back as the earliest frame in which queued work may move without
// anything else happening: the next frame when bulk work is left with the
// budget spent, an interrupt endpoint's next poll when it was not due now;
// UINT64_MAX when nothing waits for time (work held by a NAK or a stuck
// transfer moves again after a submit or the model's Wake()). True when
// anything moved or ended.
bool UsbBusImpl::ServiceLocked(int& bulkLeft, uint64_t frame, uint64_t& due) {
    // A model's Wake() during the pass means another pass; after it, only
    // when something stays queued.
    modelWakes.store(true);
    const bool progress = PassLocked(bulkLeft, frame, due);
    bool queued = false;
    for (auto& [addr, d] : devices) {
        if (d->gone)
            continue;
        queued = queued || !d->control.empty();
        for (auto& p : d->pipes)
            queued = queued || !p->queue.empty();
    }
    modelWakes.store(queued);
    return progress;
}

bool UsbBusImpl::PassLocked(int& bulkLeft, uint64_t frame, uint64_t& due) {
    const bool untimed = timing == UsbTiming::kUntimed;
    bool progress = false;
    due = UINT64_MAX;
    std::vector<UsbPipe*> bulk;
    for (auto& [addr, d] : devices) {
        if (d->gone)
            continue;
        if (ServiceControlLocked(*d, frame, due))
            progress = true;
        for (auto& p : d->pipes) {
            if (p->queue.empty())
                continue;
            if (p->type == 3) {
                bulk.push_back(p.get());
                continue;
            }
            // An interrupt endpoint is polled at most once every `interval`
            // frames.
            if (untimed || !p->polled || frame - p->lastPoll >= p->interval) {
                p->polled = true;
                p->lastPoll = frame;
                if (ServicePipeLocked(*p))
                    progress = true;
            } else {
                due = std::min<uint64_t>(due, p->lastPoll + p->interval);
            }
        }
    }
    if (bulk.empty())
        return progress;
    const size_t n = bulk.size();
    int used = 0;
    int rounds = untimed ? kUntimedPacketsPerPass : INT_MAX;
    for (int r = 0; r < rounds && used < bulkLeft; r++) {
        bool any = false;
        for (size_t i = 0; i < n && used < bulkLeft; i++) {
            UsbPipe& p = *bulk[(rr + i) % n];
            if (p.queue.empty())
                continue;
            if (ServicePipeLocked(p)) {
                any = true;
                used++;
            }
        }
        if (!any)
            break;
        progress = true;
    }
    if (!untimed)
        bulkLeft -= used;
    rr++;
    if (bulkLeft == 0) {
        for (UsbPipe* p : bulk)
            if (!p->queue.empty())
                due = frame + 1;
    }
    return progress;
}

// Control transfers run whole: setup, data stage and status in one step
// (on a timed bus, no sooner than the frame after the one they start in).
// The bus answers the standard requests that only the host issues or that
// concern the pipes it owns; the model answers everything else.
bool UsbBusImpl::ServiceControlLocked(UsbDevice& d, uint64_t frame, uint64_t& due) {
    bool progress = false;
    while (!d.control.empty()) {
        std::shared_ptr<UsbTransfer> t = d.control.front();
        if (t->neverComplete)
            break;  // a stuck request blocks the default pipe
        // On a timed bus the stages of a control transfer (setup, data,
        // status) take at least one frame: it ends in the frame after the
        // one it is first served in, at the earliest.
        if (timing != UsbTiming::kUntimed) {
            if (!t->charged) {
                t->charged = true;
                t->notBefore = frame + 1;
            }
            if (frame < t->notBefore) {
                due = std::min(due, t->notBefore);
                break;
            }
        }
        progress = true;
        if (t->hasErrorFault) {
            FinishLocked(t, t->errorFault);
            continue;
        }
        if (t->hasDataFault && t->dataFault == UsbDataFault::kEmpty) {
            FinishLocked(t, USB_NO_ERROR);
            continue;
        }
        if (t->hasDataFault && t->dataFault == UsbDataFault::kOversized && t->in) {
            if (t->buffer)
                std::memset(t->buffer, 0xA5, t->length);
            t->actual = t->length;
            FinishLocked(t, USB_DATA_OVERRUN_ERROR);
            continue;
        }
        const USB_DEVICE_REQUEST& s = t->setup;
        const int type = (s.bmRequestType >> 5) & 3, recipient = s.bmRequestType & 0x1F;
        Bytes in, out;
        if (!t->in && s.wLength && t->buffer)
            out.assign(t->buffer, t->buffer + s.wLength);
        UsbHandshake hs = UsbHandshake::kAck;
        if (type == 0 && s.bRequest == USB_REQUEST_GET_DESCRIPTOR && t->in) {
            const uint8_t dtype = s.wValue >> 8, index = s.wValue & 0xFF;
            if (dtype == USB_DEVICE_DESCRIPTOR_TYPE)
                in = d.model->DeviceDescriptor();
            else if (dtype == USB_CONFIGURATION_DESCRIPTOR_TYPE)
                in = d.model->ConfigurationDescriptor(index);
            else if (dtype == USB_STRING_DESCRIPTOR_TYPE)
                in = d.model->StringDescriptor(index, s.wIndex);
            if (in.empty())
                hs = UsbHandshake::kStall;
        } else if (type == 0 && s.bRequest == 5) {  // SET_ADDRESS
        } else if (type == 0 && s.bRequest == 9) {  // SET_CONFIGURATION
            d.toggles.clear();
            d.model->Configured(uint8_t(s.wValue));
        } else if (type == 0 && s.bRequest == USB_REQUEST_CLEAR_FEATURE && recipient == 2 &&
                   s.wValue == USB_FEATURE_ENDPOINT_HALT) {
            // The device's side only: its stall and its data toggle. The
            // host's pipe stays halted until the client's ResetPipe.
            const uint8_t ep = uint8_t(s.wIndex);
            d.stalled.erase(ep);
            d.toggles[ep] = 0;
            d.model->ClearHalt(ep);
        } else {
            hs = d.model->Control(s, out, in);
        }
        if (hs != UsbHandshake::kAck) {
            FinishLocked(t, USB_STALL_ERROR);
            continue;
        }
        if (t->in) {
            size_t n = std::min<size_t>({in.size(), s.wLength, t->length});
            if (t->hasDataFault && t->dataFault == UsbDataFault::kShort)
                n /= 2;
            if (n && t->buffer)
                std::memcpy(t->buffer, in.data(), n);
            t->actual = uint32_t(n);
        } else {
            t->actual = s.wLength;
        }
        FinishLocked(t, USB_NO_ERROR);
    }
    return progress;
}

// Ends the pipe's head transfer with a transaction error. As on every host
// controller, any error but a cancel halts the pipe: nothing more moves on
// it until the client's ResetPipe. (A short packet's underrun is not a
// transaction error and ends the transfer only, as on EHCI.)
void UsbBusImpl::FailPipeLocked(UsbPipe& p, const std::shared_ptr<UsbTransfer>& t, DWORD error) {
    if (error != USB_CANCELED_ERROR && error != USB_DATA_UNDERRUN_ERROR)
        p.halted = true;
    FinishLocked(t, error);
}

// A NAK leaves the transfer as it is (nothing moved; the model's Wake()
// brings the scheduler back); a STALL halts the pipe and ends the transfer.
bool UsbBusImpl::RefusedLocked(UsbHandshake hs, UsbPipe& p, const std::shared_ptr<UsbTransfer>& t,
                               bool& moved) {
    if (hs == UsbHandshake::kAck)
        return false;
    moved = hs == UsbHandshake::kStall;
    if (moved)
        FailPipeLocked(p, t, USB_STALL_ERROR);
    return true;
}

// One packet on the pipe's oldest transfer. True when something happened
// (a packet moved or the transfer ended); false on NAK or a stuck transfer.
//
// Data toggles: host and device each keep one per endpoint and flip it on
// every acknowledged packet. A packet whose toggle is not the receiver's is
// acknowledged and dropped (the receiver takes it for a retransmission), so
// a host that resets its side (ResetPipe) without the device resetting its
// own (CLEAR_FEATURE(ENDPOINT_HALT)), or the other way round, loses one
// packet and is in step again.
bool UsbBusImpl::ServicePipeLocked(UsbPipe& p) {
    std::shared_ptr<UsbTransfer> t = p.queue.front();
    UsbDevice& d = *p.device;
    if (t->neverComplete)
        return false;
    if (t->hasErrorFault) {
        FailPipeLocked(p, t, t->errorFault);
        return true;
    }
    const uint8_t ep = p.descriptor.bEndpointAddress;
    if (p.halted) {
        FinishLocked(t, USB_STALL_ERROR);
        return true;
    }
    if (d.stalled.count(ep)) {
        FailPipeLocked(p, t, USB_STALL_ERROR);
        return true;
    }
    const bool shortFault = t->hasDataFault && t->dataFault == UsbDataFault::kShort;
    if (t->hasDataFault && t->dataFault == UsbDataFault::kEmpty) {
        FinishLocked(t, USB_NO_ERROR);
        return true;
    }
    if (t->hasDataFault && t->dataFault == UsbDataFault::kOversized) {
        if (t->in) {
            if (t->buffer)
                std::memset(t->buffer, 0xA5, t->length);
            t->actual = t->length;
        }
        FailPipeLocked(p, t, USB_DATA_OVERRUN_ERROR);
        return true;
    }
    uint8_t& deviceToggle = d.toggles[ep];
    const bool inStep = deviceToggle == p.toggle;
    const size_t mps = p.maxPacket ? p.maxPacket : 64;
    if (!t->in) {
        const uint32_t limit = shortFault ? t->length / 2 : t->length;
        const size_t n = std::min<size_t>(mps, limit - t->actual);
        bool moved = false;
        if (inStep) {
            UsbHandshake hs = d.model->Out(ep, t->buffer ? t->buffer + t->actual : nullptr, n);
            if (RefusedLocked(hs, p, t, moved))
                return moved;
            deviceToggle ^= 1;
        }
        // Out of step the device acknowledges the packet and drops it.
        p.toggle ^= 1;
        t->actual += uint32_t(n);
        if (p.type == 3 && inStep)
            bulkBytes += n;
        if (n < mps || t->actual >= limit)
            FinishLocked(t, USB_NO_ERROR);
        return true;
    }
    Bytes packet;
    bool moved = false;
    if (RefusedLocked(d.model->In(ep, mps, packet), p, t, moved))
        return moved;
    deviceToggle ^= 1;
    if (!inStep)
        return true;  // acknowledged and dropped by the host
    p.toggle ^= 1;
    const size_t room = t->length - t->actual;
    size_t n = packet.size();
    DWORD error = USB_NO_ERROR;
    bool end = false;
    if (shortFault) {
        n /= 2;
        end = true;
    } else if (n > mps || n > room) {  // babble: the device sent more than fits
        n = std::min(n, room);
        error = USB_DATA_OVERRUN_ERROR;
        end = true;
    }
    if (n && t->buffer)
        std::memcpy(t->buffer + t->actual, packet.data(), n);
    t->actual += uint32_t(n);
    if (p.type == 3)
        bulkBytes += n;
    if (packet.size() < mps || t->actual == t->length)
        end = true;
    if (end) {
        if (error == USB_NO_ERROR && t->actual < t->length && !(t->flags & USB_SHORT_TRANSFER_OK))
            error = USB_DATA_UNDERRUN_ERROR;
        if (error == USB_DATA_OVERRUN_ERROR)
            FailPipeLocked(p, t, error);
        else
            FinishLocked(t, error);
    }
    return true;
}

void UsbBusImpl::FinishLocked(const std::shared_ptr<UsbTransfer>& ref, DWORD error) {
    // Callers may pass an element of the queue erased below (queue.front()):
    // hold the transfer by value.
    const std::shared_ptr<UsbTransfer> t = ref;
    if (t->finished)
        return;
    t->finished = true;
    t->error = error;
    auto& q = t->pipe ? t->pipe->queue : t->device->control;
    auto it = std::find(q.begin(), q.end(), t);
    // The next transfer of the queue may now move (after an abort, the
    // scheduler may be asleep behind a stuck head).
    if (it == q.begin() && q.size() > 1 && !tlsSchedulerThread)
        Kick();
    if (it != q.end())
        q.erase(it);
    if (t->pipe && t->outOfOrder && error == USB_NO_ERROR && !t->device->gone && !t->pipe->held) {
        t->pipe->held = t;  // reported after the next transfer on this pipe
        return;
    }
    ReportLocked(t);
    if (t->pipe && t->pipe->held && t->pipe->held != t) {
        std::shared_ptr<UsbTransfer> held = std::move(t->pipe->held);
        t->pipe->held.reset();
        ReportLocked(held);
    }
}

void UsbBusImpl::ReportLocked(const std::shared_ptr<UsbTransfer>& t) {
    // Only what the scheduler ends waits for a report; what a client ends
    // (abort, close, removal) is reported at once.
    if (completeEvery > 0 && tlsSchedulerThread && timing != UsbTiming::kUntimed && !engine &&
        !t->device->gone) {
        if (!t->deferred) {
            t->deferred = true;
            deferred.push_back(t);
        }
        return;
    }
    PublishLocked(t);
}

void UsbBusImpl::PublishDeferredLocked(const UsbPipe* pipe, const UsbDevice* device) {
    std::vector<std::shared_ptr<UsbTransfer>> now;
    for (auto& t : deferred) {
        if ((!pipe || t->pipe.get() == pipe) && (!device || t->device.get() == device))
            now.push_back(t);
    }
    for (auto& t : now)
        PublishLocked(t);
}

void UsbBusImpl::PublishLocked(const std::shared_ptr<UsbTransfer>& ref) {
    // Callers may pass the pipe's `held` pointer, reset below: hold by value.
    const std::shared_ptr<UsbTransfer> t = ref;
    if (t->complete)
        return;
    if (t->pipe && t->pipe->held == t)
        t->pipe->held.reset();
    if (t->deferred) {
        t->deferred = false;
        deferred.erase(std::find(deferred.begin(), deferred.end(), t));
    }
    t->complete = true;
    LogCompleteLocked(*t);
    if (t->routine) {
        t->routineQueued = true;
        t->device->routinesPending++;
        if (tlsSchedulerThread) {
            ready.push_back(t);
        } else if (strict && t->error != USB_NO_ERROR) {
            // Strict ordering: the routine of a transfer a client ended
            // runs late, after the call that ended it has returned.
            late.emplace_back(std::chrono::steady_clock::now() + kLateRoutine, t);
            routineCv.notify_one();
        } else {
            routines.push_back(t);
            routineCv.notify_one();
        }
    }
    doneCv.notify_all();
}

void UsbBusImpl::EndLocked(const std::shared_ptr<UsbTransfer>& t, DWORD error) {
    if (t->finished)
        return;
    if (engine && engine->CancelLocked(t, error))
        return;
    FinishLocked(t, error);
}

void UsbBusImpl::FailInFlightLocked(UsbDevice& d, DWORD error) {
    // Strict ordering: a removal ends transfers as a controller reports a
    // device that stopped answering, cancelled or not responding.
    auto code = [&] {
        if (!strict)
            return error;
        return removalErrors++ % 2 == 0 ? USB_CANCELED_ERROR : USB_DEVICE_NOT_RESPONDING_ERROR;
    };
    // Copies: ending a transfer takes it off its queue.
    for (auto& t : std::deque<std::shared_ptr<UsbTransfer>>(d.control))
        EndLocked(t, code());
    for (auto& p : d.pipes) {
        for (auto& t : std::deque<std::shared_ptr<UsbTransfer>>(p->queue))
            EndLocked(t, code());
        if (p->held)
            PublishLocked(p->held);
    }
    PublishDeferredLocked(nullptr, &d);
}

ArmedFault* UsbBusImpl::TakeFaultLocked(UsbDevice& d, ArmedFault::Kind kind, const UsbTransfer& t) {
    for (auto& f : d.faults) {
        if (f.kind != kind || f.remaining <= 0 || !Matches(f.target, t))
            continue;
        f.remaining--;
        return &f;
    }
    return nullptr;
}

bool UsbBusImpl::CountCallLocked(const std::shared_ptr<UsbDevice>& d, UsbCall call) {
    const int c = static_cast<int>(call);
    if (c < 0 || c >= static_cast<int>(UsbCall::kCount))
        return false;
    d->callCount[c]++;
    if (d->unplugAt[c] == 0 || d->callCount[c] != d->unplugAt[c])
        return false;
    d->unplugAt[c] = 0;
    StartRemovalLocked(d);
    return true;
}

void UsbBusImpl::StartRemovalLocked(const std::shared_ptr<UsbDevice>& d) {
    if (d->gone)
        return;
    d->gone = true;
    auto self = shared_from_this();
    removalThreads.emplace_back([self, d] { self->Remove(d); });
}

std::shared_ptr<UsbTransfer> UsbBusImpl::Issue(const std::shared_ptr<UsbDevice>& d,
                                               const std::shared_ptr<UsbPipe>& p, UsbCall call,
                                               std::shared_ptr<UsbTransfer> t, bool withHandle) {
    std::unique_lock<std::mutex> lk(mu);
    CountCallLocked(d, call);
    if (!t->routine && OnCompletionThread()) {
        // A completion routine runs where the bus's own work runs: waiting
        // there for a transfer would wait forever.
        CountMisuse("usb.sync.in.routine");
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (d->gone || (p && p->closed)) {
        SetLastError(ERROR_DEVICE_REMOVED);
        return nullptr;
    }
    t->device = d;
    t->pipe = p;
    if (ArmedFault* f = TakeFaultLocked(*d, ArmedFault::kFailIssue, *t)) {
        (void)f;
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (ArmedFault* f = TakeFaultLocked(*d, ArmedFault::kError, *t)) {
        t->hasErrorFault = true;
        t->errorFault = f->error;
    }
    if (TakeFaultLocked(*d, ArmedFault::kNever, *t))
        t->neverComplete = true;
    if (TakeFaultLocked(*d, ArmedFault::kOutOfOrder, *t))
        t->outOfOrder = true;
    if (ArmedFault* f = TakeFaultLocked(*d, ArmedFault::kData, *t)) {
        t->hasDataFault = true;
        t->dataFault = f->data;
    }
    if (TakeFaultLocked(*d, ArmedFault::kFailStatus, *t))
        t->failStatus = true;
    t->urbId = gUrbId.fetch_add(0x40);
    if (withHandle) {
        t->handle = UsbRegisterHandle(UsbHandleKind::kTransfer, t);
        d->transfers.insert(t);
    }
    // A transfer queued behind others on its pipe cannot move before they
    // do, and whatever moves them (the model's Wake(), an abort, the next
    // frame) makes the scheduler pass again: only a new head needs a pass.
    auto& queue = p ? p->queue : d->control;
    const bool head = queue.empty();
    queue.push_back(t);
    LogSubmitLocked(*t);
    if (engine) {
        engine->StartLocked(t);
    } else if (head) {
        // Kicked with the lock released: a scheduler woken on this core
        // may run at once, and would only wait for the lock.
        lk.unlock();
        Kick();
        lk.lock();
    }
    if (!t->routine)
        WaitTerminable(lk, doneCv, INFINITE, [&] { return t->complete; });
    return t;
}

DWORD UsbBusImpl::HostControl(const std::shared_ptr<UsbDevice>& d, USB_DEVICE_REQUEST setup,
                              Bytes& data) {
    auto t = std::make_shared<UsbTransfer>();
    data.resize(setup.wLength);
    t->type = 2;
    t->in = setup.bmRequestType & 0x80;
    t->endpoint = t->in ? 0x80 : 0;
    t->setup = setup;
    t->buffer = data.empty() ? nullptr : data.data();
    t->length = setup.wLength;
    auto r = Issue(d, nullptr, UsbCall::kCount, t, false);
    if (!r)
        return USB_DEVICE_GONE_ERROR;
    std::lock_guard<std::mutex> g(mu);
    data.resize(t->actual);
    return t->error;
}

std::shared_ptr<UsbDevice> UsbBusImpl::Enumerate(std::shared_ptr<UsbDeviceModel> model) {
    auto d = std::make_shared<UsbDevice>();
    d->bus = this;
    d->busRef = shared_from_this();
    d->model = std::move(model);
    {
        std::lock_guard<std::mutex> g(mu);
        for (int i = 0; i < 127 && devices.count(nextAddress); i++)
            nextAddress = nextAddress % 127 + 1;
        if (devices.count(nextAddress))
            return nullptr;  // bus full
        d->address = nextAddress;
        nextAddress = nextAddress % 127 + 1;
        devices[d->address] = d;
    }
    d->model->SetWaker(&waker);
    d->handle = UsbRegisterHandle(UsbHandleKind::kDevice, d);

    bool ok = false;
    Bytes dev;
    if ((!engine || engine->Open(*d)) &&
        HostControl(d, {0x80, USB_REQUEST_GET_DESCRIPTOR, USB_DEVICE_DESCRIPTOR_TYPE << 8, 0, 18},
                    dev) == USB_NO_ERROR &&
        dev.size() == 18) {
        d->deviceDescriptor = dev;
        ok = true;
        const uint8_t configs = dev[17];
        for (uint8_t i = 0; i < configs && ok; i++) {
            Bytes head, whole;
            const WORD value = WORD((USB_CONFIGURATION_DESCRIPTOR_TYPE << 8) | i);
            ok = HostControl(d, {0x80, USB_REQUEST_GET_DESCRIPTOR, value, 0, 9}, head) ==
                     USB_NO_ERROR &&
                 head.size() == 9;
            if (!ok)
                break;
            const WORD total = WORD(head[2] | (head[3] << 8));
            ok = HostControl(d, {0x80, USB_REQUEST_GET_DESCRIPTOR, value, 0, total}, whole) ==
                     USB_NO_ERROR &&
                 whole.size() == total;
            if (ok)
                d->configDescriptors.push_back(whole);
        }
        ok = ok && BuildRecords(*d);
        if (ok && !d->configs.empty()) {
            Bytes none;
            HostControl(d, {0x00, 9, d->configs[0].Descriptor.bConfigurationValue, 0, 0}, none);
        }
    }
    if (!ok) {
        Remove(d);
        return nullptr;
    }
    std::lock_guard<std::mutex> g(mu);
    d->enumerated = true;
    return d;
}

void UsbBusImpl::Remove(const std::shared_ptr<UsbDevice>& d) {
    std::unique_lock<std::mutex> lk(mu);
    if (d->removing) {
        doneCv.wait(lk, [&] { return d->removed; });
        return;
    }
    d->removing = true;
    d->gone = true;
    FailInFlightLocked(*d, USB_DEVICE_GONE_ERROR);
    d->model->Unplugged();
    // Every routine of a failed transfer has run before the client hears
    // that the device is gone (and a real device has handed back every
    // transfer it had); under strict ordering the notice may come first.
    doneCv.wait(lk, [&] { return (strict || d->routinesPending == 0) && d->inEngine == 0; });
    LPDEVICE_NOTIFY_ROUTINE notify = d->notify;
    LPVOID param = d->notifyParam;
    lk.unlock();
    if (notify) {
        DriverCodeScope driverCode(kUsbHostPriority);
        notify(param, USB_CLOSE_DEVICE, nullptr, nullptr, nullptr, nullptr);
    }
    lk.lock();
    // Routines queued while the notification ran (a client that issued on a
    // gone device got 0, so only those of transfers it aborted), and an
    // attach still running in a client library (a device that went during
    // its attach): the libraries are released below.
    doneCv.wait(lk, [&] { return d->routinesPending == 0 && d->inEngine == 0 && !d->attaching; });
    for (auto& t : d->transfers) {
        CountLeak("usb.transfer.unclosed");
        UsbReleaseHandle(UsbHandleKind::kTransfer, t->handle);
        t->closed = true;
    }
    d->transfers.clear();
    for (auto& p : d->pipes) {
        UsbReleaseHandle(UsbHandleKind::kPipe, p->handle);
        p->closed = true;
    }
    d->pipes.clear();
    UsbReleaseHandle(UsbHandleKind::kDevice, d->handle);
    d->model->SetWaker(nullptr);
    std::vector<HMODULE> modules;
    modules.swap(d->modules);
    if (engine) {
        // A real device goes back to the system before the removal counts
        // as done, so that whoever waits for it may open it again.
        lk.unlock();
        engine->Release(*d);
        lk.lock();
    }
    // The client libraries are released before the removal counts as done:
    // whoever waits for it finds the platform as it was before the attach
    // (a library's unload deletes what its load created).
    lk.unlock();
    for (HMODULE m : modules)
        FreeLibrary(m);
    lk.lock();
    auto it = devices.find(d->address);
    if (it != devices.end() && it->second == d)
        devices.erase(it);
    d->removed = true;
    doneCv.notify_all();
    lk.unlock();
    // The device record (and the records handed to clients) go with the
    // last reference; drop the bus reference now that nothing runs on it.
    lk.lock();
    d->faults.clear();
    lk.unlock();
}

std::shared_ptr<UsbDevice> UsbBusImpl::FindLocked(UsbDeviceId id) const {
    auto it = devices.find(uint8_t(id));
    if (id == 0 || id > 127 || it == devices.end())
        return nullptr;
    return it->second;
}

}  // namespace cehost
