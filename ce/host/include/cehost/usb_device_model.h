// The device side of the simulated USB bus: what a device model implements.
//
// A model answers the host as the device's hardware would. The bus asks it
// for its descriptors when the device is plugged, hands it control requests,
// offers it bulk-OUT packets and asks it for bulk-IN and interrupt-IN
// packets. The model never sees the host driver's handles or records; it sees
// endpoint addresses, setup packets and packet payloads only.
//
// Threads: every virtual below is called by the bus's scheduler thread, one
// call at a time per bus, with the bus's lock held. A model therefore must not
// call back into the bus except through Wake(), which is safe from any thread
// and any lock. A model's own test back doors (inject data, read state) run on
// test or line threads and must be guarded by the model's own lock; never hold
// that lock while calling into a serial line that may call back into the
// model.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ce/usb.h"

namespace cehost {

// The device's answer to one packet (bulk or interrupt) or control request.
enum class UsbHandshake {
    kAck,    // packet taken (OUT) or data given (IN, possibly zero-length)
    kNak,    // not now: the bus retries after the model's Wake() (or when
             // something else makes it pass over the endpoint)
    kStall,  // the endpoint is halted until CLEAR_FEATURE(ENDPOINT_HALT)
};

using Bytes = std::vector<uint8_t>;

class UsbDeviceModel {
  public:
    virtual ~UsbDeviceModel() = default;

    // The 18-byte device descriptor.
    virtual Bytes DeviceDescriptor() = 0;
    // Configuration `index` with all its interface, class-specific and
    // endpoint descriptors (wTotalLength bytes). Empty when there is none.
    virtual Bytes ConfigurationDescriptor(uint8_t index) = 0;
    // String descriptor `index` in `language` (index 0: the language list).
    // Empty when the device has no such string (the request stalls).
    virtual Bytes StringDescriptor(uint8_t /*index*/, uint16_t /*language*/) { return {}; }

    // Any control request other than GET_DESCRIPTOR, SET_ADDRESS,
    // SET_CONFIGURATION and CLEAR_FEATURE(ENDPOINT_HALT), which the bus
    // answers from the descriptors. For a device-to-host request fill `in`
    // (the bus cuts it to wLength); for host-to-device `out` holds the data
    // stage. kAck is a good status, kStall refuses the request; kNak is
    // treated as a stall.
    virtual UsbHandshake Control(const USB_DEVICE_REQUEST& /*setup*/, const Bytes& /*out*/,
                                 Bytes& /*in*/) {
        return UsbHandshake::kStall;
    }

    // One bulk-OUT or interrupt-OUT packet (maybe zero-length) for `endpoint`.
    virtual UsbHandshake Out(uint8_t /*endpoint*/, const uint8_t* /*data*/, size_t /*length*/) {
        return UsbHandshake::kStall;
    }
    // One bulk-IN or interrupt-IN packet for `endpoint`: on kAck `packet`
    // holds at most `maxPacket` bytes; fewer ends the host's transfer.
    virtual UsbHandshake In(uint8_t /*endpoint*/, size_t /*maxPacket*/, Bytes& /*packet*/) {
        return UsbHandshake::kNak;
    }

    // CLEAR_FEATURE(ENDPOINT_HALT) reached `endpoint`: drop its stall and
    // reset its data toggle.
    virtual void ClearHalt(uint8_t /*endpoint*/) {}
    // The device was configured (SET_CONFIGURATION) or unplugged.
    virtual void Configured(uint8_t /*value*/) {}
    virtual void Unplugged() {}

    // A short name for logs and tools ("bulk", "ftdi-ft232r"...).
    virtual std::string Name() const { return "device"; }

    // Tells the bus that the model has new IN data or room for OUT data.
    // Any thread, any lock. Without it a bus (timed or not) polls a NAKing
    // endpoint again only when something else happens.
    void Wake() {
        std::lock_guard<std::mutex> g(wakerMu_);
        if (waker_)
            (*waker_)();
    }

    // Called by the bus when the model is plugged (w set) and unplugged
    // (nullptr). Once it returns with nullptr no Wake() is still running the
    // old function, so the bus may destroy it (a model's own thread may be
    // inside Wake() at that moment).
    void SetWaker(std::function<void()>* w) {
        std::lock_guard<std::mutex> g(wakerMu_);
        waker_ = w;
    }

  private:
    // Leaf lock: held only to read or change waker_ and to run it.
    std::mutex wakerMu_;
    std::function<void()>* waker_ = nullptr;  // wakerMu_
};

// Helpers that build descriptors for models.
namespace usbdesc {
Bytes Device(uint16_t bcdUsb, uint8_t cls, uint8_t subClass, uint8_t protocol, uint8_t maxPacket0,
             uint16_t vendor, uint16_t product, uint16_t release, uint8_t iManufacturer,
             uint8_t iProduct, uint8_t iSerial);
// Appends the descriptors of one interface / endpoint to a configuration
// body; Configuration() then prepends the 9-byte header.
void AppendInterface(Bytes& body, uint8_t number, uint8_t alt, uint8_t numEndpoints, uint8_t cls,
                     uint8_t subClass, uint8_t protocol, uint8_t iInterface = 0);
void AppendEndpoint(Bytes& body, uint8_t address, uint8_t attributes, uint16_t maxPacket,
                    uint8_t interval);
Bytes Configuration(uint8_t numInterfaces, uint8_t value, const Bytes& body,
                    uint8_t attributes = 0x80, uint8_t maxPower = 50);
// A string descriptor holding `text` (ASCII) as UTF-16LE.
Bytes String(const std::string& text);
// String descriptor 0: the language list.
Bytes Languages(std::initializer_list<uint16_t> languages);
// The string table of a device that knows US English (0x0409) only: index 0
// is the language list, index i the i-th text. Another language, an index
// past the table or an empty text has no descriptor (an empty result).
Bytes EnglishStrings(uint8_t index, uint16_t language, std::initializer_list<std::string> texts);
}  // namespace usbdesc

}  // namespace cehost
