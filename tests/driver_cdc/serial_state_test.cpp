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

using comtest::ModemStatus;
using comtest::TakeErrors;
using comtest::WaitEvents;
namespace cdc = sim::cdc;

class CdcSerialState : public CdcPortTest {
  protected:
    // Serves the device, opens it and waits for line events.
    HANDLE OpenWaiting(const sim::CdcModelConfig& config) {
        HANDLE h = ServeAndOpen(config);
        EXPECT_TRUE(SetCommMask(h, EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR | EV_RING));
        return h;
    }
};

// Each notification is the complete line state. The port starts out
// assuming CTS and DSR on, so the events are the changes from 0x30; break
// and ring are events of their own, never held as lines. The CTS
// bit counts only on the chip that reports it. Anything but a 10-byte
// SERIAL_STATE is dropped: the notification after it (DSR dropping) is the
// only one the application hears of.
TEST_F(CdcSerialState, BitmapBecomesModemStatusErrorsAndEvents) {
    constexpr DWORD kAllErrors = CE_BREAK | CE_FRAME | CE_RXPARITY | CE_OVERRUN;
    auto header = [](uint8_t type, uint8_t notification) {
        ByteVector bytes = cdc::SerialState(0, 0x0071);
        bytes[0] = type;
        bytes[1] = notification;
        return bytes;
    };
    auto resized = [](size_t size) {
        ByteVector bytes = cdc::SerialState(0, 0x0071);
        bytes.resize(size, 0);
        return bytes;
    };
    const struct {
        bool ctsChip;
        uint16_t bitmap;
        DWORD modem, errors, events;
    } cases[] = {
        {false, 0x0003, 0xB0, 0, EV_RLSD},
        {true, 0x0003, 0xA0, 0, EV_RLSD | EV_CTS},
        {false, 0x0074, 0x10, kAllErrors, EV_BREAK | EV_DSR | EV_ERR},
        {true, 0x0074, 0x00, kAllErrors, EV_BREAK | EV_DSR | EV_CTS | EV_ERR},
        {false, 0x0080, 0x10, 0, EV_DSR},
        {true, 0x0083, 0xB0, 0, EV_RLSD},
        {false, 0x000A, 0x30, 0, EV_RING},
        {false, 0xFF01, 0x90, 0, EV_RLSD | EV_DSR},
    };
    const ByteVector malformed[] = {resized(9),         resized(16),        header(0x21, 0x20),
                                    header(0xA1, 0x21), header(0xA1, 0x01), {}};
    auto check = [&](bool ctsChip, const std::vector<ByteVector>& notifications, DWORD modem,
                     DWORD errors, DWORD events) {
        HANDLE h = OpenWaiting(ctsChip ? sim::CdcCtsChipConfig() : sim::CdcAcmConfig());
        for (const ByteVector& n : notifications)
            model_->QueueRawNotification(n);
        EXPECT_EQ(WaitEvents(h), std::optional<DWORD>(events));
        EXPECT_EQ(ModemStatus(h), modem);
        EXPECT_EQ(TakeErrors(h), errors);
        EXPECT_TRUE(CloseHandle(h));
        Unplug();
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bitmap);
        check(c.ctsChip, {cdc::SerialState(0, c.bitmap)}, c.modem, c.errors, c.events);
    }
    for (const ByteVector& n : malformed) {
        SCOPED_TRACE(testing::PrintToString(n));
        check(false, {n, cdc::SerialState(0, 0)}, MS_CTS_ON, 0, EV_DSR);
    }
}

// The device model watches its line: what happens there reaches the
// application through the status endpoint, also after its pipe was halted
// by a stall or by CRC errors (it is recovered and polled again). Break and
// ring are one-shot: the device reports each once and nothing of its end.
TEST_F(CdcSerialState, LineChangesReachTheApplication) {
    const struct {
        const char* name;
        std::function<void(sim::ScriptedLine&)> action;
        DWORD events, modem, errors;
        bool ctsChipOnly;
        char fault;  // the status pipe halts first: 's' a stall, 'c' CRC errors
    } steps[] = {
        {"dsr on", [](auto& l) { l.SetDsr(true); }, EV_DSR, 0x30, 0, false, 0},
        {"carrier on", [](auto& l) { l.SetDcd(true); }, EV_RLSD, 0xB0, 0, false, 's'},
        {"ring", [](auto& l) { l.SetRi(true); }, EV_RING, 0xB0, 0, false, 'c'},
        // The device said nothing of the first ring's end.
        {"second ring",
         [](auto& l) {
             l.SetRi(false);
             l.SetRi(true);
         },
         EV_RING, 0xB0, 0, false, 's'},
        {"framing and parity", [](auto& l) { l.InjectError(sim::kLineFraming | sim::kLineParity); },
         EV_ERR, 0xB0, CE_FRAME | CE_RXPARITY, false, 0},
        {"break", [](auto& l) { l.InjectBreak(true); }, EV_BREAK | EV_ERR, 0xB0, CE_BREAK, false,
         0},
        {"break lasts", [](auto& l) { l.InjectError(sim::kLineOverrun); }, EV_ERR, 0xB0, CE_OVERRUN,
         false, 'c'},
        {"cts drops", [](auto& l) { l.SetCts(false); }, EV_CTS, 0xA0, 0, true, 's'},
    };
    for (bool ctsChip : {false, true}) {
        SCOPED_TRACE(ctsChip ? "cts chip" : "acm");
        HANDLE h = OpenWaiting(ctsChip ? sim::CdcCtsChipConfig() : sim::CdcAcmConfig());
        // Start from what the line really shows: every input off, except
        // CTS for the chip that reports it.
        if (ctsChip)
            line_->SetCts(true);
        model_->ReportState();
        ASSERT_EQ(WaitEvents(h), std::optional<DWORD>(EV_DSR));
        ASSERT_EQ(ModemStatus(h), static_cast<DWORD>(MS_CTS_ON));
        for (const auto& s : steps) {
            if (s.ctsChipOnly && !ctsChip)
                continue;
            SCOPED_TRACE(s.name);
            if (s.fault == 's')
                bus_->Stall(id_, 0x81);
            if (s.fault == 'c')
                bus_->CompleteWithError(id_, {0x81, cehost::kAnyRequest}, USB_CRC_ERROR, 3);
            s.action(*line_);
            EXPECT_EQ(WaitEvents(h), std::optional<DWORD>(s.events));
            EXPECT_EQ(ModemStatus(h), s.modem);
            EXPECT_EQ(TakeErrors(h), s.errors);
        }
        EXPECT_TRUE(CloseHandle(h));
        Unplug();
    }
}

// Whatever the status endpoint's packet size, the status transfer holds a
// whole notification and never asks for more than its 64-byte buffer.
TEST_F(CdcSerialState, StatusTransfersFitTheNotificationAndTheBuffer) {
    for (auto [packet, length] : {std::pair{8u, 16u}, {10u, 10u}, {64u, 64u}, {512u, 64u}}) {
        SCOPED_TRACE(packet);
        sim::CdcModelConfig config = sim::CdcAcmConfig();
        config.notifyPacket = static_cast<uint16_t>(packet);
        HANDLE h = OpenWaiting(config);
        bus_->ClearLog();
        line_->SetDsr(true);
        line_->SetDcd(true);
        EXPECT_EQ(WaitEvents(h), std::optional<DWORD>(EV_RLSD));
        line_->SetRi(true);
        EXPECT_EQ(WaitEvents(h), std::optional<DWORD>(EV_RING));
        EXPECT_EQ(ModemStatus(h), 0xB0u);
        // The transfers that brought the notifications (DSR and carrier may
        // share one) and the one issued after them.
        std::vector<uint32_t> lengths;
        EXPECT_TRUE(comtest::Eventually([&] {
            lengths.clear();
            for (const cehost::UsbLogEntry& e : bus_->Log()) {
                if (e.event == 'S' && e.endpoint == 0x81 && e.transferType == 1)
                    lengths.push_back(e.urbLength);
            }
            return lengths.size() >= 2;
        }));
        for (uint32_t l : lengths)
            EXPECT_EQ(l, length);
        EXPECT_TRUE(CloseHandle(h));
        Unplug();
    }
}

// The device on its own: break, ring and errors are one-shot on a device
// that follows the PSTN subclass, levels (errors aside) with levelSignals;
// either holds one notification, into which what happens before the host
// polls is merged.
TEST_F(CdcSerialState, DeviceSignalsOneShotOrLevel) {
    const struct {
        std::function<void(sim::ScriptedLine&)> act;
        int oneShot, level;  // bitmap of the next notification; -1: none
    } steps[] = {
        {[](auto& l) { l.SetRi(true); }, cdc::kStateRing, cdc::kStateRing},
        {[](auto& l) { l.SetRi(false); }, -1, 0},
        {[](auto& l) { l.InjectBreak(true); }, cdc::kStateBreak, cdc::kStateBreak},
        {[](auto& l) { l.InjectError(sim::kLineOverrun); }, cdc::kStateOverrun,
         cdc::kStateBreak | cdc::kStateOverrun},
        {[](auto& l) { l.InjectBreak(false); }, -1, 0},
        {[](auto& l) {
             l.InjectError(sim::kLineParity);
             l.SetDcd(true);
         },
         cdc::kStateDcd | cdc::kStateParity, cdc::kStateDcd | cdc::kStateParity},
    };
    for (bool level : {false, true}) {
        sim::CdcModelConfig config = sim::CdcAcmConfig();
        config.levelSignals = level;
        auto line = std::make_shared<sim::ScriptedLine>();
        sim::CdcModel model(config, line);
        for (size_t i = 0; i < std::size(steps); ++i) {
            SCOPED_TRACE(testing::Message() << (level ? "level" : "one-shot") << " step " << i);
            steps[i].act(*line);
            const int expected = level ? steps[i].level : steps[i].oneShot;
            ByteVector packet;
            if (expected >= 0) {
                ASSERT_EQ(model.In(0x81, 16, packet), cehost::UsbHandshake::kAck);
                EXPECT_EQ(packet, cdc::SerialState(0, static_cast<uint16_t>(expected)));
            }
            EXPECT_EQ(model.In(0x81, 16, packet), cehost::UsbHandshake::kNak);
        }
    }
}

}  // namespace
}  // namespace cdctest
