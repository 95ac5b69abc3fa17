// A scripted USB host for the driver core's tests: a USB_FUNCS table whose
// transfers stay pending until the test completes them, in any order, so
// that delivery order, thresholds and teardown can be driven step by step.
// It checks its own contract like the emulated host does: a call on a closed
// transfer or pipe, or a double close, counts as a fault of the driver.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "ce/usb.h"

namespace drvtest {

struct FakePipe {
    uint8_t address = 0;
    bool closed = false;
};

struct FakeTransfer {
    FakePipe* pipe = nullptr;  // null for control requests
    uint8_t address = 0;
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
    bool isIn() const { return (flags & USB_IN_TRANSFER) != 0; }
};

class FakeUsb {
  public:
    FakeUsb();
    ~FakeUsb();
    FakeUsb(const FakeUsb&) = delete;
    FakeUsb& operator=(const FakeUsb&) = delete;

    LPCUSB_FUNCS Funcs() const { return &funcs_; }

    // ---- Knobs (set before the driver calls) ----
    // Upcoming bulk issues that return 0; -1 makes every one fail.
    void FailIssues(int count);
    // Whether ClosePipe completes the pipe's pending transfers with
    // USB_CANCELED_ERROR (a host does), or leaves them pending forever.
    void SetCancelOnClose(bool cancel);
    // IsPipeHalted's result and the flag it reports.
    void SetPipeHaltedAnswer(BOOL ok, BOOL halted);
    // The next `count` GetTransferStatus calls fail.
    void FailStatus(int count);

    // ---- Inspection and completion by the test ----
    // Transfers on `address` (IN when bit 7 set; 0 for asynchronous control
    // requests) that are not complete, in issue order.
    std::vector<FakeTransfer*> Pending(uint8_t address);
    std::vector<FakeTransfer*> All(uint8_t address);
    // Waits until at least `count` transfers are pending on `address`.
    bool WaitPending(uint8_t address, size_t count, int timeoutMs = 5000);
    // Completes a pending transfer with `data` (IN: copied into its buffer;
    // OUT: the byte count is its length when data is empty) and runs its
    // completion routine on the calling thread.
    void Complete(FakeTransfer* t, const std::vector<BYTE>& data, DWORD error = USB_NO_ERROR);
    void CompleteOut(FakeTransfer* t);

    int OpenPipes() const;
    int PipesOpened() const;
    // Transfers not closed (the driver's leak), faults (misuse by the driver).
    int Unclosed() const;
    int Faults() const;
    int IssuedBulk() const;
    // Endpoint addresses of the ClearFeature(ENDPOINT_HALT) requests, in order.
    std::vector<uint8_t> ClearedHalts() const;

  private:
    friend struct FakeUsbCalls;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    USB_FUNCS funcs_{};
    std::vector<std::unique_ptr<FakePipe>> pipes_;
    std::vector<std::unique_ptr<FakeTransfer>> transfers_;
    int failIssues_ = 0;
    bool cancelOnClose_ = true;
    BOOL haltedOk_ = TRUE;
    BOOL halted_ = FALSE;
    int failStatus_ = 0;
    int faults_ = 0;
    int issuedBulk_ = 0;
    std::vector<uint8_t> clearedHalts_;
    int pipesOpened_ = 0;
};

// Endpoint records as a host driver hands them to clients.
USB_ENDPOINT MakeBulkEndpoint(uint8_t address, uint16_t maxPacket);

}  // namespace drvtest
