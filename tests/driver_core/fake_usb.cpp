#include "fake_usb.h"

#include <chrono>
#include <cstring>

namespace drvtest {

namespace {
FakeUsb* gFake = nullptr;
}

// The static routines of the function table reach the one live fake.
struct FakeUsbCalls {
    static FakeTransfer* Find(USB_TRANSFER handle) {
        auto* t = reinterpret_cast<FakeTransfer*>(handle);
        for (auto& owned : gFake->transfers_) {
            if (owned.get() == t)
                return t;
        }
        return nullptr;
    }
    // A transfer the driver may still use: known and not closed.
    static FakeTransfer* Live(USB_TRANSFER handle) {
        FakeTransfer* t = Find(handle);
        if (t == nullptr || t->closed) {
            ++gFake->faults_;
            return nullptr;
        }
        return t;
    }
    static USB_TRANSFER NewTransfer(FakePipe* pipe, uint8_t address,
                                    LPTRANSFER_NOTIFY_ROUTINE routine, void* context, DWORD flags,
                                    DWORD length, void* buffer) {
        auto t = std::make_unique<FakeTransfer>();
        t->pipe = pipe;
        t->address = address;
        t->routine = routine;
        t->context = context;
        t->flags = flags;
        t->length = length;
        t->buffer = static_cast<BYTE*>(buffer);
        if (!t->isIn() && buffer != nullptr) {
            t->outData.assign(t->buffer, t->buffer + length);
        }
        if (routine == nullptr) {  // synchronous: over on return
            t->complete = true;
            t->bytes = t->isIn() ? 0 : length;
        }
        FakeTransfer* raw = t.get();
        gFake->transfers_.push_back(std::move(t));
        gFake->changed_.notify_all();
        return reinterpret_cast<USB_TRANSFER>(raw);
    }

    static LPCUSB_DEVICE WINAPI GetDeviceInfo(USB_HANDLE) { return nullptr; }
    static BOOL WINAPI RegisterNotification(USB_HANDLE, LPDEVICE_NOTIFY_ROUTINE, LPVOID) {
        return TRUE;
    }
    static USB_TRANSFER WINAPI GetDescriptor(USB_HANDLE, LPTRANSFER_NOTIFY_ROUTINE, LPVOID, DWORD,
                                             UCHAR, UCHAR, WORD, WORD, LPVOID) {
        return nullptr;
    }
    static USB_TRANSFER WINAPI IssueVendor(USB_HANDLE, LPTRANSFER_NOTIFY_ROUTINE routine,
                                           LPVOID context, DWORD flags, LPCUSB_DEVICE_REQUEST,
                                           LPVOID data, ULONG) {
        std::lock_guard<std::mutex> lock(gFake->mutex_);
        return NewTransfer(nullptr, 0, routine, context, flags, 0, data);
    }
    static USB_TRANSFER WINAPI ClearFeature(USB_HANDLE, LPTRANSFER_NOTIFY_ROUTINE routine,
                                            LPVOID context, DWORD flags, WORD, UCHAR endpoint) {
        std::lock_guard<std::mutex> lock(gFake->mutex_);
        gFake->clearedHalts_.push_back(endpoint);
        return NewTransfer(nullptr, 0, routine, context, flags, 0, nullptr);
    }
    static USB_PIPE WINAPI OpenPipe(USB_HANDLE, LPCUSB_ENDPOINT_DESCRIPTOR descriptor) {
        std::lock_guard<std::mutex> lock(gFake->mutex_);
        auto pipe = std::make_unique<FakePipe>();
        pipe->address = descriptor->bEndpointAddress;
        FakePipe* raw = pipe.get();
        gFake->pipes_.push_back(std::move(pipe));
        ++gFake->pipesOpened_;
        return reinterpret_cast<USB_PIPE>(raw);
    }
    static FakePipe* LivePipe(USB_PIPE handle) {
        auto* p = reinterpret_cast<FakePipe*>(handle);
        for (auto& owned : gFake->pipes_) {
            if (owned.get() == p && !p->closed)
                return p;
        }
        ++gFake->faults_;
        return nullptr;
    }
    static BOOL WINAPI ClosePipe(USB_PIPE handle) {
        std::vector<FakeTransfer*> cancelled;
        {
            std::lock_guard<std::mutex> lock(gFake->mutex_);
            FakePipe* pipe = LivePipe(handle);
            if (pipe == nullptr)
                return FALSE;
            pipe->closed = true;
            if (gFake->cancelOnClose_) {
                for (auto& t : gFake->transfers_) {
                    if (t->pipe == pipe && !t->complete) {
                        t->complete = true;
                        t->error = USB_CANCELED_ERROR;
                        cancelled.push_back(t.get());
                    }
                }
            }
            gFake->changed_.notify_all();
        }
        for (FakeTransfer* t : cancelled) {
            if (t->routine)
                t->routine(t->context);
        }
        return TRUE;
    }
    static BOOL WINAPI IsPipeHalted(USB_PIPE handle, LPBOOL halted) {
        std::lock_guard<std::mutex> lock(gFake->mutex_);
        if (LivePipe(handle) == nullptr)
            return FALSE;
        if (gFake->haltedOk_)
            *halted = gFake->halted_;
        return gFake->haltedOk_;
    }
    static BOOL WINAPI ResetPipe(USB_PIPE) { return TRUE; }
    static USB_TRANSFER WINAPI IssueBulk(USB_PIPE handle, LPTRANSFER_NOTIFY_ROUTINE routine,
                                         LPVOID context, DWORD flags, DWORD length, LPVOID buffer,
                                         ULONG) {
        std::lock_guard<std::mutex> lock(gFake->mutex_);
        FakePipe* pipe = LivePipe(handle);
        if (pipe == nullptr)
            return nullptr;
        if (gFake->failIssues_ != 0) {
            if (gFake->failIssues_ > 0)
                --gFake->failIssues_;
            return nullptr;
        }
        ++gFake->issuedBulk_;
        return NewTransfer(pipe, pipe->address, routine, context, flags, length, buffer);
    }
    static BOOL WINAPI IsComplete(USB_TRANSFER handle) {
        std::lock_guard<std::mutex> lock(gFake->mutex_);
        FakeTransfer* t = Live(handle);
        return t != nullptr && t->complete;
    }
    static BOOL WINAPI GetStatus(USB_TRANSFER handle, LPDWORD bytes, LPDWORD error) {
        std::lock_guard<std::mutex> lock(gFake->mutex_);
        FakeTransfer* t = Live(handle);
        if (t == nullptr)
            return FALSE;
        if (gFake->failStatus_ > 0) {
            --gFake->failStatus_;
            return FALSE;
        }
        if (bytes)
            *bytes = t->complete ? t->bytes : 0;
        if (error)
            *error = t->complete ? t->error : USB_NOT_COMPLETE_ERROR;
        return TRUE;
    }
    static BOOL WINAPI Abort(USB_TRANSFER handle, DWORD) {
        FakeTransfer* t;
        {
            std::lock_guard<std::mutex> lock(gFake->mutex_);
            t = Live(handle);
            if (t == nullptr)
                return FALSE;
            t->aborted = true;
            if (t->complete)
                return TRUE;
            t->complete = true;
            t->error = USB_CANCELED_ERROR;
        }
        if (t->routine)
            t->routine(t->context);
        return TRUE;
    }
    static BOOL WINAPI Close(USB_TRANSFER handle) {
        std::lock_guard<std::mutex> lock(gFake->mutex_);
        FakeTransfer* t = Live(handle);
        if (t == nullptr)
            return FALSE;
        t->closed = true;
        return TRUE;
    }
};

FakeUsb::FakeUsb() {
    gFake = this;
    funcs_.dwCount = sizeof(USB_FUNCS);
    funcs_.lpGetDeviceInfo = FakeUsbCalls::GetDeviceInfo;
    funcs_.lpRegisterNotificationRoutine = FakeUsbCalls::RegisterNotification;
    funcs_.lpGetDescriptor = FakeUsbCalls::GetDescriptor;
    funcs_.lpIssueVendorTransfer = FakeUsbCalls::IssueVendor;
    funcs_.lpClearFeature = FakeUsbCalls::ClearFeature;
    funcs_.lpOpenPipe = FakeUsbCalls::OpenPipe;
    funcs_.lpClosePipe = FakeUsbCalls::ClosePipe;
    funcs_.lpIsPipeHalted = FakeUsbCalls::IsPipeHalted;
    funcs_.lpResetPipe = FakeUsbCalls::ResetPipe;
    funcs_.lpIssueBulkTransfer = FakeUsbCalls::IssueBulk;
    funcs_.lpIssueInterruptTransfer = FakeUsbCalls::IssueBulk;
    funcs_.lpIsTransferComplete = FakeUsbCalls::IsComplete;
    funcs_.lpGetTransferStatus = FakeUsbCalls::GetStatus;
    funcs_.lpAbortTransfer = FakeUsbCalls::Abort;
    funcs_.lpCloseTransfer = FakeUsbCalls::Close;
}

FakeUsb::~FakeUsb() {
    gFake = nullptr;
}

void FakeUsb::FailIssues(int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    failIssues_ = count;
}
void FakeUsb::SetCancelOnClose(bool cancel) {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelOnClose_ = cancel;
}
void FakeUsb::SetPipeHaltedAnswer(BOOL ok, BOOL halted) {
    std::lock_guard<std::mutex> lock(mutex_);
    haltedOk_ = ok;
    halted_ = halted;
}
void FakeUsb::FailStatus(int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    failStatus_ = count;
}

std::vector<FakeTransfer*> FakeUsb::Pending(uint8_t address) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<FakeTransfer*> out;
    for (auto& t : transfers_) {
        if (t->address == address && !t->complete)
            out.push_back(t.get());
    }
    return out;
}

std::vector<FakeTransfer*> FakeUsb::All(uint8_t address) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<FakeTransfer*> out;
    for (auto& t : transfers_) {
        if (t->address == address && (t->pipe != nullptr || t->routine != nullptr)) {
            out.push_back(t.get());
        }
    }
    return out;
}

bool FakeUsb::WaitPending(uint8_t address, size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        size_t n = 0;
        for (auto& t : transfers_) {
            if (t->address == address && !t->complete)
                ++n;
        }
        return n >= count;
    });
}

void FakeUsb::Complete(FakeTransfer* t, const std::vector<BYTE>& data, DWORD error) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (t->complete || t->closed) {
            ++faults_;  // a test mistake, but make it loud
            return;
        }
        if (t->isIn()) {
            size_t n = std::min<size_t>(data.size(), t->length);
            if (n)
                std::memcpy(t->buffer, data.data(), n);
            t->bytes = static_cast<DWORD>(n);
        } else {
            t->bytes = data.empty() ? t->length : static_cast<DWORD>(data.size());
        }
        t->error = error;
        t->complete = true;
    }
    if (t->routine)
        t->routine(t->context);
}

void FakeUsb::CompleteOut(FakeTransfer* t) {
    Complete(t, {});
}

int FakeUsb::OpenPipes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (auto& p : pipes_)
        n += p->closed ? 0 : 1;
    return n;
}
int FakeUsb::PipesOpened() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pipesOpened_;
}
int FakeUsb::Unclosed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (auto& t : transfers_)
        n += t->closed ? 0 : 1;
    return n;
}
int FakeUsb::Faults() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return faults_;
}
int FakeUsb::IssuedBulk() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return issuedBulk_;
}

std::vector<uint8_t> FakeUsb::ClearedHalts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return clearedHalts_;
}

USB_ENDPOINT MakeBulkEndpoint(uint8_t address, uint16_t maxPacket) {
    USB_ENDPOINT ep{};
    ep.dwCount = sizeof(USB_ENDPOINT);
    ep.Descriptor.bLength = sizeof(USB_ENDPOINT_DESCRIPTOR);
    ep.Descriptor.bDescriptorType = USB_ENDPOINT_DESCRIPTOR_TYPE;
    ep.Descriptor.bEndpointAddress = address;
    ep.Descriptor.bmAttributes = USB_ENDPOINT_TYPE_BULK;
    ep.Descriptor.wMaxPacketSize = maxPacket;
    return ep;
}

}  // namespace drvtest
