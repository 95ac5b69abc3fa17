#include "fake_usb.h"

#include <algorithm>
#include <cstring>

namespace regtest {

namespace {

USB_PIPE WINAPI NoPipe(USB_HANDLE, LPCUSB_ENDPOINT_DESCRIPTOR) {
    return nullptr;
}
BOOL WINAPI NoClosePipe(USB_PIPE) {
    return FALSE;
}
BOOL WINAPI NoIsHalted(USB_PIPE, LPBOOL) {
    return FALSE;
}
BOOL WINAPI NoResetPipe(USB_PIPE) {
    return FALSE;
}
USB_TRANSFER WINAPI NoVendor(USB_HANDLE, LPTRANSFER_NOTIFY_ROUTINE, LPVOID, DWORD,
                             LPCUSB_DEVICE_REQUEST, LPVOID, ULONG) {
    return nullptr;
}
USB_TRANSFER WINAPI NoClearFeature(USB_HANDLE, LPTRANSFER_NOTIFY_ROUTINE, LPVOID, DWORD, WORD,
                                   UCHAR) {
    return nullptr;
}
USB_TRANSFER WINAPI NoBulk(USB_PIPE, LPTRANSFER_NOTIFY_ROUTINE, LPVOID, DWORD, DWORD, LPVOID,
                           ULONG) {
    return nullptr;
}
BOOL WINAPI NoIsComplete(USB_TRANSFER) {
    return FALSE;
}
BOOL WINAPI NoAbort(USB_TRANSFER, DWORD) {
    return FALSE;
}

}  // namespace

void FakeUsbDevice::Link() {
    records_.clear();
    ifaceRecords_.clear();
    for (const FakeInterface& f : interfaces_) {
        std::vector<USB_ENDPOINT> eps;
        for (const FakeEndpoint& e : f.endpoints) {
            USB_ENDPOINT r{};
            r.dwCount = sizeof(r);
            r.Descriptor.bLength = sizeof(USB_ENDPOINT_DESCRIPTOR);
            r.Descriptor.bDescriptorType = USB_ENDPOINT_DESCRIPTOR_TYPE;
            r.Descriptor.bEndpointAddress = e.address;
            r.Descriptor.bmAttributes = e.attributes;
            r.Descriptor.wMaxPacketSize = e.maxPacket;
            eps.push_back(r);
        }
        records_.push_back(std::move(eps));
    }
    for (size_t i = 0; i < interfaces_.size(); ++i) {
        const FakeInterface& f = interfaces_[i];
        USB_INTERFACE r{};
        r.dwCount = sizeof(r);
        r.Descriptor.bLength = sizeof(USB_INTERFACE_DESCRIPTOR);
        r.Descriptor.bDescriptorType = USB_INTERFACE_DESCRIPTOR_TYPE;
        r.Descriptor.bInterfaceNumber = static_cast<UCHAR>(f.number >= 0 ? f.number : i);
        r.Descriptor.bAlternateSetting = f.alternate;
        r.Descriptor.bNumEndpoints =
            static_cast<UCHAR>(f.numEndpoints >= 0 ? f.numEndpoints : f.endpoints.size());
        r.Descriptor.bInterfaceClass = f.cls;
        r.Descriptor.bInterfaceSubClass = f.subClass;
        r.lpEndpoints = records_[i].empty() ? nullptr : records_[i].data();
        ifaceRecords_.push_back(r);
    }
    config_.dwCount = sizeof(config_);
    config_.Descriptor.bLength = sizeof(USB_CONFIGURATION_DESCRIPTOR);
    config_.Descriptor.bDescriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
    config_.Descriptor.bNumInterfaces = static_cast<UCHAR>(interfaces_.size());
    config_.dwNumInterfaces = static_cast<DWORD>(ifaceRecords_.size());
    config_.lpInterfaces = ifaceRecords_.empty() ? nullptr : ifaceRecords_.data();
    device_.lpConfigs = &config_;
    device_.lpActiveConfig = &config_;
}

BOOL WINAPI FakeUsbDevice::Register(USB_HANDLE h, LPDEVICE_NOTIFY_ROUTINE routine, LPVOID context) {
    FakeUsbDevice* d = From(h);
    ++d->registerCalls;
    d->notifyRoutine = routine;
    d->notifyContext = context;
    return TRUE;
}

USB_TRANSFER WINAPI FakeUsbDevice::GetDescriptor(USB_HANDLE h, LPTRANSFER_NOTIFY_ROUTINE, LPVOID,
                                                 DWORD, UCHAR type, UCHAR index, WORD language,
                                                 WORD length, LPVOID buffer) {
    FakeUsbDevice* d = From(h);
    d->descriptorCalls.push_back({type, index, language, length});
    DescriptorReply reply;
    if (!d->script_.empty()) {
        reply = d->script_.front();
        d->script_.pop_front();
    } else {
        auto it = d->strings_.find(index);
        if (type != USB_STRING_DESCRIPTOR_TYPE || it == d->strings_.end()) {
            reply.noTransfer = true;  // the device stalls the request
        } else {
            reply.bytes = it->second;
        }
    }
    if (reply.noTransfer) {
        return nullptr;
    }
    DWORD moved = static_cast<DWORD>(std::min<size_t>(length, reply.bytes.size()));
    std::memcpy(buffer, reply.bytes.data(), moved);
    d->transfers_.push_back(Transfer{d, reply.reportedCount.value_or(moved), false});
    ++d->openTransfers;
    return reinterpret_cast<USB_TRANSFER>(&d->transfers_.back());
}

BOOL WINAPI FakeUsbDevice::GetTransferStatus(USB_TRANSFER t, LPDWORD count, LPDWORD error) {
    Transfer* transfer = reinterpret_cast<Transfer*>(t);
    if (count != nullptr)
        *count = transfer->count;
    if (error != nullptr)
        *error = USB_NO_ERROR;
    return TRUE;
}

BOOL WINAPI FakeUsbDevice::CloseTransfer(USB_TRANSFER t) {
    Transfer* transfer = reinterpret_cast<Transfer*>(t);
    if (transfer->closed) {
        ++transfer->owner->doubleCloses;
        return FALSE;
    }
    transfer->closed = true;
    --transfer->owner->openTransfers;
    return TRUE;
}

LPCUSB_FUNCS FakeUsbDevice::Funcs() {
    static const USB_FUNCS funcs = {
        sizeof(USB_FUNCS), GetDeviceInfo,     Register, GetDescriptor,
        NoVendor,          NoClearFeature,    NoPipe,   NoClosePipe,
        NoIsHalted,        NoResetPipe,       NoBulk,   NoBulk,
        NoIsComplete,      GetTransferStatus, NoAbort,  CloseTransfer,
    };
    return &funcs;
}

}  // namespace regtest
