// The type-4 port: writes leave as vendor requests on the default pipe (the
// model records each one), reads come from bulk-IN, and the line requests
// the device has no means for fail.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "ftdi_fixture.h"
#include "sim/rcs310_model.h"

namespace {

using namespace ftditest;

class Rcs310PortTest : public ServedTest<sim::Rcs310Model> {
  protected:
    // wLength of every request since `from`, after checking that each was
    // the write request and that the device took it.
    std::vector<int> RequestLengths(size_t from) const {
        std::vector<int> lengths;
        const auto requests = chip_->Requests();
        for (size_t i = from; i < requests.size(); ++i) {
            const sim::Rcs310Request& r = requests[i];
            EXPECT_EQ(r.bmRequestType, 0x41);
            EXPECT_EQ(r.bRequest | r.wValue | r.wIndex, 0);
            EXPECT_TRUE(r.accepted);
            lengths.push_back(r.wLength);
        }
        return lengths;
    }
};

// One request per transfer, 261 bytes at most unless flag 0x400 lifts the
// limit; even then a request stops at 65535 bytes, what wLength can say.
TEST_F(Rcs310PortTest, WriteRequestLengths) {
    const struct {
        long usbMode;
        size_t write;
        std::vector<int> lengths;
    } cases[] = {
        {-1, 300, {261, 39}}, {-1, 261, {261}},        {-1, 0, {0}},
        {0x404, 300, {300}},  {0x404, 65535, {65535}}, {0x404, 70000, {65535, 4465}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.usbMode << " " << c.write);
        sim::Rcs310ModelConfig config;
        config.maxRequest = c.usbMode < 0 ? 261 : 65535;
        ServeChip(config, c.usbMode);
        const Bytes data = PatternBytes(c.write);
        EXPECT_EQ(WriteAll(h_, data), data.size());
        EXPECT_EQ(RequestLengths(0), c.lengths);
        EXPECT_EQ(line_->TakeTransmitted(), data);
    }
}

// The device has no control lines, break or immediate character: those
// requests fail, and nothing reaches the device. Line settings are accepted
// and send nothing.
TEST_F(Rcs310PortTest, LineRequestsFailAndSendNothing) {
    ServeChip(sim::Rcs310ModelConfig{});
    const std::function<BOOL()> calls[] = {
        [&] { return EscapeCommFunction(h_, SETDTR); },
        [&] { return EscapeCommFunction(h_, CLRRTS); },
        [&] { return SetCommBreak(h_); },
        [&] { return TransmitCommChar(h_, 'x'); },
    };
    for (const auto& call : calls)
        EXPECT_FALSE(call());
    EXPECT_TRUE(EditDcb(h_, [](DCB& d) { d.BaudRate = 115200; }));
    EXPECT_TRUE(chip_->Requests().empty());
    EXPECT_TRUE(line_->TakeTransmitted().empty());
    EXPECT_EQ(chip_->BulkOutBytesIgnored(), 0u);
}

// Without a bulk-OUT endpoint the first attach names none, and the device
// starts, is written to through the default pipe, and is read from its
// bulk-IN endpoint.
TEST_F(Rcs310PortTest, DeviceWithoutBulkOutReadsAndWrites) {
    sim::Rcs310ModelConfig config;
    config.bulkOut = false;
    ServeChip(config);
    EXPECT_EQ(KeyDword(kValueSendEndp), 0u);
    const Bytes out = PatternBytes(400);
    EXPECT_EQ(WriteAll(h_, out), out.size());
    EXPECT_EQ(line_->TakeTransmitted(), out);
    EXPECT_EQ(RequestLengths(0), (std::vector<int>{261, 139}));

    SetTimeouts(h_, 0, 0, 3000);
    const Bytes in = PatternBytes(200, 0x50);
    line_->Inject(in);
    EXPECT_EQ(ReadAll(h_, in.size()), in);
}

}  // namespace
