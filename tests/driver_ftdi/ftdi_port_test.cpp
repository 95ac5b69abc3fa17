// The divisor-type FTDI port as an application sees it, with the chip's
// state read back from the model: the rate its baud generator runs at, its
// data format, its modem outputs, and what the host made of the status pair
// at the head of every bulk-IN packet.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>

#include "ftdi_fixture.h"
#include "sim/ftdi_model.h"

namespace {

using namespace ftditest;

class FtdiPortTest : public ServedTest<sim::FtdiModel> {
  protected:
    void Serve(long usbMode = -1, bool highSpeed = false) {
        sim::FtdiModelConfig c =
            highSpeed ? sim::FtdiModelConfig::HighSpeed() : sim::FtdiModelConfig::FullSpeed();
        c.rxFifo = 4096;  // a block injected at once arrives whole
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
    DWORD Errors() { return comtest::TakeErrors(h_); }
    DWORD ModemStatus() { return comtest::ModemStatus(h_); }
};

// The divisor for each rate, and the rate the chip's baud generator then
// runs at: 3 MHz base for the 24 MHz computation, 750 kHz for the 6 MHz one.
// Below a divisor of 2 only 0 (the base rate), 1 (two thirds of it) and 2
// exist; the one nearest the rate is taken. Rates too slow for the divisor
// field get the largest divisor; rate 0 means 9600. The tool's rate table
// (serlynx probe) must say the same.
TEST_F(FtdiPortTest, DivisorDecodesToTheRateItStandsFor) {
    const struct {
        uint32_t baseClock;
        DWORD usbMode, rate;
        uint16_t wValue;
        uint32_t runsAt;
    } cases[] = {
        {3000000, 0x203, 300, 0x2710, 300},
        {3000000, 0x203, 9600, 0x4138, 9600},
        {3000000, 0x203, 19200, 0x809C, 19200},
        {3000000, 0x203, 38400, 0xC04E, 38400},
        {3000000, 0x203, 115200, 0x001A, 115385},
        {3000000, 0x203, 921600, 0x8003, 923077},
        {3000000, 0x203, 1600000, 0x0002, 1500000},
        {3000000, 0x203, 1750000, 0x0001, 2000000},
        {3000000, 0x203, 2600000, 0x0000, 3000000},
        {3000000, 0x203, 0, 0x4138, 9600},
        {3000000, 0x203, 184, 0xBFB0, 184},
        {3000000, 0x203, 183, 0x7FFF, 183},
        {750000, 0x303, 115200, 0x4006, 115385},
        {750000, 0x303, 500000, 0x0001, 500000},
        {750000, 0x303, 45, 0x7FFF, 46},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.baseClock << " " << c.rate);
        if (chip_ == nullptr || chip_->Config().baseClock != c.baseClock) {
            sim::FtdiModelConfig config = sim::FtdiModelConfig::FullSpeed();
            config.baseClock = c.baseClock;
            ServeChip(config, c.usbMode);
        }
        ASSERT_TRUE(EditDcb(h_, [&](DCB& d) { d.BaudRate = c.rate; }));
        const sim::FtdiState chip = chip_->State();
        EXPECT_EQ(chip.divisorValue, c.wValue);
        EXPECT_EQ(chip.baud, c.runsAt);
        EXPECT_EQ(line_->Config().baud, c.runsAt);
        EXPECT_EQ(chip.badRequests, 0u);
        const serlynx::RateFit fit = serlynx::FtdiRateFit(c.rate, c.usbMode);
        EXPECT_EQ(fit.wValue, c.wValue);
        EXPECT_EQ(fit.actual, c.runsAt);
    }
}

// Data bits, parity and stop bits go into the format word unchanged, and the
// break bit follows SetCommBreak / ClearCommBreak (ending it re-sends the
// format without the bit). A format the chips cannot run (word -1) is
// refused and the chip keeps the one it had.
TEST_F(FtdiPortTest, DataFormatWords) {
    const struct {
        BYTE bits, parity, stop;
        int word;
    } cases[] = {
        {7, EVENPARITY, TWOSTOPBITS, 0x1207},
        {8, ODDPARITY, ONESTOPBIT, 0x0108},
        {7, MARKPARITY, ONE5STOPBITS, 0x0B07},
        {8, SPACEPARITY, ONESTOPBIT, 0x0408},
        {5, NOPARITY, ONESTOPBIT, -1},
        {8, 0x40, ONESTOPBIT, -1},
        {8, NOPARITY, 8, -1},
    };
    Serve();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.word);
        const sim::FtdiState before = chip_->State();
        SetLastError(0);
        EXPECT_EQ(EditDcb(h_,
                          [&](DCB& d) {
                              d.ByteSize = c.bits;
                              d.Parity = c.parity;
                              d.StopBits = c.stop;
                          }),
                  c.word >= 0);
        const sim::FtdiState chip = chip_->State();
        if (c.word < 0) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
            EXPECT_EQ(chip.dataBits, before.dataBits);
            EXPECT_EQ(chip.parity, before.parity);
            EXPECT_EQ(chip.stopBits, before.stopBits);
            EXPECT_FALSE(chip.breakOn);
            continue;
        }
        EXPECT_EQ(LastValue(0x04), c.word);
        EXPECT_EQ(chip.dataBits, c.bits);
        EXPECT_EQ(chip.parity, c.parity);
        EXPECT_EQ(chip.stopBits, c.stop);
        ASSERT_TRUE(SetCommBreak(h_));
        EXPECT_EQ(LastValue(0x04), c.word | 0x4000);
        EXPECT_TRUE(line_->Break());
        ASSERT_TRUE(ClearCommBreak(h_));
        EXPECT_EQ(LastValue(0x04), c.word);
        EXPECT_FALSE(line_->Break());
    }
    EXPECT_EQ(chip_->State().badRequests, 0u);
}

// Each line request names only its own line in the mask byte, so the other
// line keeps its state on the chip; settings name both lines at once; the
// last close drops both.
TEST_F(FtdiPortTest, ModemControlWords) {
    Serve();
    EXPECT_EQ(chip_->State().resets, 1u);  // by the port's start
    // The first open applies the default settings: both lines named, both low.
    EXPECT_EQ(LastValue(0x01), 0x0300);
    for (auto [function, word, dtr, rts] : {std::tuple{SETDTR, 0x0101, true, false},
                                            {SETRTS, 0x0202, true, true},
                                            {CLRDTR, 0x0100, false, true},
                                            {CLRRTS, 0x0200, false, false}}) {
        SCOPED_TRACE(word);
        ASSERT_TRUE(EscapeCommFunction(h_, function));
        EXPECT_EQ(LastValue(0x01), word);
        EXPECT_EQ(line_->Dtr(), dtr);
        EXPECT_EQ(line_->Rts(), rts);
    }
    ASSERT_TRUE(EditDcb(h_, [](DCB& d) {
        d.fDtrControl = DTR_CONTROL_ENABLE;
        d.fRtsControl = RTS_CONTROL_ENABLE;
    }));
    EXPECT_EQ(LastValue(0x01), 0x0303);
    EXPECT_TRUE(line_->Dtr() && line_->Rts());
    Replace();
    EXPECT_FALSE(line_->Dtr() || line_->Rts());
}

// The chip takes no zero-length packets, not even after a write that one
// transfer carries whole (flag 0x400) and that ends on a packet boundary.
TEST_F(FtdiPortTest, NoZeroLengthPackets) {
    Serve(0x603);
    bus_->ClearLog();
    EXPECT_EQ(WriteAll(h_, PatternBytes(128)), 128u);
    EXPECT_EQ(line_->TakeTransmitted(), PatternBytes(128));
    for (const cehost::UsbLogEntry& e : bus_->Log())
        EXPECT_FALSE(e.event == 'S' && e.endpoint == 0x02 && e.urbLength == 0);
}

// Input flow control by handshake lines: both lines drop when the ring is
// more than three quarters full and rise again once it is read below a
// quarter, each change naming both lines in the mask byte.
TEST_F(FtdiPortTest, HandshakeLinesFollowTheRing) {
    Serve();
    ASSERT_TRUE(EditDcb(h_, [](DCB& d) {
        d.fDtrControl = DTR_CONTROL_HANDSHAKE;
        d.fRtsControl = RTS_CONTROL_HANDSHAKE;
    }));
    EXPECT_TRUE(line_->Dtr() && line_->Rts());
    const Bytes data = PatternBytes(3200);
    line_->Inject(data);
    EXPECT_TRUE(Eventually([&] { return !line_->Dtr() && !line_->Rts(); }));
    EXPECT_EQ(LastValue(0x01), 0x0300);
    SetTimeouts(h_, 0, 0, 3000);
    EXPECT_EQ(ReadAll(h_, data.size()), data);
    EXPECT_TRUE(Eventually([&] { return line_->Dtr() && line_->Rts(); }));
    EXPECT_EQ(LastValue(0x01), 0x0303);
}

// Packets of every shape: the status pair is taken off each, the line
// errors of a packet with data counted (a status-only packet repeats the
// last ones), bits the chip leaves undefined ignored, and a lone byte
// dropped. A marker packet after each case shows what the case delivered.
// The 512-byte chip's packets hold 510 data bytes behind one status pair.
TEST_F(FtdiPortTest, ReceivedPacketsAreSplitIntoStatusAndData) {
    auto packet = [](Bytes status, const Bytes& data) {
        status.insert(status.end(), data.begin(), data.end());
        return status;
    };
    const Bytes p62 = PatternBytes(62, 0x40), p510 = PatternBytes(510, 0x90);
    const struct {
        bool highSpeed;
        Bytes packet, data;
        DWORD errors;
    } cases[] = {
        {false, packet({0x31, 0x60}, p62), p62, 0},
        {false, {0x31, 0x60, 'x'}, {'x'}, 0},
        {false, {0x3F, 0x6E, 'y'}, {'y'}, CE_OVERRUN | CE_RXPARITY | CE_FRAME},
        {false, {0x3F, 0x7E}, {}, 0},
        {false, {0x3F, 0xE1}, {}, 0},
        {false, {0x31}, {}, 0},
        {true, packet({0x31, 0x62}, p510), p510, CE_OVERRUN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(
            Bytes(c.packet.begin(), c.packet.begin() + std::min<size_t>(2, c.packet.size()))));
        if (chip_ == nullptr || c.highSpeed) {
            Serve(-1, c.highSpeed);
            line_->SetCts(true);
            line_->SetDsr(true);
            SetTimeouts(h_, 0, 0, 3000);
            ASSERT_TRUE(Eventually([&] { return ModemStatus() == (MS_CTS_ON | MS_DSR_ON); }));
        }
        chip_->QueueRawPacket(c.packet);
        chip_->QueueRawPacket({0x31, 0x60, '#'});
        Bytes expected = c.data;
        expected.push_back('#');
        EXPECT_EQ(ReadAll(h_, expected.size()), expected);
        EXPECT_EQ(Errors(), c.errors);
        EXPECT_EQ(ModemStatus(), static_cast<DWORD>(MS_CTS_ON | MS_DSR_ON));
    }
    // Line data on the 512-byte chip: none of it is taken for status.
    const Bytes data = PatternBytes(510 * 3 + 100);
    line_->Inject(data);
    EXPECT_EQ(ReadAll(h_, data.size()), data);
    EXPECT_EQ(Errors(), 0u);
}

// What happens on the chip's serial side reaches the application: modem
// lines as they are, errors and a break once each (they come with a
// character, and the status-only packets after it repeat them): a break is
// one EV_BREAK, not a line that falls again with the next packet.
TEST_F(FtdiPortTest, LineEventsReachTheApplication) {
    Serve();
    // The chip's first status packet (all lines low) has been taken.
    ASSERT_TRUE(Eventually([&] { return ModemStatus() == 0; }));
    ASSERT_TRUE(SetCommMask(h_, EV_CTS | EV_RLSD | EV_RING | EV_ERR | EV_BREAK));
    const struct {
        const char* name;
        std::function<void()> act;
        DWORD event, modem, errors;
    } cases[] = {
        {"CTS up", [&] { line_->SetCts(true); }, EV_CTS, MS_CTS_ON, 0},
        {"carrier up", [&] { line_->SetDcd(true); }, EV_RLSD, MS_CTS_ON | MS_RLSD_ON, 0},
        {"ring", [&] { line_->SetRi(true); }, EV_RING, MS_CTS_ON | MS_RLSD_ON | MS_RING_ON, 0},
        {"framing and parity errors",
         [&] {
             line_->InjectError(sim::kLineFraming | sim::kLineParity);
             line_->Inject({'x'});
         },
         EV_ERR, MS_CTS_ON | MS_RLSD_ON | MS_RING_ON, CE_FRAME | CE_RXPARITY},
        {"break", [&] { line_->InjectBreak(true); }, EV_BREAK, MS_CTS_ON | MS_RLSD_ON | MS_RING_ON,
         CE_BREAK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.act();
        const std::optional<DWORD> events = comtest::WaitEvents(h_);
        ASSERT_TRUE(events.has_value());
        EXPECT_TRUE(*events & c.event) << *events;
        EXPECT_EQ(ModemStatus(), c.modem);
        // Errors are reported once; a break lasts one packet on this chip.
        DWORD errors = 0;
        ASSERT_TRUE(Eventually([&] {
            errors |= Errors();
            return (errors & c.errors) == c.errors;
        }));
        EXPECT_EQ(errors, c.errors);
        EXPECT_TRUE(Eventually([&] { return Errors() == 0; }));
    }
    // The packets after the break's say nothing new: no second EV_BREAK.
    EXPECT_EQ(comtest::WaitEvents(h_, 100), std::nullopt);
}

}  // namespace
