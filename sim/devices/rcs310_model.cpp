// The type-4 device model.
#include "sim/rcs310_model.h"

namespace sim {

using cehost::Bytes;
using cehost::UsbHandshake;
namespace desc = cehost::usbdesc;

namespace {
constexpr uint8_t kWriteRequestType = 0x41;  // host-to-device, vendor, interface
constexpr uint8_t kWriteRequest = 0x00;
}  // namespace

Rcs310Model::Rcs310Model(Rcs310ModelConfig config, std::shared_ptr<SerialLine> line)
    : config_(std::move(config)), line_(std::move(line)), rx_(config_.rxFifo) {
    if (line_)
        line_->Attach(this);
}

Rcs310Model::~Rcs310Model() {
    if (line_)
        line_->Attach(nullptr);
}

Bytes Rcs310Model::DeviceDescriptor() {
    return desc::Device(0x0110, 0, 0, 0, 64, config_.vendor, config_.product, config_.release, 1, 2,
                        0);
}

Bytes Rcs310Model::ConfigurationDescriptor(uint8_t index) {
    if (index != 0)
        return {};
    Bytes body;
    desc::AppendInterface(body, 0, 0, config_.bulkOut ? 2 : 1, 0xFF, 0xFF, 0xFF);
    desc::AppendEndpoint(body, config_.inEndpoint, USB_ENDPOINT_TYPE_BULK, config_.inPacket, 0);
    if (config_.bulkOut)
        desc::AppendEndpoint(body, config_.outEndpoint, USB_ENDPOINT_TYPE_BULK, 64, 0);
    return desc::Configuration(1, 1, body);
}

Bytes Rcs310Model::StringDescriptor(uint8_t index, uint16_t language) {
    return desc::EnglishStrings(index, language, {config_.manufacturer, config_.productName});
}

UsbHandshake Rcs310Model::Control(const USB_DEVICE_REQUEST& setup, const Bytes& out, Bytes&) {
    Rcs310Request seen{setup.bmRequestType, setup.bRequest, setup.wValue,
                       setup.wIndex,        setup.wLength,  false};
    seen.accepted = setup.bmRequestType == kWriteRequestType && setup.bRequest == kWriteRequest &&
                    setup.wLength <= config_.maxRequest && out.size() == setup.wLength;
    {
        std::lock_guard<std::mutex> g(mu_);
        requests_.push_back(seen);
        if (seen.accepted)
            sent_ += out.size();
    }
    if (!seen.accepted)
        return UsbHandshake::kStall;
    if (!out.empty() && line_)
        line_->Transmit(out.data(), out.size());
    return UsbHandshake::kAck;
}

UsbHandshake Rcs310Model::Out(uint8_t endpoint, const uint8_t*, size_t length) {
    if (!config_.bulkOut || endpoint != config_.outEndpoint)
        return UsbHandshake::kStall;
    std::lock_guard<std::mutex> g(mu_);
    ignored_ += length;
    return UsbHandshake::kAck;
}

UsbHandshake Rcs310Model::In(uint8_t endpoint, size_t maxPacket, Bytes& packet) {
    if (endpoint != config_.inEndpoint)
        return UsbHandshake::kStall;
    std::lock_guard<std::mutex> g(mu_);
    if (rx_.Empty())
        return UsbHandshake::kNak;
    packet.clear();
    received_ += rx_.Pop(maxPacket, packet);
    return UsbHandshake::kAck;
}

void Rcs310Model::LineReceive(const uint8_t* data, size_t length) {
    {
        std::lock_guard<std::mutex> g(mu_);
        rx_.Push(data, length);
    }
    Wake();
}

std::vector<Rcs310Request> Rcs310Model::Requests() const {
    std::lock_guard<std::mutex> g(mu_);
    return requests_;
}

uint64_t Rcs310Model::BytesSent() const {
    std::lock_guard<std::mutex> g(mu_);
    return sent_;
}

uint64_t Rcs310Model::BytesReceived() const {
    std::lock_guard<std::mutex> g(mu_);
    return received_;
}

uint64_t Rcs310Model::BulkOutBytesIgnored() const {
    std::lock_guard<std::mutex> g(mu_);
    return ignored_;
}

uint64_t Rcs310Model::BytesDropped() const {
    std::lock_guard<std::mutex> g(mu_);
    return rx_.Dropped();
}

size_t Rcs310Model::Pending() const {
    std::lock_guard<std::mutex> g(mu_);
    return rx_.Size();
}

}  // namespace sim
