// The divisor-type FTDI port as an application sees it, with the chip's
// state read back from the model: the rate its baud generator runs at, its
// data format, its modem outputs, and what the host made of the status pair
// at the head of every bulk-IN packet.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ce/file.h"
#include "ce/serial.h"
#include "ftdi_fixture.h"
#include "platform.h"
#include "sim/ftdi_model.h"
#include "sim/rcs310_model.h"
#include "sim/serial_line.h"

namespace {

using ftditest::Bytes;
using ftditest::Eventually;
using ftditest::Pattern;
using ftditest::ReadAll;
using ftditest::SetTimeouts;
using ftditest::Write;

class FtdiPortTest : public ftditest::ServedTest {
  protected:
    // Serves an FTDI model on a scripted line; `usbMode` other than -1
    // replaces the word the first attach chose.
    void ServeChip(sim::FtdiModelConfig config, long usbMode = -1) {
        line_ = std::make_shared<sim::ScriptedLine>();
        chip_ = std::make_shared<sim::FtdiModel>(config, line_);
        ServeModel(chip_, usbMode);
    }

    static DCB State(HANDLE h) {
        DCB dcb{};
        dcb.DCBlength = sizeof(DCB);
        EXPECT_TRUE(GetCommState(h, &dcb));
        return dcb;
    }

    // The wValue of the last request `request` the chip received.
    int LastValue(uint8_t request) const {
        int value = -1;
        for (const sim::FtdiRequest& r : chip_->Requests()) {
            if (r.bRequest == request)
                value = r.wValue;
        }
        return value;
    }

    static DWORD Errors(HANDLE h) {
        DWORD errors = 0;
        COMSTAT stat{};
        EXPECT_TRUE(ClearCommError(h, &errors, &stat));
        return errors;
    }

    static DWORD ModemStatus(HANDLE h) {
        DWORD status = 0;
        EXPECT_TRUE(GetCommModemStatus(h, &status));
        return status;
    }

    std::shared_ptr<sim::ScriptedLine> line_;
    std::shared_ptr<sim::FtdiModel> chip_;
};

// Each chip is classified by its first attach and served from its second.
TEST_F(FtdiPortTest, FirstAttachClassifiesEachChip) {
    struct Case {
        const char* name;
        std::function<std::shared_ptr<cehost::UsbDeviceModel>()> make;
        DWORD usbMode;
        DWORD receiveEndp, sendEndp;
    };
    auto ftdi = [](sim::FtdiModelConfig c) {
        return [c] { return std::make_shared<sim::FtdiModel>(c, nullptr); };
    };
    sim::Rcs310ModelConfig noOut;
    noOut.bulkOut = false;
    const Case cases[] = {
        {"full-speed divisor chip", ftdi(sim::FtdiModelConfig::FullSpeed()), 0x203, 0x81, 0x02},
        {"high-speed divisor chip", ftdi(sim::FtdiModelConfig::HighSpeed()), 0x203, 0x81, 0x02},
        {"header-framed chip", ftdi(sim::FtdiModelConfig::HeaderFramed()), 3, 0x81, 0x02},
        {"type-4 device",
         [] { return std::make_shared<sim::Rcs310Model>(sim::Rcs310ModelConfig{}, nullptr); }, 4,
         0x81, 0x02},
        {"type-4 device without bulk-OUT",
         [noOut] { return std::make_shared<sim::Rcs310Model>(noOut, nullptr); }, 4, 0x81, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Serve(c.make());
        EXPECT_EQ(KeyDword(kValueUsbMode), c.usbMode);
        EXPECT_EQ(KeyDword(kValueReceiveEndp), c.receiveEndp);
        EXPECT_EQ(KeyDword(kValueSendEndp), c.sendEndp);
        EXPECT_EQ(KeyDword(kValueClassEndp), 0u);
        HANDLE h = Open();
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        Replace();
        cehost::RegDeleteTree(key_);
    }
}

// The divisor for each rate, and the rate the chip's baud generator then
// runs at: 3 MHz base for the 24 MHz computation, 750 kHz for the 6 MHz one.
// Rates too slow for the divisor field get the largest divisor. The tool's
// rate table (serlynx probe) must say the same.
TEST_F(FtdiPortTest, DivisorDecodesToTheRateItStandsFor) {
    struct Case {
        DWORD rate;
        uint16_t wValue;
        uint32_t runsAt;
    };
    struct Group {
        const char* name;
        uint32_t baseClock;
        DWORD usbMode;
        std::vector<Case> cases;
    };
    const Group groups[] = {
        {"24 MHz",
         3000000,
         0x203,
         {
             {300, 0x2710, 300},
             {9600, 0x4138, 9600},
             {19200, 0x809C, 19200},
             {38400, 0xC04E, 38400},
             {57600, 0x0034, 57692},
             {115200, 0x001A, 115385},
             {921600, 0x8003, 923077},
             {1500000, 0x0002, 1500000},
             // Below a divisor of 2 only 0 (the base rate), 1 (two thirds
             // of it) and 2 exist; the one nearest the rate is taken.
             {2000000, 0x0001, 2000000},
             {1600000, 0x0002, 1500000},
             {1750000, 0x0001, 2000000},
             {2450000, 0x0001, 2000000},
             {2600000, 0x0000, 3000000},
             {3000000, 0x0000, 3000000},
             {12000000, 0x0000, 3000000},
             {0, 0x4138, 9600},  // rate 0 means 9600
             {184, 0xBFB0, 184},
             {183, 0x7FFF, 183},  // clamped: 16383.5 is the largest divisor
             {50, 0x7FFF, 183},
             {1, 0x7FFF, 183},
         }},
        {"6 MHz",
         750000,
         0x303,
         {
             {9600, 0xC04E, 9600},
             {115200, 0x4006, 115385},
             {750000, 0x0000, 750000},
             {500000, 0x0001, 500000},
             {400000, 0x0002, 375000},
             {46, 0xBFB0, 46},
             {45, 0x7FFF, 46},
             {10, 0x7FFF, 46},
         }},
    };
    for (const Group& g : groups) {
        SCOPED_TRACE(g.name);
        sim::FtdiModelConfig config = sim::FtdiModelConfig::FullSpeed();
        config.baseClock = g.baseClock;
        ServeChip(config, g.usbMode);
        HANDLE h = Open();
        for (const Case& c : g.cases) {
            SCOPED_TRACE(c.rate);
            DCB dcb = State(h);
            dcb.BaudRate = c.rate;
            ASSERT_TRUE(SetCommState(h, &dcb));
            const sim::FtdiState chip = chip_->State();
            EXPECT_EQ(chip.divisorValue, c.wValue);
            EXPECT_EQ(chip.baud, c.runsAt);
            EXPECT_EQ(line_->Config().baud, c.runsAt);
            EXPECT_EQ(chip.badRequests, 0u);
            // The tool's rate table predicts the same.
            const serlynx::RateFit fit = serlynx::FtdiRateFit(c.rate, g.usbMode);
            EXPECT_EQ(fit.wValue, c.wValue);
            EXPECT_EQ(fit.actual, c.runsAt);
        }
        Replace();
    }
}

// Data bits, parity and stop bits go into the format word unchanged, and the
// break bit follows SetCommBreak / ClearCommBreak. A format the chips cannot
// run (word -1) is refused and the chip keeps the one it had: no value may
// land in another field or in the break bit.
TEST_F(FtdiPortTest, DataFormatWords) {
    struct Case {
        BYTE bits, parity, stop;
        bool breakOn;
        int word;
    };
    const Case cases[] = {
        {8, NOPARITY, ONESTOPBIT, false, 0x0008},
        {7, EVENPARITY, TWOSTOPBITS, false, 0x1207},
        {7, EVENPARITY, TWOSTOPBITS, true, 0x5207},
        {8, ODDPARITY, ONESTOPBIT, true, 0x4108},
        {7, MARKPARITY, ONE5STOPBITS, false, 0x0B07},
        {8, SPACEPARITY, ONESTOPBIT, false, 0x0408},
        {5, NOPARITY, ONESTOPBIT, false, -1},
        {8, 0x40, ONESTOPBIT, false, -1},
        {8, NOPARITY, 8, false, -1},
    };
    ServeChip(sim::FtdiModelConfig::FullSpeed());
    HANDLE h = Open();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << int(c.bits) << " " << int(c.parity) << " " << int(c.stop));
        const DCB before = State(h);
        const sim::FtdiState chipBefore = chip_->State();
        DCB dcb = before;
        dcb.ByteSize = c.bits;
        dcb.Parity = c.parity;
        dcb.StopBits = c.stop;
        if (c.word < 0) {
            SetLastError(0);
            EXPECT_FALSE(SetCommState(h, &dcb));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
            const DCB after = State(h);
            EXPECT_EQ(std::memcmp(&after, &before, sizeof(DCB)), 0);
            const sim::FtdiState chip = chip_->State();
            EXPECT_EQ(chip.dataBits, chipBefore.dataBits);
            EXPECT_EQ(chip.parity, chipBefore.parity);
            EXPECT_EQ(chip.stopBits, chipBefore.stopBits);
            EXPECT_FALSE(chip.breakOn);
            EXPECT_FALSE(line_->Break());
            continue;
        }
        ASSERT_TRUE(SetCommState(h, &dcb));
        if (c.breakOn) {
            ASSERT_TRUE(SetCommBreak(h));
        }
        const sim::FtdiState chip = chip_->State();
        EXPECT_EQ(LastValue(0x04), c.word);
        EXPECT_EQ(chip.dataBits, c.bits);
        EXPECT_EQ(chip.parity, c.parity);
        EXPECT_EQ(chip.stopBits, c.stop);
        EXPECT_EQ(chip.breakOn, c.breakOn);
        EXPECT_EQ(line_->Break(), c.breakOn);
        if (c.breakOn) {
            // Ending the break re-sends the format without the bit.
            ASSERT_TRUE(ClearCommBreak(h));
            EXPECT_EQ(LastValue(0x04), c.word & ~0x4000);
            EXPECT_FALSE(chip_->State().breakOn);
            EXPECT_FALSE(line_->Break());
        }
    }
    EXPECT_EQ(chip_->State().badRequests, 0u);
    EXPECT_TRUE(Close(h));
}

// Each line request names only its own line in the mask byte, so the other
// line keeps its state on the chip.
TEST_F(FtdiPortTest, ModemControlWords) {
    struct Case {
        DWORD function;
        uint16_t word;
        bool dtr, rts;
    };
    const Case cases[] = {
        {SETDTR, 0x0101, true, false}, {SETRTS, 0x0202, true, true},
        {CLRDTR, 0x0100, false, true}, {SETDTR, 0x0101, true, true},
        {CLRRTS, 0x0200, true, false}, {CLRDTR, 0x0100, false, false},
    };
    ServeChip(sim::FtdiModelConfig::FullSpeed());
    EXPECT_EQ(chip_->State().resets, 1u);  // by the port's start
    HANDLE h = Open();
    // The first open applies the default settings: both lines named, both low.
    EXPECT_EQ(LastValue(0x01), 0x0300);
    EXPECT_EQ(chip_->State().baud, 9600u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        ASSERT_TRUE(EscapeCommFunction(h, c.function));
        EXPECT_EQ(LastValue(0x01), c.word);
        EXPECT_EQ(chip_->State().dtr, c.dtr);
        EXPECT_EQ(chip_->State().rts, c.rts);
        EXPECT_EQ(line_->Dtr(), c.dtr);
        EXPECT_EQ(line_->Rts(), c.rts);
    }
    // Settings name both lines at once.
    DCB dcb = State(h);
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    ASSERT_TRUE(SetCommState(h, &dcb));
    EXPECT_EQ(LastValue(0x01), 0x0303);
    EXPECT_TRUE(line_->Dtr());
    EXPECT_TRUE(line_->Rts());
    EXPECT_TRUE(Close(h));
    // The last close drops both lines.
    EXPECT_FALSE(line_->Dtr());
    EXPECT_FALSE(line_->Rts());
}

// Input flow control by handshake lines: both lines drop when the ring is
// more than three quarters full and rise again once it is read below a
// quarter, each change naming both lines in the mask byte.
TEST_F(FtdiPortTest, HandshakeLinesFollowTheRing) {
    ServeChip(sim::FtdiModelConfig::FullSpeed());
    HANDLE h = Open();
    DCB dcb = State(h);
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    ASSERT_TRUE(SetCommState(h, &dcb));
    EXPECT_TRUE(line_->Dtr());
    EXPECT_TRUE(line_->Rts());
    const Bytes data = Pattern(3200);
    line_->Inject(data);
    EXPECT_TRUE(Eventually([&] { return !line_->Dtr() && !line_->Rts(); }));
    EXPECT_EQ(LastValue(0x01), 0x0300);
    SetTimeouts(h, 0, 0, 3000);
    EXPECT_EQ(ReadAll(h, data.size()), data);
    EXPECT_TRUE(Eventually([&] { return line_->Dtr() && line_->Rts(); }));
    EXPECT_EQ(LastValue(0x01), 0x0303);
    EXPECT_TRUE(Close(h));
}

// Packets of every shape: the status pair is taken off each, its line
// errors counted, bits the chip leaves undefined ignored, and a lone byte
// dropped. A marker packet after each case shows what the case delivered.
TEST_F(FtdiPortTest, ReceivedPacketsAreSplitIntoStatusAndData) {
    struct Case {
        const char* name;
        Bytes packet;
        Bytes data;
        DWORD errors;
    };
    Bytes full = {0x31, 0x60};
    const Bytes payload = Pattern(62, 0x40);
    full.insert(full.end(), payload.begin(), payload.end());
    const Case cases[] = {
        {"64-byte packet", full, payload, 0},
        {"3-byte packet", {0x31, 0x60, 'x'}, {'x'}, 0},
        {"status only, with errors", {0x3F, 0x6E}, {}, CE_OVERRUN | CE_RXPARITY | CE_FRAME},
        {"status only, undefined bits", {0x3F, 0xE1}, {}, 0},
        {"lone byte", {0x31}, {}, 0},
    };
    ServeChip(sim::FtdiModelConfig::FullSpeed());
    line_->SetCts(true);
    line_->SetDsr(true);
    HANDLE h = Open();
    SetTimeouts(h, 0, 0, 3000);
    ASSERT_TRUE(Eventually([&] { return ModemStatus(h) == (MS_CTS_ON | MS_DSR_ON); }));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        chip_->QueueRawPacket(c.packet);
        chip_->QueueRawPacket({0x31, 0x60, '#'});
        Bytes expected = c.data;
        expected.push_back('#');
        EXPECT_EQ(ReadAll(h, expected.size()), expected);
        EXPECT_EQ(Errors(h), c.errors);
        EXPECT_EQ(ModemStatus(h), static_cast<DWORD>(MS_CTS_ON | MS_DSR_ON));
    }
    EXPECT_TRUE(Close(h));
}

// The 512-byte chip's packets hold 510 data bytes behind one status pair;
// none of them may be taken for status.
TEST_F(FtdiPortTest, HighSpeedPacketsKeepAllTheirData) {
    bus_ = std::make_unique<cehost::UsbBus>(cehost::UsbTiming::kHighSpeed);
    ServeChip(sim::FtdiModelConfig::HighSpeed());
    HANDLE h = Open();
    SetTimeouts(h, 0, 0, 3000);
    const Bytes data = Pattern(510 * 3 + 100);
    line_->Inject(data);
    EXPECT_EQ(ReadAll(h, data.size()), data);
    EXPECT_EQ(Errors(h), 0u);

    // One whole packet as the chip sends it, with errors in its status.
    Bytes packet = {0x01, 0x62};
    const Bytes more = Pattern(510, 0x90);
    packet.insert(packet.end(), more.begin(), more.end());
    chip_->QueueRawPacket(packet);
    EXPECT_EQ(ReadAll(h, more.size()), more);
    EXPECT_EQ(Errors(h), static_cast<DWORD>(CE_OVERRUN));
    EXPECT_TRUE(Close(h));
}

// What happens on the chip's serial side reaches the application: modem
// lines as they are, errors and a break once each.
TEST_F(FtdiPortTest, LineEventsReachTheApplication) {
    ServeChip(sim::FtdiModelConfig::FullSpeed());
    HANDLE h = Open();
    // The chip's first status packet (all lines low) has been taken.
    ASSERT_TRUE(Eventually([&] { return ModemStatus(h) == 0; }));
    ASSERT_TRUE(SetCommMask(h, EV_CTS | EV_RLSD | EV_RING | EV_ERR | EV_BREAK));
    struct Case {
        const char* name;
        std::function<void()> act;
        DWORD event;
        DWORD modem;
        DWORD errors;
    };
    const Case cases[] = {
        {"CTS up", [&] { line_->SetCts(true); }, EV_CTS, MS_CTS_ON, 0},
        {"carrier up", [&] { line_->SetDcd(true); }, EV_RLSD, MS_CTS_ON | MS_RLSD_ON, 0},
        {"ring", [&] { line_->SetRi(true); }, EV_RING, MS_CTS_ON | MS_RLSD_ON | MS_RING_ON, 0},
        {"CTS down", [&] { line_->SetCts(false); }, EV_CTS, MS_RLSD_ON | MS_RING_ON, 0},
        {"framing and parity errors",
         [&] { line_->InjectError(sim::kLineFraming | sim::kLineParity); }, EV_ERR,
         MS_RLSD_ON | MS_RING_ON, CE_FRAME | CE_RXPARITY},
        {"overrun", [&] { line_->InjectError(sim::kLineOverrun); }, EV_ERR, MS_RLSD_ON | MS_RING_ON,
         CE_OVERRUN},
        {"break", [&] { line_->InjectBreak(true); }, EV_BREAK, MS_RLSD_ON | MS_RING_ON, CE_BREAK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.act();
        const std::optional<DWORD> events = comtest::WaitEvents(h);
        ASSERT_TRUE(events.has_value());
        EXPECT_TRUE(*events & c.event) << *events;
        EXPECT_EQ(ModemStatus(h), c.modem);
        // Errors are reported once; a break lasts one packet on this chip.
        DWORD errors = 0;
        ASSERT_TRUE(Eventually([&] {
            errors |= Errors(h);
            return (errors & c.errors) == c.errors;
        }));
        EXPECT_EQ(errors, c.errors);
        EXPECT_TRUE(Eventually([&] { return Errors(h) == 0; }));
    }
    EXPECT_TRUE(Close(h));
}

// Without data the chip still sends its status pair each latency period; the
// host takes those packets and delivers nothing.
TEST_F(FtdiPortTest, StatusOnlyPacketsEveryLatencyPeriod) {
    sim::FtdiModelConfig config = sim::FtdiModelConfig::FullSpeed();
    config.latencyMs = 5;
    ServeChip(config);
    HANDLE h = Open();
    const uint64_t before = chip_->StatusOnlyPackets();
    EXPECT_TRUE(Eventually([&] { return chip_->StatusOnlyPackets() >= before + 10; }));
    COMSTAT stat{};
    DWORD errors = 0;
    EXPECT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(chip_->BytesReceived(), 0u);
    EXPECT_TRUE(Close(h));
}

// Writes go out unframed under the basic port's rules: at most 63 bytes a
// transfer, never 15 mod 16, and the immediate character alone.
TEST_F(FtdiPortTest, WritesAndImmediateCharacter) {
    ServeChip(sim::FtdiModelConfig::FullSpeed());
    HANDLE h = Open();
    const Bytes data = Pattern(1000);
    EXPECT_EQ(Write(h, data), data.size());
    ASSERT_TRUE(line_->WaitTransmitted(data.size(), 5000));
    EXPECT_EQ(line_->TakeTransmitted(), data);
    for (size_t length : chip_->OutPacketLengths()) {
        EXPECT_LE(length, 63u);
        EXPECT_NE(length % 16, 15u);
    }
    EXPECT_TRUE(TransmitCommChar(h, 'Q'));
    EXPECT_EQ(line_->TakeTransmitted(), Bytes{'Q'});
    EXPECT_EQ(chip_->OutPacketLengths().back(), 1u);
    EXPECT_TRUE(Close(h));
}

}  // namespace
