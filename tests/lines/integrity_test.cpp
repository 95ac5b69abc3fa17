// Serial lines end to end through the real driver: device models served as
// COM1: (and COM2:) behind paced loopback plugs or a null modem.
//
// A numbered stream through a loopback plug at 115200 8N1, read by a reader
// that pauses, under each kind of flow control on each port type's flow
// mechanism: nothing may be lost, repeated or reordered, and the driver
// stops its input above three quarters of its 4096-byte ring (3072 held)
// and resumes below a quarter (1024). Without flow control the chip's FIFO
// overflows and the overrun is reported. Then two chips of different
// families on a null modem: data both ways at once under handshaking, and
// every modem line and the break reaching the far port as comm events.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <variant>

#include "common/com_port_test.h"
#include "sim/catalog.h"
#include "sim/cdc_model.h"
#include "sim/ftdi_model.h"
#include "sim/serial_line.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using comtest::Eventually;

enum class Flow { kNone, kRtsCts, kDtrDsr, kXonXoff };
constexpr uint8_t kXon = 0x11, kXoff = 0x13;
constexpr size_t kRing = 4096, kStopAbove = 3 * kRing / 4, kResumeBelow = kRing / 4;
constexpr size_t kChipRxFifo = 256, kChipTxFifo = 128;  // a full-speed chip's

// Stream sizes scale with SERLYNX_LINES_SCALE (a benchmark run sets it high).
size_t Scaled(size_t n) {
    const char* s = std::getenv("SERLYNX_LINES_SCALE");
    return n * static_cast<size_t>(s && std::atol(s) > 0 ? std::atol(s) : 1);
}

// Byte i of a numbered stream: i modulo 254, skipping the flow characters,
// so that a lost, repeated or swapped byte shows and XON/XOFF eats nothing.
Bytes Numbered(size_t n, size_t offset = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t v = static_cast<uint8_t>((i + offset) % 254 + ((i + offset) % 254 >= kXon));
        b[i] = v + (v >= kXoff);
    }
    return b;
}

// 115200 8N1 with the flow-control mode (the flow characters are the
// defaults, kXon and kXoff). Output goes on while input is
// stopped: only an XOFF that came back over the wire holds the writer.
bool Configure(HANDLE h, Flow flow) {
    return comtest::EditDcb(h, [flow](DCB& d) {
        d.BaudRate = 115200;
        d.fOutxCtsFlow = flow == Flow::kRtsCts;
        d.fRtsControl = flow == Flow::kRtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
        d.fOutxDsrFlow = flow == Flow::kDtrDsr;
        d.fDtrControl = flow == Flow::kDtrDsr ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
        d.fOutX = d.fInX = flow == Flow::kXonXoff;
        d.fTXContinueOnXoff = 1;
        d.XonLim = d.XoffLim = 1024;
    });
}

// Writes `out` in chunks of 2048 until all went or a write took nothing;
// then stores the count written.
std::thread Writer(HANDLE h, const Bytes& out, std::atomic<size_t>& written) {
    return std::thread([h, &out, &written] {
        size_t done = 0;
        for (DWORD w = 1; done < out.size() && w != 0; done += w) {
            const DWORD n = static_cast<DWORD>(std::min<size_t>(2048, out.size() - done));
            if (!WriteFile(h, out.data() + done, n, &w, nullptr))
                break;
        }
        written = done;
    });
}

// Reads what came (nothing after 100 ms) onto `into`; the count.
DWORD ReadSome(HANDLE h, Bytes& into, size_t most = 1024) {
    Bytes buf(most);
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(h, buf.data(), static_cast<DWORD>(most), &got, nullptr));
    into.insert(into.end(), buf.begin(), buf.begin() + got);
    return got;
}

COMSTAT Stat(HANDLE h, DWORD* errors) {
    DWORD e = 0;
    COMSTAT s{};
    EXPECT_TRUE(ClearCommError(h, &e, &s));
    *errors |= e;
    return s;
}

class Lines : public PlatformTest {
  protected:
    // Serves `model` as the next COM port and opens it: reads wait up to
    // 100 ms, a write gives up after 30 s (a deadlock fails, not hangs).
    HANDLE Serve(std::shared_ptr<cehost::UsbDeviceModel> model) {
        if (bus_ == nullptr)
            bus_ = std::make_unique<cehost::UsbBus>();
        EXPECT_TRUE(cehost::UsbInstallClient(u"serlynx.dll"));
        EXPECT_EQ(bus_->Owner(bus_->Replug(bus_->Plug(model))), u"Serlynx");
        const std::u16string name = u"COM" + std::u16string(1, u'1' + open_.size()) + u":";
        HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        open_.push_back(h);
        COMMTIMEOUTS t{MAXDWORD, 0, 100, 0, 30000};
        EXPECT_TRUE(SetCommTimeouts(h, &t));
        return h;
    }

    void TearDown() override {
        for (HANDLE h : open_)
            CloseHandle(h);
        bus_.reset();
        PlatformTest::TearDown();
    }

    std::unique_ptr<cehost::UsbBus> bus_;
    std::vector<HANDLE> open_;
};

struct Case {
    const char* chip;  // the device model
    Flow flow;
};

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    const char* const flows[] = {"None", "RtsCts", "DtrDsr", "XonXoff"};
    std::string name = info.param.chip + std::string(flows[int(info.param.flow)]);
    return std::ranges::replace(name, '-', '_'), name;
}

class LinesIntegrity : public Lines, public ::testing::WithParamInterface<Case> {
  protected:
    void SetUp() override {
        Lines::SetUp();
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
        // The bulk adapter is strapped to its rate and has no status path.
        if (chip == "bulk")
            plug_->Configure(sim::LineConfig{115200, 8, 0, 0});
        h_ = Serve(model_.usb);
        ASSERT_TRUE(Configure(h_, GetParam().flow));
    }

    void TearDown() override {
        if (writer_.joinable())
            writer_.join();
        Lines::TearDown();
    }

    // The driver's input stop as seen from outside: the handshake line it
    // dropped at the chip, or the XOFF that came back and holds its output.
    bool InputStopped() {
        const Flow f = GetParam().flow;
        if (f == Flow::kXonXoff)
            return Stat(h_, &errors_).fXoffHold != 0;
        const char* line = f == Flow::kRtsCts ? "\"rts\":false" : "\"dtr\":false";
        return f != Flow::kNone && model_.stateJson().find(line) != std::string::npos;
    }

    // Something may still move: a character on the wire, or bytes the chip
    // holds while the ring has room for a transfer.
    struct Motion {
        uint64_t sent, delivered;
        size_t pending, queued;
        bool operator==(const Motion&) const = default;
        bool MayMove(size_t packet) const {
            return sent != delivered || (pending != 0 && kRing - 1 - queued >= packet);
        }
    };
    Motion Now() {
        const std::string s = model_.stateJson();
        return {std::stoull(s.substr(s.find("\"bytesSent\":") + 12)), plug_->Delivered(),
                model_.pending(), Stat(h_, &errors_).cbInQue};
    }

    // Reads exactly n bytes; fails only when nothing moved anywhere along
    // the chain for 20 s (a stall, not a slow machine).
    void ReadExactly(size_t n) {
        auto idleSince = Clock::now();
        for (Motion last = Now(); n > 0;) {
            const DWORD got = ReadSome(h_, got_, std::min<size_t>(n, 512));
            n -= got;
            const Motion now = Now();
            if (got != 0 || now != last)
                idleSince = Clock::now();
            else if (Clock::now() - idleSince > std::chrono::seconds(20))
                FAIL() << n << " bytes never came";
            last = now;
        }
    }

    // cbInQue once nothing is in flight and the chain stayed still for
    // three polls.
    size_t SettledInQueue() {
        Motion last = Now();
        int still = 0;
        for (int i = 0; i < 1000 && still < 3; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            const Motion now = Now();
            still = now == last && !now.MayMove(packet_) ? still + 1 : 0;
            last = now;
        }
        EXPECT_EQ(still, 3) << "the receive queue never settled";
        return last.queued;
    }

    std::shared_ptr<sim::LoopbackPlug> plug_;
    sim::BuiltModel model_;
    size_t packet_ = 64;
    HANDLE h_ = INVALID_HANDLE_VALUE;
    std::thread writer_;
    std::atomic<size_t> written_{SIZE_MAX};
    Bytes got_;
    DWORD errors_ = 0;
};

TEST_P(LinesIntegrity, NumberedStreamWithPausingReader) {
    const Bytes sent = Numbered(Scaled(12000));
    writer_ = Writer(h_, sent, written_);
    if (GetParam().flow == Flow::kNone) {
        // Nobody reads while the whole stream goes out: the ring fills, then
        // the chip's FIFO, then characters are lost, and the overrun is
        // reported with the chip's next status after reading.
        ASSERT_TRUE(Eventually([&] { return written_ != SIZE_MAX; }, 60000));
        EXPECT_EQ(written_, sent.size()) << "nothing holds an unflowed writer back";
        SettledInQueue();
        while (got_.size() < sent.size() && ReadSome(h_, got_) != 0) {
        }
        EXPECT_TRUE(Eventually([&] { return Stat(h_, &errors_), errors_ & CE_OVERRUN; }, 2000))
            << "losses went unreported";
        EXPECT_LT(got_.size(), sent.size());
        EXPECT_GT(model_.dropped(), 0u);
        // None added, repeated or moved.
        size_t j = 0;
        for (uint8_t b : got_) {
            j = std::find(sent.begin() + j, sent.end(), b) - sent.begin() + 1;
            ASSERT_LE(j, sent.size()) << "bytes repeated or reordered";
        }
        return;
    }
    // The reader waits: the driver stops its input above 3072 held.
    ASSERT_TRUE(Eventually([&] { return InputStopped(); }, 20000)) << "input never stopped";
    size_t now = SettledInQueue();
    EXPECT_TRUE(InputStopped());
    EXPECT_GT(now, kStopAbove);
    // Down to exactly 1024 held: still stopped. (A chip with large packets
    // may still hold bytes the ring had no room for: read down again.)
    for (int i = 0; i < 20 && now != kResumeBelow; ++i) {
        ASSERT_GT(now, kResumeBelow) << "more was read than held";
        ReadExactly(now - kResumeBelow);
        now = SettledInQueue();
    }
    EXPECT_EQ(now, kResumeBelow);
    EXPECT_TRUE(InputStopped()) << "resumed at " << kResumeBelow << " held";
    ReadExactly(1);
    EXPECT_TRUE(Eventually([&] { return !InputStopped(); })) << "input never resumed";
    // The rest, pausing after every 4000 bytes so that input stops again.
    for (size_t mark = got_.size(); got_.size() < sent.size() && !HasFatalFailure();) {
        ReadExactly(std::min<size_t>(512, sent.size() - got_.size()));
        if (got_.size() - mark >= 4000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            mark = got_.size();
        }
    }
    writer_.join();
    EXPECT_EQ(written_, sent.size());
    EXPECT_TRUE(got_ == sent) << "bytes lost, repeated or reordered: " << got_.size();
    EXPECT_EQ((Stat(h_, &errors_), errors_) & CE_OVERRUN, 0u);
    EXPECT_EQ(model_.dropped(), 0u);
}

// Emptying the ring while input is stopped resumes the input at once, and
// the stream goes on where the purge cut it, with no gap after.
using LinesPurge = LinesIntegrity;

TEST_P(LinesPurge, ClearingTheRingResumesInput) {
    const Bytes sent = Numbered(Scaled(8000));
    writer_ = Writer(h_, sent, written_);
    ASSERT_TRUE(Eventually([&] { return InputStopped(); }, 20000)) << "input never stopped";
    SettledInQueue();
    ASSERT_TRUE(PurgeComm(h_, PURGE_RXCLEAR));
    EXPECT_TRUE(Eventually([&] { return !InputStopped(); })) << "a purge left input stopped";
    while (ReadSome(h_, got_) != 0 || written_ == SIZE_MAX || SettledInQueue() != 0) {
    }
    writer_.join();
    EXPECT_EQ(written_, sent.size());
    ASSERT_GT(got_.size(), 0u);
    ASSERT_LT(got_.size(), sent.size());
    EXPECT_TRUE(std::equal(got_.begin(), got_.end(), sent.end() - got_.size()))
        << "the stream after the purge has a gap";
    EXPECT_EQ((Stat(h_, &errors_), errors_) & CE_OVERRUN, 0u);
}

INSTANTIATE_TEST_SUITE_P(Loopback, LinesPurge,
                         ::testing::Values(Case{"ftdi", Flow::kRtsCts},
                                           Case{"cdc-cts", Flow::kXonXoff}),
                         CaseName);

// Every flow mode on an FTDI and a CDC chip; the other port types once each
// under each flow mechanism they have: a handshake line (the same request
// whichever line it is) and the flow characters (framed differently on the
// header chip). The bulk adapter has no modem lines and no status.
INSTANTIATE_TEST_SUITE_P(
    Loopback, LinesIntegrity,
    ::testing::Values(Case{"ftdi", Flow::kRtsCts}, Case{"ftdi", Flow::kDtrDsr},
                      Case{"ftdi", Flow::kXonXoff}, Case{"ftdi", Flow::kNone},
                      Case{"cdc-cts", Flow::kRtsCts}, Case{"cdc-cts", Flow::kDtrDsr},
                      Case{"cdc-cts", Flow::kXonXoff}, Case{"cdc-cts", Flow::kNone},
                      Case{"ftdi-hs", Flow::kRtsCts}, Case{"ftdi-header", Flow::kXonXoff},
                      Case{"cdc-acm", Flow::kDtrDsr}, Case{"cdc-two-channel", Flow::kDtrDsr},
                      Case{"bulk", Flow::kXonXoff}),
    CaseName);

// An FTDI chip (COM1:) and a CDC chip that reports CTS (COM2:) on a null
// modem. `rxFifo` sizes both chips' receive FIFOs.
class LinesNullModem : public Lines {
  protected:
    void Cable(sim::LinePacing pacing, size_t rxFifo) {
        std::shared_ptr<sim::NullModem> cable = sim::NullModem::Create(pacing);
        sim::FtdiModelConfig ftdi = sim::FtdiModelConfig::FullSpeed();
        sim::CdcModelConfig cdc = sim::CdcCtsChipConfig();
        ftdi.rxFifo = cdc.rxFifo = rxFifo;
        ftdi_ = std::make_shared<sim::FtdiModel>(ftdi, cable->EndA());
        cdc_ = std::make_shared<sim::CdcModel>(cdc, cable->EndB());
        h_[0] = Serve(ftdi_);
        h_[1] = Serve(cdc_);
    }

    std::shared_ptr<sim::FtdiModel> ftdi_;
    std::shared_ptr<sim::CdcModel> cdc_;
    HANDLE h_[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
};

TEST_F(LinesNullModem, FtdiAndCdcAt115200WithHandshakingBothWaysAtOnce) {
    // 4 KiB chip FIFOs: this checks the handshake between the two ports,
    // which guards their rings. A 256-byte FIFO holds 22 ms at 115200 Bd, and
    // a loaded machine may leave a worker that long without polling.
    Cable(sim::LinePacing{true, kChipTxFifo}, 4096);
    for (HANDLE h : h_)
        ASSERT_TRUE(Configure(h, Flow::kRtsCts));
    const size_t n = Scaled(10000);
    const Bytes out[2] = {Numbered(n), Numbered(n, 97)};
    Bytes in[2];
    std::atomic<size_t> written[2];
    std::thread writers[2] = {Writer(h_[0], out[0], written[0]), Writer(h_[1], out[1], written[1])};
    // Both sides read, pausing after every 3000 bytes so that the far
    // side's flow control works, until 5 s without data.
    size_t mark = 0;
    for (auto idle = Clock::now();
         (in[0].size() < n || in[1].size() < n) && Clock::now() - idle < std::chrono::seconds(5);) {
        for (int i = 0; i < 2; ++i) {
            if (in[i].size() < n && ReadSome(h_[i], in[i], 512) != 0)
                idle = Clock::now();
        }
        if (in[0].size() + in[1].size() - mark >= 6000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            mark = in[0].size() + in[1].size();
        }
    }
    for (std::thread& t : writers)
        t.join();
    DWORD errors = 0;
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(written[i], n);
        EXPECT_TRUE(in[1 - i] == out[i]) << "from COM" << i + 1 << ": " << in[1 - i].size();
        Stat(h_[i], &errors);
    }
    EXPECT_EQ(errors & CE_OVERRUN, 0u);
    EXPECT_EQ(ftdi_->BytesDropped() + cdc_->BytesDropped(), 0u);
}

TEST_F(LinesNullModem, ModemLinesAndBreakRaiseEventsOnTheFarSide) {
    Cable(sim::LinePacing{}, kChipRxFifo);
    // A CDC chip reports its lines only when they change, and the port
    // assumes CTS and DSR until it hears: wiggle the lines once so that both
    // sides see all of them low before the steps begin.
    for (HANDLE h : h_) {
        ASSERT_TRUE(comtest::EditDcb(h, [](DCB& d) {
            d.BaudRate = 115200;
            d.fDtrControl = DTR_CONTROL_DISABLE;
            d.fRtsControl = RTS_CONTROL_DISABLE;
        }));
        for (DWORD f : {SETDTR, SETRTS, CLRDTR, CLRRTS})
            ASSERT_TRUE(EscapeCommFunction(h, f));
    }
    for (HANDLE h : h_)
        ASSERT_TRUE(Eventually([&] { return comtest::ModemStatus(h) == 0; }));
    const struct {
        DWORD function;
        DWORD events;  // posted to the far port
        DWORD modem;   // the far port's modem status afterwards
    } steps[] = {
        {SETDTR, EV_DSR | EV_RLSD, MS_DSR_ON | MS_RLSD_ON},
        {SETRTS, EV_CTS, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON},
        {CLRDTR, EV_DSR | EV_RLSD, MS_CTS_ON},
        {CLRRTS, EV_CTS, 0},
        {SETBREAK, EV_BREAK | EV_ERR, 0},
        // Each chip reports a break once, as it starts: the CDC chip in a
        // one-shot notification, the FTDI chip as a NUL character.
        {CLRBREAK, 0, 0},
    };
    for (int from = 0; from < 2; ++from) {
        const HANDLE near = h_[from], far = h_[1 - from];
        for (const auto& s : steps) {
            SCOPED_TRACE(testing::Message() << "from COM" << from + 1 << ": " << s.function);
            // Drop what earlier steps left pending, then listen for everything.
            ASSERT_TRUE(SetCommMask(far, 0));
            ASSERT_TRUE(SetCommMask(
                far, EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR | EV_RING));
            const bool brk = s.function == SETBREAK;
            // The FTDI chip (COM1:) hears the CDC chip's break as a NUL too.
            const DWORD want = s.events | (brk && from == 1 ? EV_RXCHAR : 0);
            if (!brk)
                comtest::TakeErrors(far);
            ASSERT_TRUE(EscapeCommFunction(near, s.function));
            DWORD got = 0;
            for (auto until = Clock::now() + std::chrono::seconds(5);
                 (got & want) != want && Clock::now() < until;)
                got |= comtest::WaitEvents(far, 1000).value_or(0);
            EXPECT_EQ(got & want, want) << std::hex << got;
            EXPECT_EQ(got & (EV_RING | EV_RXCHAR) & ~want, 0u) << std::hex << got;
            EXPECT_TRUE(Eventually([&] { return comtest::ModemStatus(far) == s.modem; }));
            EXPECT_TRUE(!brk || Eventually([&] { return comtest::TakeErrors(far) & CE_BREAK; }));
        }
    }
}

}  // namespace
