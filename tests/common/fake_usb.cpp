#include "common/fake_usb.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace fakeusb {

namespace {
FakeUsb* gHost = nullptr;
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
        // Synchronous ones and bulk-OUT ones not held are over at once.
        if (routine == nullptr || (t->IsBulkOut() && !(S().hold && length > 0)))
            gHost->Finish(t, t->IsIn() ? 0 : length, USB_NO_ERROR, done);
        else if (t->IsIn())
            gHost->FeedLocked(done);
        return reinterpret_cast<USB_TRANSFER>(t);
    }
    static LPCUSB_DEVICE WINAPI DeviceInfo(USB_HANDLE) { return nullptr; }
    static BOOL WINAPI Register(USB_HANDLE, LPDEVICE_NOTIFY_ROUTINE, LPVOID) { return TRUE; }
    static BOOL WINAPI ResetPipe(USB_PIPE) { return TRUE; }
    // A control request: a vendor request, or a halt cleared on `endpoint`.
    static USB_TRANSFER Control(LPTRANSFER_NOTIFY_ROUTINE routine, LPVOID context, DWORD flags,
                                LPVOID data, int endpoint) {
        return gHost->Run([&](auto& done) {
            if (endpoint >= 0)
                S().clearedHalts.push_back(static_cast<uint8_t>(endpoint));
            return NewTransfer(nullptr, routine, context, flags, 0, data, done);
        });
    }
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
        return gHost->Run([&](auto&) {
            return reinterpret_cast<USB_PIPE>(
                S().pipes.emplace_back(new Pipe{.address = descriptor->bEndpointAddress}).get());
        });
    }
    static BOOL WINAPI ClosePipe(USB_PIPE handle) {
        return gHost->Run([&](auto& done) {
            Pipe* pipe = LivePipe(handle);
            for (auto& t : S().transfers)
                if (pipe != nullptr && S().cancelOnClose && t->pipe == pipe && !t->complete)
                    gHost->Finish(t.get(), 0, USB_CANCELED_ERROR, done);
            return pipe != nullptr && (pipe->closed = true);
        });
    }
    static BOOL WINAPI IsPipeHalted(USB_PIPE handle, LPBOOL halted) {
        return gHost->Run([&](auto&) {
            return LivePipe(handle) != nullptr && S().haltedOk &&
                   (halted == nullptr || (*halted = S().halted, true));
        });
    }
    static USB_TRANSFER WINAPI IssueBulk(USB_PIPE handle, LPTRANSFER_NOTIFY_ROUTINE routine,
                                         LPVOID context, DWORD flags, DWORD length, LPVOID buffer,
                                         ULONG) {
        return gHost->Run([&](auto& done) -> USB_TRANSFER {
            Pipe* pipe = LivePipe(handle);
            // An issue that fails (failIssues counts them down; -1: every one).
            if (pipe == nullptr ||
                (S().failIssues != 0 && (S().failIssues < 0 || S().failIssues--)))
                return nullptr;
            return NewTransfer(pipe, routine, context, flags, length, buffer, done);
        });
    }
    // Runs `f(transfer, done)` on a live transfer; FALSE for a stale handle.
    template <class F>
    static BOOL OnLive(USB_TRANSFER handle, F f) {
        return gHost->Run([&](auto& done) {
            Transfer* t = Live(handle);
            return t != nullptr && f(*t, done);
        });
    }
    static BOOL WINAPI IsComplete(USB_TRANSFER h) {
        return OnLive(h, [](Transfer& t, auto&) { return t.complete; });
    }
    static BOOL WINAPI GetStatus(USB_TRANSFER h, LPDWORD bytes, LPDWORD error) {
        return OnLive(h, [&](Transfer& t, auto&) {
            if (S().failStatus > 0 && S().failStatus-- > 0)
                return false;
            if (bytes != nullptr)
                *bytes = t.complete ? t.bytes : 0;
            if (error != nullptr)
                *error = t.complete ? t.error : USB_NOT_COMPLETE_ERROR;
            return true;
        });
    }
    static BOOL WINAPI Abort(USB_TRANSFER h, DWORD) {
        return OnLive(h, [](Transfer& t, auto& done) {
            ++S().aborts, t.aborted = true;
            if (!t.complete)
                gHost->Finish(&t, t.IsIn() ? 0 : std::min(S().abortPartial, t.length),
                              USB_CANCELED_ERROR, done);
            return true;
        });
    }
    static BOOL WINAPI Close(USB_TRANSFER h) {
        return OnLive(h, [](Transfer& t, auto&) { return t.closed = true; });
    }
};

FakeUsb::FakeUsb() {
    gHost = this;
    funcs_ = {sizeof(USB_FUNCS),   Calls::DeviceInfo,   Calls::Register,  nullptr,
              Calls::IssueVendor,  Calls::ClearFeature, Calls::OpenPipe,  Calls::ClosePipe,
              Calls::IsPipeHalted, Calls::ResetPipe,    Calls::IssueBulk, Calls::IssueBulk,
              Calls::IsComplete,   Calls::GetStatus,    Calls::Abort,     Calls::Close};
}

FakeUsb::~FakeUsb() {
    gHost = nullptr;
}

void FakeUsb::Finish(Transfer* t, DWORD bytes, DWORD error, std::vector<Transfer*>& done) {
    t->bytes = bytes + s_.overReport, t->error = error, t->complete = true;
    if (t->IsBulkOut())
        s_.sent.insert(s_.sent.end(), t->outData.begin(), t->outData.begin() + bytes);
    done.push_back(t);
}

void FakeUsb::FeedLocked(std::vector<Transfer*>& done) {
    for (auto& t : s_.transfers) {
        if (s_.inData.empty())
            return;
        if (t->complete || !t->IsIn() || t->pipe == nullptr)
            continue;
        DWORD n = 0;
        for (; n < t->length && !s_.inData.empty(); ++n) {
            t->buffer[n] = s_.inData.front();
            s_.inData.pop_front();
        }
        Finish(t.get(), n, USB_NO_ERROR, done);
    }
}

bool FakeUsb::WaitPending(uint8_t address, size_t count, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (Pending(address).size() < count && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return Pending(address).size() >= count;
}

void FakeUsb::Complete(Transfer* t, const std::vector<BYTE>& data, DWORD error) {
    Run([&](auto& done) {
        if (t->complete || t->closed)
            return ++s_.faults;  // a test mistake, but make it loud
        DWORD n = t->IsIn() ? std::min(static_cast<DWORD>(data.size()), t->length)
                            : (data.empty() ? t->length : static_cast<DWORD>(data.size()));
        if (t->IsIn() && n != 0)
            std::memcpy(t->buffer, data.data(), n);
        Finish(t, n, error, done);
        return 0;
    });
}

void FakeUsb::Receive(const std::vector<BYTE>& bytes) {
    Run([&](auto& done) {
        s_.inData.insert(s_.inData.end(), bytes.begin(), bytes.end());
        FeedLocked(done);
        return 0;
    });
}

void FakeUsb::ReleaseWrites(DWORD maxBytes) {
    Run([&](auto& done) {
        for (auto& t : s_.transfers)
            if (t->IsBulkOut() && !t->complete)
                Finish(t.get(), std::min(t->length, maxBytes), USB_NO_ERROR, done);
        return 0;
    });
}

USB_ENDPOINT BulkEndpoint(uint8_t address, uint16_t maxPacket) {
    return {sizeof(USB_ENDPOINT),
            {sizeof(USB_ENDPOINT_DESCRIPTOR), USB_ENDPOINT_DESCRIPTOR_TYPE, address,
             USB_ENDPOINT_TYPE_BULK, maxPacket, 0},
            nullptr};
}

}  // namespace fakeusb
