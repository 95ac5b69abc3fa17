// FTDI ports (type 3): vendor requests for rate, format, lines and break;
// every bulk-IN packet starts with two status bytes. FtdiPort sends writes
// as they are (UsbMode flag 0x200); FtdiHeaderPort frames each write with a
// header byte.
#pragma once

#include "driver/port/port.h"

class FtdiPort : public SerialPort {
  public:
    FtdiPort() noexcept {}

    BOOL Start() override;
    BOOL ApplyLineSettings() override;
    BOOL SetBreak(BOOL on) override;
    DWORD_PTR SetControlLines(DWORD mask, DWORD value, HANDLE event) override;
    BOOL DeliverReceived(const BYTE* data, DWORD length) override;
};

class FtdiHeaderPort : public FtdiPort {
  public:
    FtdiHeaderPort() noexcept {}

    BOOL Start() override;
    BOOL ApplyLineSettings() override;
    USB_TRANSFER IssueWrite(const BYTE* data, DWORD length) override;
    USB_TRANSFER SendImmediate(const BYTE* ch) override;
    USB_TRANSFER SendFlowChar(const BYTE* ch) override;
    BOOL WriteFinished(DWORD* count) override;

    // Header byte plus up to 63 data bytes of the write in flight ([app],
    // inside flowLock).
    BYTE writeBuffer[64];
    // Header byte plus one character, for immediate and flow-control
    // characters (flow control: [worker], inside flowLock).
    BYTE charBuffer[2];
};
