// The engine of a bus of real devices: libusb-1.0 on Linux's usbfs.
//
// Devices are opened by their usbfs node (found through sysfs) and handed
// to libusb with libusb_wrap_sys_device, so libusb needs no device discovery
// of its own (and no udev daemon, which small systems lack). Opening takes
// the device from the kernel: the kernel drivers bound to its interfaces
// are detached, the interfaces claimed; releasing gives them back.
//
// Threads:
//   events   libusb's event handling: every transfer callback runs here. A
//            callback takes the bus's `mu`, copies what moved into the
//            client's buffer and ends the transfer with FinishLocked, which
//            queues the client's completion routine on the bus's pool (a
//            routine never runs on this thread, so a routine may wait for
//            an abort or close).
//   requests standard requests that need the kernel's own handling
//            (CLEAR_FEATURE(ENDPOINT_HALT), which must reset the host's data
//            toggle too, SET_INTERFACE and a configuration change): blocking
//            calls, run one at a time off the event thread.
//   watch    polls each open device's node, so that a device that went
//            while nothing was in flight is noticed within 250 ms (libusb
//            itself reports a removal only to transfers in flight).
//
// Locking: `mu` of the bus guards `flights_` and each flight's cancel
// fields. libusb_submit_transfer and libusb_cancel_transfer are called
// with `mu` held: neither takes a lock that the event thread holds while it
// runs a callback. libusb_close (which does) runs only in Release, with no
// lock held. Each device's `fdMu` orders the watcher's use of the node
// against Release closing it.
#include <fcntl.h>
#include <libusb.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <thread>

#include "cehost/usb_real.h"
#include "usbhost/host.h"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace cehost {
namespace {

// A transfer goes from the submitting thread to the event thread through
// the kernel (the reap ioctl hands back the URB's context), an ordering
// ThreadSanitizer cannot see: tell it.
void HandedToKernel(libusb_transfer* x) {
#if defined(__SANITIZE_THREAD__)
    __tsan_release(x);
#else
    (void)x;
#endif
}
void HandedBackByKernel(libusb_transfer* x) {
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(x);
#else
    (void)x;
#endif
}

constexpr unsigned kControlTimeoutMs = 5000;
constexpr int kWatchIntervalMs = 250;

RealTransferEnd EndOf(libusb_transfer_status s) {
    switch (s) {
        case LIBUSB_TRANSFER_COMPLETED:
            return RealTransferEnd::kCompleted;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return RealTransferEnd::kTimedOut;
        case LIBUSB_TRANSFER_CANCELLED:
            return RealTransferEnd::kCancelled;
        case LIBUSB_TRANSFER_STALL:
            return RealTransferEnd::kStall;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return RealTransferEnd::kNoDevice;
        case LIBUSB_TRANSFER_OVERFLOW:
            return RealTransferEnd::kOverflow;
        default:
            return RealTransferEnd::kError;
    }
}

// The engine's record of an open device (UsbDevice::engineData).
struct RealDevice {
    RealUsbDeviceModel* model = nullptr;  // owned by the UsbDevice
    libusb_device_handle* handle = nullptr;
    std::mutex fdMu;
    int fd = -1;  // fdMu (written only by Open and Release)
    uint8_t configuration = 0;
    std::vector<int> claimed;   // interfaces claimed
    std::vector<int> detached;  // interfaces whose kernel driver was detached
};

class LibusbEngine;

// One transfer in libusb's hands.
struct Flight {
    LibusbEngine* engine = nullptr;
    std::shared_ptr<UsbTransfer> transfer;
    libusb_transfer* xfer = nullptr;
    std::vector<uint8_t> buffer;  // what libusb moves data through
    // ---- bus mu ----
    bool cancelled = false;
    DWORD cancelError = USB_CANCELED_ERROR;
};

RealDevice* RealOf(UsbDevice& d) {
    return static_cast<RealDevice*>(d.engineData.get());
}

std::string LibusbText(int r) {
    return std::string(libusb_error_name(r));
}

class LibusbEngine : public UsbEngine {
  public:
    explicit LibusbEngine(UsbBusImpl& bus) : bus_(bus) {
        // Devices are found through sysfs and handed over by their node.
        libusb_set_option(nullptr, LIBUSB_OPTION_NO_DEVICE_DISCOVERY);
        const int r = libusb_init(&ctx_);
        if (r != 0) {
            ctx_ = nullptr;
            startError_ = "libusb_init: " + LibusbText(r);
            return;
        }
        events_ = std::thread([this] { EventLoop(); });
        requests_ = std::thread([this] { RequestLoop(); });
        watch_ = std::thread([this] { WatchLoop(); });
    }

    ~LibusbEngine() override { Stop(); }

    bool Open(UsbDevice& d) override;
    void StartLocked(const std::shared_ptr<UsbTransfer>& t) override;
    bool CancelLocked(const std::shared_ptr<UsbTransfer>& t, DWORD error) override;
    void Release(UsbDevice& d) override;
    void Stop() override;

    void Completed(libusb_transfer* x);

  private:
    static bool Fail(RealUsbDeviceModel& m, RealUsbError e, const std::string& detail);
    bool SpecialRequest(const USB_DEVICE_REQUEST& s) const;
    void EventLoop();
    void RequestLoop();
    void WatchLoop();
    DWORD RunRequest(UsbTransfer& t);

    UsbBusImpl& bus_;
    libusb_context* ctx_ = nullptr;
    std::string startError_;
    std::atomic<bool> stop_{false};
    std::thread events_, requests_, watch_;

    std::map<UsbTransfer*, Flight*> flights_;  // bus mu

    std::mutex requestMu_;               // leaf lock; never held while taking bus mu
    std::condition_variable requestCv_;  // requests queued, or the engine stops
    std::deque<std::shared_ptr<UsbTransfer>> requests_q_;  // requestMu_
    std::set<UsbTransfer*> requestsPending_;               // bus mu: queued or running
};

void Callback(libusb_transfer* x) {
    HandedBackByKernel(x);
    static_cast<Flight*>(x->user_data)->engine->Completed(x);
}

bool LibusbEngine::Fail(RealUsbDeviceModel& m, RealUsbError e, const std::string& detail) {
    m.SetError(e, detail);
    return false;
}

// Takes the device over: checks that the node is still the device sysfs
// showed, opens it, moves it to its first configuration if it runs another,
// detaches the kernel's drivers from that configuration's interfaces and
// claims them.
bool LibusbEngine::Open(UsbDevice& d) {
    auto* m = dynamic_cast<RealUsbDeviceModel*>(d.model.get());
    if (!m)
        return false;
    auto rd = std::make_shared<RealDevice>();
    rd->model = m;
    {
        // The watcher looks at the bus's devices under `mu`.
        std::lock_guard<std::mutex> g(bus_.mu);
        d.engineData = rd;  // Release undoes whatever of this was done
    }
    m->SetError(RealUsbError::kNone, "");
    if (!ctx_)
        return Fail(*m, RealUsbError::kUnsupported, startError_);
    const RealUsbDevice& info = m->Device();
    RealUsbDevice now;
    if (!ReadRealUsbDevice("/sys/bus/usb/devices", info.port, &now) ||
        now.address != info.address || now.vendor != info.vendor || now.product != info.product)
        return Fail(*m, RealUsbError::kGone, "it is no longer at " + info.port);
    const int fd = open(info.node.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        if (e == EACCES || e == EPERM)
            return Fail(*m, RealUsbError::kNoPermission, std::strerror(e));
        if (e == ENOENT || e == ENODEV || e == ENXIO)
            return Fail(*m, RealUsbError::kGone, info.node + ": " + std::strerror(e));
        return Fail(*m, RealUsbError::kFailed, info.node + ": " + std::strerror(e));
    }
    {
        std::lock_guard<std::mutex> g(rd->fdMu);
        rd->fd = fd;
    }
    int r = libusb_wrap_sys_device(ctx_, fd, &rd->handle);
    if (r != 0) {
        rd->handle = nullptr;
        return Fail(*m, r == LIBUSB_ERROR_NO_DEVICE ? RealUsbError::kGone : RealUsbError::kFailed,
                    "libusb_wrap_sys_device: " + LibusbText(r));
    }
    const Bytes config = m->ConfigurationDescriptor(0);
    if (config.size() < 9)
        return Fail(*m, RealUsbError::kFailed, "it has no configuration descriptor");
    rd->configuration = config[5];
    // The interfaces (alternate settings share a number) of configuration 0.
    std::vector<int> interfaces;
    for (size_t at = 0; at + 4 <= config.size() && config[at] >= 2; at += config[at]) {
        if (config[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
            const int n = config[at + 2];
            if (std::find(interfaces.begin(), interfaces.end(), n) == interfaces.end())
                interfaces.push_back(n);
        }
    }
    auto detach = [&](int n) -> bool {
        r = libusb_kernel_driver_active(rd->handle, n);
        if (r == 1) {
            r = libusb_detach_kernel_driver(rd->handle, n);
            if (r == 0) {
                rd->detached.push_back(n);
            } else if (r != LIBUSB_ERROR_NOT_FOUND) {
                return Fail(*m,
                            r == LIBUSB_ERROR_NO_DEVICE ? RealUsbError::kGone
                            : r == LIBUSB_ERROR_ACCESS  ? RealUsbError::kNoPermission
                                                        : RealUsbError::kFailed,
                            "detaching the kernel driver of interface " + std::to_string(n) + ": " +
                                LibusbText(r));
            }
        }
        return true;
    };
    int current = 0;
    r = libusb_get_configuration(rd->handle, &current);
    if (r == LIBUSB_ERROR_NO_DEVICE)
        return Fail(*m, RealUsbError::kGone, "reading its configuration");
    if (r == 0 && current != rd->configuration) {
        // Another configuration is active: free its interfaces, then switch.
        libusb_config_descriptor* active = nullptr;
        if (libusb_get_active_config_descriptor(libusb_get_device(rd->handle), &active) == 0) {
            for (int i = 0; i < active->bNumInterfaces; i++)
                if (!detach(active->interface[i].altsetting[0].bInterfaceNumber)) {
                    libusb_free_config_descriptor(active);
                    return false;
                }
            libusb_free_config_descriptor(active);
        }
        r = libusb_set_configuration(rd->handle, rd->configuration);
        if (r != 0)
            return Fail(*m,
                        r == LIBUSB_ERROR_BUSY        ? RealUsbError::kBusy
                        : r == LIBUSB_ERROR_NO_DEVICE ? RealUsbError::kGone
                                                      : RealUsbError::kFailed,
                        "selecting configuration " + std::to_string(rd->configuration) + ": " +
                            LibusbText(r));
        rd->detached.clear();  // their drivers bind to the new configuration's own
    }
    for (int n : interfaces) {
        if (!detach(n))
            return false;
        r = libusb_claim_interface(rd->handle, n);
        if (r != 0) {
            std::string holder;
            for (const std::string& bound : info.drivers)
                if (bound.rfind(info.port + ":" + std::to_string(rd->configuration) + "." +
                                    std::to_string(n) + " ",
                                0) == 0)
                    holder = " by " + bound.substr(bound.find(' ') + 1);
            return Fail(
                *m,
                r == LIBUSB_ERROR_BUSY        ? RealUsbError::kBusy
                : r == LIBUSB_ERROR_NO_DEVICE ? RealUsbError::kGone
                : r == LIBUSB_ERROR_ACCESS    ? RealUsbError::kNoPermission
                                              : RealUsbError::kFailed,
                "interface " + std::to_string(n) + " is held" + holder + ": " + LibusbText(r));
        }
        rd->claimed.push_back(n);
    }
    return true;
}

// Standard requests the kernel must carry out itself rather than pass on.
bool LibusbEngine::SpecialRequest(const USB_DEVICE_REQUEST& s) const {
    if ((s.bmRequestType & 0x60) != 0 || (s.bmRequestType & 0x80))
        return false;
    const int recipient = s.bmRequestType & 0x1F;
    return (s.bRequest == USB_REQUEST_CLEAR_FEATURE && recipient == 2 &&
            s.wValue == USB_FEATURE_ENDPOINT_HALT) ||
           (s.bRequest == 9 && recipient == 0) ||   // SET_CONFIGURATION
           (s.bRequest == 11 && recipient == 1) ||  // SET_INTERFACE
           (s.bRequest == 5 && recipient == 0);     // SET_ADDRESS: the kernel's alone
}

void LibusbEngine::StartLocked(const std::shared_ptr<UsbTransfer>& t) {
    RealDevice* rd = RealOf(*t->device);
    if (!rd || !rd->handle) {
        bus_.FinishLocked(t, USB_DEVICE_GONE_ERROR);
        return;
    }
    // A halted pipe fails every transfer until the halt is cleared, as on
    // the simulated bus.
    if (t->pipe && t->pipe->halted) {
        bus_.FinishLocked(t, USB_STALL_ERROR);
        return;
    }
    if (t->type == 2 && SpecialRequest(t->setup)) {
        if (t->setup.bRequest == 5 ||
            (t->setup.bRequest == 9 && t->setup.wValue == rd->configuration)) {
            bus_.FinishLocked(t, USB_NO_ERROR);  // already so
            return;
        }
        t->device->inEngine++;
        requestsPending_.insert(t.get());
        {
            std::lock_guard<std::mutex> g(requestMu_);
            requests_q_.push_back(t);
        }
        requestCv_.notify_all();
        return;
    }
    auto* f = new Flight;
    f->engine = this;
    f->transfer = t;
    f->xfer = libusb_alloc_transfer(0);
    if (!f->xfer) {
        delete f;
        bus_.FinishLocked(t, USB_DEVICE_NOT_RESPONDING_ERROR);
        return;
    }
    libusb_transfer* x = f->xfer;
    if (t->type == 2) {
        f->buffer.assign(LIBUSB_CONTROL_SETUP_SIZE + t->length, 0);
        libusb_fill_control_setup(f->buffer.data(), t->setup.bmRequestType, t->setup.bRequest,
                                  t->setup.wValue, t->setup.wIndex, uint16_t(t->length));
        if (!t->in && t->length && t->buffer)
            std::memcpy(f->buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, t->buffer, t->length);
        libusb_fill_control_transfer(x, rd->handle, f->buffer.data(), Callback, f,
                                     kControlTimeoutMs);
    } else {
        f->buffer.assign(t->length, 0);
        if (!t->in && t->length && t->buffer)
            std::memcpy(f->buffer.data(), t->buffer, t->length);
        if (t->type == 3)
            libusb_fill_bulk_transfer(x, rd->handle, t->endpoint, f->buffer.data(), int(t->length),
                                      Callback, f, 0);
        else
            libusb_fill_interrupt_transfer(x, rd->handle, t->endpoint, f->buffer.data(),
                                           int(t->length), Callback, f, 0);
    }
    HandedToKernel(x);
    const int r = libusb_submit_transfer(x);
    if (r != 0) {
        libusb_free_transfer(x);
        delete f;
        if (r == LIBUSB_ERROR_NO_DEVICE) {
            bus_.FinishLocked(t, USB_DEVICE_GONE_ERROR);
            bus_.StartRemovalLocked(t->device);
        } else {
            bus_.FinishLocked(
                t, r == LIBUSB_ERROR_PIPE ? USB_STALL_ERROR : USB_DEVICE_NOT_RESPONDING_ERROR);
        }
        return;
    }
    flights_[t.get()] = f;
    t->device->inEngine++;
}

bool LibusbEngine::CancelLocked(const std::shared_ptr<UsbTransfer>& t, DWORD error) {
    if (requestsPending_.count(t.get()))
        return true;  // a blocking request: it ends by itself, soon
    auto it = flights_.find(t.get());
    if (it == flights_.end())
        return false;
    Flight* f = it->second;
    if (!f->cancelled) {
        f->cancelled = true;
        f->cancelError = error;
        // Whatever it answers, the callback comes: at once when cancelled,
        // with the device's removal when it is gone.
        libusb_cancel_transfer(f->xfer);
    }
    return true;
}

// On the event thread.
void LibusbEngine::Completed(libusb_transfer* x) {
    Flight* f = static_cast<Flight*>(x->user_data);
    {
        std::lock_guard<std::mutex> g(bus_.mu);
        const std::shared_ptr<UsbTransfer>& t = f->transfer;
        flights_.erase(t.get());
        if (!t->finished) {
            const bool control = t->type == 2;
            const uint32_t moved = uint32_t(std::max(0, x->actual_length));
            const uint8_t* data = control ? libusb_control_transfer_get_data(x) : x->buffer;
            DWORD error = RealTransferError(EndOf(x->status), t->in, control, moved, t->length,
                                            t->flags, f->cancelError);
            // A closed transfer's buffer may be gone: nothing is copied into
            // it, and the log does not read it.
            if (t->closed)
                t->buffer = nullptr;
            const uint32_t n = std::min(moved, t->length);
            if (t->in && n && t->buffer)
                std::memcpy(t->buffer, data, n);
            t->actual = n;
            if (error == USB_STALL_ERROR && t->pipe)
                t->pipe->halted = true;
            if (t->type == 3)
                bus_.bulkBytes += n;
            bus_.FinishLocked(t, error);
        }
        if (x->status == LIBUSB_TRANSFER_NO_DEVICE)
            bus_.StartRemovalLocked(t->device);
        t->device->inEngine--;
        bus_.doneCv.notify_all();
    }
    libusb_free_transfer(x);
    delete f;
}

DWORD LibusbEngine::RunRequest(UsbTransfer& t) {
    RealDevice* rd = RealOf(*t.device);
    const USB_DEVICE_REQUEST& s = t.setup;
    int r;
    if (s.bRequest == USB_REQUEST_CLEAR_FEATURE)
        r = libusb_clear_halt(rd->handle, uint8_t(s.wIndex));
    else if (s.bRequest == 11)
        r = libusb_set_interface_alt_setting(rd->handle, s.wIndex & 0xFF, s.wValue);
    else
        r = libusb_set_configuration(rd->handle, s.wValue);
    switch (r) {
        case 0:
            return USB_NO_ERROR;
        case LIBUSB_ERROR_PIPE:
            return USB_STALL_ERROR;
        case LIBUSB_ERROR_NO_DEVICE:
            return USB_DEVICE_GONE_ERROR;
        default:
            return USB_DEVICE_NOT_RESPONDING_ERROR;
    }
}

void LibusbEngine::RequestLoop() {
    prctl(PR_SET_NAME, "usb-requests", 0, 0, 0);
    for (;;) {
        std::shared_ptr<UsbTransfer> t;
        {
            std::unique_lock<std::mutex> lk(requestMu_);
            requestCv_.wait(lk, [&] { return stop_.load() || !requests_q_.empty(); });
            if (requests_q_.empty())
                return;
            t = requests_q_.front();
            requests_q_.pop_front();
        }
        // The device stays open: Release waits until inEngine is 0.
        const DWORD error = RunRequest(*t);
        std::lock_guard<std::mutex> g(bus_.mu);
        requestsPending_.erase(t.get());
        if (!t->finished) {
            if (error == USB_NO_ERROR && t->setup.bRequest == USB_REQUEST_CLEAR_FEATURE) {
                for (auto& p : t->device->pipes)
                    if (p->descriptor.bEndpointAddress == uint8_t(t->setup.wIndex))
                        p->halted = false;
            }
            bus_.FinishLocked(t, error);
        }
        if (error == USB_DEVICE_GONE_ERROR)
            bus_.StartRemovalLocked(t->device);
        t->device->inEngine--;
        bus_.doneCv.notify_all();
    }
}

void LibusbEngine::EventLoop() {
    prctl(PR_SET_NAME, "usb-events", 0, 0, 0);
    while (!stop_.load()) {
        timeval tv{0, 200000};
        libusb_handle_events_timeout_completed(ctx_, &tv, nullptr);
    }
}

void LibusbEngine::WatchLoop() {
    prctl(PR_SET_NAME, "usb-watch", 0, 0, 0);
    for (;;) {
        {
            std::unique_lock<std::mutex> lk(requestMu_);
            if (requestCv_.wait_for(lk, std::chrono::milliseconds(kWatchIntervalMs),
                                    [&] { return stop_.load(); }))
                return;
        }
        std::vector<std::shared_ptr<UsbDevice>> open;
        {
            std::lock_guard<std::mutex> g(bus_.mu);
            for (auto& [address, d] : bus_.devices)
                if (d->engineData && !d->gone)
                    open.push_back(d);
        }
        for (auto& d : open) {
            RealDevice* rd = RealOf(*d);
            bool gone = false;
            {
                std::lock_guard<std::mutex> g(rd->fdMu);
                usbdevfs_connectinfo info{};
                gone = rd->fd >= 0 && ioctl(rd->fd, USBDEVFS_CONNECTINFO, &info) != 0 &&
                       errno == ENODEV;
            }
            if (gone) {
                std::lock_guard<std::mutex> g(bus_.mu);
                bus_.StartRemovalLocked(d);
            }
        }
    }
}

void LibusbEngine::Release(UsbDevice& d) {
    RealDevice* rd = RealOf(d);
    if (!rd)
        return;
    if (rd->handle) {
        for (int n : rd->claimed)
            libusb_release_interface(rd->handle, n);
        // Back to the kernel's drivers (a device that is gone has none).
        for (int n : rd->detached)
            libusb_attach_kernel_driver(rd->handle, n);
        libusb_close(rd->handle);
        rd->handle = nullptr;
    }
    rd->claimed.clear();
    rd->detached.clear();
    std::lock_guard<std::mutex> g(rd->fdMu);
    if (rd->fd >= 0)
        close(rd->fd);
    rd->fd = -1;
}

void LibusbEngine::Stop() {
    {
        std::lock_guard<std::mutex> g(requestMu_);
        if (stop_.exchange(true))
            return;
    }
    requestCv_.notify_all();
    if (ctx_)
        libusb_interrupt_event_handler(ctx_);
    for (std::thread* t : {&events_, &requests_, &watch_})
        if (t->joinable())
            t->join();
    if (ctx_)
        libusb_exit(ctx_);
    ctx_ = nullptr;
}

}  // namespace

std::unique_ptr<UsbEngine> MakeRealUsbEngine(UsbBusImpl& bus) {
    return std::make_unique<LibusbEngine>(bus);
}

bool RealUsbSupported() {
    return true;
}

}  // namespace cehost
