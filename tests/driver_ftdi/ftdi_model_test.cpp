// The FTDI chip models driven straight through the USB function table, for
// what the driver never sends: headers that do not match their transfer, and
// divisors at the edges of the field.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "ce/usb.h"
#include "cehost/usb_bus.h"
#include "common/platform_test.h"
#include "sim/ftdi_model.h"
#include "sim/serial_line.h"

namespace {

using Bytes = std::vector<uint8_t>;

class FtdiModelTest : public PlatformTest {
  protected:
    void Plug(sim::FtdiModelConfig config) {
        line_ = std::make_shared<sim::ScriptedLine>();
        chip_ = std::make_shared<sim::FtdiModel>(config, line_);
        bus_ = std::make_unique<cehost::UsbBus>();
        id_ = bus_->PlugUnclaimed(chip_);
        ASSERT_NE(id_, 0u);
        f_ = cehost::UsbFunctions();
        USB_ENDPOINT_DESCRIPTOR out{7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x02, 2, 64, 0};
        outPipe_ = f_->lpOpenPipe(bus_->Handle(id_), &out);
        ASSERT_NE(outPipe_, nullptr);
    }

    void TearDownBus() {
        if (outPipe_ != nullptr)
            f_->lpClosePipe(outPipe_);
        outPipe_ = nullptr;
        bus_.reset();
    }

    void TearDown() override {
        TearDownBus();
        PlatformTest::TearDown();
    }

    // One synchronous bulk-OUT transfer; its error code.
    DWORD SendOut(Bytes bytes) {
        USB_TRANSFER t = f_->lpIssueBulkTransfer(outPipe_, nullptr, nullptr, USB_OUT_TRANSFER,
                                                 static_cast<DWORD>(bytes.size()), bytes.data(), 0);
        EXPECT_NE(t, nullptr);
        DWORD count = 0, error = 0xDEAD;
        EXPECT_TRUE(f_->lpGetTransferStatus(t, &count, &error));
        EXPECT_TRUE(f_->lpCloseTransfer(t));
        return error;
    }

    // One synchronous vendor request without data; its error code.
    DWORD Request(uint8_t request, uint16_t value, uint16_t index = 0) {
        USB_DEVICE_REQUEST setup{0x40, request, value, index, 0};
        USB_TRANSFER t = f_->lpIssueVendorTransfer(bus_->Handle(id_), nullptr, nullptr,
                                                   USB_SEND_TO_DEVICE, &setup, nullptr, 0);
        EXPECT_NE(t, nullptr);
        DWORD error = 0xDEAD;
        EXPECT_TRUE(f_->lpGetTransferStatus(t, nullptr, &error));
        EXPECT_TRUE(f_->lpCloseTransfer(t));
        return error;
    }

    std::shared_ptr<sim::ScriptedLine> line_;
    std::shared_ptr<sim::FtdiModel> chip_;
    std::unique_ptr<cehost::UsbBus> bus_;
    cehost::UsbDeviceId id_ = 0;
    LPCUSB_FUNCS f_ = nullptr;
    USB_PIPE outPipe_ = nullptr;
};

// The chip trusts the header's length as far as the transfer goes, and
// records every header that does not describe its transfer.
TEST_F(FtdiModelTest, HeaderFramedChipChecksEveryHeader) {
    struct Case {
        const char* name;
        Bytes packet;
        Bytes transmitted;
        bool error;
    };
    const Case cases[] = {
        {"matching header", {0x09, 'a', 'b'}, {'a', 'b'}, false},
        {"header only", {0x01}, {}, false},
        {"header claims more", {0x0D, 'a', 'b'}, {'a', 'b'}, true},
        {"header claims less", {0x05, 'a', 'b'}, {'a'}, true},
        {"low bits not 01", {0x0A, 'a', 'b'}, {}, true},
        {"no header at all", {}, {}, true},
    };
    Plug(sim::FtdiModelConfig::HeaderFramed());
    uint64_t errors = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(SendOut(c.packet), USB_NO_ERROR);
        EXPECT_EQ(line_->TakeTransmitted(), c.transmitted);
        errors += c.error ? 1 : 0;
        EXPECT_EQ(chip_->State().headerErrors, errors);
    }
    EXPECT_EQ(chip_->OutPackets().size(), std::size(cases));
}

// Divisors at the edges: 0 and 1 are the chip's special cases, divisor bit
// 16 selects the finer sub-integer steps, and below 2 there is no other
// divisor: such a request is stalled and the rate stays. The full-speed
// chip reads bit 16 in wIndex bit 0; the high-speed one reads bits 16-17 in
// wIndex's high byte (17: the 12 MHz base) and its port in the low byte.
TEST_F(FtdiModelTest, DivisorChipDecodesEdgeDivisors) {
    struct Case {
        bool highSpeed;
        uint16_t value, index;
        DWORD error;
        uint32_t baud;
    };
    const Case cases[] = {
        {false, 0x0000, 0, USB_NO_ERROR, 3000000},
        {false, 0x0001, 0, USB_NO_ERROR, 2000000},
        {false, 0x0003, 1, USB_NO_ERROR, 888889},
        {false, 0xC003, 1, USB_NO_ERROR, 774194},
        {false, 0x4000, 0, USB_STALL_ERROR, 774194},
        {false, 0x4001, 0, USB_STALL_ERROR, 774194},
        {false, 0x0001, 1, USB_STALL_ERROR, 774194},
        {false, 0x7FFF, 0, USB_NO_ERROR, 183},
        {true, 0x0003, 0x0100, USB_NO_ERROR, 888889},
        {true, 0x0003, 0x0001, USB_NO_ERROR, 1000000},
        {true, 0x0000, 0x0201, USB_NO_ERROR, 12000000},
        {true, 0x000A, 0x0200, USB_NO_ERROR, 1200000},
        {true, 0x0003, 0x0002, USB_STALL_ERROR, 1200000},
    };
    for (bool highSpeed : {false, true}) {
        SCOPED_TRACE(highSpeed ? "high speed" : "full speed");
        Plug(highSpeed ? sim::FtdiModelConfig::HighSpeed() : sim::FtdiModelConfig::FullSpeed());
        for (const Case& c : cases) {
            if (c.highSpeed != highSpeed)
                continue;
            SCOPED_TRACE(c.value);
            EXPECT_EQ(Request(0x03, c.value, c.index), c.error);
            EXPECT_EQ(chip_->State().baud, c.baud);
            EXPECT_EQ(line_->Config().baud, c.baud);
        }
        EXPECT_EQ(chip_->State().badRequests, highSpeed ? 1u : 3u);
        TearDownBus();
    }
}

// The receive side as the chip runs it: data waits for a full packet, the
// event character, a marked character or the latency timer (long here, so
// that it never expires); errors and a break go with a character, and
// status-only reads repeat them until another character is sent.
TEST_F(FtdiModelTest, ReceiveHoldsDataAndMarksCharacters) {
    struct Case {
        const char* name;
        std::function<void()> act;
        Bytes packet;     // the next bulk-IN packet; empty: none (NAK)
        uint8_t lineNow;  // line-status byte GET_MODEM_STATUS reads afterwards
    };
    line_ = std::make_shared<sim::ScriptedLine>();
    sim::FtdiModel chip(sim::FtdiModelConfig::FullSpeed(), line_);
    const auto control = [&](uint8_t request, uint16_t value) {
        Bytes in;
        ASSERT_EQ(chip.Control(USB_DEVICE_REQUEST{0x40, request, value, 0, 0}, {}, in),
                  cehost::UsbHandshake::kAck);
    };
    // The two bytes held and 60 more fill a packet.
    Bytes fullPacket = {0x01, 0x60, 'a', 'b'};
    fullPacket.resize(64, 'f');
    const Case cases[] = {
        {"a few bytes wait",
         [&] {
             line_->Inject({'a', 'b'});
         },
         {},
         0x60},
        {"a packet's worth goes", [&] { line_->Inject(Bytes(60, 'f')); }, fullPacket, 0x60},
        {"the event character sends",
         [&] {
             control(0x06, 0x100 | '\r');
             line_->Inject({'o', 'k', '\r'});
         },
         {0x01, 0x60, 'o', 'k', '\r'},
         0x60},
        {"an error marks its character",
         [&] {
             line_->InjectError(sim::kLineParity);
             line_->Inject({'p'});
         },
         {0x01, 0x64, 'p'},
         0x64},
        {"a break is a NUL", [&] { line_->InjectBreak(true); }, {0x01, 0x70, 0x00}, 0x70},
        {"reset empties the FIFO",
         [&] {
             line_->Inject({'r'});
             control(0x00, 0);
         },
         {},
         0x60},
    };
    control(0x09, 255);
    Bytes packet;
    ASSERT_EQ(chip.In(0x81, 64, packet), cehost::UsbHandshake::kAck);  // the first status
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.act();
        packet.clear();
        const cehost::UsbHandshake hs = chip.In(0x81, 64, packet);
        EXPECT_EQ(hs, c.packet.empty() ? cehost::UsbHandshake::kNak : cehost::UsbHandshake::kAck);
        EXPECT_EQ(packet, c.packet);
        Bytes status;
        chip.Control(USB_DEVICE_REQUEST{0xC0, 0x05, 0, 0, 2}, {}, status);
        EXPECT_EQ(status, (Bytes{0x01, c.lineNow}));
    }
    EXPECT_EQ(chip.Pending(), 0u);
}

// The two-port chip: every request goes to the port its wIndex names (0 and
// 1 port A, 2 port B; another is stalled), and each port has its own bulk
// pair, line and settings.
TEST_F(FtdiModelTest, TwoPortChipKeepsItsPortsApart) {
    struct Case {
        const char* name;
        uint8_t request;
        uint16_t value, index;
        cehost::UsbHandshake answer;
        uint32_t baudA, baudB;
        bool dtrA, dtrB;
    };
    using cehost::UsbHandshake;
    const Case cases[] = {
        {"rate of port A by 0", 0x03, 0x4138, 0x0000, UsbHandshake::kAck, 9600, 9600, false, false},
        {"rate of port B", 0x03, 0x001A, 0x0002, UsbHandshake::kAck, 9600, 115385, false, false},
        {"rate of port A by 1", 0x03, 0x809C, 0x0001, UsbHandshake::kAck, 19200, 115385, false,
         false},
        {"DTR of port B", 0x01, 0x0101, 0x0002, UsbHandshake::kAck, 19200, 115385, false, true},
        {"DTR of port A", 0x01, 0x0101, 0x0000, UsbHandshake::kAck, 19200, 115385, true, true},
        {"no port C", 0x01, 0x0100, 0x0003, UsbHandshake::kStall, 19200, 115385, true, true},
    };
    auto lineA = std::make_shared<sim::ScriptedLine>();
    auto lineB = std::make_shared<sim::ScriptedLine>();
    sim::FtdiModelConfig config = sim::FtdiModelConfig::DualHighSpeed();
    config.holdData = false;
    sim::FtdiModel chip(config, lineA, lineB);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes in;
        EXPECT_EQ(chip.Control(USB_DEVICE_REQUEST{0x40, c.request, c.value, c.index, 0}, {}, in),
                  c.answer);
        EXPECT_EQ(lineA->Config().baud, c.baudA);
        EXPECT_EQ(lineB->Config().baud, c.baudB);
        EXPECT_EQ(chip.State(0).dtr, c.dtrA);
        EXPECT_EQ(chip.State(1).dtr, c.dtrB);
    }
    // Data: port B's line on 0x83 and 0x04, port A's on 0x81 and 0x02.
    const uint8_t b = 'b';
    EXPECT_EQ(chip.Out(0x04, &b, 1), cehost::UsbHandshake::kAck);
    EXPECT_EQ(lineB->TakeTransmitted(), Bytes{'b'});
    EXPECT_TRUE(lineA->TakeTransmitted().empty());
    lineB->Inject({'B'});
    Bytes packet;
    ASSERT_EQ(chip.In(0x83, 512, packet), cehost::UsbHandshake::kAck);
    EXPECT_EQ(packet, (Bytes{0x01, 0x60, 'B'}));
    EXPECT_EQ(chip.Pending(0), 0u);
}

}  // namespace
