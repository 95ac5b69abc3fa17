#include "common/fake_usb.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace fakeusb {

namespace {
FakeUsb* gHost = nullptr;

void Notify(const std::vector<Transfer*>& done) {
    for (Transfer* t : done) {
        if (t->routine != nullptr)
            t->routine(t->context);
    }
}
}  // namespace

void Gate::Pass() {
    if (!armed.exchange(false))
        return;
    ++waiting;
    while (!open)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    --waiting;
}

// The static functions of the table reach the one live host.
struct Calls {
    // A transfer the driver may still use: known and not closed.
    static Transfer* Live(USB_TRANSFER handle) {
        for (auto& t : gHost->transfers_) {
            if (reinterpret_cast<USB_TRANSFER>(t.get()) == handle && !t->closed)
                return t.get();
        }
        ++gHost->faults_;
        return nullptr;
    }
    static Pipe* LivePipe(USB_PIPE handle) {
        for (auto& p : gHost->pipes_) {
            if (reinterpret_cast<USB_PIPE>(p.get()) == handle && !p->closed)
                return p.get();
        }
        ++gHost->faults_;
        return nullptr;
    }
    // Under the lock; completions it caused are added to `done`.
    static Transfer* NewTransfer(Pipe* pipe, LPTRANSFER_NOTIFY_ROUTINE routine, void* context,
                                 DWORD flags, DWORD length, void* buffer,
                                 std::vector<Transfer*>* done) {
        FakeUsb* host = gHost;
        auto owned = std::make_unique<Transfer>();
        Transfer* t = owned.get();
        host->transfers_.push_back(std::move(owned));
        t->pipe = pipe;
        t->address = pipe != nullptr ? pipe->address : 0;
        t->routine = routine;
        t->context = context;
        t->flags = flags;
        t->length = length;
        t->buffer = static_cast<BYTE*>(buffer);
        if (!t->IsIn() && buffer != nullptr)
            t->outData.assign(t->buffer, t->buffer + length);
        if (routine == nullptr) {
            host->Finish(t, t->IsIn() ? 0 : length, USB_NO_ERROR);
        } else if (pipe != nullptr && !t->IsIn() && !(host->hold_ && length > 0)) {
            host->Finish(t, length, USB_NO_ERROR);
            done->push_back(t);
        } else if (t->IsIn()) {
            host->FeedLocked(done);
        }
        host->changed_.notify_all();
        return t;
    }

    static LPCUSB_DEVICE WINAPI GetDeviceInfo(USB_HANDLE) { return nullptr; }
    static BOOL WINAPI RegisterNotification(USB_HANDLE, LPDEVICE_NOTIFY_ROUTINE, LPVOID) {
        return TRUE;
    }
    static USB_TRANSFER WINAPI IssueVendor(USB_HANDLE, LPTRANSFER_NOTIFY_ROUTINE routine,
                                           LPVOID context, DWORD flags, LPCUSB_DEVICE_REQUEST,
                                           LPVOID data, ULONG) {
        std::vector<Transfer*> done;  // a request never completes at issue
        std::lock_guard<std::mutex> lock(gHost->mutex_);
        return reinterpret_cast<USB_TRANSFER>(
            NewTransfer(nullptr, routine, context, flags, 0, data, &done));
    }
    static USB_TRANSFER WINAPI ClearFeature(USB_HANDLE, LPTRANSFER_NOTIFY_ROUTINE routine,
                                            LPVOID context, DWORD flags, WORD, UCHAR endpoint) {
        std::vector<Transfer*> done;
        std::lock_guard<std::mutex> lock(gHost->mutex_);
        gHost->clearedHalts_.push_back(endpoint);
        return reinterpret_cast<USB_TRANSFER>(
            NewTransfer(nullptr, routine, context, flags, 0, nullptr, &done));
    }
    static USB_PIPE WINAPI OpenPipe(USB_HANDLE, LPCUSB_ENDPOINT_DESCRIPTOR descriptor) {
        std::lock_guard<std::mutex> lock(gHost->mutex_);
        auto pipe = std::make_unique<Pipe>();
        pipe->address = descriptor->bEndpointAddress;
        gHost->pipes_.push_back(std::move(pipe));
        ++gHost->pipesOpened_;
        return reinterpret_cast<USB_PIPE>(gHost->pipes_.back().get());
    }
    static BOOL WINAPI ClosePipe(USB_PIPE handle) {
        std::vector<Transfer*> done;
        {
            std::lock_guard<std::mutex> lock(gHost->mutex_);
            Pipe* pipe = LivePipe(handle);
            if (pipe == nullptr)
                return FALSE;
            pipe->closed = true;
            for (auto& t : gHost->transfers_) {
                if (gHost->cancelOnClose_ && t->pipe == pipe && !t->complete) {
                    gHost->Finish(t.get(), 0, USB_CANCELED_ERROR);
                    done.push_back(t.get());
                }
            }
        }
        Notify(done);
        return TRUE;
    }
    static BOOL WINAPI IsPipeHalted(USB_PIPE handle, LPBOOL halted) {
        std::lock_guard<std::mutex> lock(gHost->mutex_);
        if (LivePipe(handle) == nullptr)
            return FALSE;
        if (gHost->haltedOk_ && halted != nullptr)
            *halted = gHost->halted_;
        return gHost->haltedOk_;
    }
    static BOOL WINAPI ResetPipe(USB_PIPE) { return TRUE; }
    static USB_TRANSFER WINAPI IssueBulk(USB_PIPE handle, LPTRANSFER_NOTIFY_ROUTINE routine,
                                         LPVOID context, DWORD flags, DWORD length, LPVOID buffer,
                                         ULONG) {
        if (routine == nullptr)
            gHost->syncGate_.Pass();
        std::vector<Transfer*> done;
        Transfer* t = nullptr;
        {
            std::lock_guard<std::mutex> lock(gHost->mutex_);
            Pipe* pipe = LivePipe(handle);
            if (pipe == nullptr)
                return nullptr;
            if (gHost->failIssues_ != 0) {
                if (gHost->failIssues_ > 0)
                    --gHost->failIssues_;
                return nullptr;
            }
            t = NewTransfer(pipe, routine, context, flags, length, buffer, &done);
        }
        Notify(done);
        return reinterpret_cast<USB_TRANSFER>(t);
    }
    static BOOL WINAPI IsComplete(USB_TRANSFER handle) {
        std::lock_guard<std::mutex> lock(gHost->mutex_);
        Transfer* t = Live(handle);
        return t != nullptr && t->complete;
    }
    static BOOL WINAPI GetStatus(USB_TRANSFER handle, LPDWORD bytes, LPDWORD error) {
        std::lock_guard<std::mutex> lock(gHost->mutex_);
        Transfer* t = Live(handle);
        if (t == nullptr)
            return FALSE;
        if (gHost->failStatus_ > 0) {
            --gHost->failStatus_;
            return FALSE;
        }
        if (bytes != nullptr)
            *bytes = t->complete ? t->bytes : 0;
        if (error != nullptr)
            *error = t->complete ? t->error : USB_NOT_COMPLETE_ERROR;
        return TRUE;
    }
    static BOOL WINAPI Abort(USB_TRANSFER handle, DWORD) {
        std::vector<Transfer*> done;
        {
            std::lock_guard<std::mutex> lock(gHost->mutex_);
            Transfer* t = Live(handle);
            if (t == nullptr)
                return FALSE;
            ++gHost->aborts_;
            t->aborted = true;
            if (!t->complete) {
                gHost->Finish(t, t->IsIn() ? 0 : std::min(gHost->abortPartial_, t->length),
                              USB_CANCELED_ERROR);
                done.push_back(t);
            }
        }
        Notify(done);
        return TRUE;
    }
    static BOOL WINAPI Close(USB_TRANSFER handle) {
        std::lock_guard<std::mutex> lock(gHost->mutex_);
        Transfer* t = Live(handle);
        if (t == nullptr)
            return FALSE;
        t->closed = true;
        return TRUE;
    }
};

FakeUsb::FakeUsb() {
    gHost = this;
    funcs_.dwCount = sizeof(USB_FUNCS);
    funcs_.lpGetDeviceInfo = Calls::GetDeviceInfo;
    funcs_.lpRegisterNotificationRoutine = Calls::RegisterNotification;
    funcs_.lpIssueVendorTransfer = Calls::IssueVendor;
    funcs_.lpClearFeature = Calls::ClearFeature;
    funcs_.lpOpenPipe = Calls::OpenPipe;
    funcs_.lpClosePipe = Calls::ClosePipe;
    funcs_.lpIsPipeHalted = Calls::IsPipeHalted;
    funcs_.lpResetPipe = Calls::ResetPipe;
    funcs_.lpIssueBulkTransfer = Calls::IssueBulk;
    funcs_.lpIssueInterruptTransfer = Calls::IssueBulk;
    funcs_.lpIsTransferComplete = Calls::IsComplete;
    funcs_.lpGetTransferStatus = Calls::GetStatus;
    funcs_.lpAbortTransfer = Calls::Abort;
    funcs_.lpCloseTransfer = Calls::Close;
}

FakeUsb::~FakeUsb() {
    gHost = nullptr;
}

void FakeUsb::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    pipes_.clear();
    transfers_.clear();
    inData_.clear();
    sent_.clear();
    failIssues_ = failStatus_ = faults_ = aborts_ = pipesOpened_ = 0;
    cancelOnClose_ = true;
    haltedOk_ = TRUE;
    halted_ = FALSE;
    hold_ = false;
    abortPartial_ = overReport_ = 0;
    clearedHalts_.clear();
    syncGate_.Reset();
}

void FakeUsb::Finish(Transfer* t, DWORD bytes, DWORD error) {
    t->bytes = bytes + overReport_;
    t->error = error;
    t->complete = true;
    if (t->pipe != nullptr && !t->IsIn())
        sent_.insert(sent_.end(), t->outData.begin(), t->outData.begin() + bytes);
    changed_.notify_all();
}

void FakeUsb::FeedLocked(std::vector<Transfer*>* done) {
    for (auto& owned : transfers_) {
        Transfer* t = owned.get();
        if (inData_.empty())
            return;
        if (t->complete || !t->IsIn() || t->pipe == nullptr)
            continue;
        DWORD n = 0;
        for (; n < t->length && !inData_.empty(); ++n) {
            t->buffer[n] = inData_.front();
            inData_.pop_front();
        }
        Finish(t, n, USB_NO_ERROR);
        done->push_back(t);
    }
}

void FakeUsb::FailIssues(int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    failIssues_ = count;
}
void FakeUsb::SetCancelOnClose(bool cancel) {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelOnClose_ = cancel;
}
void FakeUsb::SetPipeHalted(BOOL ok, BOOL halted) {
    std::lock_guard<std::mutex> lock(mutex_);
    haltedOk_ = ok;
    halted_ = halted;
}
void FakeUsb::FailStatus(int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    failStatus_ = count;
}
void FakeUsb::HoldWrites(bool hold, DWORD abortPartial) {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = hold;
    abortPartial_ = abortPartial;
}
void FakeUsb::OverReport(DWORD extra) {
    std::lock_guard<std::mutex> lock(mutex_);
    overReport_ = extra;
}

std::vector<Transfer*> FakeUsb::Pending(uint8_t address) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Transfer*> out;
    for (auto& t : transfers_) {
        if (t->address == address && !t->complete)
            out.push_back(t.get());
    }
    return out;
}

std::vector<Transfer*> FakeUsb::All(uint8_t address) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Transfer*> out;
    for (auto& t : transfers_) {
        if (t->address == address && t->routine != nullptr)
            out.push_back(t.get());
    }
    return out;
}

bool FakeUsb::WaitPending(uint8_t address, size_t count, int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
        size_t n = 0;
        for (auto& t : transfers_)
            n += t->address == address && !t->complete ? 1 : 0;
        return n >= count;
    });
}

void FakeUsb::Complete(Transfer* t, const std::vector<BYTE>& data, DWORD error) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (t->complete || t->closed) {
            ++faults_;  // a test mistake, but make it loud
            return;
        }
        DWORD n = 0;
        if (t->IsIn()) {
            n = static_cast<DWORD>(std::min<size_t>(data.size(), t->length));
            if (n != 0)
                std::memcpy(t->buffer, data.data(), n);
        } else {
            n = data.empty() ? t->length : static_cast<DWORD>(data.size());
        }
        Finish(t, n, error);
    }
    Notify({t});
}

void FakeUsb::CompleteOut(Transfer* t, DWORD maxBytes) {
    Complete(t, std::vector<BYTE>(std::min(t->length, maxBytes), 0));
}

void FakeUsb::Receive(const std::vector<BYTE>& bytes) {
    std::vector<Transfer*> done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        inData_.insert(inData_.end(), bytes.begin(), bytes.end());
        FeedLocked(&done);
    }
    Notify(done);
}

void FakeUsb::ReleaseWrites(DWORD maxBytes) {
    std::vector<Transfer*> done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& t : transfers_) {
            if (t->pipe != nullptr && !t->IsIn() && !t->complete) {
                Finish(t.get(), std::min(t->length, maxBytes), USB_NO_ERROR);
                done.push_back(t.get());
            }
        }
    }
    Notify(done);
}

std::vector<std::vector<BYTE>> FakeUsb::Writes() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::vector<BYTE>> out;
    for (auto& t : transfers_) {
        if (t->pipe != nullptr && !t->IsIn())
            out.push_back(t->outData);
    }
    return out;
}

std::vector<BYTE> FakeUsb::Sent() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
}

int FakeUsb::Aborts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return aborts_;
}

int FakeUsb::OpenPipes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(
        std::count_if(pipes_.begin(), pipes_.end(), [](auto& p) { return !p->closed; }));
}

int FakeUsb::PipesOpened() {
    std::lock_guard<std::mutex> lock(mutex_);
    return pipesOpened_;
}

int FakeUsb::Unclosed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(
        std::count_if(transfers_.begin(), transfers_.end(), [](auto& t) { return !t->closed; }));
}

int FakeUsb::Faults() {
    std::lock_guard<std::mutex> lock(mutex_);
    return faults_;
}

std::vector<uint8_t> FakeUsb::ClearedHalts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return clearedHalts_;
}

USB_ENDPOINT BulkEndpoint(uint8_t address, uint16_t maxPacket) {
    USB_ENDPOINT ep{};
    ep.dwCount = sizeof(USB_ENDPOINT);
    ep.Descriptor = {sizeof(USB_ENDPOINT_DESCRIPTOR),
                     USB_ENDPOINT_DESCRIPTOR_TYPE,
                     address,
                     USB_ENDPOINT_TYPE_BULK,
                     maxPacket,
                     0};
    return ep;
}

}  // namespace fakeusb
