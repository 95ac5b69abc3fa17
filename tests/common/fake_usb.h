// A scripted USB host for tests that build a port directly: the USB_FUNCS
// table the port is given, with pipes and transfers the test controls, so
// that delivery order, thresholds, timeouts and teardown can be driven step
// by step.
//
// Bulk-IN transfers stay pending until the test completes them (Complete, in
// any order) or feeds bytes (Receive: spread over the pending ones in issue
// order, the rest kept for the next). Bulk-OUT transfers with a completion
// routine complete at once with every byte taken, unless the test holds
// them (HoldWrites): then they stay pending until completed, released or
// aborted (an aborted one reports the partial count given to HoldWrites).
// Synchronous transfers (no routine) are over when the issue call returns.
// Vendor requests with a routine stay pending like IN transfers (address 0).
//
// The host checks its own contract as the emulated one does: a call on a
// closed transfer or pipe, or a second close, is a fault of the driver
// (Faults), and every transfer must be closed (Unclosed). Completion
// routines run on the thread that completes the transfer, outside the
// host's lock. One host is live at a time (the table's functions are static).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "ce/usb.h"

namespace fakeusb {

struct Pipe {
    uint8_t address = 0;
    bool closed = false;
};

struct Transfer {
    Pipe* pipe = nullptr;  // null for control requests
    uint8_t address = 0;   // the pipe's endpoint; 0 for control requests
    LPTRANSFER_NOTIFY_ROUTINE routine = nullptr;
    void* context = nullptr;
    DWORD flags = 0, length = 0, bytes = 0, error = USB_NO_ERROR;
    BYTE* buffer = nullptr;
    std::vector<BYTE> outData;  // OUT data as issued
    bool complete = false, aborted = false, closed = false;
    bool IsIn() const { return (flags & USB_IN_TRANSFER) != 0; }
    bool IsBulkOut() const { return pipe != nullptr && !IsIn(); }
};

// A one-shot hold on a call: the first call through Pass after Arm waits
// there until Release. Gates live outside the port, so that a test can open
// them whatever became of the port meanwhile.
struct Gate {
    std::atomic<bool> armed{false}, open{true};
    std::atomic<int> waiting{0};
    void Arm() { open = false, armed = true; }
    void Release() { open = true; }
    void Reset() { armed = false, open = true; }
    void Pass();
};

class FakeUsb {
  public:
    FakeUsb();
    ~FakeUsb();

    LPCUSB_FUNCS Funcs() const { return &funcs_; }
    // Forgets every pipe, transfer and knob (between ports).
    void Reset() {
        Lock l(mutex_);
        s_ = State{};
    }

    // ---- Knobs (set under the host's lock) ----
    // Upcoming bulk issues that fail (return no transfer); -1: every one.
    void FailIssues(int n) { Set(&State::failIssues, n); }
    // Whether ClosePipe cancels the pipe's pending transfers (a host does)
    // or leaves them pending forever.
    void SetCancelOnClose(bool on) { Set(&State::cancelOnClose, on); }
    void SetPipeHalted(BOOL ok, BOOL h) { Set(&State::halted, h), Set(&State::haltedOk, ok); }
    // The next `n` GetTransferStatus calls fail.
    void FailStatus(int n) { Set(&State::failStatus, n); }
    void HoldWrites(bool h, DWORD partial = 0) {
        Set(&State::abortPartial, partial), Set(&State::hold, h);
    }
    // Completions report `n` bytes more than moved (0 ends it).
    void OverReport(DWORD n) { Set(&State::overReport, n); }

    // ---- Inspection and completion ----
    // Transfers on `address` not complete, in issue order.
    std::vector<Transfer*> Pending(uint8_t address) {
        return Select([&](Transfer& t) { return t.address == address && !t.complete; });
    }
    bool WaitPending(uint8_t address, size_t count, int ms = 5000);
    // Completes a pending transfer and runs its routine: IN with `data`,
    // OUT with at most `maxBytes` taken.
    void Complete(Transfer* t, const std::vector<BYTE>& data, DWORD error = USB_NO_ERROR);
    void CompleteOut(Transfer* t, DWORD maxBytes = 0xFFFFFFFFu) {
        Complete(t, std::vector<BYTE>(std::min(t->length, maxBytes), 0));
    }
    void Receive(const std::vector<BYTE>& bytes);
    // Completes every held bulk-OUT transfer with at most `maxBytes` taken.
    void ReleaseWrites(DWORD maxBytes = 0xFFFFFFFFu);

    // Bulk-OUT transfers issued, in order (zero-length ones too).
    std::vector<Transfer*> Writes() { return Select(&Transfer::IsBulkOut); }
    // The bulk-OUT bytes the device took, in order.
    std::vector<BYTE> Sent() { return Get(&State::sent); }
    int Aborts() { return Get(&State::aborts); }
    int OpenPipes() {
        Lock l(mutex_);
        return int(
            std::count_if(s_.pipes.begin(), s_.pipes.end(), [](auto& p) { return !p->closed; }));
    }
    int Unclosed() {
        return int(Select([](Transfer& t) { return !t.closed; }).size());
    }
    int Faults() { return Get(&State::faults); }
    std::vector<uint8_t> ClearedHalts() { return Get(&State::clearedHalts); }

  private:
    friend struct Calls;
    using Lock = std::lock_guard<std::mutex>;
    struct State {
        std::vector<std::unique_ptr<Pipe>> pipes;
        std::vector<std::unique_ptr<Transfer>> transfers;
        std::deque<BYTE> inData;
        std::vector<BYTE> sent;
        int failIssues = 0, failStatus = 0, faults = 0, aborts = 0;
        bool cancelOnClose = true, hold = false;
        BOOL haltedOk = TRUE, halted = FALSE;
        DWORD abortPartial = 0, overReport = 0;
        std::vector<uint8_t> clearedHalts;
    };
    template <class T, class V>
    void Set(T State::*field, V value) {
        Lock l(mutex_);
        s_.*field = value;
    }
    template <class T>
    T Get(T State::*field) {
        Lock l(mutex_);
        return s_.*field;
    }
    template <class P>
    std::vector<Transfer*> Select(P keep) {
        Lock l(mutex_);
        std::vector<Transfer*> out;
        for (auto& t : s_.transfers)
            if (std::invoke(keep, *t))
                out.push_back(t.get());
        return out;
    }
    // Runs `f(done)` under the lock, then the routines of the transfers it
    // completed (in `done`), outside it.
    template <class F>
    auto Run(F f) {
        std::vector<Transfer*> done;
        auto result = [&] {
            Lock l(mutex_);
            return f(done);
        }();
        for (Transfer* t : done)
            if (t->routine != nullptr)
                t->routine(t->context);
        return result;
    }
    // Under the lock: marks `t` complete and adds it to `done` (whose
    // routines Run calls after).
    void Finish(Transfer* t, DWORD bytes, DWORD error, std::vector<Transfer*>& done);
    // Under the lock: spreads received bytes over the pending IN transfers.
    void FeedLocked(std::vector<Transfer*>& done);

    std::mutex mutex_;
    USB_FUNCS funcs_{};
    State s_;
};

// An endpoint record as a host driver hands it to clients.
USB_ENDPOINT BulkEndpoint(uint8_t address, uint16_t maxPacket);

}  // namespace fakeusb
