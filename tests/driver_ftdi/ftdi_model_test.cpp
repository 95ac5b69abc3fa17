// The FTDI chip models on what the driver cannot see: the receive FIFO's
// hold and marks, and the two-port chip.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "common/platform_test.h"
#include "sim/ftdi_model.h"
#include "sim/serial_line.h"

namespace {

using Bytes = std::vector<uint8_t>;
using enum cehost::UsbHandshake;

class FtdiModelTest : public PlatformTest {};

// The receive side as the chip runs it: data waits for a full packet, the
// event character, a marked character or the latency timer (long here, so
// that it never expires); errors and a break go with a character, and
// status-only reads repeat them until another character is sent.
TEST_F(FtdiModelTest, ReceiveHoldsDataAndMarksCharacters) {
    auto line = std::make_shared<sim::ScriptedLine>();
    sim::FtdiModel chip(sim::FtdiModelConfig::FullSpeed(), line);
    const auto control = [&](uint8_t request, uint16_t value, uint8_t type = 0x40) {
        Bytes in;
        chip.Control(USB_DEVICE_REQUEST{type, request, value, 0, USHORT(type == 0x40 ? 0 : 2)}, {},
                     in);
        return in;
    };
    Bytes fullPacket = {0x01, 0x60, 'a', 'b'};  // the two bytes held and 60 more
    fullPacket.resize(64, 'f');
    const struct {
        int error;  // line error before the bytes; -1: a break
        Bytes bytes;
        bool reset;       // a reset request after them
        Bytes packet;     // the next bulk-IN packet; empty: none (NAK)
        uint8_t lineNow;  // line-status byte GET_MODEM_STATUS reads afterwards
    } cases[] = {{0, {'a', 'b'}, false, {}, 0x60},
                 {0, Bytes(60, 'f'), false, fullPacket, 0x60},
                 {0, {'o', 'k', '\r'}, false, {0x01, 0x60, 'o', 'k', '\r'}, 0x60},
                 {sim::kLineParity, {'p'}, false, {0x01, 0x64, 'p'}, 0x64},
                 {-1, {}, false, {0x01, 0x70, 0x00}, 0x70},
                 {0, {'r'}, true, {}, 0x60}};
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
        EXPECT_EQ(control(0x05, 0, 0xC0), (Bytes{0x01, c.lineNow}));
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
    } cases[] = {{0x4138, 0x0000, kAck, 9600, 9600},
                 {0x000A, 0x0202, kAck, 9600, 1200000},
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
        EXPECT_EQ(lineA->Config().baud, c.baudA);
        EXPECT_EQ(lineB->Config().baud, c.baudB);
    }
    // Data: port B's line on 0x83 and 0x04, port A's on 0x81 and 0x02.
    const uint8_t b = 'b';
    EXPECT_EQ(chip.Out(0x04, &b, 1), kAck);
    EXPECT_EQ(lineB->TakeTransmitted(), Bytes{'b'});
    EXPECT_TRUE(lineA->TakeTransmitted().empty());
    lineB->Inject({'B'});
    Bytes packet;
    ASSERT_EQ(chip.In(0x83, 512, packet), kAck);
    EXPECT_EQ(packet, (Bytes{0x01, 0x60, 'B'}));
}

}  // namespace
