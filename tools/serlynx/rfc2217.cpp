#include "rfc2217.h"

#include <utility>

namespace serlynx::rfc2217 {

namespace {

std::string Hex(uint8_t b) {
    static const char digits[] = "0123456789abcdef";
    return std::string("0x") + digits[b >> 4] + digits[b & 15];
}

bool IsVerb(uint8_t b) {
    return b == kWill || b == kWont || b == kDo || b == kDont;
}

}  // namespace

// ---- Decoder -----------------------------------------------------------------

bool TelnetDecoder::Fail(const std::string& why) {
    error_ = "malformed telnet stream at byte " + std::to_string(offset_) + ": " + why;
    return false;
}

bool TelnetDecoder::Feed(const uint8_t* data, size_t length, std::vector<TelnetEvent>& events) {
    if (!error_.empty())
        return false;
    auto addData = [&](uint8_t b) {
        if (events.empty() || events.back().kind != TelnetEvent::Kind::kData)
            events.push_back(TelnetEvent{});
        events.back().bytes.push_back(b);
    };
    for (size_t i = 0; i < length; ++i, ++offset_) {
        const uint8_t b = data[i];
        switch (state_) {
            case State::kData:
                if (b == kIac)
                    state_ = State::kIac;
                else
                    addData(b);
                break;
            case State::kIac:
                if (b == kIac) {
                    addData(kIac);
                    state_ = State::kData;
                } else if (IsVerb(b)) {
                    verb_ = b;
                    state_ = State::kVerb;
                } else if (b == kSb) {
                    sub_.clear();
                    state_ = State::kSub;
                } else if (b == kSe) {
                    return Fail("IAC SE without a subnegotiation to end");
                } else if (b > kSe) {
                    // NOP, DM, BRK, IP, AO, AYT, EC, EL, GA: plain commands.
                    events.push_back(TelnetEvent{TelnetEvent::Kind::kCommand, b, 0, {}});
                    state_ = State::kData;
                } else {
                    return Fail("IAC followed by " + Hex(b) + ", which is no telnet command");
                }
                break;
            case State::kVerb:
                events.push_back(TelnetEvent{TelnetEvent::Kind::kNegotiation, verb_, b, {}});
                state_ = State::kData;
                break;
            case State::kSub:
                if (b == kIac) {
                    state_ = State::kSubIac;
                } else if (sub_.size() >= kMaxSubnegotiation) {
                    return Fail("subnegotiation longer than " + std::to_string(kMaxSubnegotiation) +
                                " bytes");
                } else {
                    sub_.push_back(b);
                }
                break;
            case State::kSubIac:
                if (b == kIac) {
                    if (sub_.size() >= kMaxSubnegotiation)
                        return Fail("subnegotiation longer than " +
                                    std::to_string(kMaxSubnegotiation) + " bytes");
                    sub_.push_back(kIac);
                    state_ = State::kSub;
                } else if (b == kSe) {
                    if (sub_.empty())
                        return Fail("empty subnegotiation");
                    events.push_back(TelnetEvent{TelnetEvent::Kind::kSubnegotiation, 0, sub_[0],
                                                 std::move(sub_)});
                    sub_.clear();
                    state_ = State::kData;
                } else {
                    return Fail("IAC " + Hex(b) + " inside a subnegotiation");
                }
                break;
        }
    }
    return true;
}

Bytes EscapeData(const uint8_t* data, size_t length) {
    Bytes out;
    out.reserve(length + length / 16);
    for (size_t i = 0; i < length; ++i) {
        out.push_back(data[i]);
        if (data[i] == kIac)
            out.push_back(kIac);
    }
    return out;
}

Bytes ComPortMessage(uint8_t command, const Bytes& value) {
    Bytes out{kIac, kSb, kOptComPort, command};
    Bytes escaped = EscapeData(value.data(), value.size());
    out.insert(out.end(), escaped.begin(), escaped.end());
    out.push_back(kIac);
    out.push_back(kSe);
    return out;
}

// ---- Session -----------------------------------------------------------------

namespace {

bool LocalOption(uint8_t option) {
    return option == kOptBinary || option == kOptSga || option == kOptComPort;
}
bool RemoteOption(uint8_t option) {
    return option == kOptBinary || option == kOptSga || option == kOptComPort;
}

// Byte by byte: GCC 12 at -O3 takes an initializer-list insert here for a
// write past the end (a false -Wstringop-overflow that fails the build).
void SendOption(uint8_t verb, uint8_t option, Bytes& reply) {
    reply.push_back(kIac);
    reply.push_back(verb);
    reply.push_back(option);
}

}  // namespace

Session::Session(PortControl& port, std::string signature)
    : port_(port), signature_(std::move(signature)) {}

Bytes Session::Greeting() {
    Bytes out;
    usAsked_[kOptBinary] = themAsked_[kOptBinary] = true;
    usAsked_[kOptComPort] = true;
    SendOption(kWill, kOptBinary, out);
    SendOption(kDo, kOptBinary, out);
    SendOption(kWill, kOptComPort, out);
    return out;
}

void Session::ComPortOn() {
    std::lock_guard<std::mutex> g(mu_);
    comPort_ = true;
}

bool Session::ComPortActive() const {
    std::lock_guard<std::mutex> g(mu_);
    return comPort_;
}

bool Session::OutputSuspended() const {
    std::lock_guard<std::mutex> g(mu_);
    return suspended_;
}

void Session::Negotiate(uint8_t verb, uint8_t option, Bytes& reply) {
    switch (verb) {
        case kDo:
            if (!LocalOption(option)) {
                SendOption(kWont, option, reply);
            } else if (!us_[option]) {
                us_[option] = true;
                if (!usAsked_[option])
                    SendOption(kWill, option, reply);
            }
            if (option == kOptComPort && us_[option])
                ComPortOn();
            usAsked_[option] = false;
            break;
        case kDont:
            if (us_[option]) {
                us_[option] = false;
                SendOption(kWont, option, reply);
            }
            usAsked_[option] = false;
            break;
        case kWill:
            if (!RemoteOption(option)) {
                SendOption(kDont, option, reply);
            } else if (!them_[option]) {
                them_[option] = true;
                if (!themAsked_[option])
                    SendOption(kDo, option, reply);
            }
            if (option == kOptComPort && them_[option])
                ComPortOn();
            themAsked_[option] = false;
            break;
        case kWont:
            if (them_[option]) {
                them_[option] = false;
                SendOption(kDont, option, reply);
            }
            themAsked_[option] = false;
            break;
    }
}

void Session::Answer(uint8_t command, const Bytes& value, Bytes& reply) {
    Bytes message = ComPortMessage(static_cast<uint8_t>(command + kServerOffset), value);
    reply.insert(reply.end(), message.begin(), message.end());
}

bool Session::SetControl(uint8_t value, Bytes& reply) {
    PortSettings now = port_.Settings();
    uint8_t answer = static_cast<uint8_t>(now.flow);
    bool changed = false;
    auto apply = [&](bool ok, uint8_t requested, uint8_t current) {
        answer = ok ? requested : current;
        changed = ok;
    };
    switch (value) {
        case 0:  // outbound flow control, queried
            break;
        case 1:
        case 2:
        case 3:
            apply(port_.SetFlow(static_cast<Flow>(value)), value, answer);
            break;
        case 4:
            answer = now.breakOn ? 5 : 6;
            break;
        case 5:
        case 6:
            apply(port_.SetBreak(value == 5), value, now.breakOn ? 5 : 6);
            break;
        case 7:
            answer = now.dtr ? 8 : 9;
            break;
        case 8:
        case 9:
            apply(port_.SetDtr(value == 8), value, now.dtr ? 8 : 9);
            break;
        case 10:
            answer = now.rts ? 11 : 12;
            break;
        case 11:
        case 12:
            apply(port_.SetRts(value == 11), value, now.rts ? 11 : 12);
            break;
        case 13:  // inbound flow control, queried: the port uses one setting both ways
            answer = static_cast<uint8_t>(13 + static_cast<uint8_t>(now.flow));
            break;
        case 14:
        case 15:
        case 16:
            apply(port_.SetFlow(static_cast<Flow>(value - 13)), value,
                  static_cast<uint8_t>(13 + static_cast<uint8_t>(now.flow)));
            break;
        default:  // DCD or DSR flow control and other codes: not offered
            break;
    }
    if (changed)
        port_.Changed();
    AnswerByte(kSetControl, answer, reply);
    return true;
}

bool Session::Subnegotiate(const Bytes& payload, Bytes& reply) {
    if (payload[0] != kOptComPort)
        return true;  // an option we never agreed to: ignored
    if (payload.size() < 2) {
        error_ = "COM port subnegotiation without a command";
        return false;
    }
    // A client that answers our offer only by using the option (some take
    // an offer that crosses their own request as the answer) speaks it.
    ComPortOn();
    const uint8_t command = payload[1];
    const Bytes value(payload.begin() + 2, payload.end());
    auto needLength = [&](size_t n) {
        if (value.size() == n)
            return true;
        error_ = "COM port command " + std::to_string(command) + " carries " +
                 std::to_string(value.size()) + " value bytes, expected " + std::to_string(n);
        return false;
    };
    PortSettings now = port_.Settings();
    switch (command) {
        case kSignature:
            Answer(kSignature, Bytes(signature_.begin(), signature_.end()), reply);
            return true;
        case kSetBaudRate: {
            if (!needLength(4))
                return false;
            uint32_t baud = static_cast<uint32_t>(value[0]) << 24 |
                            static_cast<uint32_t>(value[1]) << 16 |
                            static_cast<uint32_t>(value[2]) << 8 | value[3];
            uint32_t answer = now.baud;
            if (baud != 0 && port_.SetBaud(baud)) {
                answer = baud;
                port_.Changed();
            }
            Answer(kSetBaudRate,
                   Bytes{static_cast<uint8_t>(answer >> 24), static_cast<uint8_t>(answer >> 16),
                         static_cast<uint8_t>(answer >> 8), static_cast<uint8_t>(answer)},
                   reply);
            return true;
        }
        case kSetDataSize:
        case kSetParity:
        case kSetStopSize: {
            if (!needLength(1))
                return false;
            const uint8_t v = value[0];
            uint8_t current = command == kSetDataSize ? now.dataBits
                              : command == kSetParity ? now.parity
                                                      : now.stopBits;
            bool valid = command == kSetDataSize ? v >= 5 && v <= 8
                         : command == kSetParity ? v >= kParityNone && v <= kParitySpace
                                                 : v >= kStopOne && v <= kStopOneAndHalf;
            bool ok = false;
            if (valid) {
                ok = command == kSetDataSize ? port_.SetDataBits(v)
                     : command == kSetParity ? port_.SetParity(v)
                                             : port_.SetStopBits(v);
            }
            if (ok)
                port_.Changed();
            AnswerByte(command, ok ? v : current, reply);
            return true;
        }
        case kSetControl:
            if (!needLength(1))
                return false;
            return SetControl(value[0], reply);
        case kNotifyLineState:
            AnswerByte(kNotifyLineState, 0, reply);
            return true;
        case kNotifyModemState: {
            // A query: the levels as they are, without deltas.
            uint8_t levels = port_.ModemLevels() & 0xF0;
            std::lock_guard<std::mutex> g(mu_);
            AnswerByte(kNotifyModemState, levels & modemMask_, reply);
            return true;
        }
        case kFlowControlSuspend:
        case kFlowControlResume: {
            std::lock_guard<std::mutex> g(mu_);
            suspended_ = command == kFlowControlSuspend;
            return true;
        }
        case kSetLineStateMask:
        case kSetModemStateMask: {
            if (!needLength(1))
                return false;
            std::lock_guard<std::mutex> g(mu_);
            (command == kSetLineStateMask ? lineMask_ : modemMask_) = value[0];
            AnswerByte(command, value[0], reply);
            return true;
        }
        case kPurgeData: {
            if (!needLength(1))
                return false;
            const uint8_t v = value[0];
            bool ok = v >= 1 && v <= 3 && port_.Purge(v != 2, v != 1);
            AnswerByte(kPurgeData, ok ? v : 0, reply);
            return true;
        }
        default:
            return true;  // commands of later revisions: ignored
    }
}

bool Session::Receive(const uint8_t* data, size_t length, Bytes& reply) {
    if (!error_.empty())
        return false;
    std::vector<TelnetEvent> events;
    bool ok = decoder_.Feed(data, length, events);
    // Whatever was decoded before a fault is still handled: the data came
    // from the client in good order.
    for (const TelnetEvent& e : events) {
        switch (e.kind) {
            case TelnetEvent::Kind::kData:
                port_.Write(e.bytes.data(), e.bytes.size());
                break;
            case TelnetEvent::Kind::kNegotiation:
                Negotiate(e.verb, e.option, reply);
                break;
            case TelnetEvent::Kind::kSubnegotiation:
                if (!Subnegotiate(e.bytes, reply))
                    return false;
                break;
            case TelnetEvent::Kind::kCommand:
                break;  // NOP, AYT and the like carry nothing for a serial port
        }
    }
    if (!ok) {
        error_ = decoder_.Error();
        return false;
    }
    return true;
}

Bytes Session::ModemChanged(uint8_t levels) {
    levels &= 0xF0;
    std::lock_guard<std::mutex> g(mu_);
    if (!comPort_)
        return {};
    if (lastModem_ < 0) {
        lastModem_ = levels;
        return ComPortMessage(kNotifyModemState + kServerOffset,
                              Bytes{static_cast<uint8_t>(levels & modemMask_)});
    }
    const uint8_t before = static_cast<uint8_t>(lastModem_);
    uint8_t deltas = 0;
    if ((before ^ levels) & kModemCts)
        deltas |= kDeltaCts;
    if ((before ^ levels) & kModemDsr)
        deltas |= kDeltaDsr;
    if ((before & kModemRi) && !(levels & kModemRi))
        deltas |= kRiTrailingEdge;
    if ((before ^ levels) & kModemCd)
        deltas |= kDeltaCd;
    const uint8_t value = static_cast<uint8_t>((levels | deltas) & modemMask_);
    if ((deltas & modemMask_) == 0 && ((before ^ levels) & modemMask_) == 0)
        return {};
    lastModem_ = levels;
    return ComPortMessage(kNotifyModemState + kServerOffset, Bytes{value});
}

Bytes Session::LineErrors(uint8_t bits) {
    std::lock_guard<std::mutex> g(mu_);
    bits &= lineMask_;
    if (!comPort_ || bits == 0)
        return {};
    return ComPortMessage(kNotifyLineState + kServerOffset, Bytes{bits});
}

}  // namespace serlynx::rfc2217
