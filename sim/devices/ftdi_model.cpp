// FTDI serial converter chip models.
#include "sim/ftdi_model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace sim {

using cehost::Bytes;
using cehost::UsbHandshake;
namespace desc = cehost::usbdesc;

namespace {

// Vendor requests of the chips.
constexpr uint8_t kReset = 0x00;
constexpr uint8_t kModemControl = 0x01;
constexpr uint8_t kFlowControl = 0x02;
constexpr uint8_t kBaudRate = 0x03;
constexpr uint8_t kDataFormat = 0x04;
constexpr uint8_t kGetModemStatus = 0x05;
constexpr uint8_t kEventChar = 0x06;
constexpr uint8_t kErrorChar = 0x07;
constexpr uint8_t kSetLatency = 0x09;
constexpr uint8_t kGetLatency = 0x0A;

// Line-status byte: overrun, parity, framing, break; the transmitter
// holding register and shift register empty bits read 1 while idle.
constexpr uint8_t kLsOverrun = 0x02;
constexpr uint8_t kLsParity = 0x04;
constexpr uint8_t kLsFraming = 0x08;
constexpr uint8_t kLsBreak = 0x10;
constexpr uint8_t kLsIdle = 0x60;
// Modem-status byte: bit 0 always reads 1; CTS, DSR, RI, DCD in bits 4-7.
constexpr uint8_t kMsReserved = 0x01;

// Rate codes of the header-framed chip.
constexpr uint32_t kRateCodes[] = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

// Sub-integer code (wValue bits 14-15) to eighths; with wIndex bit 0 the
// later chips add the steps 3/8, 5/8, 6/8 and 7/8.
constexpr uint32_t kFraction[4] = {0, 4, 2, 1};
constexpr uint32_t kFractionExtra[4] = {3, 5, 6, 7};

}  // namespace

FtdiModelConfig FtdiModelConfig::FullSpeed() {
    return FtdiModelConfig{};
}

FtdiModelConfig FtdiModelConfig::HighSpeed() {
    FtdiModelConfig c;
    c.product = 0x6014;
    c.release = 0x0900;
    c.packet = 512;
    c.productName = "FT232H Single HS USB-UART/FIFO IC";
    c.serial = "SLX00HS1";
    return c;
}

FtdiModelConfig FtdiModelConfig::HeaderFramed() {
    FtdiModelConfig c;
    c.chip = FtdiChip::kHeaderFramed;
    c.product = 0x8372;
    c.release = 0x0200;
    c.bcdUsb = 0x0110;
    c.productName = "USB Serial Converter";
    c.serial = "SLX00HF1";
    return c;
}

FtdiModel::FtdiModel(FtdiModelConfig config, std::shared_ptr<SerialLine> line)
    : config_(std::move(config)), line_(std::move(line)), rx_(config_.rxFifo) {
    state_.latencyMs = config_.latencyMs;
    lastIn_ = std::chrono::steady_clock::now();
    if (line_) {
        line_->Attach(this);
        line_->Configure(LineConfig{state_.baud, state_.dataBits, state_.parity, state_.stopBits});
    }
    timer_ = std::thread([this] { TimerLoop(); });
}

FtdiModel::~FtdiModel() {
    {
        std::lock_guard<std::mutex> g(mu_);
        stopping_ = true;
    }
    timerCv_.notify_all();
    timer_.join();
    if (line_)
        line_->Attach(nullptr);
}

// The latency timer: the bus is asked to poll bulk-IN once per period, so
// that the status-only packet due then goes out even on an untimed bus.
void FtdiModel::TimerLoop() {
    std::unique_lock<std::mutex> lk(mu_);
    while (!stopping_) {
        const auto period = std::chrono::milliseconds(std::max(1u, state_.latencyMs));
        timerCv_.wait_for(lk, period, [&] { return stopping_; });
        if (stopping_)
            break;
        lk.unlock();
        Wake();
        lk.lock();
    }
}

std::string FtdiModel::Name() const {
    char name[16];
    std::snprintf(name, sizeof name, "ftdi-%04x", config_.product);
    return name;
}

Bytes FtdiModel::DeviceDescriptor() {
    return desc::Device(config_.bcdUsb, 0, 0, 0, 64, config_.vendor, config_.product,
                        config_.release, 1, 2, 3);
}

Bytes FtdiModel::ConfigurationDescriptor(uint8_t index) {
    if (index != 0)
        return {};
    Bytes body;
    desc::AppendInterface(body, 0, 0, 2, 0xFF, 0xFF, 0xFF, 2);
    desc::AppendEndpoint(body, config_.inEndpoint, USB_ENDPOINT_TYPE_BULK, config_.packet, 0);
    desc::AppendEndpoint(body, config_.outEndpoint, USB_ENDPOINT_TYPE_BULK, config_.packet, 0);
    return desc::Configuration(1, 1, body);
}

Bytes FtdiModel::StringDescriptor(uint8_t index, uint16_t language) {
    return desc::EnglishStrings(index, language,
                                {config_.manufacturer, config_.productName, config_.serial});
}

uint8_t FtdiModel::ModemStatusLocked() const {
    uint8_t status = kMsReserved;
    if (inputs_.cts)
        status |= 0x10;
    if (inputs_.dsr)
        status |= 0x20;
    if (inputs_.ri)
        status |= 0x40;
    if (inputs_.dcd)
        status |= 0x80;
    return status;
}

bool FtdiModel::ApplyDivisorLocked(uint16_t value, uint16_t index) {
    const uint32_t integer = value & 0x3FFF;
    const uint32_t code = value >> 14;
    const uint32_t fraction = (index & 1) != 0 ? kFractionExtra[code] : kFraction[code];
    const uint32_t eighths = integer * 8 + fraction;
    double baud;
    if (eighths < 16 && eighths != 0 && eighths != 8) {
        // Below 2 the chip has two settings only, 0 and exactly 1: a divisor
        // below 1 or between 1 and 2 is none it can run at. What the silicon
        // does with one is not documented; the model stalls the request and
        // keeps the rate it had, so that a host sending one is seen
        // (badRequests) instead of running at a rate no chip has.
        return false;
    }
    if (eighths == 0) {
        // 0 means the base rate itself.
        baud = config_.baseClock;
    } else if (eighths == 8) {
        // A divisor of exactly 1 selects two thirds of the base rate.
        baud = config_.baseClock * 2.0 / 3.0;
    } else {
        baud = config_.baseClock * 8.0 / eighths;
    }
    state_.divisorValue = value;
    state_.divisorEighths = eighths;
    state_.baud = static_cast<uint32_t>(std::lround(baud));
    return true;
}

UsbHandshake FtdiModel::Control(const USB_DEVICE_REQUEST& setup, const Bytes&, Bytes& in) {
    const bool vendor = ((setup.bmRequestType >> 5) & 3) == 2;
    const bool toHost = (setup.bmRequestType & 0x80) != 0;
    bool outputs = false, format = false, breakChange = false;
    bool dtr = false, rts = false, breakOn = false;
    LineConfig lineConfig;
    {
        std::lock_guard<std::mutex> g(mu_);
        requests_.push_back(FtdiRequest{setup.bmRequestType, setup.bRequest, setup.wValue,
                                        setup.wIndex, setup.wLength});
        bool ok = vendor;
        if (ok) {
            switch (setup.bRequest) {
                case kReset:
                    if (toHost || setup.wValue > 2) {
                        ok = false;
                    } else if (setup.wValue == 0) {
                        // Reset: both FIFOs emptied, pending reports dropped.
                        state_.resets++;
                        rx_.Clear();
                        pendingLine_ = 0;
                    } else if (setup.wValue == 1) {
                        rx_.Clear();  // purge receive
                    }
                    break;
                case kModemControl: {
                    if (toHost) {
                        ok = false;
                        break;
                    }
                    // High byte: which lines change; low byte: their values.
                    const uint8_t mask = setup.wValue >> 8, values = setup.wValue & 0xFF;
                    if (mask & 0x01)
                        state_.dtr = (values & 0x01) != 0;
                    if (mask & 0x02)
                        state_.rts = (values & 0x02) != 0;
                    outputs = true;
                    break;
                }
                case kFlowControl:
                case kEventChar:
                case kErrorChar:
                    ok = !toHost;
                    break;
                case kBaudRate:
                    if (toHost) {
                        ok = false;
                    } else if (Divisor()) {
                        ok = ApplyDivisorLocked(setup.wValue, setup.wIndex);
                    } else if (setup.wValue < std::size(kRateCodes)) {
                        state_.rateCode = setup.wValue;
                        state_.baud = kRateCodes[setup.wValue];
                    } else {
                        ok = false;
                    }
                    format = ok;
                    break;
                case kDataFormat: {
                    if (toHost) {
                        ok = false;
                        break;
                    }
                    state_.dataBits = setup.wValue & 0xFF;
                    state_.parity = (setup.wValue >> 8) & 0x07;
                    state_.stopBits = (setup.wValue >> 11) & 0x03;
                    const bool on = (setup.wValue & 0x4000) != 0;
                    breakChange = on != state_.breakOn;
                    state_.breakOn = on;
                    format = true;
                    break;
                }
                case kGetModemStatus:
                    ok = toHost;
                    if (ok)
                        in = {ModemStatusLocked(), static_cast<uint8_t>(kLsIdle | pendingLine_)};
                    break;
                case kSetLatency: {
                    const unsigned ms = setup.wValue & 0xFF;
                    ok = !toHost && ms != 0;
                    if (ok)
                        state_.latencyMs = ms;
                    break;
                }
                case kGetLatency:
                    ok = toHost;
                    if (ok)
                        in = {static_cast<uint8_t>(state_.latencyMs)};
                    break;
                default:
                    ok = false;
                    break;
            }
        }
        if (!ok) {
            state_.badRequests++;
            return UsbHandshake::kStall;
        }
        dtr = state_.dtr;
        rts = state_.rts;
        breakOn = state_.breakOn;
        lineConfig = LineConfig{state_.baud, state_.dataBits, state_.parity, state_.stopBits};
    }
    if (line_) {
        if (outputs)
            line_->SetOutputs(dtr, rts);
        if (format)
            line_->Configure(lineConfig);
        if (breakChange)
            line_->SetBreak(breakOn);
    }
    if (setup.bRequest == kSetLatency)
        timerCv_.notify_all();
    return UsbHandshake::kAck;
}

UsbHandshake FtdiModel::Out(uint8_t endpoint, const uint8_t* data, size_t length) {
    if (endpoint != config_.outEndpoint)
        return UsbHandshake::kStall;
    const uint8_t* payload = data;
    size_t n = length;
    // A full transmit FIFO (paced line) refuses the packet until it drains.
    if (line_ && length > 0 && line_->TransmitRoom() < length)
        return UsbHandshake::kNak;
    {
        std::lock_guard<std::mutex> g(mu_);
        if (Divisor()) {
            outLengths_.push_back(length);
        } else {
            // The header-framed chip reads one header per transfer: bits 0-1
            // hold 1, bits 2-7 the number of data bytes that follow.
            FtdiOutPacket packet;
            packet.length = length;
            if (length == 0) {
                state_.headerErrors++;
                n = 0;
            } else {
                const uint8_t header = data[0];
                packet.declared = header >> 2;
                payload = data + 1;
                n = std::min<size_t>(length - 1, static_cast<size_t>(packet.declared));
                if ((header & 0x03) != 0x01) {
                    state_.headerErrors++;
                    n = 0;
                } else if (static_cast<size_t>(packet.declared) != length - 1) {
                    state_.headerErrors++;
                }
            }
            outPackets_.push_back(packet);
        }
        sent_ += n;
    }
    if (n && line_)
        line_->Transmit(payload, n);
    return UsbHandshake::kAck;
}

UsbHandshake FtdiModel::In(uint8_t endpoint, size_t maxPacket, Bytes& packet) {
    if (endpoint != config_.inEndpoint)
        return UsbHandshake::kStall;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> g(mu_);
    if (!raw_.empty()) {
        packet = std::move(raw_.front());
        raw_.pop_front();
        lastIn_ = now;
        return UsbHandshake::kAck;
    }
    const size_t size = std::min<size_t>(config_.packet, maxPacket);
    const size_t room = size > 2 ? size - 2 : 0;
    const size_t n = std::min(room, rx_.Size());
    const uint8_t modem = ModemStatusLocked();
    const bool due = now - lastIn_ >= std::chrono::milliseconds(state_.latencyMs);
    if (n == 0 && pendingLine_ == 0 && modem == lastModemSent_ && !due)
        return UsbHandshake::kNak;
    packet.clear();
    packet.reserve(2 + n);
    packet.push_back(modem);
    packet.push_back(static_cast<uint8_t>(kLsIdle | pendingLine_));
    rx_.Pop(n, packet);
    // Errors and a break are reported in one packet, then forgotten.
    pendingLine_ = 0;
    lastModemSent_ = modem;
    lastIn_ = now;
    received_ += n;
    if (n == 0)
        statusOnly_++;
    return UsbHandshake::kAck;
}

void FtdiModel::LineReceive(const uint8_t* data, size_t length) {
    {
        std::lock_guard<std::mutex> g(mu_);
        if (rx_.Push(data, length) < length)
            pendingLine_ |= kLsOverrun;
    }
    Wake();
}

void FtdiModel::LineTransmitReady() {
    Wake();
}

void FtdiModel::LineInputs(const ModemInputs& inputs) {
    {
        std::lock_guard<std::mutex> g(mu_);
        inputs_ = inputs;
    }
    Wake();
}

void FtdiModel::LineError(uint32_t errors) {
    {
        std::lock_guard<std::mutex> g(mu_);
        if (errors & kLineFraming)
            pendingLine_ |= kLsFraming;
        if (errors & kLineParity)
            pendingLine_ |= kLsParity;
        if (errors & kLineOverrun)
            pendingLine_ |= kLsOverrun;
    }
    Wake();
}

void FtdiModel::LineBreak(bool on) {
    // The chip reports the start of a break once, like an error.
    if (!on)
        return;
    {
        std::lock_guard<std::mutex> g(mu_);
        pendingLine_ |= kLsBreak;
    }
    Wake();
}

FtdiState FtdiModel::State() const {
    std::lock_guard<std::mutex> g(mu_);
    return state_;
}

std::vector<FtdiRequest> FtdiModel::Requests() const {
    std::lock_guard<std::mutex> g(mu_);
    return requests_;
}

std::vector<FtdiOutPacket> FtdiModel::OutPackets() const {
    std::lock_guard<std::mutex> g(mu_);
    return outPackets_;
}

std::vector<size_t> FtdiModel::OutPacketLengths() const {
    std::lock_guard<std::mutex> g(mu_);
    return outLengths_;
}

uint64_t FtdiModel::BytesSent() const {
    std::lock_guard<std::mutex> g(mu_);
    return sent_;
}

uint64_t FtdiModel::BytesReceived() const {
    std::lock_guard<std::mutex> g(mu_);
    return received_;
}

uint64_t FtdiModel::StatusOnlyPackets() const {
    std::lock_guard<std::mutex> g(mu_);
    return statusOnly_;
}

uint64_t FtdiModel::BytesDropped() const {
    std::lock_guard<std::mutex> g(mu_);
    return rx_.Dropped();
}

size_t FtdiModel::Pending() const {
    std::lock_guard<std::mutex> g(mu_);
    return rx_.Size();
}

void FtdiModel::QueueRawPacket(const Bytes& packet) {
    {
        std::lock_guard<std::mutex> g(mu_);
        raw_.push_back(packet);
    }
    Wake();
}

void FtdiModel::SetLatency(unsigned ms) {
    {
        std::lock_guard<std::mutex> g(mu_);
        state_.latencyMs = std::max(1u, ms);
    }
    timerCv_.notify_all();
}

}  // namespace sim
