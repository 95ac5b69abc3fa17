// Type-4 port (vendor 0x054C, product 0x006C): the device sends its data on
// a bulk-IN endpoint like every other port, but takes data from the host as
// vendor requests on the default pipe, one request per write transfer. It
// has no line settings, control lines, break or flow-control characters:
// those operations stay SerialPort's (which send nothing and report 0), and
// SendImmediate and SendFlowChar send nothing.
//
// Threads: IssueWrite runs on [app] inside deviceLock (COM_Write); its
// completion sets writeEvent. Start and Stop run on [attach].
#pragma once

#include "driver/port/port.h"

// The write request: host-to-device, vendor, recipient interface.
constexpr BYTE kRcs310WriteRequestType = 0x41;
constexpr BYTE kRcs310WriteRequest = 0x00;
// Bytes one write request carries unless UsbMode flag 0x400 lifts the limit.
constexpr DWORD kRcs310MaxWrite = 261;
// Even without the limit a request cannot carry more than wLength can say.
constexpr DWORD kRcs310MaxRequest = 0xFFFF;

class Rcs310Port : public SerialPort {
  public:
    Rcs310Port() noexcept {}

    // Needs only the bulk-IN endpoint; a bulk-OUT endpoint, when bound, is
    // opened but never used.
    BOOL Start() override SL_EXCLUDES(deviceLock);
    // Closes both pipes Start opened.
    BOOL Stop() override SL_EXCLUDES(deviceLock);
    // One vendor request carrying the first bytes of `data` as its data
    // stage (no data stage for a length of 0).
    USB_TRANSFER IssueWrite(const BYTE* data, DWORD length) override SL_REQUIRES(deviceLock);
    USB_TRANSFER SendImmediate(const BYTE* ch) override SL_EXCLUDES(deviceLock);
    USB_TRANSFER SendFlowChar(const BYTE* ch) override SL_REQUIRES(deviceLock);
    // The count is the data stage's; no zero-length packet ever follows.
    BOOL WriteFinished(DWORD* count) override;
};
