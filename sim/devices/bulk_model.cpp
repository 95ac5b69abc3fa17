// The bulk-only serial adapter model.
#include "sim/bulk_model.h"

namespace sim {

using cehost::Bytes;
using cehost::UsbHandshake;
namespace desc = cehost::usbdesc;

BulkAdapterModel::BulkAdapterModel(BulkModelConfig config, std::shared_ptr<SerialLine> line)
    : config_(std::move(config)), line_(std::move(line)), rx_(config_.rxFifo) {
    if (line_)
        line_->Attach(this);
}

BulkAdapterModel::~BulkAdapterModel() {
    if (line_)
        line_->Attach(nullptr);
}

Bytes BulkAdapterModel::DeviceDescriptor() {
    return desc::Device(config_.bcdUsb, 0, 0, 0, 64, config_.vendor, config_.product,
                        config_.release, 1, 2, 3);
}

Bytes BulkAdapterModel::ConfigurationDescriptor(uint8_t index) {
    if (index != 0)
        return {};
    Bytes body;
    desc::AppendInterface(body, 0, 0, 2, 0xFF, 0xFF, 0xFF);
    desc::AppendEndpoint(body, config_.inEndpoint, USB_ENDPOINT_TYPE_BULK, config_.inPacket, 0);
    desc::AppendEndpoint(body, config_.outEndpoint, USB_ENDPOINT_TYPE_BULK, config_.outPacket, 0);
    return desc::Configuration(1, 1, body);
}

Bytes BulkAdapterModel::StringDescriptor(uint8_t index, uint16_t language) {
    return desc::EnglishStrings(index, language,
                                {config_.manufacturer, config_.productName, config_.serial});
}

UsbHandshake BulkAdapterModel::Out(uint8_t endpoint, const uint8_t* data, size_t length) {
    if (endpoint != config_.outEndpoint)
        return UsbHandshake::kStall;
    // A full transmit FIFO (paced line) refuses the packet until it drains.
    if (length && line_ && line_->TransmitRoom() < length)
        return UsbHandshake::kNak;
    {
        std::lock_guard<std::mutex> g(rxMu_);
        sent_ += length;
        if (length == 0)
            zlpOut_++;
    }
    if (length && line_)
        line_->Transmit(data, length);
    return UsbHandshake::kAck;
}

UsbHandshake BulkAdapterModel::In(uint8_t endpoint, size_t maxPacket, Bytes& packet) {
    if (endpoint != config_.inEndpoint)
        return UsbHandshake::kStall;
    std::lock_guard<std::mutex> g(rxMu_);
    if (rx_.Empty())
        return UsbHandshake::kNak;
    packet.clear();
    received_ += rx_.Pop(maxPacket, packet);
    return UsbHandshake::kAck;
}

void BulkAdapterModel::LineReceive(const uint8_t* data, size_t length) {
    {
        std::lock_guard<std::mutex> g(rxMu_);
        rx_.Push(data, length);
    }
    Wake();
}

// The chip has no modem-status reporting and no error reporting: input
// changes, errors and breaks are invisible to the host.
void BulkAdapterModel::LineInputs(const ModemInputs&) {}
void BulkAdapterModel::LineError(uint32_t) {}
void BulkAdapterModel::LineBreak(bool) {}
void BulkAdapterModel::LineTransmitReady() {
    Wake();
}

uint64_t BulkAdapterModel::BytesSent() const {
    std::lock_guard<std::mutex> g(rxMu_);
    return sent_;
}
uint64_t BulkAdapterModel::BytesReceived() const {
    std::lock_guard<std::mutex> g(rxMu_);
    return received_;
}
uint64_t BulkAdapterModel::BytesDropped() const {
    std::lock_guard<std::mutex> g(rxMu_);
    return rx_.Dropped();
}
uint64_t BulkAdapterModel::ZeroLengthPacketsOut() const {
    std::lock_guard<std::mutex> g(rxMu_);
    return zlpOut_;
}
size_t BulkAdapterModel::Pending() const {
    std::lock_guard<std::mutex> g(rxMu_);
    return rx_.Size();
}

}  // namespace sim
