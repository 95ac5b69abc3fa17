// The RFC 2217 session without sockets: what the server answers a client's
// bytes with, what reaches the port, and which streams end the session.
// (fuzz_rfc2217 checks that a stream decodes the same however it is cut;
// serve_test.py drives the same session with pyserial through the driver.)
#include "rfc2217.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "common/fake_port_control.h"

namespace {

using namespace serlynx::rfc2217;

// A client's subnegotiation of the COM port option, IACs in the value
// doubled; the server's answer adds its offset to the command (framed here
// rather than by ComPortMessage).
Bytes Sub(uint8_t command, Bytes value) {
    Bytes out{kIac, kSb, kOptComPort, command};
    for (uint8_t b : value)
        out.insert(out.end(), b == kIac ? 2 : 1, b);
    out.insert(out.end(), {kIac, kSe});
    return out;
}
Bytes Answer(uint8_t command, Bytes value) {
    return Sub(static_cast<uint8_t>(command + kServerOffset), std::move(value));
}
// pyserial's opening: DO ECHO, WILL SGA, DO SGA, DO COM-PORT, WILL COM-PORT.
const Bytes kHello{kIac,    kDo,  kOptEcho, kIac,        kWill, kOptSga, kIac,       kDo,
                   kOptSga, kIac, kDo,      kOptComPort, kIac,  kWill,   kOptComPort};

class ToolSession : public ::testing::Test {
  protected:
    Bytes Send(const Bytes& input) {
        Bytes reply;
        EXPECT_TRUE(session.Receive(input.data(), input.size(), reply)) << session.Error();
        return reply;
    }
    testfix::FakePortControl port;
    Session session{port};
};

TEST_F(ToolSession, NegotiationAndModemNotices) {
    EXPECT_EQ(session.Greeting(),
              (Bytes{kIac, kWill, kOptBinary, kIac, kDo, kOptBinary, kIac, kWill, kOptComPort}));
    // No echo; SGA both ways; the COM port option was offered already, so
    // DO needs no WILL; WILL gets DO.
    EXPECT_EQ(Send(kHello), (Bytes{kIac, kWont, kOptEcho, kIac, kDo, kOptSga, kIac, kWill, kOptSga,
                                   kIac, kDo, kOptComPort}));
    EXPECT_TRUE(session.ComPortActive());
    // The first modem notice carries the levels without deltas, once.
    EXPECT_EQ(session.ModemChanged(kModemCts | kModemDsr | 0x0F),
              Answer(kNotifyModemState, {kModemCts | kModemDsr}));
    EXPECT_TRUE(session.ModemChanged(kModemCts | kModemDsr).empty());
    // Answers to our own requests and repeats need no answer; unknown
    // options are refused.
    EXPECT_EQ(Send({kIac, kWill, kOptBinary, kIac, kDo, kOptBinary, kIac, kDo, kOptComPort, kIac,
                    kWill, 24, kIac, kDo, 31}),
              (Bytes{kIac, kDont, 24, kIac, kWont, 31}));
    // Later notices carry deltas and honour the masks.
    const std::tuple<uint8_t, Bytes> steps[] = {
        // levels, the notice's value (empty: none)
        {kModemDsr, {kModemDsr | kDeltaCts}},
        {kModemDsr | kModemCd | kModemRi, {kModemDsr | kModemCd | kModemRi | kDeltaCd}},
        {kModemDsr | kModemCd, {kModemDsr | kModemCd | kRiTrailingEdge}},
        {kModemDsr | kModemCd | 0x0F, {}},  // delta bits given in are ignored
    };
    for (const auto& [levels, notice] : steps)
        EXPECT_EQ(session.ModemChanged(levels),
                  notice.empty() ? Bytes{} : Answer(kNotifyModemState, notice))
            << int(levels);
    // With a mask of CTS only, a DSR change is not reported; a CTS one is, masked.
    Send(Sub(kSetModemStateMask, {kModemCts | kDeltaCts}));
    EXPECT_TRUE(session.ModemChanged(kModemCd).empty());
    EXPECT_EQ(session.ModemChanged(kModemCd | kModemCts),
              Answer(kNotifyModemState, {kModemCts | kDeltaCts}));
    // A query answers with the levels, whatever changed.
    port.levels = kModemRi;
    EXPECT_EQ(Send(Sub(kNotifyModemState, {})), Answer(kNotifyModemState, {0}));
    // Line errors, through their own mask.
    EXPECT_EQ(session.LineErrors(kLineFraming | kLineBreak),
              Answer(kNotifyLineState, {kLineFraming | kLineBreak}));
    Send(Sub(kSetLineStateMask, {kLineBreak}));
    EXPECT_TRUE(session.LineErrors(kLineParity).empty());
    EXPECT_EQ(session.LineErrors(kLineParity | kLineBreak), Answer(kNotifyLineState, {kLineBreak}));
}

TEST_F(ToolSession, ClientThatOnlyUsesTheOptionGetsTheModemState) {
    session.Greeting();
    EXPECT_TRUE(session.ModemChanged(kModemCd).empty()) << "option not on yet";
    EXPECT_TRUE(session.LineErrors(kLineParity).empty()) << "option not on yet";
    // A client whose request crossed our offer may skip DO and go straight on.
    EXPECT_EQ(Send(Sub(kSetDataSize, {8})), Answer(kSetDataSize, {8}));
    EXPECT_EQ(session.ModemChanged(kModemCd), Answer(kNotifyModemState, {kModemCd}));
}

TEST_F(ToolSession, SettingsAreAcknowledgedAndDataIsUnescaped) {
    session.Greeting();
    Send(kHello);
    const std::tuple<uint8_t, Bytes, Bytes> cases[] = {
        // command, value, answer (empty: none)
        {kSetBaudRate, {0, 0, 0xFF, 0}, {0, 0, 0xFF, 0}},
        {kSetBaudRate, {0, 0, 0, 0}, {0, 0, 0xFF, 0}},  // a query
        {kSetDataSize, {9}, {8}},                       // out of range: the value in force
        {kSetParity, {6}, {kParityNone}},
        {kSetStopSize, {4}, {kStopOne}},
        {kSetControl, {13}, {14}},  // inbound flow, queried
        {kSetControl, {15}, {15}},  // XON/XOFF inbound sets both ways
        {kSetControl, {8}, {8}},    // DTR on
        {kSetControl, {10}, {12}},  // RTS queried
        {kSetControl, {17}, {2}},   // DCD flow is not offered
        {kPurgeData, {3}, {3}},
        {kSetModemStateMask, {0x30}, {0x30}},
        {kSignature, {}, {'S', 'e', 'r', 'l', 'y', 'n', 'x'}},
        {99, {1, 2}, {}},  // unknown commands are ignored
    };
    for (const auto& [command, value, answer] : cases)
        EXPECT_EQ(Send(Sub(command, value)), answer.empty() ? Bytes{} : Answer(command, answer))
            << int(command) << " " << (value.empty() ? -1 : value[0]);
    EXPECT_EQ(port.s.baud, 0xFF00u);
    EXPECT_EQ(port.s.flow, Flow::kXonXoff);
    EXPECT_TRUE(port.s.dtr && !port.s.rts);
    EXPECT_EQ(port.purges, std::vector<int>{3});
    EXPECT_EQ(port.changes, 3);  // one per setting changed
    // A refused setting is answered with the value still in force.
    port.refuse = true;
    EXPECT_EQ(Send(Sub(kSetBaudRate, {0, 0, 0x4B, 0})), Answer(kSetBaudRate, {0, 0, 0xFF, 0}));
    EXPECT_EQ(Send(Sub(kSetControl, {11})), Answer(kSetControl, {12}));
    EXPECT_EQ(port.changes, 3);
    // Suspend and resume change no setting; other options' subnegotiations
    // are ignored.
    EXPECT_TRUE(Send(Sub(kFlowControlSuspend, {})).empty());
    EXPECT_TRUE(session.OutputSuspended());
    EXPECT_TRUE(Send(Sub(kFlowControlResume, {})).empty());
    EXPECT_FALSE(session.OutputSuspended());
    EXPECT_TRUE(Send({kIac, kSb, 24, 1, kIac, kSe}).empty());
    // Data: a doubled IAC is one byte; plain commands (NOP, AYT) carry
    // nothing; what came before a fault is kept.
    Send({'a', kIac, kIac, kIac, 241, 'b', kIac, 246});
    Bytes input{'c', kIac, 9}, reply;
    EXPECT_FALSE(session.Receive(input.data(), input.size(), reply));
    EXPECT_EQ(port.written, (Bytes{'a', kIac, 'b', 'c'}));
}

TEST(ToolSessionErrors, MalformedStreamsEndTheSessionForGood) {
    // Over the limit even when made of escaped IACs.
    const Bytes longEscaped = Sub(kSetBaudRate, Bytes(TelnetDecoder::kMaxSubnegotiation, kIac));
    const std::tuple<Bytes, const char*> cases[] = {
        // the stream, why it ends the session
        {{1, kIac, 7}, "no telnet command"},
        {{kIac, kSe}, "without a subnegotiation"},
        {{kIac, kSb, kIac, kSe}, "empty subnegotiation"},
        {longEscaped, "longer than"},
        {Sub(kSetBaudRate, {1, 2, 3}), "expected 4"},
        {{kIac, kSb, kOptComPort, kIac, kSe}, "without a command"},
    };
    for (const auto& [input, why] : cases) {
        testfix::FakePortControl port;
        Session s(port);
        Bytes reply;
        EXPECT_FALSE(s.Receive(input.data(), input.size(), reply)) << why;
        EXPECT_NE(s.Error().find(why), std::string::npos) << s.Error();
        EXPECT_FALSE(s.Receive(input.data(), 1, reply)) << why << ": stays closed";
    }
}

}  // namespace
