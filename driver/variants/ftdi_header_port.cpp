// FTDI port with a header byte before the data of every write. The chip
// protocol is filled in by its own work item; until then the port refuses to
// start.
#include "driver/variants/ftdi_port.h"

BOOL FtdiHeaderPort::Start() {
    return FALSE;
}

BOOL FtdiHeaderPort::ApplyLineSettings() {
    return FtdiPort::ApplyLineSettings();
}

USB_TRANSFER FtdiHeaderPort::IssueWrite(const BYTE*, DWORD) {
    return nullptr;
}

USB_TRANSFER FtdiHeaderPort::SendImmediate(const BYTE*) {
    return nullptr;
}

USB_TRANSFER FtdiHeaderPort::SendFlowChar(const BYTE*) {
    return nullptr;
}

BOOL FtdiHeaderPort::WriteFinished(DWORD*) {
    return FALSE;
}
