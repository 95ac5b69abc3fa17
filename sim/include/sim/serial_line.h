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
#pragma once

#include <condition_variable>
#include <cstdint>
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
};

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

  protected:
    // Deliver to the attached device (none: dropped, as on an open cable).
    void DeliverReceive(const uint8_t* data, size_t length);
    void DeliverInputs(const ModemInputs& inputs);
    void DeliverError(uint32_t errors);
    void DeliverBreak(bool on);

  private:
    std::recursive_mutex deviceMu_;  // held while calling the device
    LineDevice* device_ = nullptr;   // deviceMu_
};

// A loopback plug: TX to RX, RTS to CTS, DTR to DSR and DCD, break to break.
class LoopbackPlug : public SerialLine {
  public:
    void Transmit(const uint8_t* data, size_t length) override;
    void SetOutputs(bool dtr, bool rts) override;
    void SetBreak(bool on) override;
    void Configure(const LineConfig& config) override;
    ModemInputs Inputs() const override;
    LineConfig Config() const;

  private:
    mutable std::mutex mu_;
    ModemInputs inputs_;  // mu_
    LineConfig config_;   // mu_
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
