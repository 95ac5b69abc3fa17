// The CDC and two-channel ports end to end, as the devices and their lines
// see them: start-up, line coding, control lines and break; SERIAL_STATE
// notifications as applications see them (modem status, line errors, comm
// events); and the two-channel port, one stream device with two serial
// lines between which handles move with the IR escape functions.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/com_port_test.h"
#include "sim/cdc_model.h"
#include "sim/serial_line.h"

namespace {

using namespace comtest;
namespace cdc = sim::cdc;
using Act = std::function<void(sim::ScriptedLine&)>;
using Events = std::optional<DWORD>;

class CdcPortTest : public ComPortTest {
  protected:
    // Serves the model and opens COM1: (waiting for line events when
    // `lineEvents`). The first open's requests are synchronous: the device
    // has its line coding and control lines when this returns.
    HANDLE ServeAndOpen(const sim::CdcModelConfig& config,
                        const std::function<void(const std::u16string&)>& editKey = nullptr,
                        bool lineEvents = false) {
        line_ = std::make_shared<sim::ScriptedLine>();
        line2_ = std::make_shared<sim::ScriptedLine>();
        model_ = std::make_shared<sim::CdcModel>(config, line_, line2_);
        Serve(model_, editKey);
        HANDLE h = OpenCom();
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(!lineEvents ||
                    SetCommMask(h, EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR | EV_RING));
        return h;
    }
    void CloseAndUnplug(HANDLE h) {
        EXPECT_TRUE(CloseHandle(h));
        Unplug();
    }
    // The events the next wait returns, then the modem status and errors.
    void ExpectEvents(HANDLE h, DWORD events, DWORD modem, DWORD errors) {
        EXPECT_EQ(WaitEvents(h), Events(events));
        EXPECT_EQ(ModemStatus(h), modem);
        EXPECT_EQ(TakeErrors(h), errors);
    }
    // The wValue of the last request of this code the device received.
    int LastValue(uint8_t request) const {
        int value = -1;
        for (const sim::CdcRequest& r : model_->Requests())
            value = r.request == request ? r.value : value;
        return value;
    }
    // The lengths of the transfers issued on `endpoint` since the log was cleared.
    std::vector<uint32_t> Issued(uint8_t endpoint) const {
        std::vector<uint32_t> lengths;
        for (const cehost::UsbLogEntry& e : bus_->Log())
            if (e.event == 'S' && e.endpoint == endpoint)
                lengths.push_back(e.urbLength);
        return lengths;
    }

    std::shared_ptr<sim::ScriptedLine> line_, line2_;
    std::shared_ptr<sim::CdcModel> model_;
};

class CdcRequests : public CdcPortTest {};

// The start tells the device to keep an abstract state of 2, addressed to
// its communication interface (interface 2 on the composite device); a
// device that refuses the request is served all the same, and one that
// stalls a rate it does not list keeps its coding (the port does not
// examine the outcome). The device of vendor 0x0482, product 0x0203 never
// gets line coding (it would refuse it).
TEST_F(CdcRequests, StartSetsTheCommFeature) {
    sim::CdcModelConfig refusing = sim::CdcAcmConfig(), fewRates = sim::CdcAcmConfig();
    refusing.commFeature = false;
    fewRates.rates = {9600, 19200, 115200};
    for (const sim::CdcModelConfig& config :
         {sim::CdcAcmConfig(), refusing, fewRates, sim::CdcCompositeConfig(),
          sim::CdcNoCodingConfig()}) {
        // The key of the device before stays: only the last attach counts.
        HANDLE h = ServeAndOpen(config, [&](const std::u16string&) { model_->ClearRequests(); });
        EXPECT_EQ(model_->AbstractState(), config.commFeature ? 2 : -1);
        ASSERT_EQ(model_->RequestCount(cdc::kSetCommFeature), 1u);
        const sim::CdcRequest first = model_->Requests().front();
        EXPECT_EQ(std::tuple(first.request, first.value, first.index),
                  std::tuple(cdc::kSetCommFeature, 0x0001, model_->ControlInterface()));
        EXPECT_TRUE(EditDcb(h, [](DCB& d) { d.BaudRate = 57600; }));
        EXPECT_EQ(model_->Coding().baud,
                  config.rates.empty() && config.acceptsLineCoding ? 57600u : 9600u);
        EXPECT_EQ(model_->RequestCount(cdc::kSetLineCoding) == 0, !config.acceptsLineCoding);
        CloseAndUnplug(h);
    }
}

// Line coding from the settings reaches the device and its line; a format no
// line coding has is refused and the device keeps its coding.
TEST_F(CdcRequests, LineCodingFromTheDcbReachesTheDeviceAndItsLine) {
    HANDLE h = ServeAndOpen(sim::CdcAcmConfig());
    // The first open sends the defaults: 9600 8N1.
    EXPECT_EQ(model_->LastLineCoding(), (ByteVector{0x80, 0x25, 0, 0, 0, 0, 8}));
    const struct {
        sim::LineConfig format;
        ByteVector wire;  // empty: refused
    } cases[] = {{{9600, 7, EVENPARITY, TWOSTOPBITS}, {0x80, 0x25, 0, 0, 2, 2, 7}},
                 {{921600, 8, MARKPARITY, ONE5STOPBITS}, {0x00, 0x10, 0x0E, 0, 1, 3, 8}},
                 {{19200, 16, NOPARITY, ONESTOPBIT}, {0x00, 0x4B, 0, 0, 0, 0, 16}},
                 {{2400, 9, NOPARITY, ONESTOPBIT}, {}},
                 {{2400, 8, 5, ONESTOPBIT}, {}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.format.baud << " " << int(c.format.dataBits));
        const ByteVector before = model_->LastLineCoding();
        SetLastError(0);
        EXPECT_EQ(EditDcb(h,
                          [&](DCB& d) {
                              d.BaudRate = c.format.baud;
                              d.ByteSize = c.format.dataBits;
                              d.Parity = c.format.parity;
                              d.StopBits = c.format.stopBits;
                          }),
                  !c.wire.empty());
        EXPECT_TRUE(!c.wire.empty() || GetLastError() == ERROR_INVALID_PARAMETER);
        EXPECT_EQ(model_->LastLineCoding(), c.wire.empty() ? before : c.wire);
        if (c.wire.empty())
            continue;
        EXPECT_EQ(line_->Config(), c.format);
    }
    EXPECT_TRUE(CloseHandle(h));
}

// Each request names both lines; a line in handshake mode belongs to flow
// control (the request is refused and nothing reaches the device); the last
// close drops the lines and the break.
TEST_F(CdcRequests, ControlLinesAndBreak) {
    HANDLE h = ServeAndOpen(sim::CdcAcmConfig());
    auto lines = [&](DWORD dtr, DWORD rts) {
        return EditDcb(h, [=](DCB& d) {
            d.fDtrControl = dtr;
            d.fRtsControl = rts;
        });
    };
    const struct {
        DWORD escape, dtrMode, rtsMode;  // an escape function, or 0 and the DCB's modes
        bool dtr, rts;
    } steps[] = {{SETRTS, 0, 0, false, true},
                 {SETDTR, 0, 0, true, true},  // keeps RTS
                 {CLRRTS, 0, 0, true, false},
                 {0, DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE, false, true},
                 {0, DTR_CONTROL_ENABLE, RTS_CONTROL_TOGGLE, true, false}};
    EXPECT_EQ(LastValue(cdc::kSetControlLineState), 0);
    for (const auto& s : steps) {
        SCOPED_TRACE(testing::Message() << s.escape << " " << s.dtrMode << " " << s.rtsMode);
        EXPECT_TRUE(s.escape ? EscapeCommFunction(h, s.escape) : lines(s.dtrMode, s.rtsMode));
        EXPECT_EQ(std::pair(line_->Dtr(), line_->Rts()), std::pair(s.dtr, s.rts));
        EXPECT_EQ(LastValue(cdc::kSetControlLineState), (s.dtr ? 1 : 0) | (s.rts ? 2 : 0));
    }
    ASSERT_TRUE(lines(DTR_CONTROL_HANDSHAKE, RTS_CONTROL_ENABLE));
    const size_t sent = model_->RequestCount(cdc::kSetControlLineState);
    EXPECT_FALSE(EscapeCommFunction(h, CLRDTR));
    EXPECT_EQ(model_->RequestCount(cdc::kSetControlLineState), sent);

    for (bool on : {true, false, true}) {
        EXPECT_TRUE(EscapeCommFunction(h, on ? SETBREAK : CLRBREAK));
        EXPECT_EQ(line_->Break(), on);
        EXPECT_EQ(LastValue(cdc::kSendBreak), on ? 0xFFFF : 0);
    }
    // A request that cannot be issued fails and the device keeps its state;
    // the state the port remembers counts the failed change, so the next
    // request carries it.
    bus_->FailIssues(id_, {0, cdc::kSendBreak});
    EXPECT_FALSE(EscapeCommFunction(h, CLRBREAK) || !model_->Break());
    ASSERT_TRUE(lines(DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE));
    bus_->FailIssues(id_, {0, cdc::kSetControlLineState});
    EXPECT_FALSE(EscapeCommFunction(h, SETDTR) || model_->Dtr());
    EXPECT_TRUE(EscapeCommFunction(h, SETRTS) && model_->Rts() && model_->Dtr());
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(model_->Dtr() || model_->Rts() || line_->Break());
}

class CdcSerialState : public CdcPortTest {};

// Each notification is the complete line state. The port starts out
// assuming CTS and DSR on, so the events are the changes from 0x30; break
// and ring are events of their own, never held as lines. The CTS
// bit counts only on the chip that reports it. Anything but a 10-byte
// SERIAL_STATE is dropped: the notification after it (DSR dropping) is the
// only one the application hears of.
TEST_F(CdcSerialState, BitmapBecomesModemStatusErrorsAndEvents) {
    constexpr DWORD kAllErrors = CE_BREAK | CE_FRAME | CE_RXPARITY | CE_OVERRUN;
    // A SERIAL_STATE of another size, or with another type or code.
    auto edited = [](size_t size, uint8_t type = 0xA1, uint8_t notification = 0x20) {
        ByteVector bytes = cdc::SerialState(0, 0x0071);
        bytes.resize(size, 0);
        bytes[0] = type;
        bytes[1] = notification;
        return bytes;
    };
    const struct {
        bool ctsChip;
        uint16_t bitmap;
        DWORD modem, errors, events;
    } cases[] = {{false, 0x0003, 0xB0, 0, EV_RLSD},
                 {true, 0x0003, 0xA0, 0, EV_RLSD | EV_CTS},
                 {false, 0x0074, 0x10, kAllErrors, EV_BREAK | EV_DSR | EV_ERR},
                 {true, 0x0083, 0xB0, 0, EV_RLSD},
                 {false, 0x000A, 0x30, 0, EV_RING},
                 {false, 0xFF01, 0x90, 0, EV_RLSD | EV_DSR}};
    auto check = [&](bool ctsChip, const std::vector<ByteVector>& notifications, DWORD modem,
                     DWORD errors, DWORD events) {
        sim::CdcModelConfig config = ctsChip ? sim::CdcCtsChipConfig() : sim::CdcAcmConfig();
        config.notifyPacket = ctsChip ? 8 : 512;
        HANDLE h = ServeAndOpen(config, nullptr, true);
        bus_->ClearLog();
        for (const ByteVector& n : notifications)
            model_->QueueRawNotification(n);
        ExpectEvents(h, events, modem, errors);
        // A status transfer holds a whole notification and fits the port's 64-byte buffer.
        EXPECT_TRUE(Eventually([&] { return !Issued(0x81).empty(); }));
        for (uint32_t length : Issued(0x81))
            EXPECT_EQ(length, ctsChip ? 16u : 64u);
        CloseAndUnplug(h);
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bitmap);
        check(c.ctsChip, {cdc::SerialState(0, c.bitmap)}, c.modem, c.errors, c.events);
    }
    for (const ByteVector& n :
         {edited(9), edited(16), edited(10, 0x21), edited(10, 0xA1, 0x21), ByteVector{}}) {
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
        Act action;
        DWORD events, modem, errors;
        char fault;  // the status pipe halts first: 's' a stall, 'c' CRC errors
    } steps[] = {
        {[](auto& l) { l.SetDsr(true); }, EV_DSR, 0x30, 0, 0},
        {[](auto& l) { l.SetDcd(true); }, EV_RLSD, 0xB0, 0, 's'},
        {[](auto& l) { l.SetRi(true); }, EV_RING, 0xB0, 0, 'c'},
        // The device said nothing of the first ring's end.
        {[](auto& l) {
             l.SetRi(false);
             l.SetRi(true);
         },
         EV_RING, 0xB0, 0, 's'},
        {[](auto& l) { l.InjectBreak(true); }, EV_BREAK | EV_ERR, 0xB0, CE_BREAK, 0},
        // The break lasts: only the overrun is new.
        {[](auto& l) { l.InjectError(sim::kLineOverrun); }, EV_ERR, 0xB0, CE_OVERRUN, 'c'}};
    HANDLE h = ServeAndOpen(sim::CdcAcmConfig(), nullptr, true);
    model_->ReportState();  // what the line really shows: every input off
    ExpectEvents(h, EV_DSR, MS_CTS_ON, 0);
    for (size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(i);
        if (steps[i].fault == 's')
            bus_->Stall(id_, 0x81);
        if (steps[i].fault == 'c')
            bus_->CompleteWithError(id_, {0x81, cehost::kAnyRequest}, USB_CRC_ERROR, 3);
        steps[i].action(*line_);
        ExpectEvents(h, steps[i].events, steps[i].modem, steps[i].errors);
    }
    EXPECT_TRUE(CloseHandle(h));
}

class CdcTwoChannel : public CdcPortTest {
  protected:
    void SetUp() override {
        CdcPortTest::SetUp();
        first_ = ServeAndOpen(sim::CdcTwoChannelConfig());
    }
    // A second handle, moved to the second channel.
    HANDLE OpenSecond() {
        HANDLE h = OpenCom();
        EXPECT_TRUE(h != INVALID_HANDLE_VALUE && EscapeCommFunction(h, SETIR));
        return h;
    }
    // The line (0 or 1) that a write on `h` reached whole, the other seeing
    // nothing; -1 otherwise.
    int LineOfWrite(HANDLE h, const ByteVector& bytes) {
        EXPECT_EQ(WriteAll(h, bytes), bytes.size());
        Eventually([&] {
            return line_->WaitTransmitted(bytes.size(), 0) ||
                   line2_->WaitTransmitted(bytes.size(), 0);
        });
        const ByteVector a = line_->TakeTransmitted(), b = line2_->TakeTransmitted();
        return a == bytes && b.empty() ? 0 : b == bytes && a.empty() ? 1 : -1;
    }
    HANDLE first_ = INVALID_HANDLE_VALUE;
};

TEST_F(CdcTwoChannel, ChannelsCarryDifferentDataAtOnce) {
    const HANDLE handles[] = {first_, OpenSecond()};
    sim::ScriptedLine* lines[] = {line_.get(), line2_.get()};
    const size_t n = 3000;
    const ByteVector out[] = {PatternBytes(n, 0x20), PatternBytes(n, 0x40)};
    const ByteVector in[] = {PatternBytes(n, 0x30), PatternBytes(n, 0x50)};
    ByteVector got[2];
    std::vector<std::thread> threads;
    for (int c = 0; c < 2; ++c) {
        SetTimeouts(handles[c], 0, 0, 5000);
        threads.emplace_back([&, c] {
            EXPECT_EQ(WriteAll(handles[c], out[c]), n);
            got[c] = ReadAll(handles[c], n);
        });
    }
    for (size_t at = 0; at < n; at += 500) {
        for (int c = 0; c < 2; ++c)
            lines[c]->Inject(ByteVector(in[c].begin() + at, in[c].begin() + at + 500));
    }
    for (int c = 0; c < 2; ++c) {
        threads[c].join();
        EXPECT_EQ(got[c], in[c]);
        ASSERT_TRUE(lines[c]->WaitTransmitted(n, 5000));
        EXPECT_EQ(lines[c]->TakeTransmitted(), out[c]);
        EXPECT_TRUE(CloseHandle(handles[c]));
    }
}

// ENABLE_IR moves a handle to the second channel and keeps it there;
// DISABLE_IR brings it back, also when asked on the second channel. Each
// channel keeps its own settings; the second one has no class requests.
TEST_F(CdcTwoChannel, HandleSwitchesChannelsAndBack) {
    HANDLE h = first_;
    uint8_t tag = 0x20;
    for (auto [escape, line] :
         {std::pair{0ul, 0}, {SETIR, 1}, {SETIR, 1}, {CLRIR, 0}, {CLRIR, 0}, {SETIR, 1}}) {
        SCOPED_TRACE(tag);
        EXPECT_TRUE(escape == 0 || EscapeCommFunction(h, escape));
        EXPECT_EQ(LineOfWrite(h, PatternBytes(100, tag++)), line);
    }
    // On the second channel now: its rate is its own, sent to no device.
    const size_t codings = model_->RequestCount(cdc::kSetLineCoding);
    ASSERT_TRUE(EditDcb(h, [](DCB& d) { d.BaudRate = 57600; }));
    EXPECT_EQ(model_->RequestCount(cdc::kSetLineCoding), codings);
    SetTimeouts(h, 0, 0, 5000);
    line2_->Inject({'s', 'e', 'c'});
    EXPECT_EQ(ReadAll(h, 3), (ByteVector{'s', 'e', 'c'}));
    ASSERT_TRUE(EscapeCommFunction(h, CLRIR));
    EXPECT_TRUE(EditDcb(h, [](DCB& d) { EXPECT_EQ(d.BaudRate, 9600u); }));
    EXPECT_EQ(model_->Coding().baud, 9600u);

    // The lines belong to the primary channel: the last close drops them
    // even when it is made on the second.
    ASSERT_TRUE(EscapeCommFunction(h, SETDTR) && EscapeCommFunction(h, SETRTS) &&
                EscapeCommFunction(h, SETIR));
    EXPECT_TRUE(model_->Dtr() && model_->Rts());
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(model_->Dtr() || model_->Rts());
}

// Comm events go to the handles on the channel that raised them, and to no
// other.
TEST_F(CdcTwoChannel, EventsReachTheHandlesOfTheirChannel) {
    HANDLE primary = first_, second = OpenSecond();
    ASSERT_TRUE(SetCommMask(primary, EV_RXCHAR | EV_RLSD) &&
                SetCommMask(second, EV_RXCHAR | EV_RLSD));
    line2_->Inject({'x'});
    EXPECT_EQ(WaitEvents(second), Events(EV_RXCHAR));
    line_->SetDcd(true);
    EXPECT_EQ(WaitEvents(primary), Events(EV_RLSD));
    line_->Inject({'z'});
    EXPECT_EQ(WaitEvents(primary), Events(EV_RXCHAR));
    // Back on the primary, the handle hears the primary's events.
    ASSERT_TRUE(EscapeCommFunction(second, CLRIR) && SetCommMask(second, EV_RLSD));
    line_->SetDcd(false);
    EXPECT_EQ(WaitEvents(second), Events(EV_RLSD));
    EXPECT_TRUE(CloseHandle(second) && CloseHandle(primary));
}

// Removal wakes a reader blocked on either channel.
TEST_F(CdcTwoChannel, UnplugWakesABlockedReaderOnEitherChannel) {
    for (bool secondChannel : {false, true}) {
        SCOPED_TRACE(secondChannel);
        HANDLE h = bus_->IsPlugged(id_) ? first_ : ServeAndOpen(sim::CdcTwoChannelConfig());
        EXPECT_TRUE(!secondChannel || EscapeCommFunction(h, SETIR));
        SetTimeouts(h, 0, 0, 0);  // no timeout: only data or removal ends it
        std::atomic<bool> done{false};
        DWORD got = 0xDEAD;
        std::thread reader([&] {
            char buffer[16];
            ReadFile(h, buffer, sizeof(buffer), &got, nullptr);
            done = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(done.load());
        Unplug();
        EXPECT_TRUE(Eventually([&] { return done.load(); }));
        reader.join();
        EXPECT_EQ(got, 0u);
        CloseHandle(h);
    }
}

// The second channel writes under the device's write flags, as a basic
// port: a 47-byte write is cut to 46 unless flag 0x800 is set.
TEST_F(CdcPortTest, SecondChannelWritesFollowTheFlags) {
    for (auto [usbMode, transfers] : {std::pair{0x0002u, std::vector<uint32_t>{46, 1}},
                                      std::pair{0x0802u, std::vector<uint32_t>{47}}}) {
        SCOPED_TRACE(usbMode);
        HANDLE h = ServeAndOpen(sim::CdcTwoChannelConfig(), [&](const std::u16string& key) {
            ASSERT_TRUE(cehost::RegWriteDword(key, kValueUsbMode, usbMode));
        });
        ASSERT_TRUE(EscapeCommFunction(h, SETIR));
        bus_->ClearLog();
        EXPECT_EQ(WriteAll(h, PatternBytes(47)), 47u);
        ASSERT_TRUE(line2_->WaitTransmitted(47, 5000));
        EXPECT_EQ(line2_->TakeTransmitted(), PatternBytes(47));
        EXPECT_EQ(Issued(0x03), transfers);
        CloseAndUnplug(h);
    }
}

}  // namespace
