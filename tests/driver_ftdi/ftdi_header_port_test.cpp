// The header-framed FTDI port: rate codes, and the header byte that the chip
// checks and strips from every bulk-OUT transfer (the model records every
// transfer and every header that does not match its length).
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "ce/file.h"
#include "ce/serial.h"
#include "ftdi_fixture.h"
#include "sim/ftdi_model.h"
#include "sim/serial_line.h"

namespace {

using ftditest::Bytes;
using ftditest::Eventually;
using ftditest::Pattern;
using ftditest::ReadAll;
using ftditest::SetTimeouts;
using ftditest::Write;

class FtdiHeaderPortTest : public ftditest::ServedTest {
  protected:
    void ServeChip(sim::FtdiModelConfig config = sim::FtdiModelConfig::HeaderFramed(),
                   long usbMode = -1) {
        line_ = std::make_shared<sim::ScriptedLine>();
        chip_ = std::make_shared<sim::FtdiModel>(config, line_);
        ServeModel(chip_, usbMode);
        h_ = Open();
        ASSERT_NE(h_, INVALID_HANDLE_VALUE);
    }

    // Data lengths of the transfers the chip received since `from`, after
    // checking that each header matched its transfer.
    std::vector<int> DataLengths(size_t from = 0) const {
        std::vector<int> lengths;
        const auto packets = chip_->OutPackets();
        for (size_t i = from; i < packets.size(); ++i) {
            EXPECT_EQ(static_cast<size_t>(packets[i].declared) + 1, packets[i].length);
            lengths.push_back(packets[i].declared);
        }
        return lengths;
    }

    std::shared_ptr<sim::ScriptedLine> line_;
    std::shared_ptr<sim::FtdiModel> chip_;
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

TEST_F(FtdiHeaderPortTest, RateCodes) {
    struct Case {
        DWORD rate;
        int code;
        uint32_t runsAt;
    };
    const Case cases[] = {
        {300, 0, 300},     {600, 1, 600},       {1200, 2, 1200},   {2400, 3, 2400},
        {4800, 4, 4800},   {9600, 5, 9600},     {19200, 6, 19200}, {38400, 7, 38400},
        {57600, 8, 57600}, {115200, 9, 115200}, {14400, 5, 9600},  {0, 5, 9600},
        {230400, 5, 9600},
    };
    ServeChip();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rate);
        DCB dcb{};
        dcb.DCBlength = sizeof(DCB);
        ASSERT_TRUE(GetCommState(h_, &dcb));
        dcb.BaudRate = c.rate;
        dcb.ByteSize = 7;
        dcb.Parity = EVENPARITY;
        ASSERT_TRUE(SetCommState(h_, &dcb));
        const sim::FtdiState chip = chip_->State();
        EXPECT_EQ(chip.rateCode, c.code);
        EXPECT_EQ(chip.baud, c.runsAt);
        EXPECT_EQ(line_->Config(), (sim::LineConfig{c.runsAt, 7, EVENPARITY, ONESTOPBIT}));
    }
    EXPECT_EQ(chip_->State().badRequests, 0u);
}

// Every transfer is a header and at most 62 data bytes on a 64-byte
// endpoint, never 15 mod 16 bytes long unless flag 0x800 allows it; the
// application's count is of data bytes, and nothing is lost or repeated.
TEST_F(FtdiHeaderPortTest, WriteLengths) {
    struct Case {
        size_t write;
        std::vector<int> plain;    // data bytes per transfer, no flags
        std::vector<int> flagged;  // with flag 0x800
    };
    const Case cases[] = {
        {100, {61, 39}, {62, 38}}, {62, {61, 1}, {62}}, {31, {31}, {31}},
        {30, {29, 1}, {30}},       {14, {13, 1}, {14}}, {0, {0}, {0}},
    };
    for (const bool flagged : {false, true}) {
        SCOPED_TRACE(flagged ? "flag 0x800" : "no flags");
        ServeChip(sim::FtdiModelConfig::HeaderFramed(), flagged ? 0x803 : -1);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.write);
            const size_t from = chip_->OutPackets().size();
            const Bytes data = Pattern(c.write);
            EXPECT_EQ(Write(h_, data), data.size());
            EXPECT_EQ(DataLengths(from), flagged ? c.flagged : c.plain);
            EXPECT_EQ(line_->TakeTransmitted(), data);
        }
        EXPECT_EQ(chip_->State().headerErrors, 0u);
        Replace();
    }
}

// An endpoint larger than 65 bytes still takes at most 63 data bytes a
// transfer: the header has 6 bits for the length.
TEST_F(FtdiHeaderPortTest, LargePacketsStillCarryAtMost63DataBytes) {
    sim::FtdiModelConfig config = sim::FtdiModelConfig::HeaderFramed();
    config.packet = 128;
    ServeChip(config, 0x803);
    const Bytes data = Pattern(500);
    EXPECT_EQ(Write(h_, data), data.size());
    EXPECT_EQ(line_->TakeTransmitted(), data);
    for (int length : DataLengths())
        EXPECT_LE(length, 63);
    EXPECT_EQ(chip_->State().headerErrors, 0u);
}

// The immediate character goes with its header and counts as the one
// character it is.
TEST_F(FtdiHeaderPortTest, ImmediateCharacterReportsSuccess) {
    ServeChip();
    for (char ch : {'A', '\x13', '\xFF'}) {
        const size_t from = chip_->OutPackets().size();
        EXPECT_TRUE(TransmitCommChar(h_, ch));
        EXPECT_EQ(DataLengths(from), std::vector<int>{1});
        EXPECT_EQ(line_->TakeTransmitted(), Bytes{static_cast<uint8_t>(ch)});
    }
    EXPECT_EQ(chip_->State().headerErrors, 0u);
}

// Input flow control by XON/XOFF: the flow characters leave framed too.
TEST_F(FtdiHeaderPortTest, FlowCharactersCarryTheHeader) {
    sim::FtdiModelConfig config = sim::FtdiModelConfig::HeaderFramed();
    config.rxFifo = 4096;  // the whole block arrives at once
    ServeChip(config);
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    ASSERT_TRUE(GetCommState(h_, &dcb));
    dcb.fInX = 1;
    dcb.fTXContinueOnXoff = 1;
    ASSERT_TRUE(SetCommState(h_, &dcb));
    const size_t from = chip_->OutPackets().size();
    // More than three quarters of the 4096-byte ring makes the port send
    // XOFF; reading it below a quarter makes it send XON.
    const Bytes data = Pattern(3200, 0x41);
    line_->Inject(data);
    ASSERT_TRUE(line_->WaitTransmitted(1, 5000));
    EXPECT_EQ(line_->TakeTransmitted(), Bytes{0x13});
    SetTimeouts(h_, 0, 0, 3000);
    EXPECT_EQ(ReadAll(h_, data.size()), data);
    ASSERT_TRUE(line_->WaitTransmitted(1, 5000));
    EXPECT_EQ(line_->TakeTransmitted(), Bytes{0x11});
    EXPECT_EQ(DataLengths(from), (std::vector<int>{1, 1}));
    EXPECT_EQ(chip_->State().headerErrors, 0u);
}

}  // namespace
