#include "common/fake_usb.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace fakeusb {

namespace {
FakeUsb* gHost = nullptr;

void Notify(const std::vector<Transfer*>& done) {
    for (Transfer* t : done)
        if (t->routine != nullptr)
            t->routine(t->context);
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

// The static functions of the table reach the one live host. Each takes the
// host's lock, does its work and runs the completions it caused after.
struct Calls {
    static FakeUsb::State& S() { return gHost->s_; }
    template <class F>
    static auto Run(F f) {
        std::vector<Transfer*> done;
        auto result = [&] {
            std::lock_guard<std::mutex> lock(gHost->mutex_);
            return f(done);
        }();
        Notify(done);
        return result;
    }
    // A transfer or pipe the driver may still use: known and not closed.
    template <class T, class H>
    static T* Live(std::vector<std::unique_ptr<T>>& all, H handle) {
        for (auto& t : all)
            if (reinterpret_cast<H>(t.get()) == handle && !t->closed)
                return t.get();
        ++S().faults;
        return nullptr;
    }
    static Transfer* Live(USB_TRANSFER handle) { return Live(S().transfers, handle); }
    static Pipe* LivePipe(USB_PIPE handle) { return Live(S().pipes, handle); }
    static USB_TRANSFER NewTransfer(Pipe* pipe, LPTRANSFER_NOTIFY_ROUTINE routine, void* context,
                                    DWORD flags, DWORD length, void* buffer,
                                    std::vector<Transfer*>& done) {
        Transfer* t = S().transfers.emplace_back(std::make_unique<Transfer>()).get();
        t->pipe = pipe, t->address = pipe != nullptr ? pipe->address : 0, t->routine = routine;
        t->context = context, t->flags = flags, t->length = length;
        t->buffer = static_cast<BYTE*>(buffer);
        if (!t->IsIn() && buffer != nullptr)
            t->outData.assign(t->buffer, t->buffer + length);
        if (routine == nullptr) {
            gHost->Finish(t, t->IsIn() ? 0 : length, USB_NO_ERROR);
        } else if (t->IsBulkOut() && !(S().hold && length > 0)) {
            gHost->Finish(t, length, USB_NO_ERROR);
            done.push_back(t);
        } else if (t->IsIn()) {
            gHost->FeedLocked(&done);
        }
        gHost->changed_.notify_all();
        return reinterpret_cast<USB_TRANSFER>(t);
    }
    static USB_TRANSFER Control(LPTRANSFER_NOTIFY_ROUTINE routine, LPVOID context, DWORD flags,
                                LPVOID data, int endpoint) {
        return Run([&](auto& done) {
            if (endpoint >= 0)
                S().clearedHalts.push_back(static_cast<uint8_t>(endpoint));
            return NewTransfer(nullptr, routine, context, flags, 0, data, done);
        });
    }
    static LPCUSB_DEVICE WINAPI GetDeviceInfo(USB_HANDLE) { return nullptr; }
    static BOOL WINAPI RegisterNotification(USB_HANDLE, LPDEVICE_NOTIFY_ROUTINE, LPVOID) {
        return 1;
    }
    static BOOL WINAPI ResetPipe(USB_PIPE) { return TRUE; }
    static USB_TRANSFER WINAPI IssueVendor(USB_HANDLE, LPTRANSFER_NOTIFY_ROUTINE routine,
                                           LPVOID context, DWORD flags, LPCUSB_DEVICE_REQUEST,
                                           LPVOID data, ULONG) {
        return Control(routine, context, flags, data, -1);
    }
    static USB_TRANSFER WINAPI ClearFeature(USB_HANDLE, LPTRANSFER_NOTIFY_ROUTINE routine,
                                            LPVOID context, DWORD flags, WORD, UCHAR endpoint) {
        return Control(routine, context, flags, nullptr, endpoint);
    }
    static USB_PIPE WINAPI OpenPipe(USB_HANDLE, LPCUSB_ENDPOINT_DESCRIPTOR descriptor) {
        return Run([&](auto&) {
            Pipe* pipe = S().pipes.emplace_back(std::make_unique<Pipe>()).get();
            pipe->address = descriptor->bEndpointAddress;
            return reinterpret_cast<USB_PIPE>(pipe);
        });
    }
    static BOOL WINAPI ClosePipe(USB_PIPE handle) {
        return Run([&](auto& done) {
            Pipe* pipe = LivePipe(handle);
            if (pipe == nullptr)
                return FALSE;
            pipe->closed = true;
            for (auto& t : S().transfers) {
                if (S().cancelOnClose && t->pipe == pipe && !t->complete) {
                    gHost->Finish(t.get(), 0, USB_CANCELED_ERROR);
                    done.push_back(t.get());
                }
            }
            return TRUE;
        });
    }
    static BOOL WINAPI IsPipeHalted(USB_PIPE handle, LPBOOL halted) {
        return Run([&](auto&) {
            if (LivePipe(handle) == nullptr)
                return FALSE;
            if (S().haltedOk && halted != nullptr)
                *halted = S().halted;
            return S().haltedOk;
        });
    }
    static USB_TRANSFER WINAPI IssueBulk(USB_PIPE handle, LPTRANSFER_NOTIFY_ROUTINE routine,
                                         LPVOID context, DWORD flags, DWORD length, LPVOID buffer,
                                         ULONG) {
        return Run([&](auto& done) -> USB_TRANSFER {
            Pipe* pipe = LivePipe(handle);
            if (pipe == nullptr)
                return nullptr;
            if (S().failIssues != 0) {
                S().failIssues -= S().failIssues > 0 ? 1 : 0;
                return nullptr;
            }
            return NewTransfer(pipe, routine, context, flags, length, buffer, done);
        });
    }
    static BOOL WINAPI IsComplete(USB_TRANSFER handle) {
        return Run([&](auto&) {
            Transfer* t = Live(handle);
            return t != nullptr && t->complete;
        });
    }
    static BOOL WINAPI GetStatus(USB_TRANSFER handle, LPDWORD bytes, LPDWORD error) {
        return Run([&](auto&) {
            Transfer* t = Live(handle);
            if (t == nullptr || (S().failStatus > 0 && S().failStatus-- > 0))
                return FALSE;
            if (bytes != nullptr)
                *bytes = t->complete ? t->bytes : 0;
            if (error != nullptr)
                *error = t->complete ? t->error : USB_NOT_COMPLETE_ERROR;
            return TRUE;
        });
    }
    static BOOL WINAPI Abort(USB_TRANSFER handle, DWORD) {
        return Run([&](auto& done) {
            Transfer* t = Live(handle);
            if (t == nullptr)
                return FALSE;
            ++S().aborts;
            t->aborted = true;
            if (!t->complete) {
                gHost->Finish(t, t->IsIn() ? 0 : std::min(S().abortPartial, t->length),
                              USB_CANCELED_ERROR);
                done.push_back(t);
            }
            return TRUE;
        });
    }
    static BOOL WINAPI Close(USB_TRANSFER handle) {
        return Run([&](auto&) {
            Transfer* t = Live(handle);
            return t != nullptr && (t->closed = true);
        });
    }
};

FakeUsb::FakeUsb() {
    gHost = this;
    funcs_ = {sizeof(USB_FUNCS), Calls::GetDeviceInfo, Calls::RegisterNotification,
              nullptr,           Calls::IssueVendor,   Calls::ClearFeature,
              Calls::OpenPipe,   Calls::ClosePipe,     Calls::IsPipeHalted,
              Calls::ResetPipe,  Calls::IssueBulk,     Calls::IssueBulk,
              Calls::IsComplete, Calls::GetStatus,     Calls::Abort,
              Calls::Close};
}

FakeUsb::~FakeUsb() {
    gHost = nullptr;
}

void FakeUsb::Finish(Transfer* t, DWORD bytes, DWORD error) {
    t->bytes = bytes + s_.overReport;
    t->error = error;
    t->complete = true;
    if (t->IsBulkOut())
        s_.sent.insert(s_.sent.end(), t->outData.begin(), t->outData.begin() + bytes);
    changed_.notify_all();
}

void FakeUsb::FeedLocked(std::vector<Transfer*>* done) {
    for (auto& owned : s_.transfers) {
        Transfer* t = owned.get();
        if (s_.inData.empty())
            return;
        if (t->complete || !t->IsIn() || t->pipe == nullptr)
            continue;
        DWORD n = 0;
        for (; n < t->length && !s_.inData.empty(); ++n) {
            t->buffer[n] = s_.inData.front();
            s_.inData.pop_front();
        }
        Finish(t, n, USB_NO_ERROR);
        done->push_back(t);
    }
}

bool FakeUsb::WaitPending(uint8_t address, size_t count, int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
        return std::count_if(s_.transfers.begin(), s_.transfers.end(), [&](auto& t) {
                   return t->address == address && !t->complete;
               }) >= static_cast<long>(count);
    });
}

void FakeUsb::Complete(Transfer* t, const std::vector<BYTE>& data, DWORD error) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (t->complete || t->closed) {
            ++s_.faults;  // a test mistake, but make it loud
            return;
        }
        DWORD n = t->IsIn() ? std::min(static_cast<DWORD>(data.size()), t->length)
                            : (data.empty() ? t->length : static_cast<DWORD>(data.size()));
        if (t->IsIn() && n != 0)
            std::memcpy(t->buffer, data.data(), n);
        Finish(t, n, error);
    }
    Notify({t});
}

void FakeUsb::Receive(const std::vector<BYTE>& bytes) {
    std::vector<Transfer*> done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        s_.inData.insert(s_.inData.end(), bytes.begin(), bytes.end());
        FeedLocked(&done);
    }
    Notify(done);
}

void FakeUsb::ReleaseWrites(DWORD maxBytes) {
    std::vector<Transfer*> done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& t : s_.transfers) {
            if (t->IsBulkOut() && !t->complete) {
                Finish(t.get(), std::min(t->length, maxBytes), USB_NO_ERROR);
                done.push_back(t.get());
            }
        }
    }
    Notify(done);
}

USB_ENDPOINT BulkEndpoint(uint8_t address, uint16_t maxPacket) {
    return {sizeof(USB_ENDPOINT),
            {sizeof(USB_ENDPOINT_DESCRIPTOR), USB_ENDPOINT_DESCRIPTOR_TYPE, address,
             USB_ENDPOINT_TYPE_BULK, maxPacket, 0},
            nullptr};
}

}  // namespace fakeusb
