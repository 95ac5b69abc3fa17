// Type-4 port. Its write protocol is filled in by its own work item; until
// then the port refuses to start.
#include "driver/variants/rcs310_port.h"

BOOL Rcs310Port::Start() {
    return FALSE;
}

BOOL Rcs310Port::Stop() {
    return SerialPort::Stop();
}

USB_TRANSFER Rcs310Port::IssueWrite(const BYTE*, DWORD) {
    return nullptr;
}

USB_TRANSFER Rcs310Port::SendImmediate(const BYTE*) {
    return nullptr;
}

USB_TRANSFER Rcs310Port::SendFlowChar(const BYTE*) {
    return nullptr;
}

BOOL Rcs310Port::WriteFinished(DWORD*) {
    return FALSE;
}
