// The FTDI and type-4 ports as an application sees them, with the chip's
// state read back from the model: the rate its baud generator runs at, its
// data format and modem outputs, what the host made of the status pair at
// the head of every bulk-IN packet, the header byte the header-framed chip
// checks and strips from every bulk-OUT transfer, and the type-4 device's
// writes as vendor requests on the default pipe. And the chip models on what
// the driver cannot see: the receive FIFO's hold and marks, the two-port chip.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>

#include "common/com_port_test.h"
#include "sim/ftdi_model.h"
#include "sim/rcs310_model.h"
#include "sim/serial_line.h"

namespace {

using namespace comtest;
using Bytes = std::vector<uint8_t>;
using enum cehost::UsbHandshake;

// A chip model on a scripted line served as COM1: and opened (`usbMode`
// other than -1 replaces the word the first attach chose); the handle is
// closed before the device goes, also when a test fails.
template <class Model>
class ServedTest : public ComPortTest {
  protected:
    template <class Config>
    void ServeChip(const Config& config, long usbMode = -1,
                   cehost::UsbTiming timing = cehost::UsbTiming::kUntimed) {
        Replace();
        bus_ = std::make_unique<cehost::UsbBus>(timing);
        line_ = std::make_shared<sim::ScriptedLine>();
        chip_ = std::make_shared<Model>(config, line_);
        Serve(chip_, [usbMode](const std::u16string& key) {
            ASSERT_TRUE(usbMode < 0 || cehost::RegWriteDword(key, kValueUsbMode, DWORD(usbMode)));
        });
        h_ = OpenCom();
        ASSERT_NE(h_, INVALID_HANDLE_VALUE);
    }
    void Replace() {
        if (h_ != INVALID_HANDLE_VALUE)
            CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
        Unplug();
        bus_.reset();
    }
    void TearDown() override {
        Replace();
        ComPortTest::TearDown();
    }
    std::shared_ptr<sim::ScriptedLine> line_;
    std::shared_ptr<Model> chip_;
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

class FtdiPortTest : public ServedTest<sim::FtdiModel> {
  protected:
    void Serve(long usbMode = -1, bool highSpeed = false, bool header = false,
               uint16_t packet = 64) {
        sim::FtdiModelConfig c = header      ? sim::FtdiModelConfig::HeaderFramed()
                                 : highSpeed ? sim::FtdiModelConfig::HighSpeed()
                                             : sim::FtdiModelConfig::FullSpeed();
        c.rxFifo = 4096;  // a block injected at once arrives whole
        if (header)
            c.packet = packet;
        ServeChip(c, usbMode,
                  highSpeed ? cehost::UsbTiming::kHighSpeed : cehost::UsbTiming::kUntimed);
    }
    // The wValue of the last request `request` the chip received.
    int LastValue(uint8_t request) const {
        int value = -1;
        for (const sim::FtdiRequest& r : chip_->Requests())
            value = r.bRequest == request ? r.wValue : value;
        return value;
    }
    // Data lengths of the transfers the header-framed chip received since
    // `from`, after checking that each header matched its transfer.
    std::vector<int> DataLengths(size_t from = 0) const {
        std::vector<int> lengths;
        const auto packets = chip_->OutPackets();
        for (size_t i = from; i < packets.size(); ++i) {
            EXPECT_EQ(static_cast<size_t>(packets[i].declared) + 1, packets[i].length);
            lengths.push_back(packets[i].declared);
        }
        EXPECT_EQ(chip_->State().headerErrors, 0u);
        return lengths;
    }
};
class FtdiHeaderPortTest : public FtdiPortTest {};

// The divisor for each rate and the rate the chip then runs at: 3 MHz base
// for the 24 MHz computation, 750 kHz for the 6 MHz one. Below a divisor of
// 2 only 0, 1 (two thirds of the base) and 2 exist; rates too slow get the
// largest divisor; rate 0 means 9600. The tool's rate table must agree.
TEST_F(FtdiPortTest, DivisorDecodesToTheRateItStandsFor) {
    const struct {
        DWORD usbMode, rate;  // 0x303: the 6 MHz computation
        uint16_t wValue;
        uint32_t runsAt;
    } cases[] = {{0x203, 9600, 0x4138, 9600},       {0x203, 19200, 0x809C, 19200},
                 {0x203, 38400, 0xC04E, 38400},     {0x203, 115200, 0x001A, 115385},
                 {0x203, 1600000, 0x0002, 1500000}, {0x203, 1750000, 0x0001, 2000000},
                 {0x203, 2600000, 0x0000, 3000000}, {0x203, 0, 0x4138, 9600},
                 {0x203, 184, 0xBFB0, 184},         {0x203, 183, 0x7FFF, 183},
                 {0x303, 115200, 0x4006, 115385},   {0x303, 45, 0x7FFF, 46}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.usbMode << " " << c.rate);
        sim::FtdiModelConfig config = sim::FtdiModelConfig::FullSpeed();
        config.baseClock = c.usbMode == 0x303 ? 750000 : 3000000;
        if (chip_ == nullptr || chip_->Config().baseClock != config.baseClock)
            ServeChip(config, c.usbMode);
        ASSERT_TRUE(EditDcb(h_, [&](DCB& d) { d.BaudRate = c.rate; }));
        EXPECT_EQ(std::tuple(chip_->State().divisorValue, line_->Config().baud),
                  std::tuple(c.wValue, c.runsAt));
        EXPECT_EQ(chip_->State().badRequests, 0u);
        const serlynx::RateFit fit = serlynx::FtdiRateFit(c.rate, c.usbMode);
        EXPECT_EQ(std::tuple(fit.wValue, fit.actual), std::tuple(c.wValue, c.runsAt));
    }
}

// Data bits, parity and stop bits go into the format word unchanged, and the
// break bit follows SetCommBreak / ClearCommBreak. A format the chips cannot
// run (word -1) is refused and the chip keeps the one it had. Each line
// request names only its own line in the mask byte; settings name both lines
// at once; the last close drops both. The chip takes no zero-length packets,
// not even after a write that one transfer carries whole (flag 0x400) and
// that ends on a packet boundary.
TEST_F(FtdiPortTest, FormatAndModemControlWords) {
    Serve(0x603);
    EXPECT_EQ(chip_->State().resets, 1u);  // by the port's start
    EXPECT_EQ(LastValue(0x01), 0x0300);    // the first open's defaults
    int last = 0x0008;
    for (auto [bits, parity, stop, word] :
         {std::tuple<BYTE, BYTE, BYTE, int>{7, EVENPARITY, TWOSTOPBITS, 0x1207},
          {8, MARKPARITY, ONE5STOPBITS, 0x0B08},
          {8, SPACEPARITY, ONESTOPBIT, 0x0408},
          {5, NOPARITY, ONESTOPBIT, -1},
          {8, 0x40, ONESTOPBIT, -1},
          {8, NOPARITY, 8, -1}}) {
        SCOPED_TRACE(word);
        const sim::LineConfig before = line_->Config();
        EXPECT_EQ(EditDcb(h_,
                          [&](DCB& d) {
                              d.ByteSize = bits;
                              d.Parity = parity;
                              d.StopBits = stop;
                          }),
                  word >= 0);
        EXPECT_EQ(line_->Config(), (word < 0 ? before : sim::LineConfig{9600, bits, parity, stop}));
        last = word < 0 ? last : word;
        EXPECT_EQ(LastValue(0x04), last);
    }
    ASSERT_TRUE(SetCommBreak(h_));
    EXPECT_TRUE(LastValue(0x04) == (last | 0x4000) && line_->Break());
    ASSERT_TRUE(ClearCommBreak(h_));
    EXPECT_TRUE(LastValue(0x04) == last && !line_->Break());
    EXPECT_EQ(chip_->State().badRequests, 0u);

    for (auto [function, word, dtr, rts] : {std::tuple{SETDTR, 0x0101, true, false},
                                            {SETRTS, 0x0202, true, true},
                                            {CLRDTR, 0x0100, false, true},
                                            {CLRRTS, 0x0200, false, false}}) {
        SCOPED_TRACE(word);
        ASSERT_TRUE(EscapeCommFunction(h_, function));
        EXPECT_EQ(LastValue(0x01), word);
        EXPECT_EQ(std::pair(line_->Dtr(), line_->Rts()), std::pair(dtr, rts));
    }
    ASSERT_TRUE(EditDcb(h_, [](DCB& d) {
        d.fDtrControl = DTR_CONTROL_ENABLE;
        d.fRtsControl = RTS_CONTROL_ENABLE;
    }));
    EXPECT_TRUE(LastValue(0x01) == 0x0303 && line_->Dtr() && line_->Rts());

    bus_->ClearLog();
    EXPECT_EQ(WriteAll(h_, PatternBytes(128)), 128u);
    EXPECT_EQ(line_->TakeTransmitted(), PatternBytes(128));
    for (const cehost::UsbLogEntry& e : bus_->Log())
        EXPECT_FALSE(e.event == 'S' && e.endpoint == 0x02 && e.urbLength == 0);
    Replace();
    EXPECT_FALSE(line_->Dtr() || line_->Rts());
}

// Packets of every shape: the status pair is taken off each, the line
// errors of a packet with data counted (a status-only packet repeats the
// last ones), undefined bits ignored, a lone byte dropped. A marker packet
// after each shows what it delivered. The 512-byte chip's packets hold 510
// data bytes behind one status pair.
TEST_F(FtdiPortTest, ReceivedPacketsAreSplitIntoStatusAndData) {
    const Bytes p62 = PatternBytes(62, 0x40), p510 = PatternBytes(510, 0x90);
    const struct {
        bool highSpeed;
        Bytes status, data;
        DWORD errors;
    } cases[] = {{false, {0x31, 0x60}, p62, 0},
                 {false, {0x3F, 0x6E}, {'y'}, CE_OVERRUN | CE_RXPARITY | CE_FRAME},
                 {false, {0x3F, 0x7E}, {}, 0},
                 {false, {0x3F, 0xE1}, {}, 0},
                 {false, {0x31}, {}, 0},
                 {true, {0x31, 0x62}, p510, CE_OVERRUN}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.status));
        if (chip_ == nullptr || c.highSpeed) {
            Serve(-1, c.highSpeed);
            line_->SetCts(true);
            line_->SetDsr(true);
            SetTimeouts(h_, 0, 0, 3000);
            ASSERT_TRUE(Eventually([&] { return ModemStatus(h_) == (MS_CTS_ON | MS_DSR_ON); }));
        }
        Bytes packet = c.status, expected = c.data;
        packet.insert(packet.end(), c.data.begin(), c.data.end());
        chip_->QueueRawPacket(packet);
        chip_->QueueRawPacket({0x31, 0x60, '#'});
        expected.push_back('#');
        EXPECT_EQ(ReadAll(h_, expected.size()), expected);
        EXPECT_EQ(TakeErrors(h_), c.errors);
        EXPECT_EQ(ModemStatus(h_), static_cast<DWORD>(MS_CTS_ON | MS_DSR_ON));
    }
    const Bytes data = PatternBytes(510 * 3 + 100);  // none of it taken for status
    line_->Inject(data);
    EXPECT_EQ(ReadAll(h_, data.size()), data);
    EXPECT_EQ(TakeErrors(h_), 0u);
}

// The serial side reaches the application: modem lines as they are, errors
// and a break once each (they come with a character; the status-only
// packets after it repeat them): a break is one EV_BREAK.
TEST_F(FtdiPortTest, LineEventsReachTheApplication) {
    Serve();
    ASSERT_TRUE(Eventually([&] { return ModemStatus(h_) == 0; }));  // the first status
    ASSERT_TRUE(SetCommMask(h_, EV_CTS | EV_RLSD | EV_RING | EV_ERR | EV_BREAK));
    constexpr DWORD kAll = MS_CTS_ON | MS_RLSD_ON | MS_RING_ON;
    const struct {
        std::function<void()> act;
        DWORD event, modem, errors;
    } cases[] = {{[&] { line_->SetCts(true); }, EV_CTS, MS_CTS_ON, 0},
                 {[&] { line_->SetDcd(true); }, EV_RLSD, MS_CTS_ON | MS_RLSD_ON, 0},
                 {[&] { line_->SetRi(true); }, EV_RING, kAll, 0},
                 {[&] {
                      line_->InjectError(sim::kLineFraming | sim::kLineParity);
                      line_->Inject({'x'});
                  },
                  EV_ERR, kAll, CE_FRAME | CE_RXPARITY},
                 {[&] { line_->InjectBreak(true); }, EV_BREAK, kAll, CE_BREAK}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.event);
        c.act();
        EXPECT_TRUE(WaitEvents(h_).value_or(0) & c.event);
        EXPECT_EQ(ModemStatus(h_), c.modem);
        DWORD errors = 0;
        ASSERT_TRUE(
            Eventually([&] { return ((errors |= TakeErrors(h_)) & c.errors) == c.errors; }));
        EXPECT_EQ(errors, c.errors);
        EXPECT_TRUE(Eventually([&] { return TakeErrors(h_) == 0; }));
    }
    EXPECT_EQ(WaitEvents(h_, 100), std::nullopt);  // no second EV_BREAK
}

// Every transfer is a header and at most 62 data bytes on a 64-byte
// endpoint (63 on a larger one: the header has 6 bits for the length),
// never 15 mod 16 bytes long unless flag 0x800 allows it; the application's
// count is of data bytes. The immediate character goes alone. A rate
// without a code runs the chip at 9600.
TEST_F(FtdiHeaderPortTest, WriteLengths) {
    const struct {
        size_t write;
        std::vector<int> plain, flagged, large;  // data bytes per transfer
    } cases[] = {{100, {61, 39}, {62, 38}, {63, 37}},
                 {62, {61, 1}, {62}, {62}},
                 {14, {13, 1}, {14}, {14}},
                 {0, {0}, {0}, {0}}};
    for (const int mode : {0, 1, 2}) {
        SCOPED_TRACE(mode);
        Serve(mode == 0 ? -1 : 0x803, false, true, mode == 2 ? 128 : 64);
        for (auto [rate, code, runsAt] :
             {std::tuple{300u, 0, 300u}, {115200u, 9, 115200u}, {14400u, 5, 9600u}}) {
            ASSERT_TRUE(EditDcb(h_, [&](DCB& d) { d.BaudRate = rate; }));
            EXPECT_EQ(std::pair(chip_->State().rateCode, line_->Config().baud),
                      std::pair(code, runsAt));
        }
        for (const auto& c : cases) {
            SCOPED_TRACE(c.write);
            const size_t from = chip_->OutPackets().size();
            const Bytes data = PatternBytes(c.write);
            EXPECT_EQ(WriteAll(h_, data), data.size());
            EXPECT_EQ(DataLengths(from), mode == 0 ? c.plain : mode == 1 ? c.flagged : c.large);
            EXPECT_EQ(line_->TakeTransmitted(), data);
        }
        const size_t from = chip_->OutPackets().size();
        EXPECT_TRUE(TransmitCommChar(h_, '\x13'));
        EXPECT_EQ(DataLengths(from), std::vector<int>{1});
        EXPECT_EQ(line_->TakeTransmitted(), Bytes{0x13});
    }
}

using Rcs310PortTest = ServedTest<sim::Rcs310Model>;

// One write request per transfer, 261 bytes at most unless flag 0x400 lifts
// the limit; even then a request stops at 65535 bytes, what wLength can
// say. Without a bulk-OUT endpoint the first attach names none and the
// device is still written through the default pipe and read from bulk-IN.
// The device has no control lines, break or immediate character: those
// requests fail and send nothing; line settings send nothing.
TEST_F(Rcs310PortTest, WriteRequestLengths) {
    const struct {
        long usbMode;
        bool bulkOut;
        size_t write;
        std::vector<int> lengths;
    } cases[] = {{-1, false, 400, {261, 139}},  // first: the device key is written once
                 {-1, true, 261, {261}},
                 {0x404, true, 300, {300}},
                 {0x404, true, 70000, {65535, 4465}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.usbMode << " " << c.write);
        const size_t limit = c.usbMode < 0 ? 261 : 65535;
        ServeChip(sim::Rcs310ModelConfig{.bulkOut = c.bulkOut, .maxRequest = limit}, c.usbMode);
        const Bytes data = PatternBytes(c.write);
        EXPECT_EQ(WriteAll(h_, data), data.size());
        std::vector<int> lengths;
        for (const sim::Rcs310Request& r : chip_->Requests()) {
            EXPECT_TRUE(r.bmRequestType == 0x41 && (r.bRequest | r.wValue | r.wIndex) == 0);
            lengths.push_back(r.accepted ? r.wLength : -1);
        }
        EXPECT_EQ(lengths, c.lengths);
        EXPECT_EQ(line_->TakeTransmitted(), data);
        if (!c.bulkOut) {
            EXPECT_EQ(KeyDword(kValueSendEndp), 0u);
            SetTimeouts(h_, 0, 0, 3000);
            line_->Inject(PatternBytes(200, 0x50));
            EXPECT_EQ(ReadAll(h_, 200), PatternBytes(200, 0x50));
        }
    }
    const size_t sent = chip_->Requests().size();
    EXPECT_FALSE(EscapeCommFunction(h_, SETDTR) || SetCommBreak(h_) || TransmitCommChar(h_, 'x'));
    EXPECT_TRUE(EditDcb(h_, [](DCB& d) { d.BaudRate = 115200; }));
    EXPECT_EQ(chip_->Requests().size(), sent);
    EXPECT_TRUE(line_->TakeTransmitted().empty());
}

class FtdiModelTest : public PlatformTest {};

// The receive side as the chip runs it: data waits for a full packet, the
// event character, a marked character or the latency timer (long here, so
// that it never expires); errors and a break go with a character.
TEST_F(FtdiModelTest, ReceiveHoldsDataAndMarksCharacters) {
    auto line = std::make_shared<sim::ScriptedLine>();
    sim::FtdiModel chip(sim::FtdiModelConfig::FullSpeed(), line);
    const auto control = [&](uint8_t request, uint16_t value) {
        Bytes in;
        chip.Control(USB_DEVICE_REQUEST{0x40, request, value, 0, 0}, {}, in);
    };
    Bytes fullPacket = {0x01, 0x60, 'a', 'b'};  // the two bytes held and 60 more
    fullPacket.resize(64, 'f');
    const struct {
        int error;  // line error before the bytes; -1: a break
        Bytes bytes;
        bool reset;    // a reset request after them
        Bytes packet;  // the next bulk-IN packet; empty: none (NAK)
    } cases[] = {{0, {'a', 'b'}, false, {}},
                 {0, Bytes(60, 'f'), false, fullPacket},
                 {0, {'o', 'k', '\r'}, false, {0x01, 0x60, 'o', 'k', '\r'}},
                 {sim::kLineParity, {'p'}, false, {0x01, 0x64, 'p'}},
                 {-1, {}, false, {0x01, 0x70, 0x00}},
                 {0, {'r'}, true, {}}};
    control(0x09, 255);
    control(0x06, 0x100 | '\r');
    Bytes packet;
    ASSERT_EQ(chip.In(0x81, 64, packet), kAck);  // the first status
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        if (c.error != 0)
            c.error < 0 ? line->InjectBreak(true) : line->InjectError(c.error);
        line->Inject(c.bytes);
        if (c.reset)
            control(0x00, 0);
        packet.clear();
        EXPECT_EQ(chip.In(0x81, 64, packet), c.packet.empty() ? kNak : kAck);
        EXPECT_EQ(packet, c.packet);
    }
    EXPECT_EQ(chip.Pending(), 0u);
}

// The two-port chip: every request goes to the port its wIndex low byte
// names (0 and 1 port A, 2 port B; another is stalled), and each port has
// its own bulk pair, line and rate. Divisor bits 16-17 are in wIndex's
// high byte (17: the 12 MHz base).
TEST_F(FtdiModelTest, TwoPortChipKeepsItsPortsApart) {
    const struct {
        uint16_t value, index;  // of SET_BAUD_RATE
        cehost::UsbHandshake answer;
        uint32_t baudA, baudB;
    } cases[] = {{0x000A, 0x0202, kAck, 9600, 1200000},
                 {0x0003, 0x0100, kAck, 888889, 1200000},
                 {0x809C, 0x0001, kAck, 19200, 1200000},
                 {0x001A, 0x0003, kStall, 19200, 1200000}};
    auto lineA = std::make_shared<sim::ScriptedLine>();
    auto lineB = std::make_shared<sim::ScriptedLine>();
    sim::FtdiModelConfig config = sim::FtdiModelConfig::DualHighSpeed();
    config.holdData = false;
    sim::FtdiModel chip(config, lineA, lineB);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.index);
        Bytes in;
        EXPECT_EQ(chip.Control(USB_DEVICE_REQUEST{0x40, 0x03, c.value, c.index, 0}, {}, in),
                  c.answer);
        EXPECT_EQ(std::pair(lineA->Config().baud, lineB->Config().baud),
                  std::pair(c.baudA, c.baudB));
    }
    // Data: port B's line on 0x83 and 0x04, port A's on 0x81 and 0x02.
    const uint8_t b = 'b';
    EXPECT_EQ(chip.Out(0x04, &b, 1), kAck);
    EXPECT_TRUE(lineB->TakeTransmitted() == Bytes{'b'} && lineA->TakeTransmitted().empty());
    lineB->Inject({'B'});
    Bytes packet;
    ASSERT_EQ(chip.In(0x83, 512, packet), kAck);
    EXPECT_EQ(packet, (Bytes{0x01, 0x60, 'B'}));
}

}  // namespace
