// The serial line behind a simulated adapter: bytes both ways, the modem
// outputs the device drives (DTR, RTS, break) and the inputs it reads (CTS,
// DSR, RI, DCD), line errors, and the rate and format the device runs at.
//
// A device model plugs into a line (Attach) and from then on calls the
// output side (Transmit, SetOutputs, SetBreak, Configure); the line calls the
// model back through LineDevice when bytes, input changes, errors or breaks
// arrive. Lines may call back on whatever thread drove them (the bus's
// scheduler thread for a loopback, a test's thread for a scripted line), so
// a model's LineDevice methods take only the model's receive-side lock, and a
// model never holds its own locks while calling into the line.
//
// Timing. A line is unpaced by default: bytes reach the far end inside the
// Transmit call, as fast as the bus moves them (fast tests). A paced line
// (LinePacing) shifts characters out at the rate and format its sender is
// configured to, one character per (start + data + parity + stop) bit
// times, so 115200 8N1 carries at most 11,520 characters a second. The
// sending chip's transmit FIFO sits in front of the shifter: TransmitRoom
// says how much it takes now, a chip NAKs bulk-OUT while its packet does
// not fit, and LineTransmitReady tells it when to try again. Deadlines are
// absolute (character k of a busy stretch is due at start + k character
// times), so scheduling jitter does not slow the line down; a line that
// fell more than a few milliseconds behind restarts its clock rather than
// bursting to catch up. The chip models do not hold their transmitter on
// their CTS input (the FTDI and CDC families leave handshaking to the host
// driver here), so a device FIFO that the host does not empty overflows and
// the chip reports an overrun through its own status path.
//
// Mismatch. Where the two ends of a null modem disagree on rate or format,
// the receiving end sees what a UART would: DecodeCharacters samples the
// sender's waveform (characters back to back within one delivered batch,
// idle line between batches) in the middle of each of the receiver's bit
// cells after the falling edge of a start bit, checks parity and the first
// stop bit, and reports framing and parity errors with the bytes it
// assembled. With 8N1 at both ends a rate error up to about 5% still reads
// correctly; beyond it the stop bit is sampled in the wrong cell and bytes
// come out garbled with framing errors.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace sim {

// Rate and format; parity and stop bits use the platform's DCB codes
// (NOPARITY 0 .. SPACEPARITY 4; ONESTOPBIT 0, ONE5STOPBITS 1, TWOSTOPBITS 2).
struct LineConfig {
    uint32_t baud = 9600;
    uint8_t dataBits = 8;
    uint8_t parity = 0;
    uint8_t stopBits = 0;
    bool operator==(const LineConfig&) const = default;
};

// Bits on the wire per character, in half bits (1.5 stop bits is 3).
unsigned HalfBitsPerCharacter(const LineConfig& config);

// How a line moves characters. `txFifo` is the sending chip's transmit FIFO
// (bytes it holds in front of the shifter); an idle transmitter takes a
// packet of any size.
struct LinePacing {
    bool paced = false;
    size_t txFifo = 128;
};

struct ModemInputs {
    bool cts = false, dsr = false, ri = false, dcd = false;
    bool operator==(const ModemInputs&) const = default;
};

// Errors detected on received characters.
enum LineErrorBits : uint32_t {
    kLineFraming = 1,
    kLineParity = 2,
    kLineOverrun = 4,
};

// The device's side, implemented by device models.
class LineDevice {
  public:
    virtual ~LineDevice() = default;
    virtual void LineReceive(const uint8_t* data, size_t length) = 0;
    virtual void LineInputs(const ModemInputs& inputs) = 0;
    virtual void LineError(uint32_t errors) = 0;
    virtual void LineBreak(bool on) = 0;
    // A paced line's transmitter has room again after the device found it
    // full (TransmitRoom); the device should take bulk-OUT data again.
    virtual void LineTransmitReady() {}
};

// What a UART set to `rx` makes of `count` characters sent back to back by
// a UART set to `tx` (the line idle before and after): the bytes it
// assembles and the kLineFraming / kLineParity bits of the errors it saw.
struct DecodedCharacters {
    std::vector<uint8_t> bytes;
    uint32_t errors = 0;
};
DecodedCharacters DecodeCharacters(const LineConfig& tx, const LineConfig& rx, const uint8_t* data,
                                   size_t count);

class SerialLine;

// One direction of a wire: characters from one line's device to another's
// (the same one for a loopback plug), paced or not, decoded by the
// receiver's settings. Internal to the line classes.
class Wire;

class SerialLine {
  public:
    virtual ~SerialLine() = default;

    // Plugs a device in (nullptr unplugs it); the device then gets the
    // current inputs at once. Returns after any callback in progress ended.
    void Attach(LineDevice* device);

    // The device's outputs. Any thread.
    virtual void Transmit(const uint8_t* data, size_t length) = 0;
    virtual void SetOutputs(bool dtr, bool rts) = 0;
    virtual void SetBreak(bool on) = 0;
    virtual void Configure(const LineConfig& config) = 0;
    virtual ModemInputs Inputs() const = 0;
    // Bytes the transmitter takes now: unlimited on an unpaced line; on a
    // paced one the free room of the transmit FIFO, or unlimited while it
    // is idle. Any thread; takes only the line's own leaf lock.
    virtual size_t TransmitRoom() const { return SIZE_MAX; }

  protected:
    friend class Wire;
    // Deliver to the attached device (none: dropped, as on an open cable).
    void DeliverReceive(const uint8_t* data, size_t length);
    void DeliverInputs(const ModemInputs& inputs);
    void DeliverError(uint32_t errors);
    void DeliverBreak(bool on);
    void DeliverTransmitReady();

  private:
    std::recursive_mutex deviceMu_;  // held while calling the device
    LineDevice* device_ = nullptr;   // deviceMu_
};

// A loopback plug: TX to RX, RTS to CTS, DTR to DSR and DCD, break to break.
// Paced, the device's own characters come back one character time apart
// (a break waits for the characters sent before it).
class LoopbackPlug : public SerialLine {
  public:
    LoopbackPlug();
    explicit LoopbackPlug(LinePacing pacing);
    ~LoopbackPlug() override;

    void Transmit(const uint8_t* data, size_t length) override;
    void SetOutputs(bool dtr, bool rts) override;
    void SetBreak(bool on) override;
    void Configure(const LineConfig& config) override;
    ModemInputs Inputs() const override;
    size_t TransmitRoom() const override;
    LineConfig Config() const;
    // Characters that reached the receiving side.
    uint64_t Delivered() const;

  private:
    mutable std::mutex mu_;
    ModemInputs inputs_;  // mu_
    LineConfig config_;   // mu_
    std::unique_ptr<Wire> wire_;
};

// A null-modem cable between two devices, each plugged into one end: TX to
// the far RX both ways, RTS to the far CTS, DTR to the far DSR and DCD,
// break to the far side. Ring is not wired (nothing drives it). The two
// devices may be set differently (see Mismatch above).
//
// Lifetime: the ends are aliases of the cable, so it lives while a device
// still holds either end.
class NullModem {
  public:
    static std::shared_ptr<NullModem> Create(LinePacing pacing = {});
    ~NullModem();
    NullModem(const NullModem&) = delete;
    NullModem& operator=(const NullModem&) = delete;

    std::shared_ptr<SerialLine> EndA();
    std::shared_ptr<SerialLine> EndB();
    // Each end's device settings as last configured, and the characters
    // that reached the far side from it.
    LineConfig ConfigA() const;
    LineConfig ConfigB() const;
    uint64_t DeliveredFromA() const;
    uint64_t DeliveredFromB() const;

  private:
    class End : public SerialLine {
      public:
        void Transmit(const uint8_t* data, size_t length) override;
        void SetOutputs(bool dtr, bool rts) override;
        void SetBreak(bool on) override;
        void Configure(const LineConfig& config) override;
        ModemInputs Inputs() const override;
        size_t TransmitRoom() const override;

        NullModem* cable = nullptr;
        End* peer = nullptr;
        Wire* out = nullptr;  // towards the peer
        mutable std::mutex mu;
        ModemInputs inputs;  // mu: driven by the peer's outputs
        LineConfig config;   // mu
    };

    explicit NullModem(LinePacing pacing);

    End a_, b_;
    std::unique_ptr<Wire> aToB_, bToA_;  // destroyed (threads joined) before the ends
    std::weak_ptr<NullModem> self_;
};

// A line a test drives: it injects what the far end sends and the far end's
// modem lines, and reads back what the device transmitted and its outputs.
class ScriptedLine : public SerialLine {
  public:
    // ---- far end (test) ----
    void Inject(const std::vector<uint8_t>& bytes);
    void SetCts(bool on);
    void SetDsr(bool on);
    void SetRi(bool on);
    void SetDcd(bool on);
    void InjectError(uint32_t errors);
    void InjectBreak(bool on);
    // Everything the device transmitted since the last call.
    std::vector<uint8_t> TakeTransmitted();
    // Waits until at least `count` untaken bytes are there; false on timeout.
    bool WaitTransmitted(size_t count, int timeoutMs);
    bool Dtr() const;
    bool Rts() const;
    bool Break() const;
    LineConfig Config() const;

    // ---- device side ----
    void Transmit(const uint8_t* data, size_t length) override;
    void SetOutputs(bool dtr, bool rts) override;
    void SetBreak(bool on) override;
    void Configure(const LineConfig& config) override;
    ModemInputs Inputs() const override;

  private:
    void SetInput(bool ModemInputs::*which, bool on);

    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::vector<uint8_t> transmitted_;                // mu_
    bool dtr_ = false, rts_ = false, break_ = false;  // mu_
    LineConfig config_;                               // mu_
    ModemInputs inputs_;                              // mu_
};

}  // namespace sim
