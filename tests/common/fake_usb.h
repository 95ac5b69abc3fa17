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
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <type_traits>
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
    DWORD flags = 0;
    DWORD length = 0;
    BYTE* buffer = nullptr;
    std::vector<BYTE> outData;  // OUT data as issued
    bool complete = false;
    bool aborted = false;
    bool closed = false;
    DWORD bytes = 0;
    DWORD error = USB_NO_ERROR;
    bool IsIn() const { return (flags & USB_IN_TRANSFER) != 0; }
};

// A one-shot hold on a call: the first call through Pass after Arm waits
// there until Release. Gates live outside the port, so that a test can open
// them whatever became of the port meanwhile.
struct Gate {
    std::atomic<bool> armed{false};
    std::atomic<bool> open{true};
    std::atomic<int> waiting{0};
    void Arm() {
        open = false;
        armed = true;
    }
    void Release() { open = true; }
    void Reset() {
        armed = false;
        open = true;
    }
    void Pass();
};

class FakeUsb {
  public:
    FakeUsb();
    ~FakeUsb();
    FakeUsb(const FakeUsb&) = delete;
    FakeUsb& operator=(const FakeUsb&) = delete;

    LPCUSB_FUNCS Funcs() const { return &funcs_; }
    // Forgets every pipe, transfer and knob (between ports).
    void Reset();

    // ---- Knobs ----
    // Upcoming bulk issues that fail (return no transfer); -1: every one.
    void FailIssues(int count) {
        Locked([&](State& s) { s.failIssues = count; });
    }
    // Whether ClosePipe cancels the pipe's pending transfers (a host does)
    // or leaves them pending forever.
    void SetCancelOnClose(bool cancel) {
        Locked([&](State& s) { s.cancelOnClose = cancel; });
    }
    void SetPipeHalted(BOOL ok, BOOL halted) {
        Locked([&](State& s) { s.haltedOk = ok, s.halted = halted; });
    }
    // The next `count` GetTransferStatus calls fail.
    void FailStatus(int count) {
        Locked([&](State& s) { s.failStatus = count; });
    }
    void HoldWrites(bool hold, DWORD abortPartial = 0) {
        Locked([&](State& s) { s.hold = hold, s.abortPartial = abortPartial; });
    }
    // Completions report `extra` bytes more than moved (0 ends it).
    void OverReport(DWORD extra) {
        Locked([&](State& s) { s.overReport = extra; });
    }
    // Holds the next synchronous transfer inside its issue call.
    Gate& SyncGate() { return syncGate_; }

    // ---- Inspection and completion ----
    // Transfers on `address` not complete, in issue order.
    std::vector<Transfer*> Pending(uint8_t address);
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
    std::vector<std::vector<BYTE>> Writes();
    // The bulk-OUT bytes the device took, in order.
    std::vector<BYTE> Sent() {
        return Locked([](State& s) { return s.sent; });
    }
    int Aborts() {
        return Locked([](State& s) { return s.aborts; });
    }
    int OpenPipes();
    int PipesOpened() {
        return Locked([](State& s) { return s.pipesOpened; });
    }
    int Unclosed();
    int Faults() {
        return Locked([](State& s) { return s.faults; });
    }
    std::vector<uint8_t> ClearedHalts() {
        return Locked([](State& s) { return s.clearedHalts; });
    }

  private:
    friend struct Calls;
    struct State {
        std::vector<std::unique_ptr<Pipe>> pipes;
        std::vector<std::unique_ptr<Transfer>> transfers;
        std::deque<BYTE> inData;
        std::vector<BYTE> sent;
        int failIssues = 0, failStatus = 0, faults = 0, aborts = 0, pipesOpened = 0;
        bool cancelOnClose = true, hold = false;
        BOOL haltedOk = TRUE, halted = FALSE;
        DWORD abortPartial = 0, overReport = 0;
        std::vector<uint8_t> clearedHalts;
    };
    template <class F>
    auto Locked(F f) -> std::invoke_result_t<F, State&> {
        std::lock_guard<std::mutex> lock(mutex_);
        return f(s_);
    }
    // Under the lock: marks `t` complete; the caller runs its routine.
    void Finish(Transfer* t, DWORD bytes, DWORD error);
    void FeedLocked(std::vector<Transfer*>* done);

    std::mutex mutex_;
    std::condition_variable changed_;
    USB_FUNCS funcs_{};
    State s_;
    Gate syncGate_;
};

// An endpoint record as a host driver hands it to clients.
USB_ENDPOINT BulkEndpoint(uint8_t address, uint16_t maxPacket);

}  // namespace fakeusb
