// FTDI port without write framing. The chip protocol is filled in by its own
// work item; until then the port refuses to start.
#include "driver/variants/ftdi_port.h"

#include "driver/port/receive.h"

BOOL FtdiPort::Start() {
    return FALSE;
}

BOOL FtdiPort::ApplyLineSettings() {
    return ApplyHandshakeLines(this);
}

BOOL FtdiPort::SetBreak(BOOL) {
    return 0;
}

DWORD_PTR FtdiPort::SetControlLines(DWORD, DWORD, HANDLE) {
    return 0;
}

BOOL FtdiPort::DeliverReceived(const BYTE* data, DWORD length) {
    return ::DeliverReceived(this, data, length);
}
