// SERIAL_STATE notifications as applications see them: modem status, line
// errors and comm events, from the raw bitmap and from the serial line
// behind the device.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "cdc_fixture.h"
#include "ce/file.h"

namespace cdctest {
namespace {

using comtest::WaitEvents;
namespace cdc = sim::cdc;

constexpr DWORD kLineEvents = EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR | EV_RING;

DWORD ModemStatus(HANDLE h) {
    DWORD status = 0xDEAD;
    EXPECT_TRUE(GetCommModemStatus(h, &status));
    return status;
}

DWORD TakeErrors(HANDLE h) {
    DWORD errors = 0xDEAD;
    COMSTAT stat{};
    EXPECT_TRUE(ClearCommError(h, &errors, &stat));
    return errors;
}

class CdcSerialState : public CdcPortTest {
  protected:
    // Serves the device, opens it and waits for line events.
    HANDLE OpenWaiting(const sim::CdcModelConfig& config) {
        ServeModel(config);
        HANDLE h = OpenPort();
        EXPECT_TRUE(SetCommMask(h, kLineEvents));
        return h;
    }
};

struct MappingCase {
    const char* name;
    bool ctsChip;
    uint16_t bitmap;
    DWORD modem, errors, events;
};

class CdcSerialStateMapping : public CdcSerialState,
                              public ::testing::WithParamInterface<MappingCase> {};

// Each notification is the complete line state. The port starts out
// assuming CTS and DSR on, so the events are the changes from 0x30.
TEST_P(CdcSerialStateMapping, BitmapBecomesModemStatusErrorsAndEvents) {
    const MappingCase& c = GetParam();
    HANDLE h = OpenWaiting(c.ctsChip ? sim::CdcCtsChipConfig() : sim::CdcAcmConfig());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    model_->QueueRawNotification(cdc::SerialState(0, c.bitmap));
    EXPECT_EQ(WaitEvents(h), std::optional<DWORD>(c.events));
    EXPECT_EQ(ModemStatus(h), c.modem);
    EXPECT_EQ(TakeErrors(h), c.errors);
    EXPECT_TRUE(CloseHandle(h));
}

constexpr DWORD kAllErrors = CE_BREAK | CE_FRAME | CE_RXPARITY | CE_OVERRUN;

INSTANTIATE_TEST_SUITE_P(
    Bitmaps, CdcSerialStateMapping,
    ::testing::Values(MappingCase{"CarrierAndDsr", false, 0x0003, 0xB0, 0, EV_RLSD},
                      MappingCase{"CarrierAndDsrCtsChip", true, 0x0003, 0xA0, 0, EV_RLSD | EV_CTS},
                      MappingCase{"BreakAndErrors", false, 0x0074, 0x10, kAllErrors,
                                  EV_BREAK | EV_DSR | EV_ERR},
                      MappingCase{"BreakAndErrorsCtsChip", true, 0x0074, 0x00, kAllErrors,
                                  EV_BREAK | EV_DSR | EV_CTS | EV_ERR},
                      MappingCase{"CtsBitIgnoredWithoutTheFlag", false, 0x0080, 0x10, 0, EV_DSR},
                      MappingCase{"CtsBitCtsChip", true, 0x0083, 0xB0, 0, EV_RLSD},
                      MappingCase{"Ring", false, 0x000A, 0x70, 0, EV_RING},
                      MappingCase{"ReservedBitsIgnored", false, 0xFF01, 0x90, 0, EV_RLSD | EV_DSR},
                      MappingCase{"OverrunAlone", false, 0x0042, 0x30, CE_OVERRUN, EV_ERR}),
    [](const auto& info) { return std::string(info.param.name); });

class CdcMalformedNotification : public CdcSerialState,
                                 public ::testing::WithParamInterface<ByteVector> {};

// Anything but a 10-byte SERIAL_STATE is dropped: the notification after it
// is the only one the application hears of.
TEST_P(CdcMalformedNotification, ChangesNothing) {
    HANDLE h = OpenWaiting(sim::CdcAcmConfig());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    model_->QueueRawNotification(GetParam());
    model_->QueueRawNotification(cdc::SerialState(0, 0x0000));  // DSR drops
    EXPECT_EQ(WaitEvents(h), std::optional<DWORD>(EV_DSR));
    EXPECT_EQ(ModemStatus(h), static_cast<DWORD>(MS_CTS_ON));
    EXPECT_EQ(TakeErrors(h), 0u);
    EXPECT_TRUE(CloseHandle(h));
}

ByteVector Resized(ByteVector bytes, size_t size) {
    bytes.resize(size, 0);
    return bytes;
}

ByteVector WithHeader(uint8_t requestType, uint8_t notification) {
    ByteVector bytes = cdc::SerialState(0, 0x0071);
    bytes[0] = requestType;
    bytes[1] = notification;
    return bytes;
}

// Every malformed one carries a state that would show: carrier and errors.
INSTANTIATE_TEST_SUITE_P(Notifications, CdcMalformedNotification,
                         ::testing::Values(Resized(cdc::SerialState(0, 0x0071), 9),
                                           Resized(cdc::SerialState(0, 0x0071), 16),
                                           WithHeader(0x21, 0x20), WithHeader(0xA1, 0x21),
                                           WithHeader(0xA1, 0x01), ByteVector{}));

// The device model watches its line: what happens there reaches the
// application through the status endpoint.
TEST_F(CdcSerialState, LineChangesReachTheApplication) {
    struct Step {
        const char* name;
        std::function<void(sim::ScriptedLine&)> action;
        DWORD events, modem, errors;
        bool ctsChipOnly;
    };
    const Step steps[] = {
        {"dsr on", [](auto& l) { l.SetDsr(true); }, EV_DSR, 0x30, 0, false},
        {"carrier on", [](auto& l) { l.SetDcd(true); }, EV_RLSD, 0xB0, 0, false},
        {"ring", [](auto& l) { l.SetRi(true); }, EV_RING, 0xF0, 0, false},
        {"ring ends", [](auto& l) { l.SetRi(false); }, EV_RING, 0xB0, 0, false},
        {"framing and parity", [](auto& l) { l.InjectError(sim::kLineFraming | sim::kLineParity); },
         EV_ERR, 0xB0, CE_FRAME | CE_RXPARITY, false},
        {"break", [](auto& l) { l.InjectBreak(true); }, EV_BREAK | EV_ERR, 0xB0, CE_BREAK, false},
        {"break lasts", [](auto& l) { l.InjectError(sim::kLineOverrun); }, EV_ERR, 0xB0,
         CE_BREAK | CE_OVERRUN, false},
        {"break ends", [](auto& l) { l.InjectBreak(false); }, EV_BREAK, 0xB0, 0, false},
        {"cts drops", [](auto& l) { l.SetCts(false); }, EV_CTS, 0xA0, 0, true},
        {"carrier off", [](auto& l) { l.SetDcd(false); }, EV_RLSD, 0x20, 0, true},
    };
    for (bool ctsChip : {false, true}) {
        SCOPED_TRACE(ctsChip ? "cts chip" : "acm");
        HANDLE h = OpenWaiting(ctsChip ? sim::CdcCtsChipConfig() : sim::CdcAcmConfig());
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        // Start from what the line really shows: every input off, except
        // CTS for the chip that reports it.
        if (ctsChip)
            line_->SetCts(true);
        model_->ReportState();
        ASSERT_EQ(WaitEvents(h), std::optional<DWORD>(EV_DSR));
        ASSERT_EQ(ModemStatus(h), static_cast<DWORD>(MS_CTS_ON));
        for (const Step& s : steps) {
            if (s.ctsChipOnly && !ctsChip)
                continue;
            SCOPED_TRACE(s.name);
            s.action(*line_);
            EXPECT_EQ(WaitEvents(h), std::optional<DWORD>(s.events));
            EXPECT_EQ(ModemStatus(h), s.modem);
            EXPECT_EQ(TakeErrors(h), s.errors);
        }
        EXPECT_TRUE(CloseHandle(h));
        Unplug();
    }
}

// A status pipe halted by a stall or by CRC errors is recovered and polled
// again: the line state still gets through.
TEST_F(CdcSerialState, StalledStatusEndpointRecovers) {
    HANDLE h = OpenWaiting(sim::CdcAcmConfig());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    model_->ReportState();  // DSR off, as on the line
    ASSERT_EQ(WaitEvents(h), std::optional<DWORD>(EV_DSR));
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        if (round % 2 == 0)
            bus_->Stall(id_, 0x81);
        else
            bus_->CompleteWithError(id_, {0x81, cehost::kAnyRequest}, USB_CRC_ERROR, 3);
        line_->SetDsr(round % 2 == 0);
        EXPECT_EQ(WaitEvents(h), std::optional<DWORD>(EV_DSR));
    }
    EXPECT_EQ(ModemStatus(h), static_cast<DWORD>(MS_CTS_ON));
    EXPECT_TRUE(CloseHandle(h));
}

// Whatever the status endpoint's packet size, the status transfer holds a
// whole notification and never asks for more than its 64-byte buffer.
TEST_F(CdcSerialState, StatusTransfersFitTheNotificationAndTheBuffer) {
    struct Case {
        uint16_t packet;
        uint32_t length;
    };
    for (const Case& c : {Case{8, 16}, Case{10, 10}, Case{16, 16}, Case{64, 64}, Case{512, 64}}) {
        SCOPED_TRACE(c.packet);
        sim::CdcModelConfig config = sim::CdcAcmConfig();
        config.notifyPacket = c.packet;
        HANDLE h = OpenWaiting(config);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        bus_->ClearLog();
        line_->SetDsr(true);
        line_->SetDcd(true);
        EXPECT_EQ(WaitEvents(h), std::optional<DWORD>(EV_RLSD));
        EXPECT_EQ(ModemStatus(h), 0xB0u);
        // The transfers that brought the two notifications and the one
        // issued after them.
        std::vector<uint32_t> lengths;
        EXPECT_TRUE(comtest::Eventually([&] {
            lengths.clear();
            for (const cehost::UsbLogEntry& e : bus_->Log()) {
                if (e.event == 'S' && e.endpoint == 0x81 && e.transferType == 1)
                    lengths.push_back(e.urbLength);
            }
            return lengths.size() >= 2;
        }));
        for (uint32_t length : lengths)
            EXPECT_EQ(length, c.length);
        EXPECT_TRUE(CloseHandle(h));
        Unplug();
    }
}

}  // namespace
}  // namespace cdctest
