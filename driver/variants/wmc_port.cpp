// Two-channel port: a CDC primary channel and an embedded basic port as the
// second channel. Start and Stop are filled in by the two-channel work item;
// until then the port refuses to start.
#include "driver/variants/wmc_port.h"

BOOL WmcPort::Start() {
    return FALSE;
}

BOOL WmcPort::Stop() {
    return CdcPort::Stop();
}

void WmcPort::WakeAll() {
    SerialPort::WakeAll();
    secondary.WakeAll();
}

BOOL WmcPort::SelectChannel(OpenHandle* handle, DWORD channel) {
    if (parent != nullptr)
        return parent->SelectChannel(handle, channel);
    if (channel == kChannelPrimary) {
        WritePointerRelease(reinterpret_cast<PVOID volatile*>(&handle->port), this);
        return TRUE;
    }
    if (channel == kChannelSecondary) {
        WritePointerRelease(reinterpret_cast<PVOID volatile*>(&handle->port), &secondary);
        return TRUE;
    }
    return FALSE;
}
