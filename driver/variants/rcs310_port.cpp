// Type-4 port: writes as vendor requests on the default pipe.
#include "driver/variants/rcs310_port.h"

#include "driver/platform/usb_calls.h"

BOOL Rcs310Port::Start() {
    if (receiveEndpoint == nullptr)
        return FALSE;
    if (!SerialPort::Start())
        return FALSE;
    maxWriteSize = static_cast<LONG>(kRcs310MaxWrite);
    return TRUE;
}

BOOL Rcs310Port::Stop() {
    // A bulk-OUT pipe that SerialPort's Start opened for a bound endpoint is
    // closed too, rather than left to the host's clean-up at removal.
    return SerialPort::Stop();
}

USB_TRANSFER Rcs310Port::IssueWrite(const BYTE* data, DWORD length) {
    if ((usbMode & kUsbModeWriteUnlimited) == 0) {
        if (length > static_cast<DWORD>(maxWriteSize))
            length = static_cast<DWORD>(maxWriteSize);
    } else if (length > kRcs310MaxRequest) {
        // wLength is 16 bits: a longer write goes in requests of 65535
        // bytes, the caller sending the rest with the next one.
        length = kRcs310MaxRequest;
    }
    USB_DEVICE_REQUEST setup{kRcs310WriteRequestType, kRcs310WriteRequest, 0, 0,
                             static_cast<WORD>(length)};
    return UsbIssueVendor(this, writeEvent, USB_SEND_TO_INTERFACE | USB_OUT_TRANSFER, &setup,
                          length != 0 ? const_cast<BYTE*>(data) : nullptr);
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
