// CDC abstract-control port. The class protocol is filled in by its own
// work item; until then the port refuses to start and its requests report
// failure.
#include "driver/variants/cdc_port.h"

#include "driver/port/receive.h"

BOOL CdcPort::Start() {
    return FALSE;
}

BOOL CdcPort::Stop() {
    return SerialPort::Stop();
}

BOOL CdcPort::ApplyLineSettings() {
    return ApplyHandshakeLines(this);
}

BOOL CdcPort::SetBreak(BOOL) {
    return 0;
}

DWORD_PTR CdcPort::SetControlLines(DWORD, DWORD, HANDLE) {
    return 0;
}

int CdcPort::Service() {
    return ServiceBulk(this);
}
