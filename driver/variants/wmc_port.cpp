// Two-channel port: the CDC primary channel plus the embedded second
// channel's life.
#include "driver/variants/wmc_port.h"

#include "driver/port/lifecycle.h"

BOOL WmcPort::Start() {
    if (secondary.sendEndpoint == nullptr || secondary.receiveEndpoint == nullptr)
        return FALSE;
    if (!CdcPort::Start())
        return FALSE;

    // The second channel is never a stream device of its own: it is reached
    // only through handles of the primary. It writes under the primary's
    // write flags as a basic port, and has no class endpoint.
    secondary.parent = this;
    secondary.usbMode = usbMode & ~kUsbModeTypeMask;
    secondary.usbDevice = usbDevice;
    secondary.usbFuncs = usbFuncs;
    secondary.priority256 = priority256;
    secondary.ringSize = ringSize;
    secondary.rxSlotsWanted = rxSlotsWanted;
    secondary.activation = nullptr;
    secondary.interfaceNumber = 0;
    secondary.classEndpoint = nullptr;
    if (!PortInit(&secondary)) {
        CdcPort::Stop();
        return FALSE;
    }
    return TRUE;
}

BOOL WmcPort::Stop() {
    BOOL released = PortTeardown(&secondary);
    CdcPort::Stop();
    return released;
}

void WmcPort::WakeAll() {
    SerialPort::WakeAll();
    secondary.WakeAll();
}

BOOL WmcPort::SelectChannel(OpenHandle* handle, DWORD channel) {
    if (parent != nullptr)
        return parent->SelectChannel(handle, channel);
    SerialPort* target = nullptr;
    if (channel == kChannelPrimary)
        target = this;
    else if (channel == kChannelSecondary)
        target = &secondary;
    else
        return FALSE;
    // Requests already inside the driver on this handle finish on the
    // channel they started on; later ones use the new one. A handle being
    // detached meanwhile (its channel cleared) stays detached.
    PVOID volatile* field = reinterpret_cast<PVOID volatile*>(&handle->port);
    PVOID current = ReadPointerAcquire(field);
    if (current == nullptr)
        return FALSE;
    return InterlockedCompareExchangePointer(field, target, current) == current ? TRUE : FALSE;
}
