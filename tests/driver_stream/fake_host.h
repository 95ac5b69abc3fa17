// A scripted USB host for the stream tests: the USB_FUNCS table a port is
// built over, with bulk pipes whose transfers the test controls.
//
// Bulk-IN transfers stay pending until the test feeds bytes (Receive), which
// completes them in issue order. Bulk-OUT transfers complete at once with
// every byte taken, unless the test holds them (HoldWrites), in which case
// they complete only when the driver aborts them, reporting
// `abortPartialBytes`. Every transfer handed out must be closed exactly once;
// the host counts what was not (UnclosedTransfers) and every call on a
// closed transfer (misuse).
//
// Completion routines run on the thread that completes the transfer (the
// driver's for OUT and abort, the test's for IN); they only set an event.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "ce/usb.h"

namespace streamtest {

struct FakeTransfer;

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
    void Pass();
};

class FakeHost {
  public:
    FakeHost();
    ~FakeHost();
    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    const USB_FUNCS* Funcs() const { return &funcs_; }
    // Forgets every transfer and record (between ports).
    void Reset();

    // Bytes the device sends: spread over the pending IN transfers in issue
    // order, each taking at most its length; the rest waits for the next.
    void Receive(const std::vector<BYTE>& bytes);
    // Waits (up to `ms`) until `count` IN transfers are pending.
    bool WaitPendingIn(size_t count, int ms);

    // OUT transfers from now on never complete by themselves.
    void HoldWrites(bool hold, DWORD abortPartialBytes = 0);
    // Completes every held OUT transfer with all its bytes, or at most
    // `maxBytes` of them (a device that took part of a transfer).
    void ReleaseHeldWrites(DWORD maxBytes = 0xFFFFFFFFu);
    // Number of OUT transfers now held (issued, neither completed nor aborted).
    size_t HeldWrites();
    // Waits (up to `ms`) until `count` OUT transfers are held.
    bool WaitHeldWrites(size_t count, int ms);
    // OUT transfers fail at issue from now on.
    void FailWrites(bool fail);
    // Only the next OUT transfer fails at issue.
    void FailNextWrite();
    // Completions report `extra` bytes more than moved (a host that
    // over-reports), from now on; 0 ends it.
    void OverReport(DWORD extra);
    // Holds the next synchronous transfer (no completion routine) inside its
    // issue call, as a slow host does, until released.
    Gate& SynchronousGate() { return syncGate_; }

    // Every OUT transfer issued, in order: its length (0 for a zero-length
    // packet) and its bytes; the synchronous ones too.
    std::vector<std::vector<BYTE>> Writes();
    // The OUT bytes the device took, in order (all of a completed transfer,
    // the partial count of an aborted one).
    std::vector<BYTE> SentBytes();
    size_t AbortCount();

    size_t UnclosedTransfers();
    size_t Misuse();

    // The handles the fake hands out for the port's pipes.
    static USB_PIPE InPipe() { return reinterpret_cast<USB_PIPE>(0x1001); }
    static USB_PIPE OutPipe() { return reinterpret_cast<USB_PIPE>(0x1002); }

  private:
    static FakeHost* current_;
    static USB_TRANSFER WINAPI IssueBulk(USB_PIPE, LPTRANSFER_NOTIFY_ROUTINE, LPVOID, DWORD, DWORD,
                                         LPVOID, ULONG);
    static USB_TRANSFER WINAPI ClearFeature(USB_HANDLE, LPTRANSFER_NOTIFY_ROUTINE, LPVOID, DWORD,
                                            WORD, UCHAR);
    static USB_PIPE WINAPI OpenPipe(USB_HANDLE, LPCUSB_ENDPOINT_DESCRIPTOR);
    static BOOL WINAPI ClosePipe(USB_PIPE);
    static BOOL WINAPI IsPipeHalted(USB_PIPE, LPBOOL);
    static BOOL WINAPI IsComplete(USB_TRANSFER);
    static BOOL WINAPI GetStatus(USB_TRANSFER, LPDWORD, LPDWORD);
    static BOOL WINAPI Abort(USB_TRANSFER, DWORD);
    static BOOL WINAPI Close(USB_TRANSFER);

    FakeTransfer* Find(USB_TRANSFER transfer);
    // Completes under the lock; returns the routine to call once it is left.
    void Complete(FakeTransfer* t, DWORD bytes, DWORD error);
    void Notify(const std::vector<FakeTransfer*>& done);
    void FeedLocked(std::vector<FakeTransfer*>* done);

    USB_FUNCS funcs_{};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::unique_ptr<FakeTransfer>> transfers_;
    std::deque<FakeTransfer*> pendingIn_;
    std::deque<BYTE> inData_;
    std::vector<FakeTransfer*> heldOut_;
    std::vector<std::vector<BYTE>> writes_;
    std::vector<BYTE> sent_;
    bool hold_ = false;
    bool failWrites_ = false;
    bool failNextWrite_ = false;
    DWORD overReport_ = 0;
    DWORD abortPartial_ = 0;
    size_t aborts_ = 0;
    size_t misuse_ = 0;
    Gate syncGate_;
};

}  // namespace streamtest
