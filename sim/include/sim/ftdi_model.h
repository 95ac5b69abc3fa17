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
// Receiving, as the chips do it:
//   - the latency timer: received data is held until a packet's worth is
//     waiting (62 data bytes on 64-byte chips, 510 on 512-byte ones), the
//     event character (SET_EVENT_CHAR, bit 8 of wValue enables the
//     character in bits 0-7) arrives, a modem line changes, a line error or
//     break is received, or the timer (16 ms by default, SET_LATENCY_TIMER)
//     expires since the last packet; then the chip sends what it has, and a
//     status-only packet when it has nothing. `holdData` false sends data
//     as soon as the host asks (the quick chip some tests want);
//   - line errors and breaks belong to characters: an error marks the
//     character it came with (the newest one waiting, or else the next one
//     to arrive), a break puts a NUL character marked with the break bit
//     into the FIFO, and a full FIFO marks its newest character with the
//     overrun bit and counts the bytes lost. A packet's line-status byte
//     carries the marks of the characters in it; status-only packets repeat
//     those of the last packet with data until another character is sent,
//     as the chips' line-status register keeps them: only a packet with
//     data says anything new about errors and breaks;
//   - FIFO sizes of the parts: 256 bytes receive on the full-speed chip,
//     1 KiB on the high-speed one, 4 KiB per port on the two-port chip (the
//     128-byte transmit FIFO of the full-speed chip is LinePacing's default
//     on a paced line);
//   - reset (SIO reset, wValue 0) empties the receive FIFO and forgets the
//     status marks; purge receive (wValue 1) empties the receive FIFO;
//     purge transmit (wValue 2) has nothing to empty here (the line holds
//     the transmit FIFO). Settings survive both.
// The high-speed chips take the baud-rate divisor's bits above 16 in the
// high byte of wIndex (bit 16 the finer sub-integer steps, bit 17 the
// 12 MHz base instead of 3 MHz) and, in the low byte of every request's
// wIndex, the port it is for: 0 or 1 port A, 2 port B on the two-port chip;
// a request for a port the chip does not have is stalled. The full-speed
// chip takes divisor bit 16 in wIndex bit 0 and has one port.
//
// The two-port chip (0403:6010, `ports` 2) has one vendor interface per
// port, each with its own bulk pair (port A 0x81/0x02, port B 0x83/0x04),
// serial line, receive FIFO, settings and latency timer; the ports share
// nothing but the default pipe.
//
// A timer thread wakes the bus when a port's latency timer is due, so that
// an untimed bus asks for that packet.
//
// Threads: UsbDeviceModel methods run on the bus's scheduler thread; the
// LineDevice methods of a port on whatever thread drives its line; the
// accessors and test back doors on any thread. `mu_` guards all state; it is
// never held while calling into a line.
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
    size_t rxFifo = 256;  // bytes the chip buffers before it reports overrun
    // Received data waits for a full packet, an event or the latency timer.
    bool holdData = true;
    // Every request's wIndex names the port in its low byte, and the
    // baud-rate request's holds divisor bits 16-17 in its high byte (the
    // high-speed chips).
    bool indexPort = false;
    // Ports (1 or 2), and the bulk pair of port B.
    uint8_t ports = 1;
    uint8_t inEndpoint2 = 0x83;
    uint8_t outEndpoint2 = 0x04;

    // The full-speed divisor chip (0403:6001).
    static FtdiModelConfig FullSpeed();
    // The high-speed divisor chip (0403:6014): 512-byte packets, one
    // interface.
    static FtdiModelConfig HighSpeed();
    // The two-port high-speed chip (0403:6010): 512-byte packets, 4 KiB
    // receive FIFO per port.
    static FtdiModelConfig DualHighSpeed();
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
    int eventChar = -1;         // enabled event character, -1 when off
    uint64_t resets = 0;        // reset requests (wValue 0)
    uint64_t headerErrors = 0;  // bulk-OUT transfers whose header did not match
    uint64_t badRequests = 0;   // requests the chip refused (stalled)
};

class FtdiModel : public cehost::UsbDeviceModel {
  public:
    // `line2` serves port B of the two-port chip and is ignored otherwise.
    // Either line may be null (an open cable).
    FtdiModel(FtdiModelConfig config, std::shared_ptr<SerialLine> line,
              std::shared_ptr<SerialLine> line2 = nullptr);
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

    // ---- state, for tests (any thread); `port` 0 (A) or 1 (B) ----
    const FtdiModelConfig& Config() const { return config_; }
    FtdiState State(size_t port = 0) const;
    // Every vendor request, whichever port it named.
    std::vector<FtdiRequest> Requests() const;
    // Header-framed chip: every bulk-OUT transfer, in order.
    std::vector<FtdiOutPacket> OutPackets() const;
    // Divisor chip: every bulk-OUT packet's length (zero-length included).
    std::vector<size_t> OutPacketLengths(size_t port = 0) const;
    uint64_t BytesSent(size_t port = 0) const;      // data put onto the line
    uint64_t BytesReceived(size_t port = 0) const;  // data given to the host on bulk-IN
    uint64_t StatusOnlyPackets(size_t port = 0) const;
    uint64_t BytesDropped(size_t port = 0) const;  // lost to a full receive FIFO (overrun)
    size_t Pending(size_t port = 0) const;         // data waiting in the receive FIFO

    // ---- back doors ----
    // The next bulk-IN packet of port A is exactly these bytes (status pair
    // included or not), ahead of anything the chip would send.
    void QueueRawPacket(const cehost::Bytes& packet);
    void SetLatency(unsigned ms, size_t port = 0);

  private:
    // One serial port of the chip: its line and what the host set, what the
    // line delivered. The LineDevice side forwards to the model.
    struct Port : LineDevice {
        FtdiModel* model = nullptr;
        std::shared_ptr<SerialLine> line;
        uint8_t in = 0, out = 0;
        // Guarded by model->mu_.
        FtdiState state;
        std::vector<size_t> outLengths;
        RxFifo rx;
        std::deque<cehost::Bytes> raw;
        ModemInputs inputs;
        // Line-status marks of characters in rx, by the character's number
        // (pushed counts characters stored, popped those sent).
        std::deque<std::pair<uint64_t, uint8_t>> marks;
        uint64_t pushed = 0, popped = 0;
        uint8_t nextMark = 0;                          // bits for the next character to arrive
        uint8_t lastLine = 0;                          // marks of the last packet with data
        bool eventSeen = false;                        // the event character waits in rx
        int lastModemSent = -1;                        // modem-status byte of the last packet
        std::chrono::steady_clock::time_point lastIn;  // the last packet sent
        std::chrono::steady_clock::time_point woken;   // the timer's last wake
        uint64_t sent = 0, received = 0, statusOnly = 0;

        uint8_t ModemStatusLocked() const;
        // Marks the newest character waiting with line-status bits, or,
        // when none waits, the next one to arrive.
        void MarkLocked(uint8_t bits);
        void ClearReceiveLocked();

        void LineReceive(const uint8_t* data, size_t length) override;
        void LineInputs(const ModemInputs& inputs) override;
        void LineError(uint32_t errors) override;
        void LineBreak(bool on) override;
        void LineTransmitReady() override;
    };

    bool Divisor() const { return config_.chip == FtdiChip::kDivisor; }
    size_t PortCount() const { return config_.ports > 1 ? 2 : 1; }
    // The port a request's wIndex names; nullptr for none the chip has.
    Port* PortOfIndex(uint16_t index);
    // Decodes a divisor request into the port's state (mu_ held); false,
    // with the state unchanged, for a value the chip cannot use (a divisor
    // below 2 other than 0 and exactly 1): the request is then stalled.
    bool ApplyDivisorLocked(Port& p, uint16_t value, uint16_t index);
    const Port& At(size_t port) const;
    void TimerLoop();

    const FtdiModelConfig config_;
    Port ports_[2];

    mutable std::mutex mu_;
    std::vector<FtdiRequest> requests_;      // mu_
    std::vector<FtdiOutPacket> outPackets_;  // mu_

    std::condition_variable timerCv_;
    bool stopping_ = false;  // mu_
    std::thread timer_;
};

}  // namespace sim
