// Devices of the communications class, abstract control model.
#include "sim/cdc_model.h"

#include <algorithm>

namespace sim {

using cehost::Bytes;
using cehost::UsbHandshake;
namespace desc = cehost::usbdesc;

namespace {

constexpr uint8_t kClassInterfaceOut = 0x21;
constexpr uint8_t kClassInterfaceIn = 0xA1;
constexpr uint16_t kFeatureAbstractState = 0x0001;
constexpr uint16_t kBreakUntilEnded = 0xFFFF;
constexpr size_t kLineCodingLength = 7;
// Notifications the device holds for a host that does not poll; beyond
// that the newest state replaces the last one queued.
constexpr size_t kMaxQueuedNotifications = 32;

constexpr uint8_t kCsInterface = 0x24;
constexpr uint8_t kClassComm = 0x02;
constexpr uint8_t kSubclassAcm = 0x02;
constexpr uint8_t kProtocolAtCommands = 0x01;
constexpr uint8_t kClassData = 0x0A;
constexpr uint8_t kClassVendor = 0xFF;
constexpr uint8_t kClassMassStorage = 0x08;
constexpr uint8_t kClassHid = 0x03;
// Device class of a composite device whose functions are grouped by
// interface association descriptors.
constexpr uint8_t kClassMiscellaneous = 0xEF;
constexpr uint8_t kInterfaceAssociation = 0x0B;

// Endpoints of the functions of kComposite that the model does not serve.
constexpr uint8_t kStorageIn = 0x81;
constexpr uint8_t kStorageOut = 0x01;
constexpr uint8_t kHidIn = 0x82;

// Header, call management, abstract control management (line coding,
// control lines and break supported) and union functional descriptors.
void AppendFunctional(Bytes& body, uint8_t master, std::initializer_list<uint8_t> slaves) {
    const uint8_t dataInterface = *slaves.begin();
    const uint8_t header[] = {5, kCsInterface, 0x00, 0x10, 0x01};
    const uint8_t callManagement[] = {5, kCsInterface, 0x01, 0x00, dataInterface};
    const uint8_t acm[] = {4, kCsInterface, 0x02, 0x06};
    body.insert(body.end(), std::begin(header), std::end(header));
    body.insert(body.end(), std::begin(callManagement), std::end(callManagement));
    body.insert(body.end(), std::begin(acm), std::end(acm));
    body.push_back(static_cast<uint8_t>(4 + slaves.size()));
    body.push_back(kCsInterface);
    body.push_back(0x06);
    body.push_back(master);  // the communication interface
    body.insert(body.end(), slaves.begin(), slaves.end());
}

bool ValidCoding(const LineConfig& c) {
    const bool bits = c.dataBits == 5 || c.dataBits == 6 || c.dataBits == 7 || c.dataBits == 8 ||
                      c.dataBits == 16;
    return c.baud != 0 && c.stopBits <= 2 && c.parity <= 4 && bits;
}

}  // namespace

namespace cdc {
std::vector<uint8_t> SerialState(uint16_t interface, uint16_t bitmap) {
    return {kClassInterfaceIn,
            kSerialStateNotification,
            0,
            0,
            static_cast<uint8_t>(interface),
            static_cast<uint8_t>(interface >> 8),
            2,
            0,
            static_cast<uint8_t>(bitmap),
            static_cast<uint8_t>(bitmap >> 8)};
}
}  // namespace cdc

CdcModelConfig CdcAcmConfig() {
    return CdcModelConfig{};
}

CdcModelConfig CdcCtsChipConfig() {
    CdcModelConfig c;
    c.layout = CdcLayout::kSingleInterface;
    c.product = 0x5E11;
    c.bcdUsb = 0x0110;
    c.notifyEndpoint = 0x81;
    c.notifyPacket = 10;
    c.dataIn = 0x83;
    c.dataOut = 0x02;
    c.ctsInState = true;
    c.productName = "Serial chip with CTS status";
    c.serial = "CTS00001";
    return c;
}

CdcModelConfig CdcNoCodingConfig() {
    CdcModelConfig c;
    c.vendor = 0x0482;
    c.product = 0x0203;
    c.acceptsLineCoding = false;
    c.productName = "Handset modem";
    c.serial = "NLC00001";
    return c;
}

CdcModelConfig CdcTwoChannelConfig() {
    CdcModelConfig c;
    c.layout = CdcLayout::kTwoChannel;
    c.product = 0x5E12;
    c.dataIn = 0x82;
    c.dataOut = 0x02;
    c.dataIn2 = 0x83;
    c.dataOut2 = 0x03;
    c.productName = "Two-channel modem";
    c.serial = "WMC00001";
    return c;
}

CdcModelConfig CdcCompositeConfig() {
    CdcModelConfig c;
    c.layout = CdcLayout::kComposite;
    c.product = 0x5E13;
    c.controlInterface = 2;
    c.notifyEndpoint = 0x83;
    c.dataIn = 0x84;
    c.dataOut = 0x04;
    c.productName = "Storage, keypad and modem";
    c.serial = "CMP00001";
    return c;
}

CdcModel::CdcModel(CdcModelConfig config, std::shared_ptr<SerialLine> line,
                   std::shared_ptr<SerialLine> line2)
    : config_(std::move(config)) {
    channels_[0].in = config_.dataIn;
    channels_[0].out = config_.dataOut;
    channels_[0].line = std::move(line);
    channels_[1].in = config_.dataIn2;
    channels_[1].out = config_.dataOut2;
    if (config_.layout == CdcLayout::kTwoChannel)
        channels_[1].line = std::move(line2);
    for (size_t i = 0; i < 2; ++i) {
        channels_[i].model = this;
        channels_[i].index = i;
        channels_[i].rx = RxFifo(config_.rxFifo);
    }
    {
        std::lock_guard<std::mutex> g(mu_);
        ResetChannelsLocked();
    }
    for (size_t i = 0; i < ChannelCount(); ++i) {
        if (channels_[i].line) {
            channels_[i].line->Attach(&channels_[i]);
            DriveLine(i);
        }
    }
    // What the lines reported while being plugged in is the starting
    // state, not news.
    std::lock_guard<std::mutex> g(mu_);
    notifications_.clear();
    reported_ = LevelsLocked();
}

CdcModel::~CdcModel() {
    for (size_t i = 0; i < ChannelCount(); ++i) {
        if (channels_[i].line)
            channels_[i].line->Attach(nullptr);
    }
}

size_t CdcModel::ChannelCount() const {
    return config_.layout == CdcLayout::kTwoChannel ? 2 : 1;
}

CdcModel::Channel* CdcModel::ChannelOfIn(uint8_t endpoint) {
    for (size_t i = 0; i < ChannelCount(); ++i) {
        if (channels_[i].in == endpoint)
            return &channels_[i];
    }
    return nullptr;
}

CdcModel::Channel* CdcModel::ChannelOfOut(uint8_t endpoint) {
    for (size_t i = 0; i < ChannelCount(); ++i) {
        if (channels_[i].out == endpoint)
            return &channels_[i];
    }
    return nullptr;
}

const CdcModel::Channel& CdcModel::At(size_t channel) const {
    return channels_[channel < ChannelCount() ? channel : 0];
}

std::string CdcModel::Name() const {
    switch (config_.layout) {
        case CdcLayout::kSingleInterface:
            return "cdc-cts-chip";
        case CdcLayout::kTwoChannel:
            return "cdc-two-channel";
        case CdcLayout::kComposite:
            return "cdc-composite";
        default:
            return config_.acceptsLineCoding ? "cdc-acm" : "cdc-no-coding";
    }
}

// ---- descriptors ----

Bytes CdcModel::DeviceDescriptor() {
    uint8_t cls = kClassComm, subclass = 0, protocol = 0;
    if (config_.layout == CdcLayout::kSingleInterface) {
        cls = 0;
    } else if (config_.layout == CdcLayout::kComposite) {
        cls = kClassMiscellaneous;
        subclass = 0x02;  // common class
        protocol = 0x01;  // interface association descriptors
    }
    return desc::Device(config_.bcdUsb, cls, subclass, protocol, 64, config_.vendor,
                        config_.product, config_.release, 1, 2, 3);
}

Bytes CdcModel::ConfigurationDescriptor(uint8_t index) {
    if (index != 0)
        return {};
    Bytes body;
    const uint16_t bulk = config_.bulkPacket;
    const uint8_t control = config_.controlInterface;
    switch (config_.layout) {
        case CdcLayout::kSingleInterface:
            desc::AppendInterface(body, control, 0, 3, kClassVendor, 0, 0);
            desc::AppendEndpoint(body, config_.notifyEndpoint, USB_ENDPOINT_TYPE_INTERRUPT,
                                 config_.notifyPacket, config_.notifyInterval);
            desc::AppendEndpoint(body, config_.dataOut, USB_ENDPOINT_TYPE_BULK, bulk, 0);
            desc::AppendEndpoint(body, config_.dataIn, USB_ENDPOINT_TYPE_BULK, bulk, 0);
            return desc::Configuration(1, 1, body);
        case CdcLayout::kAcm:
        case CdcLayout::kTwoChannel:
        case CdcLayout::kComposite: {
            const bool two = config_.layout == CdcLayout::kTwoChannel;
            const bool composite = config_.layout == CdcLayout::kComposite;
            uint8_t interfaces = two ? 3 : 2;
            if (composite) {
                // Bulk-only mass storage (SCSI), then a boot keyboard.
                desc::AppendInterface(body, 0, 0, 2, kClassMassStorage, 0x06, 0x50);
                desc::AppendEndpoint(body, kStorageIn, USB_ENDPOINT_TYPE_BULK, bulk, 0);
                desc::AppendEndpoint(body, kStorageOut, USB_ENDPOINT_TYPE_BULK, bulk, 0);
                desc::AppendInterface(body, 1, 0, 1, kClassHid, 0x01, 0x01);
                desc::AppendEndpoint(body, kHidIn, USB_ENDPOINT_TYPE_INTERRUPT, 8, 10);
                // The interface association: the CDC function's two interfaces.
                body.insert(body.end(), {8, kInterfaceAssociation, control, 2, kClassComm,
                                         kSubclassAcm, kProtocolAtCommands, 0});
                interfaces += 2;
            }
            const uint8_t data = static_cast<uint8_t>(control + 1);
            desc::AppendInterface(body, control, 0, 1, kClassComm, kSubclassAcm,
                                  kProtocolAtCommands);
            if (two)
                AppendFunctional(body, control, {data, static_cast<uint8_t>(data + 1)});
            else
                AppendFunctional(body, control, {data});
            desc::AppendEndpoint(body, config_.notifyEndpoint, USB_ENDPOINT_TYPE_INTERRUPT,
                                 config_.notifyPacket, config_.notifyInterval);
            desc::AppendInterface(body, data, 0, 2, kClassData, 0, 0);
            desc::AppendEndpoint(body, config_.dataIn, USB_ENDPOINT_TYPE_BULK, bulk, 0);
            desc::AppendEndpoint(body, config_.dataOut, USB_ENDPOINT_TYPE_BULK, bulk, 0);
            if (two) {
                desc::AppendInterface(body, static_cast<uint8_t>(data + 1), 0, 2, kClassData, 0, 0);
                desc::AppendEndpoint(body, config_.dataIn2, USB_ENDPOINT_TYPE_BULK, bulk, 0);
                desc::AppendEndpoint(body, config_.dataOut2, USB_ENDPOINT_TYPE_BULK, bulk, 0);
            }
            return desc::Configuration(interfaces, 1, body);
        }
    }
    return {};
}

Bytes CdcModel::StringDescriptor(uint8_t index, uint16_t language) {
    return desc::EnglishStrings(index, language,
                                {config_.manufacturer, config_.productName, config_.serial});
}

// ---- power and configuration ----

void CdcModel::ResetChannelsLocked() {
    for (Channel& c : channels_) {
        c.coding = LineConfig{};
        c.dtr = c.rts = c.breakOn = false;
        c.rx.Clear();
    }
    notifications_.clear();
    notifyOffset_ = 0;
}

void CdcModel::DriveLine(size_t channel) {
    Channel& c = channels_[channel];
    LineConfig coding;
    bool dtr, rts, breakOn;
    {
        std::lock_guard<std::mutex> g(mu_);
        coding = c.coding;
        dtr = c.dtr;
        rts = c.rts;
        breakOn = c.breakOn;
    }
    if (!c.line)
        return;
    c.line->Configure(coding);
    c.line->SetOutputs(dtr, rts);
    c.line->SetBreak(breakOn);
}

void CdcModel::Configured(uint8_t) {
    std::lock_guard<std::mutex> g(mu_);
    notifications_.clear();
    notifyOffset_ = 0;
    reported_ = LevelsLocked();
}

void CdcModel::Unplugged() {
    // Without bus power the chip forgets what the host set, and its outputs
    // drop.
    {
        std::lock_guard<std::mutex> g(mu_);
        ResetChannelsLocked();
    }
    for (size_t i = 0; i < ChannelCount(); ++i)
        DriveLine(i);
}

// ---- class requests ----

UsbHandshake CdcModel::Control(const USB_DEVICE_REQUEST& setup, const Bytes& out, Bytes& in) {
    const bool classRequest =
        setup.bmRequestType == kClassInterfaceOut || setup.bmRequestType == kClassInterfaceIn;
    if (!classRequest || setup.wIndex != ControlInterface()) {
        return UsbHandshake::kStall;
    }
    UsbHandshake hs = ClassRequest(setup, out, in);
    CdcRequest seen;
    seen.requestType = setup.bmRequestType;
    seen.request = setup.bRequest;
    seen.value = setup.wValue;
    seen.index = setup.wIndex;
    seen.length = setup.wLength;
    if (setup.bmRequestType == kClassInterfaceOut)
        seen.data = out;
    seen.stalled = hs != UsbHandshake::kAck;
    std::lock_guard<std::mutex> g(mu_);
    requests_.push_back(std::move(seen));
    return hs;
}

UsbHandshake CdcModel::ClassRequest(const USB_DEVICE_REQUEST& setup, const Bytes& out, Bytes& in) {
    const bool toDevice = setup.bmRequestType == kClassInterfaceOut;
    Channel& c = channels_[0];
    switch (setup.bRequest) {
        case cdc::kSetCommFeature:
        case cdc::kClearCommFeature: {
            if (!toDevice || setup.wValue != kFeatureAbstractState || !config_.commFeature)
                return UsbHandshake::kStall;
            const bool set = setup.bRequest == cdc::kSetCommFeature;
            if (set && out.size() < 2)
                return UsbHandshake::kStall;
            std::lock_guard<std::mutex> g(mu_);
            abstractState_ = set ? (out[0] | (out[1] << 8)) : 0;
            return UsbHandshake::kAck;
        }
        case cdc::kGetCommFeature: {
            if (toDevice || setup.wValue != kFeatureAbstractState || !config_.commFeature)
                return UsbHandshake::kStall;
            std::lock_guard<std::mutex> g(mu_);
            const int value = abstractState_ < 0 ? 0 : abstractState_;
            in = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
            return UsbHandshake::kAck;
        }
        case cdc::kSetLineCoding: {
            if (!toDevice || !config_.acceptsLineCoding || setup.wLength != kLineCodingLength ||
                out.size() != kLineCodingLength) {
                return UsbHandshake::kStall;
            }
            LineConfig coding;
            coding.baud = static_cast<uint32_t>(out[0]) | (static_cast<uint32_t>(out[1]) << 8) |
                          (static_cast<uint32_t>(out[2]) << 16) |
                          (static_cast<uint32_t>(out[3]) << 24);
            coding.stopBits = out[4];
            coding.parity = out[5];
            coding.dataBits = out[6];
            if (!ValidCoding(coding))
                return UsbHandshake::kStall;
            {
                std::lock_guard<std::mutex> g(mu_);
                c.coding = coding;
                lastCoding_ = out;
            }
            if (c.line)
                c.line->Configure(coding);
            return UsbHandshake::kAck;
        }
        case cdc::kGetLineCoding: {
            if (toDevice)
                return UsbHandshake::kStall;
            std::lock_guard<std::mutex> g(mu_);
            const LineConfig& k = c.coding;
            in = {static_cast<uint8_t>(k.baud),
                  static_cast<uint8_t>(k.baud >> 8),
                  static_cast<uint8_t>(k.baud >> 16),
                  static_cast<uint8_t>(k.baud >> 24),
                  k.stopBits,
                  k.parity,
                  k.dataBits};
            return UsbHandshake::kAck;
        }
        case cdc::kSetControlLineState: {
            if (!toDevice)
                return UsbHandshake::kStall;
            bool dtr = (setup.wValue & 0x01) != 0, rts = (setup.wValue & 0x02) != 0;
            {
                std::lock_guard<std::mutex> g(mu_);
                c.dtr = dtr;
                c.rts = rts;
            }
            if (c.line)
                c.line->SetOutputs(dtr, rts);
            return UsbHandshake::kAck;
        }
        case cdc::kSendBreak: {
            if (!toDevice)
                return UsbHandshake::kStall;
            // 0xFFFF holds the break until 0 ends it; any other duration is
            // a break of that many milliseconds, over by the time the host
            // looks again.
            const bool on = setup.wValue == kBreakUntilEnded;
            const bool pulse = setup.wValue != 0 && !on;
            {
                std::lock_guard<std::mutex> g(mu_);
                c.breakOn = on;
            }
            if (c.line) {
                if (pulse)
                    c.line->SetBreak(true);
                c.line->SetBreak(on);
            }
            return UsbHandshake::kAck;
        }
        default:
            return UsbHandshake::kStall;
    }
}

// ---- data and status endpoints ----

bool CdcModel::OtherFunction(uint8_t endpoint) const {
    return config_.layout == CdcLayout::kComposite &&
           (endpoint == kStorageIn || endpoint == kStorageOut || endpoint == kHidIn);
}

UsbHandshake CdcModel::Out(uint8_t endpoint, const uint8_t* data, size_t length) {
    if (OtherFunction(endpoint))
        return UsbHandshake::kNak;
    Channel* c = ChannelOfOut(endpoint);
    if (c == nullptr)
        return UsbHandshake::kStall;
    // A full transmit FIFO (paced line) refuses the packet until it drains.
    if (length && c->line && c->line->TransmitRoom() < length)
        return UsbHandshake::kNak;
    {
        std::lock_guard<std::mutex> g(mu_);
        c->sent += length;
    }
    if (length && c->line)
        c->line->Transmit(data, length);
    return UsbHandshake::kAck;
}

UsbHandshake CdcModel::In(uint8_t endpoint, size_t maxPacket, Bytes& packet) {
    std::lock_guard<std::mutex> g(mu_);
    if (endpoint == config_.notifyEndpoint) {
        if (notifications_.empty())
            return UsbHandshake::kNak;
        Notification& head = notifications_.front();
        const size_t n = std::min(maxPacket, head.bytes.size() - notifyOffset_);
        packet.assign(head.bytes.begin() + static_cast<long>(notifyOffset_),
                      head.bytes.begin() + static_cast<long>(notifyOffset_ + n));
        notifyOffset_ += n;
        if (notifyOffset_ >= head.bytes.size()) {
            if (head.serialState)
                statesSent_.push_back(static_cast<uint16_t>(head.bytes[8] | (head.bytes[9] << 8)));
            notifications_.pop_front();
            notifyOffset_ = 0;
        }
        return UsbHandshake::kAck;
    }
    if (OtherFunction(endpoint))
        return UsbHandshake::kNak;
    Channel* c = ChannelOfIn(endpoint);
    if (c == nullptr)
        return UsbHandshake::kStall;
    if (c->rx.Empty())
        return UsbHandshake::kNak;
    packet.clear();
    c->received += c->rx.Pop(maxPacket, packet);
    return UsbHandshake::kAck;
}

// ---- serial state ----

uint16_t CdcModel::LevelsLocked() const {
    const Channel& c = channels_[0];
    uint16_t bits = 0;
    if (c.inputs.dcd)
        bits |= cdc::kStateDcd;
    if (c.inputs.dsr)
        bits |= cdc::kStateDsr;
    if (c.breakIn)
        bits |= cdc::kStateBreak;
    if (c.inputs.ri)
        bits |= cdc::kStateRing;
    if (config_.ctsInState && c.inputs.cts)
        bits |= cdc::kStateCts;
    return bits;
}

void CdcModel::NotifyLocked(uint16_t errors) {
    const uint16_t levels = LevelsLocked();
    if (levels == reported_ && errors == 0)
        return;
    reported_ = levels;
    Notification n;
    n.bytes = cdc::SerialState(ControlInterface(), static_cast<uint16_t>(levels | errors));
    n.serialState = true;
    QueueLocked(std::move(n));
}

void CdcModel::QueueLocked(Notification notification) {
    // A host that does not poll sees the newest state, with every error
    // seen meanwhile, in place of the last queued one (never the head, which
    // may be half sent).
    if (notifications_.size() >= kMaxQueuedNotifications && notification.serialState &&
        notifications_.back().serialState) {
        Notification& last = notifications_.back();
        notification.bytes[8] |=
            last.bytes[8] & (cdc::kStateFraming | cdc::kStateParity | cdc::kStateOverrun);
        last = std::move(notification);
        return;
    }
    notifications_.push_back(std::move(notification));
}

void CdcModel::ReportState() {
    {
        std::lock_guard<std::mutex> g(mu_);
        reported_ = LevelsLocked();
        Notification n;
        n.bytes = cdc::SerialState(ControlInterface(), reported_);
        n.serialState = true;
        QueueLocked(std::move(n));
    }
    Wake();
}

void CdcModel::QueueRawNotification(std::vector<uint8_t> bytes) {
    {
        std::lock_guard<std::mutex> g(mu_);
        Notification n;
        n.bytes = std::move(bytes);
        notifications_.push_back(std::move(n));
    }
    Wake();
}

// ---- line side ----

void CdcModel::Channel::LineReceive(const uint8_t* data, size_t length) {
    {
        std::lock_guard<std::mutex> g(model->mu_);
        // Characters lost to a full FIFO are an overrun, reported in the
        // next SERIAL_STATE like any line error.
        if (rx.Push(data, length) < length && index == 0)
            model->NotifyLocked(cdc::kStateOverrun);
    }
    model->Wake();
}

void CdcModel::Channel::LineTransmitReady() {
    model->Wake();
}

void CdcModel::Channel::LineInputs(const ModemInputs& now) {
    {
        std::lock_guard<std::mutex> g(model->mu_);
        inputs = now;
        if (index == 0)
            model->NotifyLocked(0);
    }
    model->Wake();
}

void CdcModel::Channel::LineError(uint32_t errors) {
    uint16_t bits = 0;
    if (errors & kLineFraming)
        bits |= cdc::kStateFraming;
    if (errors & kLineParity)
        bits |= cdc::kStateParity;
    if (errors & kLineOverrun)
        bits |= cdc::kStateOverrun;
    {
        std::lock_guard<std::mutex> g(model->mu_);
        if (index == 0 && bits != 0)
            model->NotifyLocked(bits);
    }
    model->Wake();
}

void CdcModel::Channel::LineBreak(bool on) {
    {
        std::lock_guard<std::mutex> g(model->mu_);
        breakIn = on;
        if (index == 0)
            model->NotifyLocked(0);
    }
    model->Wake();
}

// ---- accessors ----

LineConfig CdcModel::Coding(size_t channel) const {
    std::lock_guard<std::mutex> g(mu_);
    return At(channel).coding;
}

std::vector<uint8_t> CdcModel::LastLineCoding() const {
    std::lock_guard<std::mutex> g(mu_);
    return lastCoding_;
}

bool CdcModel::Dtr(size_t channel) const {
    std::lock_guard<std::mutex> g(mu_);
    return At(channel).dtr;
}

bool CdcModel::Rts(size_t channel) const {
    std::lock_guard<std::mutex> g(mu_);
    return At(channel).rts;
}

bool CdcModel::Break(size_t channel) const {
    std::lock_guard<std::mutex> g(mu_);
    return At(channel).breakOn;
}

int CdcModel::AbstractState() const {
    std::lock_guard<std::mutex> g(mu_);
    return abstractState_;
}

std::vector<CdcRequest> CdcModel::Requests() const {
    std::lock_guard<std::mutex> g(mu_);
    return requests_;
}

size_t CdcModel::RequestCount(uint8_t request) const {
    std::lock_guard<std::mutex> g(mu_);
    return static_cast<size_t>(
        std::count_if(requests_.begin(), requests_.end(),
                      [&](const CdcRequest& r) { return r.request == request; }));
}

void CdcModel::ClearRequests() {
    std::lock_guard<std::mutex> g(mu_);
    requests_.clear();
}

std::vector<uint16_t> CdcModel::StatesSent() const {
    std::lock_guard<std::mutex> g(mu_);
    return statesSent_;
}

size_t CdcModel::NotificationsPending() const {
    std::lock_guard<std::mutex> g(mu_);
    return notifications_.size();
}

uint64_t CdcModel::BytesSent(size_t channel) const {
    std::lock_guard<std::mutex> g(mu_);
    return At(channel).sent;
}

uint64_t CdcModel::BytesDropped(size_t channel) const {
    std::lock_guard<std::mutex> g(mu_);
    return At(channel).rx.Dropped();
}

uint64_t CdcModel::BytesReceived(size_t channel) const {
    std::lock_guard<std::mutex> g(mu_);
    return At(channel).received;
}

size_t CdcModel::Pending(size_t channel) const {
    std::lock_guard<std::mutex> g(mu_);
    return At(channel).rx.Size();
}

}  // namespace sim
