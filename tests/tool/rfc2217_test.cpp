// The RFC 2217 decoder and session without sockets: what a client's bytes
// decode to, what the server answers, and what reaches the port.
#include "rfc2217.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace serlynx::rfc2217;
using Kind = TelnetEvent::Kind;

TelnetEvent Data(Bytes b) {
    return TelnetEvent{Kind::kData, 0, 0, std::move(b)};
}
TelnetEvent Option(uint8_t verb, uint8_t option) {
    return TelnetEvent{Kind::kNegotiation, verb, option, {}};
}
TelnetEvent Sub(Bytes payload) {
    uint8_t option = payload.empty() ? 0 : payload[0];
    return TelnetEvent{Kind::kSubnegotiation, 0, option, std::move(payload)};
}

struct DecodeCase {
    const char* name;
    Bytes input;
    std::vector<TelnetEvent> events;
};

TEST(ToolTelnetDecoder, DecodesWellFormedStreams) {
    const DecodeCase cases[] = {
        {"plain data", {1, 2, 3}, {Data({1, 2, 3})}},
        {"doubled IAC is one data byte", {1, kIac, kIac, 2}, {Data({1, kIac, 2})}},
        {"negotiation between data",
         {7, kIac, kDo, kOptComPort, 8},
         {Data({7}), Option(kDo, kOptComPort), Data({8})}},
        {"subnegotiation with a doubled IAC in its value",
         {kIac, kSb, kOptComPort, kSetBaudRate, 0, 0, kIac, kIac, 0, kIac, kSe},
         {Sub({kOptComPort, kSetBaudRate, 0, 0, kIac, 0})}},
        {"plain commands carry no data",
         {kIac, 241, 5, kIac, 246},
         {TelnetEvent{Kind::kCommand, 241, 0, {}}, Data({5}),
          TelnetEvent{Kind::kCommand, 246, 0, {}}}},
        {"all four verbs",
         {kIac, kWill, 3, kIac, kWont, 1, kIac, kDo, 0, kIac, kDont, 9},
         {Option(kWill, 3), Option(kWont, 1), Option(kDo, 0), Option(kDont, 9)}},
    };
    for (const DecodeCase& c : cases) {
        // Whole, and cut at every byte: a sequence split across reads decodes the same.
        for (size_t cut = 0; cut <= c.input.size(); ++cut) {
            TelnetDecoder decoder;
            std::vector<TelnetEvent> events;
            ASSERT_TRUE(decoder.Feed(c.input.data(), cut, events)) << c.name;
            ASSERT_TRUE(decoder.Feed(c.input.data() + cut, c.input.size() - cut, events))
                << c.name << ": " << decoder.Error();
            // Data split by the cut arrives as two events; join them to compare.
            std::vector<TelnetEvent> joined;
            for (TelnetEvent& e : events) {
                if (e.kind == Kind::kData && !joined.empty() && joined.back().kind == Kind::kData)
                    joined.back().bytes.insert(joined.back().bytes.end(), e.bytes.begin(),
                                               e.bytes.end());
                else
                    joined.push_back(e);
            }
            EXPECT_EQ(joined, c.events) << c.name << " cut at " << cut;
        }
    }
}

TEST(ToolTelnetDecoder, RefusesMalformedStreamsForGood) {
    Bytes longSub{kIac, kSb, kOptComPort};
    longSub.insert(longSub.end(), TelnetDecoder::kMaxSubnegotiation, 0);
    Bytes longEscaped{kIac, kSb, kOptComPort};
    for (size_t i = 0; i < TelnetDecoder::kMaxSubnegotiation; ++i)
        longEscaped.insert(longEscaped.end(), {kIac, kIac});
    const struct {
        const char* name;
        Bytes input;
        const char* why;
    } cases[] = {
        {"IAC then a data byte", {1, kIac, 7}, "no telnet command"},
        {"SE without SB", {kIac, kSe}, "without a subnegotiation"},
        {"IAC then a command inside SB", {kIac, kSb, 44, kIac, kWill}, "inside a subnegotiation"},
        {"empty subnegotiation", {kIac, kSb, kIac, kSe}, "empty subnegotiation"},
        {"endless subnegotiation", longSub, "longer than"},
        {"endless subnegotiation of IACs", longEscaped, "longer than"},
    };
    for (const auto& c : cases) {
        TelnetDecoder decoder;
        std::vector<TelnetEvent> events;
        EXPECT_FALSE(decoder.Feed(c.input.data(), c.input.size(), events)) << c.name;
        EXPECT_NE(decoder.Error().find(c.why), std::string::npos)
            << c.name << ": " << decoder.Error();
        // Nothing is decoded after the fault.
        const uint8_t more[] = {1, 2};
        std::vector<TelnetEvent> after;
        EXPECT_FALSE(decoder.Feed(more, 2, after)) << c.name;
        EXPECT_TRUE(after.empty()) << c.name;
    }
}

TEST(ToolTelnetEncoding, DoublesIacInDataAndValues) {
    const uint8_t data[] = {0, kIac, 5, kIac};
    EXPECT_EQ(EscapeData(data, 4), (Bytes{0, kIac, kIac, 5, kIac, kIac}));
    EXPECT_EQ(ComPortMessage(101, {0, kIac, 1, 2}),
              (Bytes{kIac, kSb, kOptComPort, 101, 0, kIac, kIac, 1, 2, kIac, kSe}));
}

// A port that records what the session did and refuses what it is told to.
class FakePort : public PortControl {
  public:
    PortSettings Settings() override { return s; }
    bool SetBaud(uint32_t v) override { return Take(refuseBaud, s.baud, v); }
    bool SetDataBits(uint8_t v) override { return Take(refuseFormat, s.dataBits, v); }
    bool SetParity(uint8_t v) override { return Take(refuseFormat, s.parity, v); }
    bool SetStopBits(uint8_t v) override { return Take(refuseFormat, s.stopBits, v); }
    bool SetFlow(Flow v) override { return Take(false, s.flow, v); }
    bool SetDtr(bool v) override { return Take(false, s.dtr, v); }
    bool SetRts(bool v) override { return Take(refuseRts, s.rts, v); }
    bool SetBreak(bool v) override { return Take(false, s.breakOn, v); }
    bool Purge(bool rx, bool tx) override {
        purges.push_back((rx ? 1 : 0) | (tx ? 2 : 0));
        return true;
    }
    uint8_t ModemLevels() override { return levels; }
    void Write(const uint8_t* d, size_t n) override { written.insert(written.end(), d, d + n); }
    void Changed() override { ++changes; }

    template <class T>
    bool Take(bool refuse, T& field, T value) {
        if (refuse)
            return false;
        field = value;
        return true;
    }

    PortSettings s;
    bool refuseBaud = false, refuseFormat = false, refuseRts = false;
    uint8_t levels = kModemCts | kModemDsr;
    Bytes written;
    std::vector<int> purges;
    int changes = 0;
};

Bytes SubCommand(uint8_t command, Bytes value) {
    Bytes out{kIac, kSb, kOptComPort, command};
    for (uint8_t b : value) {
        out.push_back(b);
        if (b == kIac)
            out.push_back(kIac);
    }
    out.insert(out.end(), {kIac, kSe});
    return out;
}

class ToolSession : public ::testing::Test {
  protected:
    Bytes Send(const Bytes& input) {
        Bytes reply;
        EXPECT_TRUE(session.Receive(input.data(), input.size(), reply)) << session.Error();
        return reply;
    }
    // The client's opening and the server's answer, as pyserial does it,
    // and the first modem notice after it.
    void Open() {
        session.Greeting();
        Send({kIac, kDo, kOptEcho, kIac, kWill, kOptSga, kIac, kDo, kOptSga, kIac, kDo, kOptComPort,
              kIac, kWill, kOptComPort});
        session.ModemChanged(port.levels);
    }
    FakePort port;
    Session session{port};
};

TEST_F(ToolSession, NegotiationAnswersOnceAndSendsTheModemState) {
    Bytes greeting = session.Greeting();
    EXPECT_EQ(greeting,
              (Bytes{kIac, kWill, kOptBinary, kIac, kDo, kOptBinary, kIac, kWill, kOptComPort}));
    Bytes reply = Send({kIac, kDo, kOptEcho, kIac, kWill, kOptSga, kIac, kDo, kOptSga, kIac, kDo,
                        kOptComPort, kIac, kWill, kOptComPort});
    // No echo; SGA both ways; the COM port option was offered already, so
    // DO needs no WILL; WILL gets DO.
    EXPECT_EQ(reply, (Bytes{kIac, kWont, kOptEcho, kIac, kDo, kOptSga, kIac, kWill, kOptSga, kIac,
                            kDo, kOptComPort}));
    EXPECT_TRUE(session.ComPortActive());
    // The first modem notice carries the levels without deltas, once.
    EXPECT_EQ(session.ModemChanged(kModemCts | kModemDsr | 0x0F),
              ComPortMessage(kNotifyModemState + kServerOffset, {kModemCts | kModemDsr}));
    EXPECT_TRUE(session.ModemChanged(kModemCts | kModemDsr).empty());
    // Answers to our own requests, and repeats, need no answer.
    EXPECT_TRUE(
        Send({kIac, kWill, kOptBinary, kIac, kDo, kOptBinary, kIac, kDo, kOptComPort}).empty());
    // Unknown options are refused.
    EXPECT_EQ(Send({kIac, kWill, 24, kIac, kDo, 31}), (Bytes{kIac, kDont, 24, kIac, kWont, 31}));
}

TEST_F(ToolSession, ClientThatOnlyUsesTheOptionGetsTheModemState) {
    // A client whose request crossed our offer may skip DO and go straight on.
    session.Greeting();
    EXPECT_TRUE(session.ModemChanged(kModemCd).empty()) << "option not on yet";
    EXPECT_EQ(Send(SubCommand(kSetDataSize, {8})),
              ComPortMessage(kSetDataSize + kServerOffset, {8}));
    EXPECT_EQ(session.ModemChanged(kModemCd),
              ComPortMessage(kNotifyModemState + kServerOffset, {kModemCd}));
}

TEST_F(ToolSession, SettingsAreAcknowledgedWithTheValueInForce) {
    Open();
    const struct {
        const char* name;
        uint8_t command;
        Bytes value;
        Bytes answer;
    } cases[] = {
        {"baud set", kSetBaudRate, {0, 1, 0xC2, 0}, {0, 1, 0xC2, 0}},
        {"baud query", kSetBaudRate, {0, 0, 0, 0}, {0, 1, 0xC2, 0}},
        {"baud with an IAC byte", kSetBaudRate, {0, 0, 0xFF, 0}, {0, 0, 0xFF, 0}},
        {"data size set", kSetDataSize, {7}, {7}},
        {"data size out of range keeps 7", kSetDataSize, {9}, {7}},
        {"data size query", kSetDataSize, {0}, {7}},
        {"parity even", kSetParity, {kParityEven}, {kParityEven}},
        {"parity 6 is no parity", kSetParity, {6}, {kParityEven}},
        {"stop bits 1.5", kSetStopSize, {kStopOneAndHalf}, {kStopOneAndHalf}},
        {"stop bits 4 is none", kSetStopSize, {4}, {kStopOneAndHalf}},
        {"hardware flow", kSetControl, {3}, {3}},
        {"flow query", kSetControl, {0}, {3}},
        {"inbound flow query", kSetControl, {13}, {16}},
        {"XON/XOFF inbound", kSetControl, {15}, {15}},
        {"outbound reflects it", kSetControl, {0}, {2}},
        {"DTR on", kSetControl, {8}, {8}},
        {"DTR query", kSetControl, {7}, {8}},
        {"RTS off", kSetControl, {12}, {12}},
        {"RTS query", kSetControl, {10}, {12}},
        {"break on", kSetControl, {5}, {5}},
        {"break query", kSetControl, {4}, {5}},
        {"DCD flow is not offered", kSetControl, {17}, {2}},
        {"purge both", kPurgeData, {3}, {3}},
        {"purge 4 is refused", kPurgeData, {4}, {0}},
        {"modem mask", kSetModemStateMask, {0x30}, {0x30}},
        {"line mask", kSetLineStateMask, {0x1E}, {0x1E}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Send(SubCommand(c.command, c.value)),
                  ComPortMessage(static_cast<uint8_t>(c.command + kServerOffset), c.answer))
            << c.name;
    }
    EXPECT_EQ(port.s.baud, 0xFF00u);
    EXPECT_EQ(port.s.dataBits, 7);
    EXPECT_EQ(port.s.parity, kParityEven);
    EXPECT_EQ(port.s.stopBits, kStopOneAndHalf);
    EXPECT_EQ(port.s.flow, Flow::kXonXoff);
    EXPECT_TRUE(port.s.dtr);
    EXPECT_FALSE(port.s.rts);
    EXPECT_TRUE(port.s.breakOn);
    EXPECT_EQ(port.purges, std::vector<int>{3});
    EXPECT_EQ(port.changes, 10);  // one per setting changed
}

TEST_F(ToolSession, RefusedSettingsAnswerWithTheOldValue) {
    Open();
    port.refuseBaud = port.refuseFormat = port.refuseRts = true;
    EXPECT_EQ(Send(SubCommand(kSetBaudRate, {0, 0, 0x4B, 0})),
              ComPortMessage(kSetBaudRate + kServerOffset, {0, 0, 0x25, 0x80}));
    EXPECT_EQ(Send(SubCommand(kSetParity, {kParityOdd})),
              ComPortMessage(kSetParity + kServerOffset, {kParityNone}));
    EXPECT_EQ(Send(SubCommand(kSetControl, {11})),
              ComPortMessage(kSetControl + kServerOffset, {12}));
    EXPECT_EQ(port.changes, 0);
}

TEST_F(ToolSession, MalformedCommandsEndTheSession) {
    const struct {
        const char* name;
        Bytes input;
    } cases[] = {
        {"baud of three bytes", SubCommand(kSetBaudRate, {1, 2, 3})},
        {"data size of two bytes", SubCommand(kSetDataSize, {8, 8})},
        {"control without a value", SubCommand(kSetControl, {})},
        {"option without a command", {kIac, kSb, kOptComPort, kIac, kSe}},
        {"bad telnet", {kIac, 3}},
    };
    for (const auto& c : cases) {
        FakePort fresh;
        Session s(fresh);
        s.Greeting();
        Bytes reply;
        EXPECT_FALSE(s.Receive(c.input.data(), c.input.size(), reply)) << c.name;
        EXPECT_FALSE(s.Error().empty()) << c.name;
        EXPECT_FALSE(s.Receive(c.input.data(), 1, reply)) << c.name << ": stays closed";
    }
}

TEST_F(ToolSession, DataBeforeAFaultStillReachesThePort) {
    Open();
    Bytes input{'a', kIac, kIac, 'b', kIac, 9};
    Bytes reply;
    EXPECT_FALSE(session.Receive(input.data(), input.size(), reply));
    EXPECT_EQ(port.written, (Bytes{'a', kIac, 'b'}));
}

TEST_F(ToolSession, ModemNoticesCarryDeltasAndHonourTheMask) {
    EXPECT_TRUE(session.ModemChanged(kModemCd).empty()) << "nothing before the option is on";
    Open();  // sent CTS|DSR
    const struct {
        const char* name;
        uint8_t levels;
        Bytes notice;  // value byte, empty for no notice
    } steps[] = {
        {"unchanged", kModemCts | kModemDsr, {}},
        {"CTS drops", kModemDsr, {kModemDsr | kDeltaCts}},
        {"CD and RI rise",
         kModemDsr | kModemCd | kModemRi,
         {kModemDsr | kModemCd | kModemRi | kDeltaCd}},
        {"RI falls: trailing edge", kModemDsr | kModemCd, {kModemDsr | kModemCd | kRiTrailingEdge}},
        {"delta bits given in are ignored", kModemDsr | kModemCd | 0x0F, {}},
    };
    for (const auto& s : steps) {
        Bytes got = session.ModemChanged(s.levels);
        Bytes want = s.notice.empty() ? Bytes{}
                                      : ComPortMessage(kNotifyModemState + kServerOffset, s.notice);
        EXPECT_EQ(got, want) << s.name;
    }
    // With a mask of CTS only, a DSR change is not reported; a CTS one is, masked.
    Send(SubCommand(kSetModemStateMask, {kModemCts | kDeltaCts}));
    EXPECT_TRUE(session.ModemChanged(kModemCd).empty());
    EXPECT_EQ(session.ModemChanged(kModemCd | kModemCts),
              ComPortMessage(kNotifyModemState + kServerOffset, {kModemCts | kDeltaCts}));
    // A query answers with the levels, whatever changed.
    port.levels = kModemRi;
    EXPECT_EQ(Send(SubCommand(kNotifyModemState, {})),
              ComPortMessage(kNotifyModemState + kServerOffset, {0}));
}

TEST_F(ToolSession, LineErrorsAreReportedThroughTheMask) {
    EXPECT_TRUE(session.LineErrors(kLineParity).empty()) << "nothing before the option is on";
    Open();
    EXPECT_EQ(session.LineErrors(kLineFraming | kLineBreak),
              ComPortMessage(kNotifyLineState + kServerOffset, {kLineFraming | kLineBreak}));
    Send(SubCommand(kSetLineStateMask, {kLineBreak}));
    EXPECT_TRUE(session.LineErrors(kLineParity).empty());
    EXPECT_EQ(session.LineErrors(kLineParity | kLineBreak),
              ComPortMessage(kNotifyLineState + kServerOffset, {kLineBreak}));
}

TEST_F(ToolSession, SuspendAndResumeAndSignature) {
    Open();
    EXPECT_TRUE(Send(SubCommand(kFlowControlSuspend, {})).empty());
    EXPECT_TRUE(session.OutputSuspended());
    EXPECT_TRUE(Send(SubCommand(kFlowControlResume, {})).empty());
    EXPECT_FALSE(session.OutputSuspended());
    EXPECT_EQ(Send(SubCommand(kSignature, {})),
              ComPortMessage(kSignature + kServerOffset, Bytes{'S', 'e', 'r', 'l', 'y', 'n', 'x'}));
    // Subnegotiations of other options and unknown commands are ignored.
    EXPECT_TRUE(Send({kIac, kSb, 24, 1, kIac, kSe}).empty());
    EXPECT_TRUE(Send(SubCommand(99, {1, 2})).empty());
}

}  // namespace
