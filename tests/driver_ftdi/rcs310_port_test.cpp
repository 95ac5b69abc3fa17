// The type-4 port: writes leave as vendor requests on the default pipe (the
// model records each one), reads come from bulk-IN, and the line requests
// the device has no means for fail.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "ce/file.h"
#include "ce/serial.h"
#include "ftdi_fixture.h"
#include "sim/rcs310_model.h"
#include "sim/serial_line.h"

namespace {

using ftditest::Bytes;
using ftditest::Pattern;
using ftditest::ReadAll;
using ftditest::SetTimeouts;
using ftditest::Write;

class Rcs310PortTest : public ftditest::ServedTest {
  protected:
    void ServeDevice(sim::Rcs310ModelConfig config = {}, long usbMode = -1) {
        line_ = std::make_shared<sim::ScriptedLine>();
        device_ = std::make_shared<sim::Rcs310Model>(config, line_);
        ServeModel(device_, usbMode);
        h_ = Open();
        ASSERT_NE(h_, INVALID_HANDLE_VALUE);
    }

    // wLength of every request since `from`, after checking that each was
    // the write request and that the device took it.
    std::vector<int> RequestLengths(size_t from) const {
        std::vector<int> lengths;
        const auto requests = device_->Requests();
        for (size_t i = from; i < requests.size(); ++i) {
            const sim::Rcs310Request& r = requests[i];
            EXPECT_EQ(r.bmRequestType, 0x41);
            EXPECT_EQ(r.bRequest, 0x00);
            EXPECT_EQ(r.wValue, 0);
            EXPECT_EQ(r.wIndex, 0);
            EXPECT_TRUE(r.accepted);
            lengths.push_back(r.wLength);
        }
        return lengths;
    }

    std::shared_ptr<sim::ScriptedLine> line_;
    std::shared_ptr<sim::Rcs310Model> device_;
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

// One request per transfer, 261 bytes at most unless flag 0x400 lifts the
// limit; even then a request stops at 65535 bytes, what wLength can say.
TEST_F(Rcs310PortTest, WriteRequestLengths) {
    struct Case {
        size_t write;
        std::vector<int> lengths;
    };
    struct Group {
        const char* name;
        long usbMode;
        size_t deviceLimit;
        std::vector<Case> cases;
    };
    const Group groups[] = {
        {"limited",
         -1,
         261,
         {{300, {261, 39}}, {261, {261}}, {63, {63}}, {15, {15}}, {1, {1}}, {0, {0}}}},
        {"flag 0x400",
         0x404,
         65535,
         {{300, {300}}, {15, {15}}, {65535, {65535}}, {70000, {65535, 4465}}, {0, {0}}}},
    };
    for (const Group& g : groups) {
        SCOPED_TRACE(g.name);
        sim::Rcs310ModelConfig config;
        config.maxRequest = g.deviceLimit;
        ServeDevice(config, g.usbMode);
        for (const Case& c : g.cases) {
            SCOPED_TRACE(c.write);
            const size_t from = device_->Requests().size();
            const Bytes data = Pattern(c.write);
            EXPECT_EQ(Write(h_, data), data.size());
            EXPECT_EQ(RequestLengths(from), c.lengths);
            EXPECT_EQ(line_->TakeTransmitted(), data);
        }
        Replace();
    }
}

// The device has no control lines, break or immediate character: those
// requests fail, and nothing reaches the device. Line settings are accepted
// and send nothing.
TEST_F(Rcs310PortTest, LineRequestsFailAndSendNothing) {
    ServeDevice();
    struct Case {
        const char* name;
        std::function<BOOL()> call;
    };
    const Case cases[] = {
        {"SETDTR", [&] { return EscapeCommFunction(h_, SETDTR); }},
        {"CLRRTS", [&] { return EscapeCommFunction(h_, CLRRTS); }},
        {"break on", [&] { return SetCommBreak(h_); }},
        {"immediate character", [&] { return TransmitCommChar(h_, 'x'); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(c.call());
    }
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    ASSERT_TRUE(GetCommState(h_, &dcb));
    dcb.BaudRate = 115200;
    EXPECT_TRUE(SetCommState(h_, &dcb));
    EXPECT_TRUE(device_->Requests().empty());
    EXPECT_TRUE(line_->TakeTransmitted().empty());
    EXPECT_EQ(device_->BulkOutBytesIgnored(), 0u);
}

// Without a bulk-OUT endpoint the device starts, is written to through the
// default pipe, and is read from its bulk-IN endpoint.
TEST_F(Rcs310PortTest, DeviceWithoutBulkOutReadsAndWrites) {
    sim::Rcs310ModelConfig config;
    config.bulkOut = false;
    ServeDevice(config);
    const Bytes out = Pattern(400);
    EXPECT_EQ(Write(h_, out), out.size());
    EXPECT_EQ(line_->TakeTransmitted(), out);
    EXPECT_EQ(RequestLengths(0), (std::vector<int>{261, 139}));

    SetTimeouts(h_, 0, 0, 3000);
    const Bytes in = Pattern(200, 0x50);
    line_->Inject(in);
    EXPECT_EQ(ReadAll(h_, in.size()), in);
}

}  // namespace
