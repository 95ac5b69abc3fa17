// Recovery of halted pipes.
#include "driver/port/halt.h"

#include "driver/platform/usb_calls.h"

namespace {

// Failures after which the back-off has reached its longest wait.
constexpr LONG kFailuresAtLongestWait = 7;
static_assert((kHaltRetryFirstMs << (kFailuresAtLongestWait - 1)) >= kHaltRetryMaxMs &&
                  (kHaltRetryFirstMs << (kFailuresAtLongestWait - 2)) < kHaltRetryMaxMs,
              "the doubling reaches the longest wait at the last count");

}  // namespace

DWORD HaltBackOffDelay(LONG failures) {
    if (failures < 1)
        failures = 1;
    if (failures > kFailuresAtLongestWait)
        failures = kFailuresAtLongestWait;
    const DWORD delay = kHaltRetryFirstMs << (failures - 1);
    return delay > kHaltRetryMaxMs ? kHaltRetryMaxMs : delay;
}

void HaltBackOffFailed(HaltBackOff* backOff) {
    if (backOff->failures < kFailuresAtLongestWait)
        backOff->failures += 1;
    backOff->retryAt = GetTickCount() + HaltBackOffDelay(backOff->failures);
}

DWORD HaltBackOffLeft(const HaltBackOff* backOff) {
    if (backOff->failures == 0)
        return 0;
    const LONG left = static_cast<LONG>(backOff->retryAt - GetTickCount());
    return left > 0 ? static_cast<DWORD>(left) : 0;
}

BOOL RecoverHaltedPipe(SerialPort* port, USB_PIPE* pipe, LPCUSB_ENDPOINT endpoint) {
    BOOL halted = FALSE;
    BOOL known = FALSE;
    {
        LockGuard guard(port->deviceLock);
        if (*pipe != nullptr)
            known = UsbIsPipeHalted(port, *pipe, &halted);
    }
    if (!known || !halted)
        return FALSE;
    UsbClearHalt(port, endpoint);
    {
        LockGuard guard(port->deviceLock);
        if (*pipe != nullptr)
            UsbResetPipe(port, *pipe);
    }
    return TRUE;
}

void SendPipeFailed(SerialPort* port) {
    bool due;
    {
        LockGuard guard(port->deviceLock);
        due = HaltBackOffLeft(&port->sendBackOff) == 0;
        if (due)
            HaltBackOffFailed(&port->sendBackOff);
    }
    if (due)
        RecoverHaltedPipe(port, &port->sendPipe, port->sendEndpoint);
}

void SendPipeWorked(SerialPort* port) {
    LockGuard guard(port->deviceLock);
    port->sendBackOff.failures = 0;
}
