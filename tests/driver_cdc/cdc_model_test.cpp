// The CDC device model on its own, driven through the host's function table:
// what it accepts, refuses and reports, whoever the host is.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ce/usb.h"
#include "cehost/usb_bus.h"
#include "common/platform_test.h"
#include "sim/cdc_model.h"

namespace cdctest {
namespace {

namespace cdc = sim::cdc;
using Bytes = std::vector<uint8_t>;

struct Reply {
    DWORD error = 0xDEAD;
    Bytes data;
};

class CdcModelTest : public PlatformTest {
  protected:
    void Plug(const sim::CdcModelConfig& config) {
        line_ = std::make_shared<sim::ScriptedLine>();
        model_ = std::make_shared<sim::CdcModel>(config, line_);
        bus_ = std::make_unique<cehost::UsbBus>();
        id_ = bus_->PlugUnclaimed(model_);
        ASSERT_NE(id_, 0u);
        f_ = cehost::UsbFunctions();
    }

    void TearDown() override {
        bus_.reset();
        PlatformTest::TearDown();
    }

    // A synchronous class request to `interface`.
    Reply Request(uint8_t type, uint8_t request, uint16_t value, Bytes data, uint16_t iface = 0) {
        USB_DEVICE_REQUEST setup{type, request, value, iface, static_cast<uint16_t>(data.size())};
        USB_TRANSFER t =
            f_->lpIssueVendorTransfer(bus_->Handle(id_), nullptr, nullptr, USB_SEND_TO_INTERFACE,
                                      &setup, data.empty() ? nullptr : data.data(), 0);
        Reply reply;
        if (t == nullptr)
            return reply;
        DWORD bytes = 0;
        f_->lpGetTransferStatus(t, &bytes, &reply.error);
        f_->lpCloseTransfer(t);
        reply.data.assign(data.begin(), data.begin() + bytes);
        return reply;
    }

    std::shared_ptr<sim::ScriptedLine> line_;
    std::shared_ptr<sim::CdcModel> model_;
    std::unique_ptr<cehost::UsbBus> bus_;
    cehost::UsbDeviceId id_ = 0;
    LPCUSB_FUNCS f_ = nullptr;
};

TEST_F(CdcModelTest, LineCodingIsCheckedAndReadBack) {
    Plug(sim::CdcAcmConfig());
    const Bytes good{0x00, 0xC2, 0x01, 0x00, 0x02, 0x01, 0x07};  // 115200 7O2
    ASSERT_EQ(Request(0x21, cdc::kSetLineCoding, 0, good).error, USB_NO_ERROR);
    struct Case {
        const char* name;
        uint8_t type;
        Bytes data;
        uint16_t iface;
    };
    const Case refused[] = {
        {"nine data bits", 0x21, {0x80, 0x25, 0, 0, 0, 0, 9}, 0},
        {"parity code 5", 0x21, {0x80, 0x25, 0, 0, 0, 5, 8}, 0},
        {"stop code 3", 0x21, {0x80, 0x25, 0, 0, 3, 0, 8}, 0},
        {"rate 0", 0x21, {0, 0, 0, 0, 0, 0, 8}, 0},
        {"six bytes", 0x21, {0x80, 0x25, 0, 0, 0, 0}, 0},
        {"another interface", 0x21, {0x80, 0x25, 0, 0, 0, 0, 8}, 1},
        {"another interface, same low byte", 0x21, {0x80, 0x25, 0, 0, 0, 0, 8}, 0x100},
        {"vendor request", 0x41, {0x80, 0x25, 0, 0, 0, 0, 8}, 0},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Request(c.type, cdc::kSetLineCoding, 0, c.data, c.iface).error, USB_STALL_ERROR);
    }
    EXPECT_EQ(Request(0xA1, cdc::kGetLineCoding, 0, Bytes(7)).data, good);
    EXPECT_EQ(line_->Config(), (sim::LineConfig{115200, 7, 1, 2}));
}

TEST_F(CdcModelTest, DeviceWithoutLineCodingRefusesIt) {
    Plug(sim::CdcNoCodingConfig());
    EXPECT_EQ(Request(0x21, cdc::kSetLineCoding, 0, {0x00, 0xC2, 0x01, 0, 0, 0, 8}).error,
              USB_STALL_ERROR);
    EXPECT_EQ(model_->Coding(), sim::LineConfig{});
    EXPECT_TRUE(model_->LastLineCoding().empty());
    EXPECT_EQ(Request(0x21, cdc::kSetControlLineState, 1, {}).error, USB_NO_ERROR);
    EXPECT_TRUE(line_->Dtr());
}

// A timed break is over once the request is answered; 0xFFFF holds it.
TEST_F(CdcModelTest, TimedBreakEndsAndHeldBreakLasts) {
    Plug(sim::CdcAcmConfig());
    ASSERT_EQ(Request(0x21, cdc::kSendBreak, 250, {}).error, USB_NO_ERROR);
    EXPECT_FALSE(line_->Break());
    ASSERT_EQ(Request(0x21, cdc::kSendBreak, 0xFFFF, {}).error, USB_NO_ERROR);
    EXPECT_TRUE(line_->Break());
    EXPECT_TRUE(model_->Break());
}

// Notifications wait for a host that does not poll; past the queue's
// capacity the newest state replaces the last one, keeping its errors.
TEST_F(CdcModelTest, UnpolledNotificationsKeepTheNewestStateAndAllErrors) {
    Plug(sim::CdcAcmConfig());
    for (int i = 0; i < 40; ++i)
        line_->SetDsr(i % 2 == 0);
    line_->InjectError(sim::kLineParity);
    line_->SetDcd(true);
    EXPECT_EQ(model_->NotificationsPending(), 32u);

    USB_ENDPOINT_DESCRIPTOR d{
        7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16, 1};
    USB_PIPE pipe = f_->lpOpenPipe(bus_->Handle(id_), &d);
    ASSERT_NE(pipe, nullptr);
    uint8_t buffer[16];
    uint16_t last = 0;
    for (int i = 0; i < 32; ++i) {
        USB_TRANSFER t = f_->lpIssueInterruptTransfer(
            pipe, nullptr, nullptr, USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK, 16, buffer, 0);
        ASSERT_NE(t, nullptr);
        DWORD bytes = 0;
        f_->lpGetTransferStatus(t, &bytes, nullptr);
        f_->lpCloseTransfer(t);
        ASSERT_EQ(bytes, 10u);
        last = static_cast<uint16_t>(buffer[8] | (buffer[9] << 8));
    }
    EXPECT_EQ(last, cdc::kStateDcd | cdc::kStateParity);
    EXPECT_EQ(model_->StatesSent().size(), 32u);
    f_->lpClosePipe(pipe);
}

}  // namespace
}  // namespace cdctest
