// The CDC port's class requests as the devices receive them: start-up, line
// coding, control lines and break. (What the first attach writes for each
// device: the lifecycle tests.)
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "cdc_fixture.h"
#include "ce/file.h"
#include "cehost/regfile.h"
#include "platform.h"

namespace cdctest {
namespace {

using comtest::EditDcb;
using comtest::OpenCom;
namespace cdc = sim::cdc;

class CdcRequests : public CdcPortTest {};

// The start tells the device to keep an abstract state of 2, addressed to
// its communication interface (interface 2 on the composite device); a
// device that refuses the request is served all the same.
TEST_F(CdcRequests, StartSetsTheCommFeature) {
    sim::CdcModelConfig refusing = sim::CdcAcmConfig();
    refusing.commFeature = false;
    for (const sim::CdcModelConfig& config :
         {sim::CdcAcmConfig(), refusing, sim::CdcCompositeConfig()}) {
        // The key of the device before stays: only the last attach counts.
        HANDLE h = ServeAndOpen(config, [&](const std::u16string&) { model_->ClearRequests(); });
        EXPECT_EQ(model_->AbstractState(), config.commFeature ? 2 : -1);
        ASSERT_EQ(model_->RequestCount(cdc::kSetCommFeature), 1u);
        const sim::CdcRequest first = model_->Requests().front();
        EXPECT_EQ(first.request, cdc::kSetCommFeature);
        EXPECT_EQ(first.value, 0x0001);
        EXPECT_EQ(first.index, model_->ControlInterface());
        EXPECT_TRUE(EditDcb(h, [](DCB& d) { d.fDtrControl = DTR_CONTROL_ENABLE; }));
        EXPECT_TRUE(model_->Dtr());
        EXPECT_TRUE(CloseHandle(h));
        Unplug();
    }
}

// A port missing an endpoint it needs opens nothing, sends nothing and is
// not offered to applications; its removal still releases everything.
TEST_F(CdcRequests, StartFailsWithoutAnEndpointItNeeds) {
    auto set = [](std::vector<std::pair<const char16_t*, DWORD>> values) {
        return [values](const std::u16string& key) {
            for (const auto& [name, value] : values)
                ASSERT_TRUE(cehost::RegWriteDword(key, name, value));
        };
    };
    sim::CdcModelConfig noStatusPacket = sim::CdcAcmConfig();
    noStatusPacket.notifyPacket = 0;
    const struct {
        const char* name;
        sim::CdcModelConfig config;
        std::function<void(const std::u16string&)> edit;
    } cases[] = {
        {"no class endpoint", sim::CdcAcmConfig(), set({{kValueClassEndp, 0}})},
        {"no receive endpoint", sim::CdcAcmConfig(), set({{kValueReceiveEndp, 0}})},
        {"no send endpoint", sim::CdcAcmConfig(), set({{kValueSendEndp, 0}})},
        {"status packet size 0", noStatusPacket, set({})},
        {"no second channel", sim::CdcTwoChannelConfig(),
         set({{kValueReceiveEndp, 0x82}, {kValueSendEndp, 0x02}})},
        {"no second send endpoint", sim::CdcTwoChannelConfig(), set({{kValueSendEndp, 0x02}})},
        {"second channel without status", sim::CdcTwoChannelConfig(), set({{kValueClassEndp, 0}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        model_ = std::make_shared<sim::CdcModel>(c.config, std::make_shared<sim::ScriptedLine>());
        Serve(model_, [&](const std::u16string& key) {
            c.edit(key);
            model_->ClearRequests();
            bus_->ClearLog();
        });
        EXPECT_EQ(OpenCom(), INVALID_HANDLE_VALUE);
        EXPECT_TRUE(model_->Requests().empty());
        for (const cehost::UsbLogEntry& e : bus_->Log()) {
            const bool pipeTraffic = e.transferType != 2;
            const bool haltCleared = e.hasSetup && e.setup[0] == 0x02 && e.setup[1] == 1;
            EXPECT_FALSE(e.event == 'S' && (pipeTraffic || haltCleared))
                << "transfer on endpoint " << int(e.endpoint);
        }
        Unplug();
    }
}

// Line coding from the settings reaches the device and its line; a format no
// line coding has is refused and the device keeps its coding. The device of
// vendor 0x0482, product 0x0203 never gets line coding (it would refuse it).
TEST_F(CdcRequests, LineCodingFromTheDcbReachesTheDeviceAndItsLine) {
    HANDLE h = ServeAndOpen(sim::CdcAcmConfig());
    // The first open sends the defaults: 9600 8N1.
    EXPECT_EQ(model_->LastLineCoding(), (ByteVector{0x80, 0x25, 0, 0, 0, 0, 8}));
    const struct {
        DWORD baud;
        BYTE byteSize, parity, stopBits;
        ByteVector wire;  // empty: refused
    } cases[] = {
        {9600, 7, EVENPARITY, TWOSTOPBITS, {0x80, 0x25, 0x00, 0x00, 0x02, 0x02, 0x07}},
        {300, 5, ODDPARITY, ONE5STOPBITS, {0x2C, 0x01, 0x00, 0x00, 0x01, 0x01, 0x05}},
        {921600, 8, MARKPARITY, ONESTOPBIT, {0x00, 0x10, 0x0E, 0x00, 0x00, 0x03, 0x08}},
        {1200, 6, SPACEPARITY, ONESTOPBIT, {0xB0, 0x04, 0x00, 0x00, 0x00, 0x04, 0x06}},
        {19200, 16, NOPARITY, ONESTOPBIT, {0x00, 0x4B, 0x00, 0x00, 0x00, 0x00, 0x10}},
        {2400, 9, NOPARITY, ONESTOPBIT, {}},
        {2400, 8, 5, ONESTOPBIT, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.baud << " " << int(c.byteSize));
        const ByteVector before = model_->LastLineCoding();
        SetLastError(0);
        EXPECT_EQ(EditDcb(h,
                          [&](DCB& d) {
                              d.BaudRate = c.baud;
                              d.ByteSize = c.byteSize;
                              d.Parity = c.parity;
                              d.StopBits = c.stopBits;
                          }),
                  !c.wire.empty());
        if (c.wire.empty()) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
            EXPECT_EQ(model_->LastLineCoding(), before);
            continue;
        }
        EXPECT_EQ(model_->LastLineCoding(), c.wire);
        const sim::LineConfig expected{c.baud, c.byteSize, c.parity, c.stopBits};
        EXPECT_EQ(model_->Coding(), expected);
        EXPECT_EQ(line_->Config(), expected);
    }
    EXPECT_TRUE(CloseHandle(h));
    Unplug();

    h = ServeAndOpen(sim::CdcNoCodingConfig());
    EXPECT_TRUE(EditDcb(h, [](DCB& d) {
        d.BaudRate = 57600;
        d.fDtrControl = DTR_CONTROL_ENABLE;
    }));
    EXPECT_TRUE(model_->Dtr());
    EXPECT_EQ(model_->RequestCount(cdc::kSetLineCoding), 0u);
    EXPECT_TRUE(CloseHandle(h));
}

// Each request names both lines; a line in handshake mode belongs to flow
// control (the request is refused and nothing reaches the device); the last
// close drops the lines and the break.
TEST_F(CdcRequests, ControlLinesAndBreak) {
    HANDLE h = ServeAndOpen(sim::CdcAcmConfig());
    auto lines = [&](DWORD dtr, DWORD rts) {
        return [=] {
            return EditDcb(h, [=](DCB& d) {
                d.fDtrControl = dtr;
                d.fRtsControl = rts;
            });
        };
    };
    auto escape = [&](DWORD function) { return [=] { return EscapeCommFunction(h, function); }; };
    const struct {
        const char* name;
        std::function<BOOL()> action;
        bool dtr, rts;
    } steps[] = {
        {"rts on", escape(SETRTS), false, true},
        {"dtr on keeps rts", escape(SETDTR), true, true},
        {"rts off keeps dtr", escape(CLRRTS), true, false},
        {"dcb dtr off rts on", lines(DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE), false, true},
        {"dcb toggle rts is off", lines(DTR_CONTROL_ENABLE, RTS_CONTROL_TOGGLE), true, false},
    };
    EXPECT_EQ(LastValue(cdc::kSetControlLineState), 0);
    for (const auto& s : steps) {
        SCOPED_TRACE(s.name);
        EXPECT_TRUE(s.action());
        EXPECT_EQ(line_->Dtr(), s.dtr);
        EXPECT_EQ(line_->Rts(), s.rts);
        EXPECT_EQ(LastValue(cdc::kSetControlLineState), (s.dtr ? 1 : 0) | (s.rts ? 2 : 0));
    }
    ASSERT_TRUE(lines(DTR_CONTROL_HANDSHAKE, RTS_CONTROL_ENABLE)());
    const size_t sent = model_->RequestCount(cdc::kSetControlLineState);
    EXPECT_FALSE(EscapeCommFunction(h, CLRDTR));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(model_->RequestCount(cdc::kSetControlLineState), sent);

    for (bool on : {true, false, true}) {
        EXPECT_TRUE(EscapeCommFunction(h, on ? SETBREAK : CLRBREAK));
        EXPECT_EQ(line_->Break(), on);
        EXPECT_EQ(LastValue(cdc::kSendBreak), on ? 0xFFFF : 0);
    }
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(model_->Dtr());
    EXPECT_FALSE(model_->Rts());
    EXPECT_FALSE(line_->Break());
}

// A request that cannot be issued is reported to the application, and the
// device keeps its state. The control-line state the port remembers still
// counts the failed change, so the next request carries it.
TEST_F(CdcRequests, RequestsThatCannotBeIssuedFail) {
    HANDLE h = ServeAndOpen(sim::CdcAcmConfig());
    bus_->FailIssues(id_, {0, cdc::kSendBreak});
    EXPECT_FALSE(EscapeCommFunction(h, SETBREAK));
    EXPECT_FALSE(model_->Break());
    EXPECT_TRUE(EscapeCommFunction(h, SETBREAK));
    EXPECT_TRUE(model_->Break());

    bus_->FailIssues(id_, {0, cdc::kSetControlLineState});
    EXPECT_FALSE(EscapeCommFunction(h, SETDTR));
    EXPECT_FALSE(model_->Dtr());
    EXPECT_TRUE(EscapeCommFunction(h, SETRTS));
    EXPECT_TRUE(model_->Rts());
    EXPECT_TRUE(model_->Dtr());
    EXPECT_TRUE(CloseHandle(h));
}

}  // namespace
}  // namespace cdctest
