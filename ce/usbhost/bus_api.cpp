// UsbBus: the host-side controls of one bus (plugging, faults, the log).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "usbhost/host.h"

namespace cehost {
namespace {

std::atomic<int> gBusNumber{0};

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Runs `fn` on a fresh host thread and waits for it: client entry points and
// notification routines never run on the tester's thread.
template <class F>
void OnHostThread(F&& fn) {
    std::thread t(std::forward<F>(fn));
    t.join();
}

}  // namespace

void UsbBusImpl::LogSubmitLocked(const UsbTransfer& t) {
    UsbDevice& d = *t.device;
    if (!logging && d.enumerated)
        return;
    UsbLogEntry e;
    e.urbId = t.urbId;
    e.event = 'S';
    e.transferType = t.type;
    e.endpoint = t.endpoint;
    e.device = d.address;
    e.bus = uint16_t(number);
    e.hasSetup = t.type == 2;
    if (e.hasSetup)
        std::memcpy(e.setup, &t.setup, 8);
    if (!t.in && t.buffer && t.length)
        e.data.assign(t.buffer, t.buffer + t.length);
    e.urbLength = t.length;
    e.timeNs = NowNs();
    if (!d.enumerated)
        d.enumLog.push_back(e);
    if (logging)
        log.push_back(std::move(e));
}

void UsbBusImpl::LogCompleteLocked(const UsbTransfer& t) {
    UsbDevice& d = *t.device;
    if (!logging && d.enumerated)
        return;
    UsbLogEntry e;
    e.urbId = t.urbId;
    e.event = 'C';
    e.transferType = t.type;
    e.endpoint = t.endpoint;
    e.device = d.address;
    e.bus = uint16_t(number);
    if (t.in && t.buffer && t.actual)
        e.data.assign(t.buffer, t.buffer + t.actual);
    e.error = t.error;
    e.urbLength = t.actual;
    e.timeNs = NowNs();
    if (!d.enumerated)
        d.enumLog.push_back(e);
    if (logging)
        log.push_back(std::move(e));
}

UsbBus::UsbBus(UsbTiming timing) : impl_(std::make_shared<UsbBusImpl>(++gBusNumber, timing)) {
    const char* strict = std::getenv("CEHOST_USB_STRICT_ORDER");
    impl_->strict = strict != nullptr && std::strcmp(strict, "1") == 0;
    if (timing == UsbTiming::kReal)
        impl_->engine = MakeRealUsbEngine(*impl_);
    impl_->Start();
}

UsbBus::~UsbBus() {
    std::vector<std::shared_ptr<UsbDevice>> all;
    {
        std::lock_guard<std::mutex> g(impl_->mu);
        for (auto& [a, d] : impl_->devices)
            all.push_back(d);
    }
    for (auto& d : all)
        OnHostThread([&] { impl_->Remove(d); });
    impl_->Stop();
}

int UsbBus::Number() const {
    return impl_->number;
}
UsbTiming UsbBus::Timing() const {
    return impl_->timing;
}

UsbDeviceId UsbBus::Plug(std::shared_ptr<UsbDeviceModel> model) {
    UsbDeviceId id = 0;
    OnHostThread([&] {
        auto d = impl_->Enumerate(std::move(model));
        if (!d)
            return;
        id = d->address;
        impl_->OfferToClients(d);
    });
    return id;
}

UsbDeviceId UsbBus::PlugUnclaimed(std::shared_ptr<UsbDeviceModel> model) {
    UsbDeviceId id = 0;
    OnHostThread([&] {
        auto d = impl_->Enumerate(std::move(model));
        if (d)
            id = d->address;
    });
    return id;
}

bool UsbBus::Unplug(UsbDeviceId id) {
    std::shared_ptr<UsbDevice> d;
    {
        std::lock_guard<std::mutex> g(impl_->mu);
        d = impl_->FindLocked(id);
    }
    if (!d)
        return false;
    OnHostThread([&] { impl_->Remove(d); });
    return true;
}

UsbDeviceId UsbBus::Replug(UsbDeviceId id) {
    std::shared_ptr<UsbDeviceModel> model;
    {
        std::lock_guard<std::mutex> g(impl_->mu);
        auto d = impl_->FindLocked(id);
        if (!d)
            return 0;
        model = d->model;
    }
    Unplug(id);
    return Plug(model);
}

bool UsbBus::WaitUnplugged(UsbDeviceId id, int timeoutMs) {
    std::unique_lock<std::mutex> lk(impl_->mu);
    return impl_->doneCv.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] {
        auto d = impl_->FindLocked(id);
        return !d || d->removed;
    });
}

bool UsbBus::IsPlugged(UsbDeviceId id) const {
    std::lock_guard<std::mutex> g(impl_->mu);
    auto d = impl_->FindLocked(id);
    return d && !d->gone;
}

USB_HANDLE UsbBus::Handle(UsbDeviceId id) const {
    std::lock_guard<std::mutex> g(impl_->mu);
    auto d = impl_->FindLocked(id);
    return d && !d->gone ? static_cast<USB_HANDLE>(d->handle) : nullptr;
}

std::u16string UsbBus::Owner(UsbDeviceId id) const {
    std::lock_guard<std::mutex> g(impl_->mu);
    auto d = impl_->FindLocked(id);
    return d ? d->owner : std::u16string();
}

namespace {
void Arm(UsbBusImpl& b, UsbDeviceId id, ArmedFault f) {
    std::lock_guard<std::mutex> g(b.mu);
    if (auto d = b.FindLocked(id))
        d->faults.push_back(f);
}
}  // namespace

void UsbBus::FailIssues(UsbDeviceId id, UsbFaultTarget target, int count) {
    Arm(*impl_, id, {ArmedFault::kFailIssue, target, count});
}
void UsbBus::CompleteWithError(UsbDeviceId id, UsbFaultTarget target, DWORD error, int count) {
    Arm(*impl_, id, {ArmedFault::kError, target, count, error});
}
void UsbBus::NeverComplete(UsbDeviceId id, UsbFaultTarget target, int count) {
    Arm(*impl_, id, {ArmedFault::kNever, target, count});
}
void UsbBus::CompleteOutOfOrder(UsbDeviceId id, UsbFaultTarget target, int count) {
    Arm(*impl_, id, {ArmedFault::kOutOfOrder, target, count});
}
void UsbBus::CorruptData(UsbDeviceId id, UsbFaultTarget target, UsbDataFault kind, int count) {
    Arm(*impl_, id, {ArmedFault::kData, target, count, 0, kind});
}
void UsbBus::FailTransferStatus(UsbDeviceId id, UsbFaultTarget target, int count) {
    Arm(*impl_, id, {ArmedFault::kFailStatus, target, count});
}

void UsbBus::Stall(UsbDeviceId id, uint8_t endpoint) {
    {
        std::lock_guard<std::mutex> g(impl_->mu);
        if (auto d = impl_->FindLocked(id))
            d->stalled.insert(endpoint);
    }
    impl_->Kick();
}

void UsbBus::UnplugAtCall(UsbDeviceId id, UsbCall call, int nth) {
    std::lock_guard<std::mutex> g(impl_->mu);
    auto d = impl_->FindLocked(id);
    const int c = static_cast<int>(call);
    if (!d || c < 0 || c >= static_cast<int>(UsbCall::kCount) || nth <= 0)
        return;
    d->unplugAt[c] = d->callCount[c] + nth;
}

void UsbBus::ClearFaults(UsbDeviceId id) {
    std::lock_guard<std::mutex> g(impl_->mu);
    if (auto d = impl_->FindLocked(id)) {
        d->faults.clear();
        d->stalled.clear();
        for (int& u : d->unplugAt)
            u = 0;
    }
}

void UsbBus::SetCompletion(UsbCompletion mode, int frames) {
    std::lock_guard<std::mutex> g(impl_->mu);
    impl_->completeEvery = mode == UsbCompletion::kPerTransfer  ? 0
                           : mode == UsbCompletion::kEndOfFrame ? 1
                                                                : std::max(frames, 1);
    if (impl_->completeEvery == 0)
        impl_->PublishDeferredLocked(nullptr, nullptr);
    impl_->Kick();
}

void UsbBus::SetStrictOrdering(bool on) {
    std::lock_guard<std::mutex> g(impl_->mu);
    impl_->strict = on;
}

bool UsbBus::StrictOrdering() const {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->strict;
}

void UsbBus::SetLogging(bool on) {
    std::lock_guard<std::mutex> g(impl_->mu);
    impl_->logging = on;
}

std::vector<UsbLogEntry> UsbBus::Log() const {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->log;
}

void UsbBus::ClearLog() {
    std::lock_guard<std::mutex> g(impl_->mu);
    impl_->log.clear();
    for (auto& [a, d] : impl_->devices)
        if (!d->gone)
            impl_->log.insert(impl_->log.end(), d->enumLog.begin(), d->enumLog.end());
}

bool UsbBus::WritePcap(const std::string& path) const {
    return WriteUsbmonPcap(path, Log());
}

uint64_t UsbBus::BulkBytes() const {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->bulkBytes;
}

}  // namespace cehost
