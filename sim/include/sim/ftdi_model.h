// FTDI serial converter chips, seen from the device's side.
//
// Three chips share the control protocol (vendor requests on the default
// pipe: reset, modem control with a mask byte, baud rate, data format with
// the break bit, latency timer) and the receive framing (every bulk-IN packet
// starts with the modem-status and line-status bytes, followed by up to
// packet size - 2 data bytes):
//   - kDivisor: the common full-speed chip (0403:6001, 64-byte packets) and,
//     with 512-byte packets, the high-speed one (0403:6014); the baud-rate
//     request carries a divisor (14 integer bits and a sub-integer code)
//     that the chip applies to its base clock (3 MHz, or 750 kHz on the
//     chips whose divisor the host computes from 6 MHz); below 2 only the
//     divisors 0 (the base rate) and 1 (two thirds of it) exist, and a
//     request with any other divisor there is stalled, the rate unchanged;
//   - kHeaderFramed: the early chip (0403:8372): the baud-rate request
//     carries a rate code 0-9, and every bulk-OUT transfer starts with a
//     header byte (data length << 2 | 1) that the chip checks and strips.
//
// The chip sends a bulk-IN packet at once when it has data or when its
// modem lines changed or a line error or break is waiting to be reported
// (errors and break are reported once), and a status-only packet when the
// latency timer (16 ms by default) expires without one, as the real chip
// does. A timer thread wakes the bus each latency period so that an untimed
// bus asks for that packet.
//
// Threads: UsbDeviceModel methods run on the bus's scheduler thread; the
// LineDevice methods on whatever thread drives the line; the accessors and
// test back doors on any thread. `mu_` guards all state; it is never held
// while calling into the line.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cehost/usb_device_model.h"
#include "sim/rx_fifo.h"
#include "sim/serial_line.h"

namespace sim {

enum class FtdiChip {
    kDivisor,       // divisor baud generator, plain bulk-OUT data
    kHeaderFramed,  // rate codes, a header byte on every bulk-OUT transfer
};

struct FtdiModelConfig {
    FtdiChip chip = FtdiChip::kDivisor;
    uint16_t vendor = 0x0403;
    uint16_t product = 0x6001;
    uint16_t release = 0x0600;
    uint16_t bcdUsb = 0x0200;
    uint16_t packet = 64;  // wMaxPacketSize of both bulk endpoints
    uint8_t inEndpoint = 0x81;
    uint8_t outEndpoint = 0x02;
    // Base clock of the baud generator: 3 MHz, or 750 kHz on chips whose
    // divisor is computed from 6 MHz.
    uint32_t baseClock = 3000000;
    unsigned latencyMs = 16;
    std::string manufacturer = "FTDI";
    std::string productName = "FT232R USB UART";
    std::string serial = "SLX00001";
    size_t rxFifo = 4096;  // bytes the chip buffers before it reports overrun

    // The full-speed divisor chip (0403:6001).
    static FtdiModelConfig FullSpeed();
    // The high-speed divisor chip (0403:6014): 512-byte packets, one
    // interface.
    static FtdiModelConfig HighSpeed();
    // The header-framed chip (0403:8372).
    static FtdiModelConfig HeaderFramed();
};

// One vendor request as the chip received it.
struct FtdiRequest {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
    bool operator==(const FtdiRequest&) const = default;
};

// One bulk-OUT transfer as the header-framed chip saw it.
struct FtdiOutPacket {
    size_t length = 0;  // bytes of the packet, header included
    int declared = -1;  // data length in its header; -1 when it had none
    bool operator==(const FtdiOutPacket&) const = default;
};

// The chip's state as the host left it, decoded.
struct FtdiState {
    uint32_t baud = 9600;         // rate the baud generator runs at (rounded)
    uint16_t divisorValue = 0;    // wValue of the last baud-rate request
    uint32_t divisorEighths = 0;  // the divisor it decodes to, in eighths
    int rateCode = -1;            // header-framed chip: last rate code
    uint8_t dataBits = 8;
    uint8_t parity = 0;    // DCB codes: 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t stopBits = 0;  // DCB codes: 0 one, 1 one and a half, 2 two
    bool breakOn = false;
    bool dtr = false;
    bool rts = false;
    unsigned latencyMs = 16;
    uint64_t resets = 0;        // reset requests (wValue 0)
    uint64_t headerErrors = 0;  // bulk-OUT transfers whose header did not match
    uint64_t badRequests = 0;   // requests the chip refused (stalled)
};

class FtdiModel : public cehost::UsbDeviceModel, public LineDevice {
  public:
    FtdiModel(FtdiModelConfig config, std::shared_ptr<SerialLine> line);
    ~FtdiModel() override;

    // ---- UsbDeviceModel (scheduler thread) ----
    cehost::Bytes DeviceDescriptor() override;
    cehost::Bytes ConfigurationDescriptor(uint8_t index) override;
    cehost::Bytes StringDescriptor(uint8_t index, uint16_t language) override;
    cehost::UsbHandshake Control(const USB_DEVICE_REQUEST& setup, const cehost::Bytes& out,
                                 cehost::Bytes& in) override;
    cehost::UsbHandshake Out(uint8_t endpoint, const uint8_t* data, size_t length) override;
    cehost::UsbHandshake In(uint8_t endpoint, size_t maxPacket, cehost::Bytes& packet) override;
    std::string Name() const override;

    // ---- LineDevice ----
    void LineReceive(const uint8_t* data, size_t length) override;
    void LineInputs(const ModemInputs& inputs) override;
    void LineError(uint32_t errors) override;
    void LineBreak(bool on) override;
    void LineTransmitReady() override;

    // ---- state, for tests ----
    const FtdiModelConfig& Config() const { return config_; }
    FtdiState State() const;
    std::vector<FtdiRequest> Requests() const;
    // Header-framed chip: every bulk-OUT transfer, in order.
    std::vector<FtdiOutPacket> OutPackets() const;
    // Divisor chip: every bulk-OUT packet's length (zero-length included).
    std::vector<size_t> OutPacketLengths() const;
    uint64_t BytesSent() const;      // data put onto the line
    uint64_t BytesReceived() const;  // data given to the host on bulk-IN
    uint64_t StatusOnlyPackets() const;
    uint64_t BytesDropped() const;  // lost to a full receive FIFO (overrun)
    size_t Pending() const;         // data waiting in the receive FIFO

    // ---- back doors ----
    // The next bulk-IN packet is exactly these bytes (status pair included
    // or not), ahead of anything the chip would send.
    void QueueRawPacket(const cehost::Bytes& packet);
    void SetLatency(unsigned ms);

  private:
    bool Divisor() const { return config_.chip == FtdiChip::kDivisor; }
    // Decodes a divisor request into state_ (mu_ held); false, with state_
    // unchanged, for a value the chip cannot use (a divisor below 2 other
    // than 0 and exactly 1): the request is then stalled.
    bool ApplyDivisorLocked(uint16_t value, uint16_t index);
    uint8_t ModemStatusLocked() const;
    void TimerLoop();

    const FtdiModelConfig config_;
    const std::shared_ptr<SerialLine> line_;

    mutable std::mutex mu_;
    FtdiState state_;                               // mu_
    std::vector<FtdiRequest> requests_;             // mu_
    std::vector<FtdiOutPacket> outPackets_;         // mu_
    std::vector<size_t> outLengths_;                // mu_
    RxFifo rx_;                                     // mu_
    std::deque<cehost::Bytes> raw_;                 // mu_
    ModemInputs inputs_;                            // mu_
    uint8_t pendingLine_ = 0;                       // mu_: error and break bits not yet reported
    int lastModemSent_ = -1;                        // mu_: modem-status byte of the last packet
    std::chrono::steady_clock::time_point lastIn_;  // mu_
    uint64_t sent_ = 0, received_ = 0, statusOnly_ = 0;  // mu_

    std::condition_variable timerCv_;
    bool stopping_ = false;  // mu_
    std::thread timer_;
};

}  // namespace sim
