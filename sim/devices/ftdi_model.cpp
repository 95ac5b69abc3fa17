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
    c.rxFifo = 1024;
    c.indexPort = true;
    return c;
}

FtdiModelConfig FtdiModelConfig::DualHighSpeed() {
    FtdiModelConfig c = HighSpeed();
    c.product = 0x6010;
    c.release = 0x0700;
    c.productName = "Dual RS232-HS";
    c.serial = "SLX00DH1";
    c.rxFifo = 4096;
    c.ports = 2;
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

FtdiModel::FtdiModel(FtdiModelConfig config, std::shared_ptr<SerialLine> line,
                     std::shared_ptr<SerialLine> line2)
    : config_(std::move(config)) {
    const auto now = std::chrono::steady_clock::now();
    for (size_t i = 0; i < PortCount(); i++) {
        Port& p = ports_[i];
        p.model = this;
        p.in = i == 0 ? config_.inEndpoint : config_.inEndpoint2;
        p.out = i == 0 ? config_.outEndpoint : config_.outEndpoint2;
        p.rx = RxFifo(config_.rxFifo);
        p.state.latencyMs = config_.latencyMs;
        p.lastIn = now;
        p.line = i == 0 ? std::move(line) : std::move(line2);
    }
    for (size_t i = 0; i < PortCount(); i++) {
        Port& p = ports_[i];
        if (p.line) {
            p.line->Attach(&p);
            p.line->Configure(
                LineConfig{p.state.baud, p.state.dataBits, p.state.parity, p.state.stopBits});
        }
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
    for (size_t i = 0; i < PortCount(); i++) {
        if (ports_[i].line)
            ports_[i].line->Attach(nullptr);
    }
}

// The latency timer of each port: when it is due (one period after the
// port's last packet) the bus is asked to poll bulk-IN, so that what the
// chip holds, or the status-only packet, goes out even on an untimed bus. A
// bus that did not take the packet (no transfer waiting) is asked again a
// period later.
void FtdiModel::TimerLoop() {
    std::unique_lock<std::mutex> lk(mu_);
    const auto dueOf = [](const Port& p) {
        return std::max(p.lastIn, p.woken) +
               std::chrono::milliseconds(std::max(1u, p.state.latencyMs));
    };
    while (!stopping_) {
        auto due = dueOf(ports_[0]);
        for (size_t i = 1; i < PortCount(); i++)
            due = std::min(due, dueOf(ports_[i]));
        if (timerCv_.wait_until(lk, due, [&] { return stopping_; }))
            break;
        // A packet may have gone or the latency changed meanwhile.
        const auto now = std::chrono::steady_clock::now();
        bool wake = false;
        for (size_t i = 0; i < PortCount(); i++) {
            if (now >= dueOf(ports_[i])) {
                ports_[i].woken = now;
                wake = true;
            }
        }
        if (!wake)
            continue;
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
    for (size_t i = 0; i < PortCount(); i++) {
        desc::AppendInterface(body, static_cast<uint8_t>(i), 0, 2, 0xFF, 0xFF, 0xFF, 2);
        desc::AppendEndpoint(body, ports_[i].in, USB_ENDPOINT_TYPE_BULK, config_.packet, 0);
        desc::AppendEndpoint(body, ports_[i].out, USB_ENDPOINT_TYPE_BULK, config_.packet, 0);
    }
    return desc::Configuration(static_cast<uint8_t>(PortCount()), 1, body);
}

Bytes FtdiModel::StringDescriptor(uint8_t index, uint16_t language) {
    return desc::EnglishStrings(index, language,
                                {config_.manufacturer, config_.productName, config_.serial});
}

uint8_t FtdiModel::Port::ModemStatusLocked() const {
    uint8_t status = kMsReserved;
    if (inputs.cts)
        status |= 0x10;
    if (inputs.dsr)
        status |= 0x20;
    if (inputs.ri)
        status |= 0x40;
    if (inputs.dcd)
        status |= 0x80;
    return status;
}

FtdiModel::Port* FtdiModel::PortOfIndex(uint16_t index) {
    // The full-speed chips have one port and read no port number.
    if (!config_.indexPort)
        return &ports_[0];
    // 0 and 1 both name port A, 2 port B.
    const unsigned number = index & 0xFF;
    if (number <= 1)
        return &ports_[0];
    if (number == 2 && PortCount() > 1)
        return &ports_[1];
    return nullptr;
}

const FtdiModel::Port& FtdiModel::At(size_t port) const {
    return ports_[port < PortCount() ? port : 0];
}

bool FtdiModel::ApplyDivisorLocked(Port& p, uint16_t value, uint16_t index) {
    // Divisor bits 16 and up: wIndex's low byte on the full-speed chip, its
    // high byte on the high-speed ones, whose low byte names the port.
    const uint32_t high = config_.indexPort ? index >> 8 : index;
    // Bit 17 selects the high-speed chip's 12 MHz base.
    const double base = config_.indexPort && (high & 2) != 0 ? 12000000.0 : config_.baseClock;
    const uint32_t integer = value & 0x3FFF;
    const uint32_t code = value >> 14;
    const uint32_t fraction = (high & 1) != 0 ? kFractionExtra[code] : kFraction[code];
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
        baud = base;
    } else if (eighths == 8) {
        // A divisor of exactly 1 selects two thirds of the base rate.
        baud = base * 2.0 / 3.0;
    } else {
        baud = base * 8.0 / eighths;
    }
    p.state.divisorValue = value;
    p.state.divisorEighths = eighths;
    p.state.baud = static_cast<uint32_t>(std::lround(baud));
    return true;
}

UsbHandshake FtdiModel::Control(const USB_DEVICE_REQUEST& setup, const Bytes&, Bytes& in) {
    const bool vendor = ((setup.bmRequestType >> 5) & 3) == 2;
    const bool toHost = (setup.bmRequestType & 0x80) != 0;
    bool outputs = false, format = false, breakChange = false;
    bool dtr = false, rts = false, breakOn = false;
    LineConfig lineConfig;
    Port* port = nullptr;
    {
        std::lock_guard<std::mutex> g(mu_);
        requests_.push_back(FtdiRequest{setup.bmRequestType, setup.bRequest, setup.wValue,
                                        setup.wIndex, setup.wLength});
        port = PortOfIndex(setup.wIndex);
        bool ok = vendor && port != nullptr;
        FtdiState& state = port != nullptr ? port->state : ports_[0].state;
        if (ok) {
            Port& p = *port;
            switch (setup.bRequest) {
                case kReset:
                    if (toHost || setup.wValue > 2) {
                        ok = false;
                    } else if (setup.wValue == 0) {
                        // Reset: the FIFOs emptied, the status marks gone.
                        state.resets++;
                        p.ClearReceiveLocked();
                        p.lastLine = p.nextMark = 0;
                    } else if (setup.wValue == 1) {
                        p.ClearReceiveLocked();  // purge receive
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
                        state.dtr = (values & 0x01) != 0;
                    if (mask & 0x02)
                        state.rts = (values & 0x02) != 0;
                    outputs = true;
                    break;
                }
                case kEventChar:
                    ok = !toHost;
                    if (ok)
                        state.eventChar = (setup.wValue & 0x100) != 0 ? (setup.wValue & 0xFF) : -1;
                    break;
                case kFlowControl:
                case kErrorChar:
                    ok = !toHost;
                    break;
                case kBaudRate:
                    if (toHost) {
                        ok = false;
                    } else if (Divisor()) {
                        ok = ApplyDivisorLocked(p, setup.wValue, setup.wIndex);
                    } else if (setup.wValue < std::size(kRateCodes)) {
                        state.rateCode = setup.wValue;
                        state.baud = kRateCodes[setup.wValue];
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
                    state.dataBits = setup.wValue & 0xFF;
                    state.parity = (setup.wValue >> 8) & 0x07;
                    state.stopBits = (setup.wValue >> 11) & 0x03;
                    const bool on = (setup.wValue & 0x4000) != 0;
                    breakChange = on != state.breakOn;
                    state.breakOn = on;
                    format = true;
                    break;
                }
                case kGetModemStatus:
                    ok = toHost;
                    if (ok)
                        in = {p.ModemStatusLocked(), static_cast<uint8_t>(kLsIdle | p.lastLine)};
                    break;
                case kSetLatency: {
                    const unsigned ms = setup.wValue & 0xFF;
                    ok = !toHost && ms != 0;
                    if (ok)
                        state.latencyMs = ms;
                    break;
                }
                case kGetLatency:
                    ok = toHost;
                    if (ok)
                        in = {static_cast<uint8_t>(state.latencyMs)};
                    break;
                default:
                    ok = false;
                    break;
            }
        }
        if (!ok) {
            state.badRequests++;
            return UsbHandshake::kStall;
        }
        dtr = state.dtr;
        rts = state.rts;
        breakOn = state.breakOn;
        lineConfig = LineConfig{state.baud, state.dataBits, state.parity, state.stopBits};
    }
    if (port->line) {
        if (outputs)
            port->line->SetOutputs(dtr, rts);
        if (format)
            port->line->Configure(lineConfig);
        if (breakChange)
            port->line->SetBreak(breakOn);
    }
    if (setup.bRequest == kSetLatency || setup.bRequest == kReset)
        timerCv_.notify_all();
    return UsbHandshake::kAck;
}

UsbHandshake FtdiModel::Out(uint8_t endpoint, const uint8_t* data, size_t length) {
    Port* port = nullptr;
    for (size_t i = 0; i < PortCount(); i++) {
        if (endpoint == ports_[i].out)
            port = &ports_[i];
    }
    if (port == nullptr)
        return UsbHandshake::kStall;
    Port& p = *port;
    const uint8_t* payload = data;
    size_t n = length;
    // A full transmit FIFO (paced line) refuses the packet until it drains.
    if (p.line && length > 0 && p.line->TransmitRoom() < length)
        return UsbHandshake::kNak;
    {
        std::lock_guard<std::mutex> g(mu_);
        if (Divisor()) {
            p.outLengths.push_back(length);
        } else {
            // The header-framed chip reads one header per transfer: bits 0-1
            // hold 1, bits 2-7 the number of data bytes that follow.
            FtdiOutPacket packet;
            packet.length = length;
            if (length == 0) {
                p.state.headerErrors++;
                n = 0;
            } else {
                const uint8_t header = data[0];
                packet.declared = header >> 2;
                payload = data + 1;
                n = std::min<size_t>(length - 1, static_cast<size_t>(packet.declared));
                if ((header & 0x03) != 0x01) {
                    p.state.headerErrors++;
                    n = 0;
                } else if (static_cast<size_t>(packet.declared) != length - 1) {
                    p.state.headerErrors++;
                }
            }
            outPackets_.push_back(packet);
        }
        p.sent += n;
    }
    if (n && p.line)
        p.line->Transmit(payload, n);
    return UsbHandshake::kAck;
}

UsbHandshake FtdiModel::In(uint8_t endpoint, size_t maxPacket, Bytes& packet) {
    Port* port = nullptr;
    for (size_t i = 0; i < PortCount(); i++) {
        if (endpoint == ports_[i].in)
            port = &ports_[i];
    }
    if (port == nullptr)
        return UsbHandshake::kStall;
    Port& p = *port;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> g(mu_);
    if (!p.raw.empty()) {
        packet = std::move(p.raw.front());
        p.raw.pop_front();
        p.lastIn = now;
        return UsbHandshake::kAck;
    }
    const size_t size = std::min<size_t>(config_.packet, maxPacket);
    const size_t room = size > 2 ? size - 2 : 0;
    const size_t n = std::min(room, p.rx.Size());
    const uint8_t modem = p.ModemStatusLocked();
    const bool due = now - p.lastIn >= std::chrono::milliseconds(p.state.latencyMs);
    // What makes the chip send before the timer expires: a full packet, the
    // event character, a modem line change, a marked character.
    const bool flush = (n > 0 && (!config_.holdData || n == room)) || p.eventSeen ||
                       modem != p.lastModemSent || !p.marks.empty();
    if (!flush && !due)
        return UsbHandshake::kNak;
    uint8_t line = p.lastLine;
    if (n > 0) {
        line = 0;
        while (!p.marks.empty() && p.marks.front().first < p.popped + n) {
            line |= p.marks.front().second;
            p.marks.pop_front();
        }
        p.lastLine = line;
    }
    packet.clear();
    packet.reserve(2 + n);
    packet.push_back(modem);
    packet.push_back(static_cast<uint8_t>(kLsIdle | line));
    p.rx.Pop(n, packet);
    p.popped += n;
    if (p.rx.Empty())
        p.eventSeen = false;
    p.lastModemSent = modem;
    p.lastIn = now;
    p.received += n;
    if (n == 0)
        p.statusOnly++;
    return UsbHandshake::kAck;
}

void FtdiModel::Port::MarkLocked(uint8_t bits) {
    if (pushed == popped) {
        nextMark |= bits;
        return;
    }
    if (!marks.empty() && marks.back().first == pushed - 1)
        marks.back().second |= bits;
    else
        marks.emplace_back(pushed - 1, bits);
}

void FtdiModel::Port::ClearReceiveLocked() {
    rx.Clear();
    marks.clear();
    popped = pushed;
    eventSeen = false;
}

void FtdiModel::Port::LineReceive(const uint8_t* data, size_t length) {
    {
        std::lock_guard<std::mutex> g(model->mu_);
        const size_t stored = rx.Push(data, length);
        if (stored > 0 && nextMark != 0) {
            marks.emplace_back(pushed, nextMark);
            nextMark = 0;
        }
        pushed += stored;
        if (stored < length)
            MarkLocked(kLsOverrun);
        if (state.eventChar >= 0 &&
            std::find(data, data + stored, static_cast<uint8_t>(state.eventChar)) != data + stored)
            eventSeen = true;
    }
    model->Wake();
}

void FtdiModel::Port::LineTransmitReady() {
    model->Wake();
}

void FtdiModel::Port::LineInputs(const ModemInputs& now) {
    {
        std::lock_guard<std::mutex> g(model->mu_);
        inputs = now;
    }
    model->Wake();
}

void FtdiModel::Port::LineError(uint32_t errors) {
    uint8_t bits = 0;
    if (errors & kLineFraming)
        bits |= kLsFraming;
    if (errors & kLineParity)
        bits |= kLsParity;
    if (errors & kLineOverrun)
        bits |= kLsOverrun;
    if (bits == 0)
        return;
    {
        std::lock_guard<std::mutex> g(model->mu_);
        MarkLocked(bits);
    }
    model->Wake();
}

void FtdiModel::Port::LineBreak(bool on) {
    // The UART receives a break as one NUL character with the break bit;
    // its end is no character and the chip says nothing of it.
    if (!on)
        return;
    const uint8_t nul = 0;
    {
        std::lock_guard<std::mutex> g(model->mu_);
        const bool stored = rx.Push(&nul, 1) == 1;
        if (stored) {
            marks.emplace_back(pushed, static_cast<uint8_t>(kLsBreak | nextMark));
            nextMark = 0;
            pushed++;
        } else {
            MarkLocked(kLsOverrun);
        }
    }
    model->Wake();
}

FtdiState FtdiModel::State(size_t port) const {
    std::lock_guard<std::mutex> g(mu_);
    return At(port).state;
}

std::vector<FtdiRequest> FtdiModel::Requests() const {
    std::lock_guard<std::mutex> g(mu_);
    return requests_;
}

std::vector<FtdiOutPacket> FtdiModel::OutPackets() const {
    std::lock_guard<std::mutex> g(mu_);
    return outPackets_;
}

std::vector<size_t> FtdiModel::OutPacketLengths(size_t port) const {
    std::lock_guard<std::mutex> g(mu_);
    return At(port).outLengths;
}

uint64_t FtdiModel::BytesSent(size_t port) const {
    std::lock_guard<std::mutex> g(mu_);
    return At(port).sent;
}

uint64_t FtdiModel::BytesReceived(size_t port) const {
    std::lock_guard<std::mutex> g(mu_);
    return At(port).received;
}

uint64_t FtdiModel::StatusOnlyPackets(size_t port) const {
    std::lock_guard<std::mutex> g(mu_);
    return At(port).statusOnly;
}

uint64_t FtdiModel::BytesDropped(size_t port) const {
    std::lock_guard<std::mutex> g(mu_);
    return At(port).rx.Dropped();
}

size_t FtdiModel::Pending(size_t port) const {
    std::lock_guard<std::mutex> g(mu_);
    return At(port).rx.Size();
}

void FtdiModel::QueueRawPacket(const Bytes& packet) {
    {
        std::lock_guard<std::mutex> g(mu_);
        ports_[0].raw.push_back(packet);
    }
    Wake();
}

void FtdiModel::SetLatency(unsigned ms, size_t port) {
    {
        std::lock_guard<std::mutex> g(mu_);
        ports_[port < PortCount() ? port : 0].state.latencyMs = std::max(1u, ms);
    }
    timerCv_.notify_all();
}

}  // namespace sim
