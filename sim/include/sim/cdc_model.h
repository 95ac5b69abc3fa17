// Devices of the USB communications class, abstract control model, and the
// chips that follow its requests: a status (interrupt-IN) endpoint carrying
// SERIAL_STATE notifications, bulk pairs for the data, and the class
// requests SET/GET/CLEAR_COMM_FEATURE, SET/GET_LINE_CODING,
// SET_CONTROL_LINE_STATE and SEND_BREAK on the default pipe, addressed to
// the interface that owns the status endpoint.
//
// Layouts:
//   kAcm             communication interface (class 2, subclass 2) with the
//                    status endpoint, data interface (class 10) with a bulk
//                    pair;
//   kSingleInterface one vendor-specific interface (class 255) holding
//                    interrupt-IN, bulk-IN and bulk-OUT; such chips report
//                    CTS in bit 7 of the UART state bitmap;
//   kTwoChannel      a communication interface with the status endpoint and
//                    two data interfaces, each with its bulk pair and its own
//                    serial line. Class requests and the status endpoint
//                    concern the first channel; the second is a plain data
//                    path whose line keeps its power-on settings;
//   kComposite       a composite device: a mass-storage function
//                    (interface 0, bulk pair 0x81/0x01) and a HID function
//                    (interface 1, interrupt-IN 0x82) that the model does not
//                    serve (their endpoints never have data), then the kAcm
//                    pair joined by an interface association descriptor.
//
// The communication interface (the single interface of kSingleInterface)
// has the number `controlInterface`, the data interfaces the numbers after
// it; class requests whose wIndex names another interface are stalled.
//
// Each channel puts the line coding, DTR, RTS and break onto its serial line
// and buffers what the line receives for its bulk-IN endpoint. The first
// channel's DCD, DSR, ring and received-break levels (and CTS, where the
// chip reports it) are watched: every change of them, and every framing,
// parity or overrun error, queues a 10-byte SERIAL_STATE notification whose
// bitmap carries the levels as they now are plus the errors just seen (each
// error is reported once). A notification longer than the status endpoint's
// packet size goes out in several packets.
//
// Threads: the UsbDeviceModel methods run on the bus's scheduler thread, the
// LineDevice callbacks on whatever thread drives a line, the accessors and
// back doors on any thread. `mu_` guards all state; it is never held while
// calling into a line (a loopback plug calls straight back).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cehost/usb_device_model.h"
#include "sim/rx_fifo.h"
#include "sim/serial_line.h"

namespace sim {

enum class CdcLayout { kAcm, kSingleInterface, kTwoChannel, kComposite };

struct CdcModelConfig {
    CdcLayout layout = CdcLayout::kAcm;
    uint16_t vendor = 0x1209;
    uint16_t product = 0x5E10;
    uint16_t release = 0x0100;
    uint16_t bcdUsb = 0x0200;
    // Number of the communication interface, which class requests name in
    // wIndex (2 for kComposite: the other functions come first).
    uint8_t controlInterface = 0;
    // Status endpoint.
    uint8_t notifyEndpoint = 0x81;
    uint16_t notifyPacket = 16;
    uint8_t notifyInterval = 1;
    // Bulk pair of the first channel, and of the second (kTwoChannel).
    uint8_t dataIn = 0x82;
    uint8_t dataOut = 0x02;
    uint8_t dataIn2 = 0x83;
    uint8_t dataOut2 = 0x03;
    uint16_t bulkPacket = 64;
    // SERIAL_STATE bit 7 reports CTS.
    bool ctsInState = false;
    // false: the device stalls SET_LINE_CODING and keeps its coding.
    bool acceptsLineCoding = true;
    // false: the device stalls SET, GET and CLEAR_COMM_FEATURE, as Linux's
    // CDC ACM gadget function does (its descriptor does not offer them, and
    // neither does this model's).
    bool commFeature = true;
    std::string manufacturer = "Serlynx Sim";
    std::string productName = "CDC serial device";
    std::string serial = "CDC00001";
    size_t rxFifo = 4096;  // bytes each channel buffers before it drops
};

// The devices of the test bench.
CdcModelConfig CdcAcmConfig();         // 1209:5E10, communication + data interface
CdcModelConfig CdcCtsChipConfig();     // 1209:5E11, one class-255 interface, CTS in bit 7
CdcModelConfig CdcNoCodingConfig();    // 0482:0203, stalls SET_LINE_CODING
CdcModelConfig CdcTwoChannelConfig();  // 1209:5E12, one communication, two data interfaces
CdcModelConfig CdcCompositeConfig();   // 1209:5E13, storage + HID, then CDC at interfaces 2, 3

// One class request as the device received it.
struct CdcRequest {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
    std::vector<uint8_t> data;  // host-to-device data stage
    bool stalled = false;       // the device refused it
};

// Class request codes and UART state bits, as the device decodes them.
namespace cdc {
constexpr uint8_t kSetCommFeature = 0x02;
constexpr uint8_t kGetCommFeature = 0x03;
constexpr uint8_t kClearCommFeature = 0x04;
constexpr uint8_t kSetLineCoding = 0x20;
constexpr uint8_t kGetLineCoding = 0x21;
constexpr uint8_t kSetControlLineState = 0x22;
constexpr uint8_t kSendBreak = 0x23;
constexpr uint8_t kSerialStateNotification = 0x20;

constexpr uint16_t kStateDcd = 0x0001;
constexpr uint16_t kStateDsr = 0x0002;
constexpr uint16_t kStateBreak = 0x0004;
constexpr uint16_t kStateRing = 0x0008;
constexpr uint16_t kStateFraming = 0x0010;
constexpr uint16_t kStateParity = 0x0020;
constexpr uint16_t kStateOverrun = 0x0040;
constexpr uint16_t kStateCts = 0x0080;

// The 10-byte SERIAL_STATE notification for `interface`.
std::vector<uint8_t> SerialState(uint16_t interface, uint16_t bitmap);
}  // namespace cdc

class CdcModel : public cehost::UsbDeviceModel {
  public:
    // `line2` serves the second channel of kTwoChannel and is ignored
    // otherwise. Either line may be null (an open cable).
    CdcModel(CdcModelConfig config, std::shared_ptr<SerialLine> line,
             std::shared_ptr<SerialLine> line2 = nullptr);
    ~CdcModel() override;

    // ---- UsbDeviceModel (scheduler thread) ----
    cehost::Bytes DeviceDescriptor() override;
    cehost::Bytes ConfigurationDescriptor(uint8_t index) override;
    cehost::Bytes StringDescriptor(uint8_t index, uint16_t language) override;
    cehost::UsbHandshake Control(const USB_DEVICE_REQUEST& setup, const cehost::Bytes& out,
                                 cehost::Bytes& in) override;
    cehost::UsbHandshake Out(uint8_t endpoint, const uint8_t* data, size_t length) override;
    cehost::UsbHandshake In(uint8_t endpoint, size_t maxPacket, cehost::Bytes& packet) override;
    void Configured(uint8_t value) override;
    void Unplugged() override;
    std::string Name() const override;

    // ---- state, for tests (any thread); `channel` 0 or 1 ----
    const CdcModelConfig& Config() const { return config_; }
    // Interface number class requests must name (their whole wIndex).
    uint8_t ControlInterface() const { return config_.controlInterface; }
    LineConfig Coding(size_t channel = 0) const;
    // The 7 bytes of the last SET_LINE_CODING the device accepted (empty
    // before any).
    std::vector<uint8_t> LastLineCoding() const;
    bool Dtr(size_t channel = 0) const;
    bool Rts(size_t channel = 0) const;
    bool Break(size_t channel = 0) const;
    // Last ABSTRACT_STATE set with SET_COMM_FEATURE (-1 before any).
    int AbstractState() const;
    // Every class request received, oldest first, and those of one code.
    std::vector<CdcRequest> Requests() const;
    size_t RequestCount(uint8_t request) const;
    void ClearRequests();
    // Bitmaps of the SERIAL_STATE notifications the host has taken whole.
    std::vector<uint16_t> StatesSent() const;
    // Notifications (or raw packets) still waiting for the host.
    size_t NotificationsPending() const;
    uint64_t BytesSent(size_t channel = 0) const;      // bulk-OUT onto the line
    uint64_t BytesReceived(size_t channel = 0) const;  // given to the host on bulk-IN
    size_t Pending(size_t channel = 0) const;          // waiting in the receive FIFO
    uint64_t BytesDropped(size_t channel = 0) const;   // lost to a full FIFO (overrun)

    // ---- back doors ----
    // Queues an arbitrary interrupt-IN transfer (a malformed notification,
    // say); it goes out in packets like a notification.
    void QueueRawNotification(std::vector<uint8_t> bytes);
    // Queues a SERIAL_STATE with the current levels.
    void ReportState();

  private:
    // One serial channel: its line, what the host set and what the line
    // delivered. The LineDevice side forwards to the model.
    struct Channel : LineDevice {
        CdcModel* model = nullptr;
        size_t index = 0;
        std::shared_ptr<SerialLine> line;
        uint8_t in = 0, out = 0;
        // Guarded by model->mu_.
        LineConfig coding;
        bool dtr = false, rts = false, breakOn = false;
        RxFifo rx;
        uint64_t sent = 0, received = 0;
        ModemInputs inputs;
        bool breakIn = false;

        void LineReceive(const uint8_t* data, size_t length) override;
        void LineInputs(const ModemInputs& inputs) override;
        void LineError(uint32_t errors) override;
        void LineBreak(bool on) override;
        void LineTransmitReady() override;
    };

    // Interrupt-IN transfers waiting for the host; `serialState` marks the
    // model's own notifications (raw ones from the back door are not).
    struct Notification {
        std::vector<uint8_t> bytes;
        bool serialState = false;
    };

    size_t ChannelCount() const;
    // An endpoint of kComposite's other functions: never any data.
    bool OtherFunction(uint8_t endpoint) const;
    Channel* ChannelOfIn(uint8_t endpoint);
    Channel* ChannelOfOut(uint8_t endpoint);
    const Channel& At(size_t channel) const;
    // Levels of the first channel as the bitmap reports them (no errors).
    uint16_t LevelsLocked() const;
    // Queues a notification when the levels changed or errors came.
    void NotifyLocked(uint16_t errors);
    void QueueLocked(Notification notification);
    // Power-on state of the channels' outputs and coding.
    void ResetChannelsLocked();
    // Puts a channel's outputs onto its line; call without mu_.
    void DriveLine(size_t channel);
    cehost::UsbHandshake ClassRequest(const USB_DEVICE_REQUEST& setup, const cehost::Bytes& out,
                                      cehost::Bytes& in);

    const CdcModelConfig config_;
    Channel channels_[2];

    mutable std::mutex mu_;
    std::vector<uint8_t> lastCoding_;         // mu_
    int abstractState_ = -1;                  // mu_
    std::vector<CdcRequest> requests_;        // mu_
    std::deque<Notification> notifications_;  // mu_
    size_t notifyOffset_ = 0;                 // mu_: bytes of the head already sent
    uint16_t reported_ = 0;                   // mu_: levels last queued
    std::vector<uint16_t> statesSent_;        // mu_
};

}  // namespace sim
