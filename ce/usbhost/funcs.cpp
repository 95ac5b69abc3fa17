// The host driver's function table (USB_FUNCS) as clients call it.
//
// Every entry is a termination point (a terminated client thread ends here),
// validates its handle through the handle tables (a null handle fails
// quietly; a stale or forged one fails and counts a misuse), and then works
// under the lock of the device's bus.
#include <cstring>

#include "ce/thread.h"
#include "cehost/core.h"
#include "cehost/counters.h"
#include "usbhost/host.h"

namespace cehost {
namespace {

// Resolves a client's handle to its record. A null handle fails quietly (a
// client may pass the 0 of a failed open); a stale or forged one fails and
// counts as misuse of `staleKind`.
template <typename Record>
std::shared_ptr<Record> RecordOf(void* h, UsbHandleKind kind, const char* staleKind) {
    if (!h) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    auto record = std::static_pointer_cast<Record>(UsbLookupHandle(kind, h));
    if (!record) {
        CountStale(staleKind);
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return record;
}

std::shared_ptr<UsbDevice> DeviceOf(USB_HANDLE h) {
    return RecordOf<UsbDevice>(h, UsbHandleKind::kDevice, "usb.device.stale");
}

std::shared_ptr<UsbPipe> PipeOf(USB_PIPE h) {
    return RecordOf<UsbPipe>(h, UsbHandleKind::kPipe, "usb.pipe.stale");
}

std::shared_ptr<UsbTransfer> TransferOf(USB_TRANSFER h) {
    return RecordOf<UsbTransfer>(h, UsbHandleKind::kTransfer, "usb.transfer.stale");
}

USB_TRANSFER Result(const std::shared_ptr<UsbTransfer>& t) {
    return t ? static_cast<USB_TRANSFER>(t->handle) : nullptr;
}

USB_TRANSFER IssueControl(USB_HANDLE hDevice, UsbCall call, LPTRANSFER_NOTIFY_ROUTINE routine,
                          LPVOID param, const USB_DEVICE_REQUEST& setup, LPVOID buffer) {
    Checkpoint();
    auto d = DeviceOf(hDevice);
    if (!d)
        return nullptr;
    if (setup.wLength && !buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto t = std::make_shared<UsbTransfer>();
    t->type = 2;
    t->in = setup.bmRequestType & 0x80;
    t->endpoint = t->in ? 0x80 : 0;
    t->setup = setup;
    t->buffer = static_cast<uint8_t*>(buffer);
    t->length = setup.wLength;
    t->routine = routine;
    t->param = param;
    return Result(d->bus->Issue(d, nullptr, call, t, true));
}

USB_TRANSFER IssuePipe(USB_PIPE hPipe, UsbCall call, LPTRANSFER_NOTIFY_ROUTINE routine,
                       LPVOID param, DWORD flags, DWORD size, LPVOID buffer) {
    Checkpoint();
    auto p = PipeOf(hPipe);
    if (!p)
        return nullptr;
    if (size && !buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const bool in = p->descriptor.bEndpointAddress & 0x80;
    // The pipe fixes the direction; a transfer asking for the other one is
    // refused (a real controller would run it on the wrong endpoint).
    if (bool(flags & USB_IN_TRANSFER) != in ||
        (call == UsbCall::kIssueBulkTransfer) != (p->type == 3)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto t = std::make_shared<UsbTransfer>();
    t->type = p->type;
    t->in = in;
    t->endpoint = p->descriptor.bEndpointAddress;
    t->buffer = static_cast<uint8_t*>(buffer);
    t->length = size;
    t->flags = flags;
    t->routine = routine;
    t->param = param;
    return Result(p->device->bus->Issue(p->device, p, call, t, true));
}

LPCUSB_DEVICE WINAPI GetDeviceInfo(USB_HANDLE hDevice) {
    PlatformEntry platformCall;
    Checkpoint();
    auto d = DeviceOf(hDevice);
    if (!d)
        return nullptr;
    std::lock_guard<std::mutex> g(d->bus->mu);
    d->bus->CountCallLocked(d, UsbCall::kGetDeviceInfo);
    // Valid until the device's notification routine has returned.
    return &d->record;
}

BOOL WINAPI RegisterNotificationRoutine(USB_HANDLE hDevice, LPDEVICE_NOTIFY_ROUTINE routine,
                                        LPVOID param) {
    PlatformEntry platformCall;
    Checkpoint();
    auto d = DeviceOf(hDevice);
    if (!d)
        return FALSE;
    std::lock_guard<std::mutex> g(d->bus->mu);
    if (d->bus->CountCallLocked(d, UsbCall::kRegisterNotificationRoutine) || d->removing) {
        // Too late: the removal has already read the routine. Report it so
        // that the caller does not wait for a notification that never comes.
        if (d->removing)
            return FALSE;
    }
    d->notify = routine;
    d->notifyParam = param;
    return TRUE;
}

USB_TRANSFER WINAPI GetDescriptor(USB_HANDLE hDevice, LPTRANSFER_NOTIFY_ROUTINE routine,
                                  LPVOID param, DWORD, UCHAR bType, UCHAR bIndex, WORD wLanguage,
                                  WORD wLength, LPVOID buffer) {
    PlatformEntry platformCall;
    USB_DEVICE_REQUEST s{0x80, USB_REQUEST_GET_DESCRIPTOR, WORD((bType << 8) | bIndex), wLanguage,
                         wLength};
    return IssueControl(hDevice, UsbCall::kGetDescriptor, routine, param, s, buffer);
}

USB_TRANSFER WINAPI IssueVendorTransfer(USB_HANDLE hDevice, LPTRANSFER_NOTIFY_ROUTINE routine,
                                        LPVOID param, DWORD, LPCUSB_DEVICE_REQUEST header,
                                        LPVOID buffer, ULONG) {
    PlatformEntry platformCall;
    if (!header) {
        Checkpoint();
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // The direction of the data stage is the request's own (bit 7 of
    // bmRequestType), whatever the flags say.
    return IssueControl(hDevice, UsbCall::kIssueVendorTransfer, routine, param, *header, buffer);
}

USB_TRANSFER WINAPI ClearFeature(USB_HANDLE hDevice, LPTRANSFER_NOTIFY_ROUTINE routine,
                                 LPVOID param, DWORD flags, WORD wFeature, UCHAR bIndex) {
    PlatformEntry platformCall;
    UCHAR recipient = (flags & USB_SEND_TO_ENDPOINT) ? 2 : (flags & USB_SEND_TO_INTERFACE) ? 1 : 0;
    USB_DEVICE_REQUEST s{recipient, USB_REQUEST_CLEAR_FEATURE, wFeature, bIndex, 0};
    return IssueControl(hDevice, UsbCall::kClearFeature, routine, param, s, nullptr);
}

USB_PIPE WINAPI OpenPipe(USB_HANDLE hDevice, LPCUSB_ENDPOINT_DESCRIPTOR desc) {
    PlatformEntry platformCall;
    Checkpoint();
    auto d = DeviceOf(hDevice);
    if (!d)
        return nullptr;
    std::lock_guard<std::mutex> g(d->bus->mu);
    if (d->bus->CountCallLocked(d, UsbCall::kOpenPipe) || d->gone) {
        SetLastError(ERROR_DEVICE_REMOVED);
        return nullptr;
    }
    if (!desc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // The endpoint must be one of the active configuration's.
    const USB_ENDPOINT_DESCRIPTOR* found = nullptr;
    if (const USB_CONFIGURATION* c = d->record.lpActiveConfig) {
        for (DWORD i = 0; i < c->dwNumInterfaces; i++)
            for (int e = 0; e < c->lpInterfaces[i].Descriptor.bNumEndpoints; e++) {
                const auto& ed = c->lpInterfaces[i].lpEndpoints[e].Descriptor;
                if (ed.bEndpointAddress == desc->bEndpointAddress)
                    found = &ed;
            }
    }
    const uint8_t kind = found ? found->bmAttributes & USB_ENDPOINT_TYPE_MASK : 0;
    if (!found || (kind != USB_ENDPOINT_TYPE_BULK && kind != USB_ENDPOINT_TYPE_INTERRUPT)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto p = std::make_shared<UsbPipe>();
    p->device = d;
    p->descriptor = *found;
    p->type = kind == USB_ENDPOINT_TYPE_BULK ? 3 : 1;
    p->maxPacket = found->wMaxPacketSize & 0x7FF;
    uint32_t interval = found->bInterval ? found->bInterval : 1;
    if (d->bus->timing == UsbTiming::kHighSpeed && kind == USB_ENDPOINT_TYPE_INTERRUPT)
        interval = 1u << std::min<uint32_t>(interval - 1, 15);
    p->interval = interval;
    p->handle = UsbRegisterHandle(UsbHandleKind::kPipe, p);
    d->pipes.insert(p);
    return static_cast<USB_PIPE>(p->handle);
}

BOOL WINAPI ClosePipe(USB_PIPE hPipe) {
    PlatformEntry platformCall;
    Checkpoint();
    auto p = PipeOf(hPipe);
    if (!p)
        return FALSE;
    UsbBusImpl& b = *p->device->bus;
    std::unique_lock<std::mutex> lk(b.mu);
    b.CountCallLocked(p->device, UsbCall::kClosePipe);
    if (!UsbReleaseHandle(UsbHandleKind::kPipe, hPipe)) {  // lost a race with another close
        CountStale("usb.pipe.stale");
        return FALSE;
    }
    p->closed = true;
    // Transfers still queued end as cancelled; their handles stay valid
    // until the client closes them (under strict ordering they go with the
    // pipe).
    std::vector<std::shared_ptr<UsbTransfer>> ended(p->queue.begin(), p->queue.end());
    if (p->held)
        ended.push_back(p->held);
    for (auto& t : b.deferred)
        if (t->pipe == p)
            ended.push_back(t);
    for (auto& t : ended)
        b.EndLocked(t, USB_CANCELED_ERROR);
    if (p->held)
        b.PublishLocked(p->held);
    b.PublishDeferredLocked(p.get(), nullptr);
    p->device->pipes.erase(p);
    const bool strict = b.strict;
    if (strict) {
        // Strict ordering: the transfers of a closed pipe go with it.
        auto& all = p->device->transfers;
        for (auto it = all.begin(); it != all.end();) {
            if ((*it)->pipe == p) {
                UsbReleaseHandle(UsbHandleKind::kTransfer, (*it)->handle);
                (*it)->closed = true;
                it = all.erase(it);
            } else {
                ++it;
            }
        }
    }
    if (!OnCompletionThread()) {
        WaitTerminable(lk, b.doneCv, INFINITE, [&] {
            for (auto& t : ended)
                if (!t->complete || (!strict && t->routineQueued && !t->routineDone))
                    return false;
            return true;
        });
    }
    return TRUE;
}

BOOL WINAPI IsPipeHalted(USB_PIPE hPipe, LPBOOL halted) {
    PlatformEntry platformCall;
    Checkpoint();
    auto p = PipeOf(hPipe);
    if (!p)
        return FALSE;
    if (!halted) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> g(p->device->bus->mu);
    p->device->bus->CountCallLocked(p->device, UsbCall::kIsPipeHalted);
    *halted = p->halted ? TRUE : FALSE;
    return TRUE;
}

// Clears the host side of a halt and resets the host's data toggle to
// DATA0; the device's stall and toggle need CLEAR_FEATURE(ENDPOINT_HALT).
BOOL WINAPI ResetPipe(USB_PIPE hPipe) {
    PlatformEntry platformCall;
    Checkpoint();
    auto p = PipeOf(hPipe);
    if (!p)
        return FALSE;
    std::lock_guard<std::mutex> g(p->device->bus->mu);
    p->device->bus->CountCallLocked(p->device, UsbCall::kResetPipe);
    p->halted = false;
    p->toggle = 0;
    return TRUE;
}

USB_TRANSFER WINAPI IssueBulkTransfer(USB_PIPE hPipe, LPTRANSFER_NOTIFY_ROUTINE routine,
                                      LPVOID param, DWORD flags, DWORD size, LPVOID buffer, ULONG) {
    PlatformEntry platformCall;
    return IssuePipe(hPipe, UsbCall::kIssueBulkTransfer, routine, param, flags, size, buffer);
}

USB_TRANSFER WINAPI IssueInterruptTransfer(USB_PIPE hPipe, LPTRANSFER_NOTIFY_ROUTINE routine,
                                           LPVOID param, DWORD flags, DWORD size, LPVOID buffer,
                                           ULONG) {
    PlatformEntry platformCall;
    return IssuePipe(hPipe, UsbCall::kIssueInterruptTransfer, routine, param, flags, size, buffer);
}

BOOL WINAPI IsTransferComplete(USB_TRANSFER hTransfer) {
    PlatformEntry platformCall;
    Checkpoint();
    auto t = TransferOf(hTransfer);
    if (!t)
        return FALSE;
    std::lock_guard<std::mutex> g(t->device->bus->mu);
    t->device->bus->CountCallLocked(t->device, UsbCall::kIsTransferComplete);
    return t->complete ? TRUE : FALSE;
}

BOOL WINAPI GetTransferStatus(USB_TRANSFER hTransfer, LPDWORD bytes, LPDWORD error) {
    PlatformEntry platformCall;
    Checkpoint();
    auto t = TransferOf(hTransfer);
    if (!t)
        return FALSE;
    std::lock_guard<std::mutex> g(t->device->bus->mu);
    t->device->bus->CountCallLocked(t->device, UsbCall::kGetTransferStatus);
    if (t->failStatus) {
        t->failStatus = false;
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (bytes)
        *bytes = t->complete ? t->actual : 0;
    if (error)
        *error = t->complete ? t->error : USB_NOT_COMPLETE_ERROR;
    return TRUE;
}

BOOL WINAPI AbortTransfer(USB_TRANSFER hTransfer, DWORD flags) {
    PlatformEntry platformCall;
    Checkpoint();
    auto t = TransferOf(hTransfer);
    if (!t)
        return FALSE;
    UsbBusImpl& b = *t->device->bus;
    std::unique_lock<std::mutex> lk(b.mu);
    b.CountCallLocked(t->device, UsbCall::kAbortTransfer);
    if (!t->finished)
        b.EndLocked(t, USB_CANCELED_ERROR);
    else if (!t->complete)
        b.PublishLocked(t);  // finished, completion held back: report it now
    // Unless told not to wait, return once the transfer is over and its
    // routine has run, so that the caller may release what either touches.
    // (Strict ordering: once it is over; the routine may run later.)
    if (!(flags & USB_NO_WAIT) && !OnCompletionThread())
        b.AwaitRoutine(
            lk, [&] { return t->complete && (b.strict || !t->routineQueued || t->routineDone); });
    return TRUE;
}

BOOL WINAPI CloseTransfer(USB_TRANSFER hTransfer) {
    PlatformEntry platformCall;
    Checkpoint();
    auto t = TransferOf(hTransfer);
    if (!t)
        return FALSE;
    UsbBusImpl& b = *t->device->bus;
    std::unique_lock<std::mutex> lk(b.mu);
    b.CountCallLocked(t->device, UsbCall::kCloseTransfer);
    if (!UsbReleaseHandle(UsbHandleKind::kTransfer, hTransfer)) {
        CountStale("usb.transfer.stale");
        return FALSE;
    }
    t->closed = true;
    t->device->transfers.erase(t);
    // A transfer still running is cancelled: from here on the bus no longer
    // touches its buffer (a real device's engine moves data through its own
    // and copies nothing into a closed transfer's). Its routine still runs
    // once; wait for it so that nothing of the caller's is used after this
    // returns.
    if (!t->finished)
        b.EndLocked(t, USB_CANCELED_ERROR);
    else if (!t->complete)
        b.PublishLocked(t);
    if (!OnCompletionThread())
        b.AwaitRoutine(lk, [&] { return t->complete && (!t->routineQueued || t->routineDone); });
    return TRUE;
}

const USB_FUNCS kFuncs = {
    sizeof(USB_FUNCS),  GetDeviceInfo,       RegisterNotificationRoutine,
    GetDescriptor,      IssueVendorTransfer, ClearFeature,
    OpenPipe,           ClosePipe,           IsPipeHalted,
    ResetPipe,          IssueBulkTransfer,   IssueInterruptTransfer,
    IsTransferComplete, GetTransferStatus,   AbortTransfer,
    CloseTransfer,
};

}  // namespace

LPCUSB_FUNCS UsbFunctions() {
    return &kFuncs;
}

}  // namespace cehost
