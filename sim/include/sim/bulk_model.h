// A bulk-only serial adapter: one vendor-specific interface with one bulk-IN
// and one bulk-OUT endpoint and no control protocol at all. Bytes written to
// bulk-OUT go out on the line as they come; bytes received from the line
// wait in a receive FIFO and leave on bulk-IN in packets of at most the
// endpoint's size. The modem lines are not reported (the chip has none).
//
// Threads: the UsbDeviceModel methods run on the bus's scheduler thread; the
// LineDevice methods on whatever thread drives the line; the accessors on
// any thread. `rxMu_` guards the FIFO and the counters.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "cehost/usb_device_model.h"
#include "sim/rx_fifo.h"
#include "sim/serial_line.h"

namespace sim {

struct BulkModelConfig {
    uint16_t vendor = 0x1209;
    uint16_t product = 0x5E01;
    uint16_t release = 0x0100;
    uint16_t bcdUsb = 0x0110;
    uint16_t inPacket = 64;  // wMaxPacketSize of the bulk-IN endpoint
    uint16_t outPacket = 64;
    uint8_t inEndpoint = 0x81;
    uint8_t outEndpoint = 0x02;
    std::string manufacturer = "Serlynx Sim";
    std::string productName = "Bulk serial adapter";
    std::string serial = "BULK0001";
    size_t rxFifo = 4096;  // bytes the chip buffers before it drops
};

class BulkAdapterModel : public cehost::UsbDeviceModel, public LineDevice {
  public:
    BulkAdapterModel(BulkModelConfig config, std::shared_ptr<SerialLine> line);
    ~BulkAdapterModel() override;

    // ---- UsbDeviceModel (scheduler thread) ----
    cehost::Bytes DeviceDescriptor() override;
    cehost::Bytes ConfigurationDescriptor(uint8_t index) override;
    cehost::Bytes StringDescriptor(uint8_t index, uint16_t language) override;
    cehost::UsbHandshake Out(uint8_t endpoint, const uint8_t* data, size_t length) override;
    cehost::UsbHandshake In(uint8_t endpoint, size_t maxPacket, cehost::Bytes& packet) override;
    std::string Name() const override { return "bulk"; }

    // ---- LineDevice ----
    void LineReceive(const uint8_t* data, size_t length) override;
    void LineInputs(const ModemInputs& inputs) override;
    void LineError(uint32_t errors) override;
    void LineBreak(bool on) override;
    void LineTransmitReady() override;

    // ---- state, for tests ----
    const BulkModelConfig& Config() const { return config_; }
    uint64_t BytesSent() const;      // taken from bulk-OUT onto the line
    uint64_t BytesReceived() const;  // given to the host on bulk-IN
    uint64_t BytesDropped() const;   // lost to a full receive FIFO
    uint64_t ZeroLengthPacketsOut() const;
    size_t Pending() const;  // waiting in the receive FIFO

  private:
    const BulkModelConfig config_;
    const std::shared_ptr<SerialLine> line_;
    mutable std::mutex rxMu_;
    RxFifo rx_;                                      // rxMu_
    uint64_t sent_ = 0, received_ = 0, zlpOut_ = 0;  // rxMu_
};

}  // namespace sim
