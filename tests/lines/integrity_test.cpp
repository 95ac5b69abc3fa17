// A numbered byte stream through a paced loopback plug at 115200 8N1, read
// by a reader that pauses, under each kind of flow control, on an FTDI chip
// and on a CDC chip. With flow control nothing may be lost, repeated or
// reordered, and the driver must stop its input above three quarters of its
// 4096-byte ring (3072 held) and resume below a quarter (1024). Without
// flow control the chip's receive FIFO overflows and the overrun is reported.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <variant>

#include "lines_fixture.h"
#include "sim/catalog.h"

namespace linestest {
namespace {

constexpr size_t kRing = 4096;
constexpr size_t kStopAbove = 3 * kRing / 4;  // stops at 3073 held
constexpr size_t kResumeBelow = kRing / 4;    // resumes at 1023 held

// Every port type whose chip the driver can hold back: the full-speed
// FTDI chip (64-byte packets), the high-speed one (512-byte packets), the
// header-framed one, the CDC chip that reports CTS, a plain CDC device (no
// CTS in its status), the first channel of the two-channel device, and the
// bulk-only adapter (no modem lines, no status: XON/XOFF or nothing).
struct Case {
    const char* chip;  // the device model
    Flow flow;
};

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    static const char* const flows[] = {"None", "RtsCts", "DtrDsr", "XonXoff"};
    std::string name = std::string(info.param.chip) + flows[static_cast<int>(info.param.flow)];
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

class LinesIntegrity : public LinesTest, public ::testing::WithParamInterface<Case> {
  protected:
    void SetUp() override {
        LinesTest::SetUp();
        plug_ = std::make_shared<sim::LoopbackPlug>(sim::LinePacing{true, kChipTxFifo});
        const std::string chip = GetParam().chip;
        sim::ModelConfig config = sim::FindModel(chip)->config;
        std::visit(
            [&](auto& c) {
                if constexpr (requires { c.rxFifo; })
                    c.rxFifo = chip == "ftdi-hs" ? 1024 : kChipRxFifo;
            },
            config);
        packet_ = sim::DataPathOf(config).inPacket;
        model_ = sim::BuildModel(config, plug_);
        if (chip == "bulk") {
            reportsOverrun_ = false;  // the chip has no status path
            // Nothing sets its rate from the host: the adapter is strapped.
            plug_->Configure(sim::LineConfig{115200, 8, 0, 0});
        }
        Serve(model_.usb);
    }

    // A line output or a counter from the device's state.
    bool Line(const char* name) {
        return model_.stateJson().find("\"" + std::string(name) + "\":true") != std::string::npos;
    }
    uint64_t BytesSent() {
        const std::string s = model_.stateJson();
        return std::stoull(s.substr(s.find("\"bytesSent\":") + 12));
    }

    void TearDown() override {
        if (writer_.joinable())
            writer_.join();
        LinesTest::TearDown();
        model_ = {};
        plug_.reset();
    }

    Status Poll() {
        Status s = CommStatus(h_);
        seenErrors_ |= s.errors;
        return s;
    }

    // The driver's input stop as seen from outside: the handshake line it
    // dropped at the chip, or the XOFF it sent, back over the plug, holding
    // its own output.
    bool InputStopped() {
        switch (GetParam().flow) {
            case Flow::kRtsCts:
                return !Line("rts");
            case Flow::kDtrDsr:
                return !Line("dtr");
            case Flow::kXonXoff:
                return Poll().stat.fXoffHold != 0;
            default:
                return false;
        }
    }

    // Something still moves: a character on the wire, the writer's bytes,
    // or bytes the chip holds while the ring has room for a transfer.
    struct Motion {
        uint64_t sent, delivered;
        size_t pending, queued, read;
        bool operator==(const Motion&) const = default;
    };
    Motion Now() {
        return {BytesSent(), plug_->Delivered(), model_.pending(), Poll().stat.cbInQue,
                received_.size()};
    }
    bool MayMove(const Motion& m) const {
        return m.sent != m.delivered || (m.pending != 0 && kRing - 1 - m.queued >= packet_);
    }

    // Reads exactly n bytes; fails only when nothing moved anywhere along
    // the chain for 20 s (a stall, not a slow machine).
    void ReadExactly(size_t n) {
        auto idleSince = std::chrono::steady_clock::now();
        Motion last = Now();
        while (n > 0) {
            Bytes buf(std::min<size_t>(n, 512));
            DWORD got = 0;
            ASSERT_TRUE(ReadFile(h_, buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr));
            received_.insert(received_.end(), buf.begin(), buf.begin() + got);
            n -= got;
            const Motion now = Now();
            if (got != 0 || !(now == last)) {
                idleSince = std::chrono::steady_clock::now();
                last = now;
            } else if (std::chrono::steady_clock::now() - idleSince > std::chrono::seconds(20)) {
                FAIL() << n << " bytes never came";
            }
        }
    }

    // cbInQue once nothing is in flight: the wire idle, the chip's FIFO
    // empty or the ring too full to take a transfer, and the whole chain
    // unchanged over three polls.
    size_t SettledInQueue() {
        Motion last = Now();
        int still = 0;
        for (int i = 0; i < 1000 && still < 3; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            const Motion now = Now();
            still = now == last && !MayMove(now) ? still + 1 : 0;
            last = now;
        }
        EXPECT_EQ(still, 3) << "the receive queue never settled";
        return last.queued;
    }

    void StartWriter(const Bytes& sent) { writer_ = Writer(h_, sent, written_); }

    std::shared_ptr<sim::LoopbackPlug> plug_;
    sim::BuiltModel model_;
    size_t packet_ = 64;
    bool reportsOverrun_ = true;
    HANDLE h_ = INVALID_HANDLE_VALUE;
    std::thread writer_;
    std::atomic<size_t> written_{SIZE_MAX};
    Bytes received_;
    DWORD seenErrors_ = 0;
};

TEST_P(LinesIntegrity, NumberedStreamWithPausingReader) {
    const Flow flow = GetParam().flow;
    SCOPED_TRACE(FlowName(flow));
    h_ = Open(1);
    ASSERT_NE(h_, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(Configure(h_, 115200, flow));
    const Bytes sent = Numbered(Scaled(12000));
    StartWriter(sent);

    if (flow == Flow::kNone) {
        // Nobody reads while the whole stream goes out: the ring fills, then
        // the chip's FIFO, then characters are lost.
        ASSERT_TRUE(Eventually([&] { return written_ != SIZE_MAX; }, 60000));
        EXPECT_EQ(written_, sent.size()) << "nothing holds an unflowed writer back";
        SettledInQueue();
        while (received_.size() < sent.size()) {
            Bytes buf(1024);
            DWORD got = 0;
            ASSERT_TRUE(ReadFile(h_, buf.data(), 1024, &got, nullptr));
            if (got == 0)
                break;
            received_.insert(received_.end(), buf.begin(), buf.begin() + got);
        }
        // The overrun is reported with the chip's next status after reading.
        if (reportsOverrun_)
            Eventually(
                [&] {
                    Poll();
                    return (seenErrors_ & CE_OVERRUN) != 0;
                },
                2000);
        EXPECT_LT(received_.size(), sent.size());
        EXPECT_GT(model_.dropped(), 0u);
        if (reportsOverrun_) {
            EXPECT_NE(seenErrors_ & CE_OVERRUN, 0u) << "losses went unreported";
        }
        EXPECT_TRUE(IsSubsequence(received_, sent)) << "bytes repeated or reordered";
        return;
    }

    // Phase 1: the reader waits; the driver must stop its input above 3072
    // held and hold the stream there.
    ASSERT_TRUE(Eventually([&] { return InputStopped(); }, 20000)) << "input never stopped";
    EXPECT_GT(Poll().stat.cbInQue, kStopAbove);
    const size_t held = SettledInQueue();
    EXPECT_TRUE(InputStopped());
    EXPECT_GT(held, kStopAbove);
    EXPECT_LE(held, kRing);
    // Down to exactly 1024 held: still stopped, nothing more arrives. (A
    // chip with large packets may still hold bytes the ring had no room
    // for; they come in as the reader makes room, so read down again.)
    ASSERT_GT(held, kResumeBelow);
    size_t now = held;
    for (int i = 0; i < 20 && now != kResumeBelow; ++i) {
        ASSERT_GT(now, kResumeBelow) << "more was read than held";
        ReadExactly(now - kResumeBelow);
        now = SettledInQueue();
    }
    EXPECT_EQ(now, kResumeBelow);
    EXPECT_TRUE(InputStopped()) << "resumed at " << kResumeBelow << " held";
    // One more byte out: input resumes.
    ReadExactly(1);
    EXPECT_TRUE(Eventually([&] { return !InputStopped(); })) << "input never resumed";

    // Phase 2: read the rest, pausing after every 4000 bytes so that input
    // stops and resumes again.
    size_t sincePause = 0;
    while (received_.size() < sent.size()) {
        const size_t before = received_.size();
        ReadExactly(std::min<size_t>(512, sent.size() - received_.size()));
        if (HasFatalFailure())
            break;
        sincePause += received_.size() - before;
        if (sincePause >= 4000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            sincePause = 0;
        }
    }
    writer_.join();
    EXPECT_EQ(written_, sent.size());
    EXPECT_EQ(received_.size(), sent.size());
    EXPECT_TRUE(received_ == sent) << "bytes lost, repeated or reordered";
    Poll();
    EXPECT_EQ(seenErrors_ & CE_OVERRUN, 0u);
    EXPECT_EQ(model_.dropped(), 0u);
}

// Emptying the ring while input is stopped resumes the input at once, and
// the stream goes on where the purge cut it, with nothing lost after.
using LinesPurge = LinesIntegrity;

TEST_P(LinesPurge, ClearingTheRingResumesInput) {
    SCOPED_TRACE(FlowName(GetParam().flow));
    h_ = Open(1);
    ASSERT_NE(h_, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(Configure(h_, 115200, GetParam().flow));
    const Bytes sent = Numbered(Scaled(8000));
    StartWriter(sent);
    ASSERT_TRUE(Eventually([&] { return InputStopped(); }, 20000)) << "input never stopped";
    SettledInQueue();
    ASSERT_TRUE(PurgeComm(h_, PURGE_RXCLEAR));
    EXPECT_TRUE(Eventually([&] { return !InputStopped(); })) << "a purge left input stopped";
    // The rest of the stream, without pauses.
    while (true) {
        Bytes buf(1024);
        DWORD got = 0;
        ASSERT_TRUE(ReadFile(h_, buf.data(), 1024, &got, nullptr));
        received_.insert(received_.end(), buf.begin(), buf.begin() + got);
        if (got == 0 && written_ != SIZE_MAX && SettledInQueue() == 0)
            break;
    }
    writer_.join();
    EXPECT_EQ(written_, sent.size());
    ASSERT_GT(received_.size(), 0u);
    ASSERT_LT(received_.size(), sent.size());
    EXPECT_TRUE(std::equal(received_.begin(), received_.end(), sent.end() - received_.size()))
        << "the stream after the purge has a gap";
    Poll();
    EXPECT_EQ(seenErrors_ & CE_OVERRUN, 0u);
}

INSTANTIATE_TEST_SUITE_P(Loopback, LinesPurge,
                         ::testing::Values(Case{"ftdi", Flow::kRtsCts},
                                           Case{"cdc-cts", Flow::kXonXoff}),
                         CaseName);

INSTANTIATE_TEST_SUITE_P(Loopback, LinesIntegrity,
                         ::testing::Values(Case{"ftdi", Flow::kRtsCts}, Case{"ftdi", Flow::kDtrDsr},
                                           Case{"ftdi", Flow::kXonXoff}, Case{"ftdi", Flow::kNone},
                                           Case{"cdc-cts", Flow::kRtsCts},
                                           Case{"cdc-cts", Flow::kDtrDsr},
                                           Case{"cdc-cts", Flow::kXonXoff},
                                           Case{"cdc-cts", Flow::kNone}),
                         CaseName);

// The other port types, once each under each flow mechanism they have: a
// handshake line (the same request whichever line it is) and the flow
// characters (framed differently on the header chip).
INSTANTIATE_TEST_SUITE_P(LoopbackMoreChips, LinesIntegrity,
                         ::testing::Values(Case{"ftdi-hs", Flow::kRtsCts},
                                           Case{"ftdi-header", Flow::kXonXoff},
                                           Case{"cdc-acm", Flow::kDtrDsr},
                                           Case{"cdc-two-channel", Flow::kDtrDsr},
                                           Case{"bulk", Flow::kXonXoff}, Case{"bulk", Flow::kNone}),
                         CaseName);

}  // namespace
}  // namespace linestest
