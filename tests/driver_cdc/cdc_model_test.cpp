// The CDC device model on its own, driven through the host's function table:
// what it accepts, refuses and reports, whoever the host is.
#include <gtest/gtest.h>

#include <functional>
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

// Break, ring and errors are one-shot on a device that follows the PSTN
// subclass and levels (errors aside) on the other kind; either holds one
// notification, into which what happens before the host polls is merged.
TEST_F(CdcModelTest, IrregularSignalsAndThePendingNotification) {
    constexpr int kNone = -1;
    struct Step {
        const char* name;
        std::function<void(sim::ScriptedLine&)> act;
        int oneShot, level;  // bitmap of the notification sent next; kNone: none
    };
    const Step steps[] = {
        {"ring starts", [](auto& l) { l.SetRi(true); }, cdc::kStateRing, cdc::kStateRing},
        {"ring ends", [](auto& l) { l.SetRi(false); }, kNone, 0},
        {"break starts", [](auto& l) { l.InjectBreak(true); }, cdc::kStateBreak, cdc::kStateBreak},
        {"overrun in the break", [](auto& l) { l.InjectError(sim::kLineOverrun); },
         cdc::kStateOverrun, cdc::kStateBreak | cdc::kStateOverrun},
        {"break ends", [](auto& l) { l.InjectBreak(false); }, kNone, 0},
        {"changes merge while unpolled",
         [](auto& l) {
             for (int i = 0; i < 40; ++i)
                 l.SetDsr(i % 2 == 0);
             l.InjectError(sim::kLineParity);
             l.SetDcd(true);
         },
         cdc::kStateDcd | cdc::kStateParity, cdc::kStateDcd | cdc::kStateParity},
    };
    for (bool level : {false, true}) {
        SCOPED_TRACE(level ? "level signals" : "one-shot signals");
        sim::CdcModelConfig config = sim::CdcAcmConfig();
        config.levelSignals = level;
        auto line = std::make_shared<sim::ScriptedLine>();
        sim::CdcModel model(config, line);
        for (const Step& s : steps) {
            SCOPED_TRACE(s.name);
            s.act(*line);
            const int expected = level ? s.level : s.oneShot;
            Bytes packet;
            if (expected != kNone) {
                ASSERT_EQ(model.In(0x81, 16, packet), cehost::UsbHandshake::kAck);
                EXPECT_EQ(packet, cdc::SerialState(0, static_cast<uint16_t>(expected)));
            }
            EXPECT_EQ(model.In(0x81, 16, packet), cehost::UsbHandshake::kNak);
        }
    }
}

}  // namespace
}  // namespace cdctest
