// CDC abstract-control port (type 1): the basic bulk pair plus an
// interrupt-IN status endpoint carrying SERIAL_STATE notifications; line
// coding, control lines and break go as class requests to the interface.
#pragma once

#include "driver/port/port.h"

class CdcPort : public SerialPort {
  public:
    CdcPort() noexcept {}

    BOOL Start() override;
    BOOL Stop() override;
    BOOL ApplyLineSettings() override;
    BOOL SetBreak(BOOL on) override;
    DWORD_PTR SetControlLines(DWORD mask, DWORD value, HANDLE event) override;
    int Service() override;

    // Control-line state last requested (kLineDtr | kLineRts); 0 after
    // Start. Changed only inside flowLock.
    DWORD lineState SL_GUARDED_BY(flowLock);
    // Pipe of classEndpoint. Start/Stop [attach].
    USB_PIPE notifyPipe;
    // The outstanding status transfer, or 0, and where it lands. [worker]
    // only.
    USB_TRANSFER notifyTransfer;
    BYTE notifyBuffer[64];
};
