#include "driver_stream/fake_host.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace streamtest {

struct FakeTransfer {
    bool in = false;
    DWORD length = 0;
    BYTE* buffer = nullptr;
    LPTRANSFER_NOTIFY_ROUTINE notify = nullptr;
    LPVOID context = nullptr;
    bool complete = false;
    DWORD bytes = 0;
    DWORD error = USB_NOT_COMPLETE_ERROR;
    bool closed = false;
    size_t writeIndex = 0;
};

FakeHost* FakeHost::current_ = nullptr;

void Gate::Pass() {
    if (!armed.exchange(false))
        return;
    ++waiting;
    while (!open)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    --waiting;
}

FakeHost::FakeHost() {
    current_ = this;
    funcs_.dwCount = sizeof(USB_FUNCS);
    funcs_.lpIssueBulkTransfer = IssueBulk;
    funcs_.lpClearFeature = ClearFeature;
    funcs_.lpOpenPipe = OpenPipe;
    funcs_.lpClosePipe = ClosePipe;
    funcs_.lpIsPipeHalted = IsPipeHalted;
    funcs_.lpIsTransferComplete = IsComplete;
    funcs_.lpGetTransferStatus = GetStatus;
    funcs_.lpAbortTransfer = Abort;
    funcs_.lpCloseTransfer = Close;
}

FakeHost::~FakeHost() {
    current_ = nullptr;
}

void FakeHost::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    transfers_.clear();
    pendingIn_.clear();
    inData_.clear();
    heldOut_.clear();
    writes_.clear();
    sent_.clear();
    hold_ = false;
    failWrites_ = false;
    failNextWrite_ = false;
    overReport_ = 0;
    syncGate_.armed = false;
    syncGate_.Release();
    abortPartial_ = 0;
    aborts_ = 0;
    misuse_ = 0;
}

FakeTransfer* FakeHost::Find(USB_TRANSFER transfer) {
    for (auto& t : transfers_) {
        if (reinterpret_cast<USB_TRANSFER>(t.get()) == transfer) {
            if (t->closed)
                break;
            return t.get();
        }
    }
    ++misuse_;
    return nullptr;
}

void FakeHost::Complete(FakeTransfer* t, DWORD bytes, DWORD error) {
    t->bytes = bytes + overReport_;
    t->error = error;
    t->complete = true;
    if (!t->in) {
        const std::vector<BYTE>& issued = writes_[t->writeIndex];
        sent_.insert(sent_.end(), issued.begin(), issued.begin() + bytes);
    }
    changed_.notify_all();
}

void FakeHost::Notify(const std::vector<FakeTransfer*>& done) {
    for (FakeTransfer* t : done) {
        if (t->notify != nullptr)
            t->notify(t->context);
    }
}

void FakeHost::FeedLocked(std::vector<FakeTransfer*>* done) {
    while (!inData_.empty() && !pendingIn_.empty()) {
        FakeTransfer* t = pendingIn_.front();
        pendingIn_.pop_front();
        DWORD n = 0;
        while (n < t->length && !inData_.empty()) {
            t->buffer[n++] = inData_.front();
            inData_.pop_front();
        }
        Complete(t, n, USB_NO_ERROR);
        done->push_back(t);
    }
}

void FakeHost::Receive(const std::vector<BYTE>& bytes) {
    std::vector<FakeTransfer*> done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        inData_.insert(inData_.end(), bytes.begin(), bytes.end());
        FeedLocked(&done);
    }
    Notify(done);
}

bool FakeHost::WaitPendingIn(size_t count, int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms),
                             [&] { return pendingIn_.size() >= count; });
}

void FakeHost::HoldWrites(bool hold, DWORD abortPartialBytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = hold;
    abortPartial_ = abortPartialBytes;
}

void FakeHost::ReleaseHeldWrites(DWORD maxBytes) {
    std::vector<FakeTransfer*> done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (FakeTransfer* t : heldOut_) {
            Complete(t, std::min(t->length, maxBytes), USB_NO_ERROR);
            done.push_back(t);
        }
        heldOut_.clear();
    }
    Notify(done);
}

size_t FakeHost::HeldWrites() {
    std::lock_guard<std::mutex> lock(mutex_);
    return heldOut_.size();
}

bool FakeHost::WaitHeldWrites(size_t count, int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms),
                             [&] { return heldOut_.size() >= count; });
}

void FakeHost::FailWrites(bool fail) {
    std::lock_guard<std::mutex> lock(mutex_);
    failWrites_ = fail;
}

void FakeHost::FailNextWrite() {
    std::lock_guard<std::mutex> lock(mutex_);
    failNextWrite_ = true;
}

void FakeHost::OverReport(DWORD extra) {
    std::lock_guard<std::mutex> lock(mutex_);
    overReport_ = extra;
}

std::vector<std::vector<BYTE>> FakeHost::Writes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
}

std::vector<BYTE> FakeHost::SentBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
}

size_t FakeHost::AbortCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return aborts_;
}

size_t FakeHost::UnclosedTransfers() {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (auto& t : transfers_)
        n += t->closed ? 0 : 1;
    return n;
}

size_t FakeHost::Misuse() {
    std::lock_guard<std::mutex> lock(mutex_);
    return misuse_;
}

USB_TRANSFER WINAPI FakeHost::IssueBulk(USB_PIPE pipe, LPTRANSFER_NOTIFY_ROUTINE notify,
                                        LPVOID context, DWORD flags, DWORD length, LPVOID buffer,
                                        ULONG) {
    FakeHost* host = current_;
    if (notify == nullptr)
        host->syncGate_.Pass();
    std::vector<FakeTransfer*> done;
    USB_TRANSFER handle = nullptr;
    {
        std::lock_guard<std::mutex> lock(host->mutex_);
        bool in = (flags & USB_IN_TRANSFER) != 0;
        if (pipe != (in ? InPipe() : OutPipe()))
            return nullptr;
        if (!in && host->failWrites_)
            return nullptr;
        if (!in && host->failNextWrite_) {
            host->failNextWrite_ = false;
            return nullptr;
        }
        auto t = std::make_unique<FakeTransfer>();
        t->in = in;
        t->length = length;
        t->buffer = static_cast<BYTE*>(buffer);
        t->notify = notify;
        t->context = context;
        FakeTransfer* raw = t.get();
        host->transfers_.push_back(std::move(t));
        handle = reinterpret_cast<USB_TRANSFER>(raw);
        if (in) {
            host->pendingIn_.push_back(raw);
            host->changed_.notify_all();
            host->FeedLocked(&done);
        } else {
            raw->writeIndex = host->writes_.size();
            host->writes_.emplace_back(raw->buffer, raw->buffer + length);
            // A synchronous transfer (no routine) is over when the call returns.
            if (host->hold_ && notify != nullptr && length > 0) {
                host->heldOut_.push_back(raw);
                host->changed_.notify_all();
            } else {
                host->Complete(raw, length, USB_NO_ERROR);
                done.push_back(raw);
            }
        }
    }
    host->Notify(done);
    return handle;
}

USB_TRANSFER WINAPI FakeHost::ClearFeature(USB_HANDLE, LPTRANSFER_NOTIFY_ROUTINE, LPVOID, DWORD,
                                           WORD, UCHAR) {
    return nullptr;
}

USB_PIPE WINAPI FakeHost::OpenPipe(USB_HANDLE, LPCUSB_ENDPOINT_DESCRIPTOR descriptor) {
    return (descriptor->bEndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0 ? InPipe() : OutPipe();
}

BOOL WINAPI FakeHost::ClosePipe(USB_PIPE pipe) {
    FakeHost* host = current_;
    std::vector<FakeTransfer*> done;
    {
        std::lock_guard<std::mutex> lock(host->mutex_);
        if (pipe == InPipe()) {
            for (FakeTransfer* t : host->pendingIn_) {
                host->Complete(t, 0, USB_CANCELED_ERROR);
                done.push_back(t);
            }
            host->pendingIn_.clear();
        }
    }
    host->Notify(done);
    return TRUE;
}

BOOL WINAPI FakeHost::IsPipeHalted(USB_PIPE, LPBOOL halted) {
    if (halted != nullptr)
        *halted = FALSE;
    return TRUE;
}

BOOL WINAPI FakeHost::IsComplete(USB_TRANSFER transfer) {
    FakeHost* host = current_;
    std::lock_guard<std::mutex> lock(host->mutex_);
    FakeTransfer* t = host->Find(transfer);
    return t != nullptr && t->complete;
}

BOOL WINAPI FakeHost::GetStatus(USB_TRANSFER transfer, LPDWORD bytes, LPDWORD error) {
    FakeHost* host = current_;
    std::lock_guard<std::mutex> lock(host->mutex_);
    FakeTransfer* t = host->Find(transfer);
    if (t == nullptr)
        return FALSE;
    if (bytes != nullptr)
        *bytes = t->complete ? t->bytes : 0;
    if (error != nullptr)
        *error = t->complete ? t->error : USB_NOT_COMPLETE_ERROR;
    return TRUE;
}

BOOL WINAPI FakeHost::Abort(USB_TRANSFER transfer, DWORD) {
    FakeHost* host = current_;
    std::vector<FakeTransfer*> done;
    {
        std::lock_guard<std::mutex> lock(host->mutex_);
        FakeTransfer* t = host->Find(transfer);
        if (t == nullptr)
            return FALSE;
        ++host->aborts_;
        if (!t->complete) {
            for (auto it = host->heldOut_.begin(); it != host->heldOut_.end(); ++it) {
                if (*it == t) {
                    host->heldOut_.erase(it);
                    break;
                }
            }
            for (auto it = host->pendingIn_.begin(); it != host->pendingIn_.end(); ++it) {
                if (*it == t) {
                    host->pendingIn_.erase(it);
                    break;
                }
            }
            DWORD partial = t->in ? 0 : std::min(host->abortPartial_, t->length);
            host->Complete(t, partial, USB_CANCELED_ERROR);
            done.push_back(t);
        }
    }
    host->Notify(done);
    return TRUE;
}

BOOL WINAPI FakeHost::Close(USB_TRANSFER transfer) {
    FakeHost* host = current_;
    std::lock_guard<std::mutex> lock(host->mutex_);
    FakeTransfer* t = host->Find(transfer);
    if (t == nullptr)
        return FALSE;
    t->closed = true;
    return TRUE;
}

}  // namespace streamtest
