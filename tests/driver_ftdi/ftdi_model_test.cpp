// The FTDI chip models driven straight through the USB function table, for
// what the driver never sends: headers that do not match their transfer, and
// divisors at the edges of the field.
#include <gtest/gtest.h>

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

    void TearDown() override {
        if (outPipe_ != nullptr)
            f_->lpClosePipe(outPipe_);
        bus_.reset();
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

// Divisors at the edges: 0 and 1 are the chip's special cases, wIndex bit 0
// selects the finer sub-integer steps, and below 2 there is no other
// divisor: such a request is stalled and the rate stays.
TEST_F(FtdiModelTest, DivisorChipDecodesEdgeDivisors) {
    struct Case {
        uint16_t value, index;
        DWORD error;
        uint32_t baud;
    };
    const Case cases[] = {
        {0x0000, 0, USB_NO_ERROR, 3000000},   {0x0001, 0, USB_NO_ERROR, 2000000},
        {0x0003, 1, USB_NO_ERROR, 888889},    {0xC003, 1, USB_NO_ERROR, 774194},
        {0x4000, 0, USB_STALL_ERROR, 774194}, {0x4001, 0, USB_STALL_ERROR, 774194},
        {0x0001, 1, USB_STALL_ERROR, 774194}, {0x7FFF, 0, USB_NO_ERROR, 183},
    };
    Plug(sim::FtdiModelConfig::FullSpeed());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(Request(0x03, c.value, c.index), c.error);
        EXPECT_EQ(chip_->State().baud, c.baud);
        EXPECT_EQ(line_->Config().baud, c.baud);
    }
    EXPECT_EQ(chip_->State().badRequests, 3u);
}

}  // namespace
