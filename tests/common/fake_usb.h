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

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
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
    void FailIssues(int count);
    // Whether ClosePipe cancels the pipe's pending transfers (a host does)
    // or leaves them pending forever.
    void SetCancelOnClose(bool cancel);
    void SetPipeHalted(BOOL ok, BOOL halted);
    // The next `count` GetTransferStatus calls fail.
    void FailStatus(int count);
    void HoldWrites(bool hold, DWORD abortPartial = 0);
    // Completions report `extra` bytes more than moved (0 ends it).
    void OverReport(DWORD extra);
    // Holds the next synchronous transfer inside its issue call.
    Gate& SyncGate() { return syncGate_; }

    // ---- Inspection and completion ----
    // Transfers on `address` not complete, in issue order.
    std::vector<Transfer*> Pending(uint8_t address);
    // Every asynchronous transfer on `address`, in issue order.
    std::vector<Transfer*> All(uint8_t address);
    bool WaitPending(uint8_t address, size_t count, int ms = 5000);
    // Completes a pending transfer and runs its routine: IN with `data`,
    // OUT with at most `maxBytes` taken.
    void Complete(Transfer* t, const std::vector<BYTE>& data, DWORD error = USB_NO_ERROR);
    void CompleteOut(Transfer* t, DWORD maxBytes = 0xFFFFFFFFu);
    void Receive(const std::vector<BYTE>& bytes);
    // Completes every held bulk-OUT transfer with at most `maxBytes` taken.
    void ReleaseWrites(DWORD maxBytes = 0xFFFFFFFFu);

    // Bulk-OUT transfers issued, in order (zero-length ones too).
    std::vector<std::vector<BYTE>> Writes();
    // The bulk-OUT bytes the device took, in order.
    std::vector<BYTE> Sent();
    int Aborts();
    int OpenPipes();
    int PipesOpened();
    int Unclosed();
    int Faults();
    std::vector<uint8_t> ClearedHalts();

  private:
    friend struct Calls;
    // Under the lock: marks `t` complete; the caller runs its routine.
    void Finish(Transfer* t, DWORD bytes, DWORD error);
    void FeedLocked(std::vector<Transfer*>* done);

    std::mutex mutex_;
    std::condition_variable changed_;
    USB_FUNCS funcs_{};
    std::vector<std::unique_ptr<Pipe>> pipes_;
    std::vector<std::unique_ptr<Transfer>> transfers_;
    std::deque<BYTE> inData_;
    std::vector<BYTE> sent_;
    int failIssues_ = 0;
    bool cancelOnClose_ = true;
    BOOL haltedOk_ = TRUE;
    BOOL halted_ = FALSE;
    int failStatus_ = 0;
    bool hold_ = false;
    DWORD abortPartial_ = 0;
    DWORD overReport_ = 0;
    int faults_ = 0;
    int aborts_ = 0;
    int pipesOpened_ = 0;
    std::vector<uint8_t> clearedHalts_;
    Gate syncGate_;
};

// An endpoint record as a host driver hands it to clients.
USB_ENDPOINT BulkEndpoint(uint8_t address, uint16_t maxPacket);

}  // namespace fakeusb
