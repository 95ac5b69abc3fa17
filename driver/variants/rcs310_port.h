// Type-4 port (vendor 0x054C, product 0x006C): receives on its bulk-IN
// endpoint like the basic port and takes writes as vendor control requests.
#pragma once

#include "driver/port/port.h"

class Rcs310Port : public SerialPort {
  public:
    Rcs310Port() noexcept {}

    BOOL Start() override;
    BOOL Stop() override;
    USB_TRANSFER IssueWrite(const BYTE* data, DWORD length) override;
    USB_TRANSFER SendImmediate(const BYTE* ch) override;
    USB_TRANSFER SendFlowChar(const BYTE* ch) override;
    BOOL WriteFinished(DWORD* count) override;
};
