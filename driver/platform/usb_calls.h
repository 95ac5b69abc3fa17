// The driver's side of the USB host driver's function table. Every USB call
// of the driver goes through these wrappers, which take the port and read
// its `usbFuncs` and `usbDevice`. A call given an event completes through
// TransferNotify on that event and returns at once; a call given no event is
// synchronous and returns when the transfer is over (its handle must still
// be closed).
#pragma once

#include "driver/platform/ce.h"
#include "driver/port/lifecycle.h"
#include "driver/port/port.h"

inline LPCUSB_DEVICE UsbGetDeviceInfo(const SerialPort* port) {
    return port->usbFuncs->lpGetDeviceInfo(port->usbDevice);
}

inline BOOL UsbRegisterNotify(const SerialPort* port, LPDEVICE_NOTIFY_ROUTINE routine,
                              LPVOID context) {
    return port->usbFuncs->lpRegisterNotificationRoutine(port->usbDevice, routine, context);
}

inline USB_PIPE UsbOpenPipe(const SerialPort* port, LPCUSB_ENDPOINT endpoint) {
    return port->usbFuncs->lpOpenPipe(port->usbDevice, &endpoint->Descriptor);
}

inline BOOL UsbClosePipe(const SerialPort* port, USB_PIPE pipe) {
    return port->usbFuncs->lpClosePipe(pipe);
}

inline BOOL UsbIsPipeHalted(const SerialPort* port, USB_PIPE pipe, BOOL* halted) {
    return port->usbFuncs->lpIsPipeHalted(pipe, halted);
}

// Clears the host's halt of the pipe and resets its data toggle (not the
// device's: UsbClearHalt does that).
inline BOOL UsbResetPipe(const SerialPort* port, USB_PIPE pipe) {
    return port->usbFuncs->lpResetPipe(pipe);
}

// Synchronous ClearFeature(ENDPOINT_HALT) on the endpoint; the outcome is
// not examined, the transfer handle is closed at once.
inline void UsbClearHalt(const SerialPort* port, LPCUSB_ENDPOINT endpoint) {
    USB_TRANSFER transfer = port->usbFuncs->lpClearFeature(
        port->usbDevice, nullptr, nullptr, USB_SEND_TO_ENDPOINT, USB_FEATURE_ENDPOINT_HALT,
        endpoint->Descriptor.bEndpointAddress);
    if (transfer != nullptr)
        port->usbFuncs->lpCloseTransfer(transfer);
}

// Bulk transfer on `pipe`; asynchronous through TransferNotify when `event`
// is given, synchronous otherwise. `flags` carries the direction.
inline USB_TRANSFER UsbIssueBulk(const SerialPort* port, USB_PIPE pipe, HANDLE event, DWORD flags,
                                 DWORD length, void* buffer) {
    return port->usbFuncs->lpIssueBulkTransfer(pipe, event ? TransferNotify : nullptr, event, flags,
                                               length, buffer, 0);
}

inline USB_TRANSFER UsbIssueInterrupt(const SerialPort* port, USB_PIPE pipe, HANDLE event,
                                      DWORD flags, DWORD length, void* buffer) {
    return port->usbFuncs->lpIssueInterruptTransfer(pipe, event ? TransferNotify : nullptr, event,
                                                    flags, length, buffer, 0);
}

// Class or vendor request on the default pipe; asynchronous with an event.
inline USB_TRANSFER UsbIssueVendor(const SerialPort* port, HANDLE event, DWORD flags,
                                   const USB_DEVICE_REQUEST* request, void* data) {
    return port->usbFuncs->lpIssueVendorTransfer(port->usbDevice, event ? TransferNotify : nullptr,
                                                 event, flags, request, data, 0);
}

inline USB_TRANSFER UsbGetDescriptor(const SerialPort* port, DWORD flags, UCHAR type, UCHAR index,
                                     WORD language, WORD length, void* buffer) {
    return port->usbFuncs->lpGetDescriptor(port->usbDevice, nullptr, nullptr, flags, type, index,
                                           language, length, buffer);
}

inline BOOL UsbIsComplete(const SerialPort* port, USB_TRANSFER transfer) {
    return port->usbFuncs->lpIsTransferComplete(transfer);
}

// Either out-pointer may be null.
inline BOOL UsbGetStatus(const SerialPort* port, USB_TRANSFER transfer, DWORD* bytes,
                         DWORD* error) {
    return port->usbFuncs->lpGetTransferStatus(transfer, bytes, error);
}

inline BOOL UsbAbort(const SerialPort* port, USB_TRANSFER transfer) {
    return port->usbFuncs->lpAbortTransfer(transfer, 0);
}

inline BOOL UsbCloseTransfer(const SerialPort* port, USB_TRANSFER transfer) {
    return port->usbFuncs->lpCloseTransfer(transfer);
}

// Gives up a transfer whose status cannot be read. It may still be moving
// data into a buffer the caller is about to reuse, so it is aborted first;
// it is closed all the same, or the host would hold it until the device
// goes.
inline void UsbDropTransfer(const SerialPort* port, USB_TRANSFER transfer) {
    UsbAbort(port, transfer);
    UsbCloseTransfer(port, transfer);
}
