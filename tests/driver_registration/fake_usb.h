// A scripted USB device behind a fake USB_FUNCS table, for calling the
// attach entry point directly. The USB_HANDLE handed to the driver is the
// FakeUsbDevice itself. Only what attach and first-attach configuration use
// does anything: device info, notification registration and synchronous
// string-descriptor reads (scriptable, every transfer tracked until closed).
// Pipes cannot be opened and bulk/interrupt/vendor transfers fail, so a
// started port's worker thread finds nothing to queue and ends.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ce/usb.h"

namespace regtest {

struct FakeEndpoint {
    BYTE address;
    BYTE attributes;  // 2 bulk, 3 interrupt
    WORD maxPacket = 64;
};

struct FakeInterface {
    BYTE cls;
    BYTE subClass = 0;
    std::vector<FakeEndpoint> endpoints;
    BYTE alternate = 0;
    int number = -1;        // -1: position in the list
    int numEndpoints = -1;  // -1: endpoints.size()
};

constexpr BYTE kBulk = USB_ENDPOINT_TYPE_BULK;
constexpr BYTE kInt = USB_ENDPOINT_TYPE_INTERRUPT;
constexpr BYTE kIso = USB_ENDPOINT_TYPE_ISOCHRONOUS;

// One GetDescriptor answer: the bytes the device delivers (cut to the
// requested length), or no transfer at all, or a transfer that reports a
// different byte count than it delivered.
struct DescriptorReply {
    bool noTransfer = false;
    std::vector<uint8_t> bytes;
    std::optional<DWORD> reportedCount;
};

class FakeUsbDevice {
  public:
    FakeUsbDevice(WORD vendor, WORD product, std::vector<FakeInterface> interfaces,
                  WORD release = 0x0100)
        : interfaces_(std::move(interfaces)) {
        device_.dwCount = sizeof(device_);
        device_.Descriptor.bLength = sizeof(USB_DEVICE_DESCRIPTOR);
        device_.Descriptor.bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
        device_.Descriptor.idVendor = vendor;
        device_.Descriptor.idProduct = product;
        device_.Descriptor.bcdDevice = release;
        Link();
    }
    FakeUsbDevice(const FakeUsbDevice&) = delete;
    FakeUsbDevice& operator=(const FakeUsbDevice&) = delete;

    USB_HANDLE Handle() { return reinterpret_cast<USB_HANDLE>(this); }
    USB_DEVICE* Device() { return &device_; }
    // The endpoint record `index` of interface `interface` (list order).
    const USB_ENDPOINT* Endpoint(size_t interface, size_t index) const {
        return &records_[interface][index];
    }
    void SetStrings(BYTE iManufacturer, BYTE iProduct) {
        device_.Descriptor.iManufacturer = iManufacturer;
        device_.Descriptor.iProduct = iProduct;
    }
    // String descriptor `index` holding `text` (ASCII) as UTF-16LE.
    void SetString(BYTE index, const std::string& text) {
        std::vector<uint8_t> d{static_cast<uint8_t>(2 + 2 * text.size()),
                               USB_STRING_DESCRIPTOR_TYPE};
        for (char c : text) {
            d.push_back(static_cast<uint8_t>(c));
            d.push_back(0);
        }
        strings_[index] = d;
    }
    void SetRawString(BYTE index, std::vector<uint8_t> bytes) { strings_[index] = bytes; }
    // Replies used, in order, for the next GetDescriptor calls (before the
    // stored strings are consulted).
    void ScriptReplies(std::vector<DescriptorReply> replies) {
        script_.assign(replies.begin(), replies.end());
    }

    // What the driver did.
    struct DescriptorCall {
        UCHAR type, index;
        WORD language, length;
    };
    std::vector<DescriptorCall> descriptorCalls;
    int registerCalls = 0;
    LPDEVICE_NOTIFY_ROUTINE notifyRoutine = nullptr;
    LPVOID notifyContext = nullptr;
    int openTransfers = 0;
    int doubleCloses = 0;

    static LPCUSB_FUNCS Funcs();

  private:
    struct Transfer {
        FakeUsbDevice* owner;
        DWORD count;
        bool closed;
    };
    void Link();
    static FakeUsbDevice* From(USB_HANDLE h) { return reinterpret_cast<FakeUsbDevice*>(h); }
    static LPCUSB_DEVICE WINAPI GetDeviceInfo(USB_HANDLE h) { return &From(h)->device_; }
    static BOOL WINAPI Register(USB_HANDLE h, LPDEVICE_NOTIFY_ROUTINE routine, LPVOID context);
    static USB_TRANSFER WINAPI GetDescriptor(USB_HANDLE h, LPTRANSFER_NOTIFY_ROUTINE, LPVOID, DWORD,
                                             UCHAR type, UCHAR index, WORD language, WORD length,
                                             LPVOID buffer);
    static BOOL WINAPI GetTransferStatus(USB_TRANSFER t, LPDWORD count, LPDWORD error);
    static BOOL WINAPI CloseTransfer(USB_TRANSFER t);

    std::vector<FakeInterface> interfaces_;
    std::vector<std::vector<USB_ENDPOINT>> records_;
    std::vector<USB_INTERFACE> ifaceRecords_;
    USB_CONFIGURATION config_{};
    USB_DEVICE device_{};
    std::map<BYTE, std::vector<uint8_t>> strings_;
    std::deque<DescriptorReply> script_;
    std::deque<Transfer> transfers_;  // stable addresses: the transfer handles
};

}  // namespace regtest
