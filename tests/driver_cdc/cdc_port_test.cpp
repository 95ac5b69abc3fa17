// The CDC port's class requests as the devices receive them: configuration
// by the first attach, start-up, line coding, control lines and break.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "cdc_fixture.h"
#include "ce/file.h"
#include "cehost/regfile.h"

namespace cdctest {
namespace {

using comtest::OpenCom;
namespace cdc = sim::cdc;

struct AttachCase {
    const char* name;
    sim::CdcModelConfig config;
    DWORD usbMode, classEndp, receiveEndp, sendEndp;
};

class CdcAttach : public CdcPortTest, public ::testing::WithParamInterface<AttachCase> {};

// Each device is given the port type its layout calls for, and once served
// it has been told to keep an abstract state of 2, addressed to its
// communication interface (interface 2 on the composite device); settings
// made through the port reach it. A device that refuses the request is
// served all the same.
TEST_P(CdcAttach, FirstAttachChoosesThePortTypeAndStartSetsTheCommFeature) {
    const AttachCase& c = GetParam();
    ServeModel(c.config);
    EXPECT_EQ(KeyDword(kValueUsbMode), c.usbMode);
    EXPECT_EQ(KeyDword(kValueClassEndp), c.classEndp);
    EXPECT_EQ(KeyDword(kValueReceiveEndp), c.receiveEndp);
    EXPECT_EQ(KeyDword(kValueSendEndp), c.sendEndp);

    EXPECT_EQ(model_->AbstractState(), c.config.commFeature ? 2 : -1);
    ASSERT_EQ(model_->RequestCount(cdc::kSetCommFeature), 1u);
    const sim::CdcRequest first = model_->Requests().front();
    EXPECT_EQ(first.request, cdc::kSetCommFeature);
    EXPECT_EQ(first.value, 0x0001);
    EXPECT_EQ(first.index, model_->ControlInterface());
    EXPECT_EQ(first.stalled, !c.config.commFeature);

    HANDLE h = OpenCom();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.BaudRate = 57600;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    ASSERT_TRUE(SetCommState(h, &dcb));
    EXPECT_TRUE(model_->Dtr());
    const sim::LineConfig coding{57600, 7, EVENPARITY, ONESTOPBIT};
    EXPECT_EQ(model_->Coding() == coding, c.config.acceptsLineCoding);
    for (const sim::CdcRequest& r : model_->Requests())
        EXPECT_EQ(r.stalled, r.request == cdc::kSetCommFeature && !c.config.commFeature)
            << int(r.request);
    EXPECT_TRUE(CloseHandle(h));
}

sim::CdcModelConfig WithoutCommFeature() {
    sim::CdcModelConfig c = sim::CdcAcmConfig();
    c.commFeature = false;
    return c;
}

INSTANTIATE_TEST_SUITE_P(
    Devices, CdcAttach,
    ::testing::Values(
        AttachCase{"Acm", sim::CdcAcmConfig(), 0x0001, 0x81, 0x82, 0x02},
        AttachCase{"AcmWithoutCommFeature", WithoutCommFeature(), 0x0001, 0x81, 0x82, 0x02},
        AttachCase{"CtsChip", sim::CdcCtsChipConfig(), 0x0101, 0x81, 0x83, 0x02},
        AttachCase{"NoCoding", sim::CdcNoCodingConfig(), 0x1001, 0x81, 0x82, 0x02},
        AttachCase{"TwoChannel", sim::CdcTwoChannelConfig(), 0x0002, 0x81, 0x8382, 0x0302},
        AttachCase{"Composite", sim::CdcCompositeConfig(), 0x0001, 0x83, 0x84, 0x04}),
    [](const auto& info) { return std::string(info.param.name); });

struct StartFailureCase {
    const char* name;
    sim::CdcModelConfig config;
    std::function<void(const std::u16string&)> editKey;
};

sim::CdcModelConfig WithNotifyPacket(uint16_t size) {
    sim::CdcModelConfig c = sim::CdcAcmConfig();
    c.notifyPacket = size;
    return c;
}

std::function<void(const std::u16string&)> SetValue(const char16_t* name, DWORD value) {
    return [name, value](const std::u16string& key) {
        ASSERT_TRUE(cehost::RegWriteDword(key, name, value));
    };
}

class CdcStartFailure : public CdcPortTest,
                        public ::testing::WithParamInterface<StartFailureCase> {};

// A port missing an endpoint it needs opens nothing, sends nothing and is
// not offered to applications; its removal still releases everything.
TEST_P(CdcStartFailure, NothingIsOpenedAndNoPortAppears) {
    const StartFailureCase& c = GetParam();
    ServeModel(c.config, [&](const std::u16string& key) {
        if (c.editKey)
            c.editKey(key);
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
}

INSTANTIATE_TEST_SUITE_P(
    Endpoints, CdcStartFailure,
    ::testing::Values(
        StartFailureCase{"NoClassEndpoint", sim::CdcAcmConfig(), SetValue(kValueClassEndp, 0)},
        StartFailureCase{"NoReceiveEndpoint", sim::CdcAcmConfig(), SetValue(kValueReceiveEndp, 0)},
        StartFailureCase{"NoSendEndpoint", sim::CdcAcmConfig(), SetValue(kValueSendEndp, 0)},
        StartFailureCase{"StatusPacketSizeZero", WithNotifyPacket(0), nullptr},
        StartFailureCase{"NoSecondChannel", sim::CdcTwoChannelConfig(),
                         [](const std::u16string& key) {
                             SetValue(kValueReceiveEndp, 0x82)(key);
                             SetValue(kValueSendEndp, 0x02)(key);
                         }},
        StartFailureCase{"NoSecondSendEndpoint", sim::CdcTwoChannelConfig(),
                         SetValue(kValueSendEndp, 0x02)},
        StartFailureCase{"SecondChannelWithoutStatus", sim::CdcTwoChannelConfig(),
                         SetValue(kValueClassEndp, 0)}),
    [](const auto& info) { return std::string(info.param.name); });

class CdcRequests : public CdcPortTest {};

TEST_F(CdcRequests, LineCodingFromTheDcbReachesTheDeviceAndItsLine) {
    ServeModel(sim::CdcAcmConfig());
    HANDLE h = OpenPort();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // The first open sends the defaults: 9600 8N1.
    EXPECT_EQ(model_->LastLineCoding(), (ByteVector{0x80, 0x25, 0, 0, 0, 0, 8}));

    struct Case {
        DWORD baud;
        BYTE byteSize, parity, stopBits;
        ByteVector wire;
    };
    const Case cases[] = {
        {115200, 8, NOPARITY, ONESTOPBIT, {0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x08}},
        {9600, 7, EVENPARITY, TWOSTOPBITS, {0x80, 0x25, 0x00, 0x00, 0x02, 0x02, 0x07}},
        {300, 5, ODDPARITY, ONE5STOPBITS, {0x2C, 0x01, 0x00, 0x00, 0x01, 0x01, 0x05}},
        {921600, 8, MARKPARITY, ONESTOPBIT, {0x00, 0x10, 0x0E, 0x00, 0x00, 0x03, 0x08}},
        {1200, 6, SPACEPARITY, ONESTOPBIT, {0xB0, 0x04, 0x00, 0x00, 0x00, 0x04, 0x06}},
        {3000000, 8, NOPARITY, TWOSTOPBITS, {0xC0, 0xC6, 0x2D, 0x00, 0x02, 0x00, 0x08}},
        {19200, 16, NOPARITY, ONESTOPBIT, {0x00, 0x4B, 0x00, 0x00, 0x00, 0x00, 0x10}},
        // No line coding has these: refused, and the device keeps its coding.
        {2400, 9, NOPARITY, ONESTOPBIT, {}},
        {2400, 8, 5, ONESTOPBIT, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.baud << " " << int(c.byteSize));
        DCB dcb{};
        ASSERT_TRUE(GetCommState(h, &dcb));
        dcb.BaudRate = c.baud;
        dcb.ByteSize = c.byteSize;
        dcb.Parity = c.parity;
        dcb.StopBits = c.stopBits;
        if (c.wire.empty()) {
            const ByteVector coding = model_->LastLineCoding();
            const size_t sent = model_->RequestCount(cdc::kSetLineCoding);
            SetLastError(0);
            EXPECT_FALSE(SetCommState(h, &dcb));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
            EXPECT_EQ(model_->RequestCount(cdc::kSetLineCoding), sent);
            EXPECT_EQ(model_->LastLineCoding(), coding);
            ASSERT_TRUE(GetCommState(h, &dcb));
            EXPECT_EQ(dcb.BaudRate, 19200u);
            continue;
        }
        ASSERT_TRUE(SetCommState(h, &dcb));
        EXPECT_EQ(model_->LastLineCoding(), c.wire);
        const sim::LineConfig expected{c.baud, c.byteSize, c.parity, c.stopBits};
        EXPECT_EQ(model_->Coding(), expected);
        EXPECT_EQ(line_->Config(), expected);
    }
    EXPECT_TRUE(CloseHandle(h));
}

// The device of vendor 0x0482, product 0x0203 never gets line coding (it
// would refuse it); the control lines still reach it.
TEST_F(CdcRequests, LineCodingIsSentOnlyToDevicesThatTakeIt) {
    struct Case {
        const char* name;
        sim::CdcModelConfig config;
        size_t codings;
    };
    for (const Case& c :
         {Case{"acm", sim::CdcAcmConfig(), 4}, Case{"no-coding", sim::CdcNoCodingConfig(), 0}}) {
        SCOPED_TRACE(c.name);
        ServeModel(c.config);
        HANDLE h = OpenPort();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        for (DWORD baud : {19200u, 57600u, 115200u}) {
            DCB dcb{};
            ASSERT_TRUE(GetCommState(h, &dcb));
            dcb.BaudRate = baud;
            dcb.fDtrControl = DTR_CONTROL_ENABLE;
            ASSERT_TRUE(SetCommState(h, &dcb));
            EXPECT_TRUE(model_->Dtr());
        }
        EXPECT_TRUE(CloseHandle(h));
        EXPECT_EQ(model_->RequestCount(cdc::kSetLineCoding), c.codings);
        // Open, three settings, last close.
        EXPECT_EQ(model_->RequestCount(cdc::kSetControlLineState), 5u);
        EXPECT_FALSE(model_->Dtr());
        Unplug();
    }
}

TEST_F(CdcRequests, ControlLinesFollowEachRequestAndTheLastCloseDropsThem) {
    ServeModel(sim::CdcAcmConfig());
    HANDLE h = OpenPort();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    auto dcbLines = [&](DWORD dtr, DWORD rts) {
        return [=] {
            DCB dcb{};
            GetCommState(h, &dcb);
            dcb.fDtrControl = dtr;
            dcb.fRtsControl = rts;
            return SetCommState(h, &dcb);
        };
    };
    auto escape = [&](DWORD function) { return [=] { return EscapeCommFunction(h, function); }; };
    struct Step {
        const char* name;
        std::function<BOOL()> action;
        bool dtr, rts;
    };
    const Step steps[] = {
        {"rts on", escape(SETRTS), false, true},
        {"dtr on keeps rts", escape(SETDTR), true, true},
        {"rts off keeps dtr", escape(CLRRTS), true, false},
        {"dcb both on", dcbLines(DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE), true, true},
        {"dcb dtr off", dcbLines(DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE), false, true},
        {"dcb toggle rts is off", dcbLines(DTR_CONTROL_ENABLE, RTS_CONTROL_TOGGLE), true, false},
        {"dcb both off", dcbLines(DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE), false, false},
    };
    EXPECT_EQ(LastValue(cdc::kSetControlLineState), 0);
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        EXPECT_TRUE(s.action());
        EXPECT_EQ(model_->Dtr(), s.dtr);
        EXPECT_EQ(model_->Rts(), s.rts);
        EXPECT_EQ(line_->Dtr(), s.dtr);
        EXPECT_EQ(line_->Rts(), s.rts);
        EXPECT_EQ(LastValue(cdc::kSetControlLineState), (s.dtr ? 1 : 0) | (s.rts ? 2 : 0));
    }

    // A line in handshake mode belongs to flow control: the request is
    // refused and nothing reaches the device.
    ASSERT_TRUE(dcbLines(DTR_CONTROL_HANDSHAKE, RTS_CONTROL_ENABLE)());
    const size_t sent = model_->RequestCount(cdc::kSetControlLineState);
    SetLastError(0);
    EXPECT_FALSE(EscapeCommFunction(h, CLRDTR));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(model_->RequestCount(cdc::kSetControlLineState), sent);
    EXPECT_TRUE(model_->Dtr());

    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(model_->Dtr());
    EXPECT_FALSE(model_->Rts());
}

TEST_F(CdcRequests, BreakStartsAndEndsAndTheLastCloseEndsIt) {
    ServeModel(sim::CdcAcmConfig());
    HANDLE h = OpenPort();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    for (bool on : {true, false, true}) {
        SCOPED_TRACE(on);
        EXPECT_TRUE(EscapeCommFunction(h, on ? SETBREAK : CLRBREAK));
        EXPECT_EQ(model_->Break(), on);
        EXPECT_EQ(line_->Break(), on);
        EXPECT_EQ(LastValue(cdc::kSendBreak), on ? 0xFFFF : 0);
    }
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(model_->Break());
    EXPECT_FALSE(line_->Break());
}

// A request that cannot be issued is reported to the application, and the
// device keeps its state. The control-line state the port remembers still
// counts the failed change, so the next request carries it.
TEST_F(CdcRequests, RequestsThatCannotBeIssuedFail) {
    ServeModel(sim::CdcAcmConfig());
    HANDLE h = OpenPort();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);

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

// Behind a loopback plug the device hears itself: data comes back, and
// raising DTR raises DSR and carrier, which the status endpoint reports.
TEST_F(CdcRequests, LoopbackPlugEchoesDataAndLines) {
    auto plug = std::make_shared<sim::LoopbackPlug>();
    model_ = std::make_shared<sim::CdcModel>(sim::CdcAcmConfig(), plug);
    Serve(model_);
    HANDLE h = OpenPort();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    comtest::SetTimeouts(h, 0, 0, 5000);
    ASSERT_TRUE(SetCommMask(h, EV_RLSD | EV_DSR));
    EXPECT_TRUE(EscapeCommFunction(h, SETDTR));
    EXPECT_EQ(comtest::WaitEvents(h), std::optional<DWORD>(EV_RLSD));
    DWORD status = 0;
    EXPECT_TRUE(GetCommModemStatus(h, &status));
    EXPECT_EQ(status, static_cast<DWORD>(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON));

    const ByteVector bytes = comtest::PatternBytes(500);
    EXPECT_EQ(comtest::WriteAll(h, bytes), bytes.size());
    EXPECT_EQ(comtest::ReadAll(h, bytes.size()), bytes);
    EXPECT_TRUE(CloseHandle(h));
}

}  // namespace
}  // namespace cdctest
