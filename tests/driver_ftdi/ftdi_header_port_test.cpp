// The header-framed FTDI port: rate codes, and the header byte that the chip
// checks and strips from every bulk-OUT transfer (the model records every
// transfer and every header that does not match its length).
#include <gtest/gtest.h>

#include <vector>

#include "ftdi_fixture.h"
#include "sim/ftdi_model.h"

namespace {

using namespace ftditest;

class FtdiHeaderPortTest : public ServedTest<sim::FtdiModel> {
  protected:
    void Serve(long usbMode = -1, uint16_t packet = 64) {
        sim::FtdiModelConfig config = sim::FtdiModelConfig::HeaderFramed();
        config.packet = packet;
        ServeChip(config, usbMode);
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
        EXPECT_EQ(chip_->State().headerErrors, 0u);
        return lengths;
    }
};

// A rate without a code runs the chip at 9600.
TEST_F(FtdiHeaderPortTest, RateCodes) {
    Serve();
    for (auto [rate, code, runsAt] : {std::tuple{300u, 0, 300u},
                                      {38400u, 7, 38400u},
                                      {115200u, 9, 115200u},
                                      {14400u, 5, 9600u},
                                      {0u, 5, 9600u},
                                      {230400u, 5, 9600u}}) {
        SCOPED_TRACE(rate);
        ASSERT_TRUE(EditDcb(h_, [&](DCB& d) {
            d.BaudRate = rate;
            d.ByteSize = 7;
            d.Parity = EVENPARITY;
        }));
        EXPECT_EQ(chip_->State().rateCode, code);
        EXPECT_EQ(line_->Config(), (sim::LineConfig{runsAt, 7, EVENPARITY, ONESTOPBIT}));
    }
    EXPECT_EQ(chip_->State().badRequests, 0u);
}

// Every transfer is a header and at most 62 data bytes on a 64-byte
// endpoint, never 15 mod 16 bytes long unless flag 0x800 allows it; the
// application's count is of data bytes, and nothing is lost or repeated.
// The immediate character goes alone with its header.
TEST_F(FtdiHeaderPortTest, WriteLengths) {
    const struct {
        size_t write;
        std::vector<int> plain, flagged;  // data bytes per transfer
    } cases[] = {
        {100, {61, 39}, {62, 38}}, {62, {61, 1}, {62}}, {31, {31}, {31}},
        {30, {29, 1}, {30}},       {14, {13, 1}, {14}}, {0, {0}, {0}},
    };
    for (const bool flagged : {false, true}) {
        SCOPED_TRACE(flagged ? "flag 0x800" : "no flags");
        Serve(flagged ? 0x803 : -1);
        for (const auto& c : cases) {
            SCOPED_TRACE(c.write);
            const size_t from = chip_->OutPackets().size();
            const Bytes data = PatternBytes(c.write);
            EXPECT_EQ(WriteAll(h_, data), data.size());
            EXPECT_EQ(DataLengths(from), flagged ? c.flagged : c.plain);
            EXPECT_EQ(line_->TakeTransmitted(), data);
        }
        const size_t from = chip_->OutPackets().size();
        EXPECT_TRUE(TransmitCommChar(h_, '\x13'));
        EXPECT_EQ(DataLengths(from), std::vector<int>{1});
        EXPECT_EQ(line_->TakeTransmitted(), Bytes{0x13});
    }
}

// An endpoint larger than 65 bytes still takes at most 63 data bytes a
// transfer: the header has 6 bits for the length.
TEST_F(FtdiHeaderPortTest, LargePacketsStillCarryAtMost63DataBytes) {
    Serve(0x803, 128);
    const Bytes data = PatternBytes(500);
    EXPECT_EQ(WriteAll(h_, data), data.size());
    EXPECT_EQ(line_->TakeTransmitted(), data);
    for (int length : DataLengths())
        EXPECT_LE(length, 63);
}

// Input flow control by XON/XOFF: the flow characters leave framed too.
// More than three quarters of the 4096-byte ring makes the port send XOFF;
// reading it below a quarter makes it send XON.
TEST_F(FtdiHeaderPortTest, FlowCharactersCarryTheHeader) {
    Serve();
    ASSERT_TRUE(EditDcb(h_, [](DCB& d) {
        d.fInX = 1;
        d.fTXContinueOnXoff = 1;
    }));
    const size_t from = chip_->OutPackets().size();
    const Bytes data = PatternBytes(3200, 0x41);
    line_->Inject(data);
    ASSERT_TRUE(line_->WaitTransmitted(1, 5000));
    EXPECT_EQ(line_->TakeTransmitted(), Bytes{0x13});
    SetTimeouts(h_, 0, 0, 3000);
    EXPECT_EQ(ReadAll(h_, data.size()), data);
    ASSERT_TRUE(line_->WaitTransmitted(1, 5000));
    EXPECT_EQ(line_->TakeTransmitted(), Bytes{0x11});
    EXPECT_EQ(DataLengths(from), (std::vector<int>{1, 1}));
}

}  // namespace
