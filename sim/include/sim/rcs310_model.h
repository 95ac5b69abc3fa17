// The type-4 device (054C:006C): it sends what it receives on its serial
// side to the host on a bulk-IN endpoint, and takes data from the host as
// vendor requests on the default pipe (bmRequestType 0x41, bRequest 0x00,
// the bytes as the data stage), up to 261 bytes each. A bulk-OUT endpoint
// may be present (some units list one) but carries nothing the device uses.
//
// Threads: UsbDeviceModel methods run on the bus's scheduler thread; the
// LineDevice methods on whatever thread drives the line; the accessors on
// any thread. `mu_` guards all state; it is never held while calling into
// the line.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cehost/usb_device_model.h"
#include "sim/rx_fifo.h"
#include "sim/serial_line.h"

namespace sim {

struct Rcs310ModelConfig {
    uint16_t vendor = 0x054C;
    uint16_t product = 0x006C;
    uint16_t release = 0x0100;
    uint16_t inPacket = 64;
    uint8_t inEndpoint = 0x81;
    bool bulkOut = true;  // list a bulk-OUT endpoint (unused by the device)
    uint8_t outEndpoint = 0x02;
    // Largest data stage one write request may carry; longer ones stall.
    size_t maxRequest = 261;
    std::string manufacturer = "Serlynx Sim";
    std::string productName = "Type-4 reader";
    size_t rxFifo = 4096;  // bytes the device buffers before it drops
};

// One write request as the device received it.
struct Rcs310Request {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
    bool accepted = false;
    bool operator==(const Rcs310Request&) const = default;
};

class Rcs310Model : public cehost::UsbDeviceModel, public LineDevice {
  public:
    Rcs310Model(Rcs310ModelConfig config, std::shared_ptr<SerialLine> line);
    ~Rcs310Model() override;

    // ---- UsbDeviceModel (scheduler thread) ----
    cehost::Bytes DeviceDescriptor() override;
    cehost::Bytes ConfigurationDescriptor(uint8_t index) override;
    cehost::Bytes StringDescriptor(uint8_t index, uint16_t language) override;
    cehost::UsbHandshake Control(const USB_DEVICE_REQUEST& setup, const cehost::Bytes& out,
                                 cehost::Bytes& in) override;
    cehost::UsbHandshake Out(uint8_t endpoint, const uint8_t* data, size_t length) override;
    cehost::UsbHandshake In(uint8_t endpoint, size_t maxPacket, cehost::Bytes& packet) override;
    std::string Name() const override { return "rcs310"; }

    // ---- LineDevice ----
    void LineReceive(const uint8_t* data, size_t length) override;
    void LineInputs(const ModemInputs&) override {}
    void LineError(uint32_t) override {}
    void LineBreak(bool) override {}

    // ---- state, for tests ----
    const Rcs310ModelConfig& Config() const { return config_; }
    // Every vendor or class request, accepted or not, in order.
    std::vector<Rcs310Request> Requests() const;
    uint64_t BytesSent() const;            // data stages put onto the line
    uint64_t BytesReceived() const;        // given to the host on bulk-IN
    uint64_t BulkOutBytesIgnored() const;  // arrived on the unused bulk-OUT
    uint64_t BytesDropped() const;         // lost to a full receive FIFO
    size_t Pending() const;                // waiting in the receive FIFO

  private:
    const Rcs310ModelConfig config_;
    const std::shared_ptr<SerialLine> line_;
    mutable std::mutex mu_;
    std::vector<Rcs310Request> requests_;             // mu_
    RxFifo rx_;                                       // mu_
    uint64_t sent_ = 0, received_ = 0, ignored_ = 0;  // mu_
};

}  // namespace sim
