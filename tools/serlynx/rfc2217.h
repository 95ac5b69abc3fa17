// The Telnet COM port control protocol (RFC 2217), server side, without
// sockets: a decoder that turns the client's byte stream into data,
// negotiations and subnegotiations, and a session that answers them by
// driving a serial port through the PortControl interface.
//
// Everything a session wants sent to the client is returned as bytes,
// already framed. Threads: Greeting and Receive run on the connection's
// thread, one call at a time (Receive may block in the port's Write while
// flow control holds the line); ModemChanged, LineErrors, ComPortActive and
// OutputSuspended may be called from any thread at the same time. `mu_`
// guards what both sides touch; it is never held while calling the port.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace serlynx::rfc2217 {

using Bytes = std::vector<uint8_t>;

// Telnet command bytes and the options this server knows.
constexpr uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250,
                  kSe = 240;
constexpr uint8_t kOptBinary = 0, kOptEcho = 1, kOptSga = 3, kOptComPort = 44;

// COM port option commands (client to server; the server answers + 100).
enum Command : uint8_t {
    kSignature = 0,
    kSetBaudRate = 1,
    kSetDataSize = 2,
    kSetParity = 3,
    kSetStopSize = 4,
    kSetControl = 5,
    kNotifyLineState = 6,
    kNotifyModemState = 7,
    kFlowControlSuspend = 8,
    kFlowControlResume = 9,
    kSetLineStateMask = 10,
    kSetModemStateMask = 11,
    kPurgeData = 12,
};
constexpr uint8_t kServerOffset = 100;

// Modem state bits (NOTIFY-MODEMSTATE): levels in the high nibble, deltas low.
constexpr uint8_t kModemCts = 0x10, kModemDsr = 0x20, kModemRi = 0x40, kModemCd = 0x80;
constexpr uint8_t kDeltaCts = 0x01, kDeltaDsr = 0x02, kRiTrailingEdge = 0x04, kDeltaCd = 0x08;
// Line state bits (NOTIFY-LINESTATE).
constexpr uint8_t kLineOverrun = 0x02, kLineParity = 0x04, kLineFraming = 0x08, kLineBreak = 0x10;

// Parity and stop-size codes of the protocol.
constexpr uint8_t kParityNone = 1, kParityOdd = 2, kParityEven = 3, kParityMark = 4,
                  kParitySpace = 5;
constexpr uint8_t kStopOne = 1, kStopTwo = 2, kStopOneAndHalf = 3;

enum class Flow : uint8_t { kNone = 1, kXonXoff = 2, kHardware = 3 };

// ---- Decoder -----------------------------------------------------------------

struct TelnetEvent {
    enum class Kind { kData, kNegotiation, kSubnegotiation, kCommand };
    Kind kind = Kind::kData;
    uint8_t verb = 0;    // kNegotiation: WILL/WONT/DO/DONT; kCommand: the command byte
    uint8_t option = 0;  // kNegotiation: the option
    Bytes bytes;         // kData: the data (IAC undoubled); kSubnegotiation: payload
                         // from the option byte on, IAC undoubled
    bool operator==(const TelnetEvent&) const = default;
};

class TelnetDecoder {
  public:
    // Longest subnegotiation payload accepted (option byte included).
    static constexpr size_t kMaxSubnegotiation = 256;

    // Decodes `length` bytes, appending events (consecutive data bytes make
    // one event). False when the stream is malformed: Error() says where and
    // why, and the decoder refuses everything after that. A sequence cut
    // between two calls is completed by the next call.
    bool Feed(const uint8_t* data, size_t length, std::vector<TelnetEvent>& events);
    const std::string& Error() const { return error_; }

  private:
    enum class State { kData, kIac, kVerb, kSub, kSubIac };
    bool Fail(const std::string& why);

    State state_ = State::kData;
    uint8_t verb_ = 0;
    Bytes sub_;
    uint64_t offset_ = 0;  // bytes consumed so far, for error messages
    std::string error_;
};

// Data for the client with every IAC doubled.
Bytes EscapeData(const uint8_t* data, size_t length);
// IAC SB COM-PORT-OPTION <command> <value, IAC doubled> IAC SE.
Bytes ComPortMessage(uint8_t command, const Bytes& value);

// ---- Session -----------------------------------------------------------------

// The serial port as the session sees it. Every setter applies one change
// and returns false when the port refused it (the session then answers with
// the value still in force).
struct PortSettings {
    uint32_t baud = 9600;
    uint8_t dataBits = 8;
    uint8_t parity = kParityNone;  // protocol codes
    uint8_t stopBits = kStopOne;   // protocol codes
    Flow flow = Flow::kNone;
    bool dtr = false, rts = false, breakOn = false;
};

class PortControl {
  public:
    virtual ~PortControl() = default;
    virtual PortSettings Settings() = 0;
    virtual bool SetBaud(uint32_t baud) = 0;
    virtual bool SetDataBits(uint8_t bits) = 0;
    virtual bool SetParity(uint8_t code) = 0;
    virtual bool SetStopBits(uint8_t code) = 0;
    virtual bool SetFlow(Flow flow) = 0;
    virtual bool SetDtr(bool on) = 0;
    virtual bool SetRts(bool on) = 0;
    virtual bool SetBreak(bool on) = 0;
    virtual bool Purge(bool receive, bool transmit) = 0;
    // Current levels of CTS, DSR, RI and CD as modem-state bits (high nibble).
    virtual uint8_t ModemLevels() = 0;
    // Data from the client, for the line.
    virtual void Write(const uint8_t* data, size_t length) = 0;
    // Called after every change the session made to the port.
    virtual void Changed() {}
};

class Session {
  public:
    explicit Session(PortControl& port, std::string signature = "Serlynx");

    // What the server says first: it offers and asks for BINARY and offers
    // the COM port option.
    Bytes Greeting();
    // Handles bytes from the client; appends the answers to `reply`. False
    // when the stream is malformed (Error() says why): the caller closes the
    // connection. Data is written to the port as it is decoded.
    bool Receive(const uint8_t* data, size_t length, Bytes& reply);
    const std::string& Error() const { return error_; }

    // The COM port option is on: either side enabled it (DO or WILL from the
    // client) or the client used it.
    bool ComPortActive() const;
    // The client asked the server to hold data back (FLOWCONTROL-SUSPEND).
    bool OutputSuspended() const;

    // The modem levels now (high nibble). Once the option is on, the first
    // call returns a NOTIFY-MODEMSTATE with the levels (the client's cts,
    // dsr, ri and cd read the last one it got); later calls return one with
    // the delta bits when a level the client's mask selects changed, else
    // nothing. The caller sends the result before it calls again (serve
    // does both under the connection's send lock), and calls it after
    // sending each reply, so that the first notice follows negotiation.
    Bytes ModemChanged(uint8_t levels);
    // Line errors seen (line-state bits): a NOTIFY-LINESTATE when the mask
    // selects any of them, else nothing.
    Bytes LineErrors(uint8_t bits);

  private:
    void Negotiate(uint8_t verb, uint8_t option, Bytes& reply);
    bool Subnegotiate(const Bytes& payload, Bytes& reply);
    bool SetControl(uint8_t value, Bytes& reply);
    void Answer(uint8_t command, const Bytes& value, Bytes& reply);
    void AnswerByte(uint8_t command, uint8_t value, Bytes& reply) {
        Answer(command, Bytes{value}, reply);
    }
    void ComPortOn();

    PortControl& port_;
    std::string signature_;
    TelnetDecoder decoder_;
    std::string error_;
    // Option states: enabled on our side (we WILL) / theirs (they WILL), and
    // whether we asked first (so that their answer needs no answer).
    bool us_[256] = {}, them_[256] = {};
    bool usAsked_[256] = {}, themAsked_[256] = {};
    mutable std::mutex mu_;
    bool comPort_ = false;      // mu_
    bool suspended_ = false;    // mu_
    uint8_t modemMask_ = 0xFF;  // mu_
    uint8_t lineMask_ = 0xFF;   // mu_
    int lastModem_ = -1;        // mu_: levels last sent, -1 before the first notice
};

}  // namespace serlynx::rfc2217
