// Two adapters of different families joined by a null modem, each served
// by the driver as its own port: an FTDI chip (COM1:) and a CDC chip that
// reports CTS (COM2:). Data both ways at once under handshaking, and every
// modem line and the break reaching the far port as comm events. (How each
// chip reports line errors is tested with its port type.)
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "lines_fixture.h"

namespace linestest {
namespace {

constexpr DWORD kAllEvents = EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR | EV_RING;

class LinesNullModem : public LinesTest {
  protected:
    // `rxFifo` 0 keeps the small chips of the other line tests.
    void Cable(sim::LinePacing pacing, size_t rxFifo = 0) {
        cable_ = sim::NullModem::Create(pacing);
        sim::FtdiModelConfig ftdi = SmallFtdi();
        sim::CdcModelConfig cdc = SmallCdc();
        if (rxFifo != 0)
            ftdi.rxFifo = cdc.rxFifo = rxFifo;
        ftdi_ = std::make_shared<sim::FtdiModel>(ftdi, cable_->EndA());
        cdc_ = std::make_shared<sim::CdcModel>(cdc, cable_->EndB());
        Serve(ftdi_);
        Serve(cdc_);
        a_ = Open(1);
        b_ = Open(2);
        ASSERT_NE(a_, INVALID_HANDLE_VALUE);
        ASSERT_NE(b_, INVALID_HANDLE_VALUE);
    }

    void TearDown() override {
        LinesTest::TearDown();
        ftdi_.reset();
        cdc_.reset();
        cable_.reset();
    }

    std::shared_ptr<sim::NullModem> cable_;
    std::shared_ptr<sim::FtdiModel> ftdi_;
    std::shared_ptr<sim::CdcModel> cdc_;
    HANDLE a_ = INVALID_HANDLE_VALUE, b_ = INVALID_HANDLE_VALUE;
};

// One side of a duplex transfer: a writer thread and a reader thread that
// pauses after every 3000 bytes, so that the far side's flow control works.
struct Side {
    HANDLE h = INVALID_HANDLE_VALUE;
    Bytes out, in;
    std::atomic<size_t> written{0};
    std::thread writer, reader;

    void Start(size_t expectIn) {
        writer = Writer(h, out, written);
        reader = std::thread([this, expectIn] {
            size_t sincePause = 0;
            auto idleSince = std::chrono::steady_clock::now();
            while (in.size() < expectIn &&
                   std::chrono::steady_clock::now() - idleSince < std::chrono::seconds(5)) {
                Bytes buf(512);
                DWORD got = 0;
                if (!ReadFile(h, buf.data(), 512, &got, nullptr))
                    break;
                if (got == 0)
                    continue;
                idleSince = std::chrono::steady_clock::now();
                in.insert(in.end(), buf.begin(), buf.begin() + got);
                sincePause += got;
                if (sincePause >= 3000) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(300));
                    sincePause = 0;
                }
            }
        });
    }
    void Join() {
        writer.join();
        reader.join();
    }
};

TEST_F(LinesNullModem, FtdiAndCdcAt115200WithHandshakingBothWaysAtOnce) {
    // Chips with 4 KiB receive FIFOs: this case checks the handshake between
    // the two ports, which guards their rings. A 256-byte FIFO holds 22 ms at
    // 115200 Bd, and a loaded test machine may leave a worker thread that
    // long without polling; no host-side handshake can prevent that overrun.
    Cable(sim::LinePacing{true, kChipTxFifo}, 4096);
    ASSERT_TRUE(Configure(a_, 115200, Flow::kRtsCts));
    ASSERT_TRUE(Configure(b_, 115200, Flow::kRtsCts));
    // The FTDI chip's divisor gives 115385 Bd, close enough for any UART.
    EXPECT_NEAR(cable_->ConfigA().baud, 115200, 115200 * 0.01);
    EXPECT_EQ(cable_->ConfigB(), (sim::LineConfig{115200, 8, 0, 0}));
    const size_t n = Scaled(10000);
    Side a, b;
    a.h = a_;
    b.h = b_;
    a.out = Numbered(n);
    b.out = Numbered(n, 97);
    a.Start(n);
    b.Start(n);
    a.Join();
    b.Join();
    EXPECT_EQ(a.written, n);
    EXPECT_EQ(b.written, n);
    EXPECT_TRUE(b.in == a.out) << "FTDI to CDC: " << b.in.size() << " of " << n;
    EXPECT_TRUE(a.in == b.out) << "CDC to FTDI: " << a.in.size() << " of " << n;
    EXPECT_EQ(CommStatus(a_).errors & CE_OVERRUN, 0u);
    EXPECT_EQ(CommStatus(b_).errors & CE_OVERRUN, 0u);
    EXPECT_EQ(ftdi_->BytesDropped() + cdc_->BytesDropped(), 0u);
}

// Waits until every event of `want` was posted to `h` (extra ones are
// allowed); the events seen.
DWORD CollectEvents(HANDLE h, DWORD want) {
    DWORD got = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while ((got & want) != want && std::chrono::steady_clock::now() < deadline) {
        if (auto events = comtest::WaitEvents(h, 1000))
            got |= *events;
    }
    return got;
}

TEST_F(LinesNullModem, ModemLinesAndBreakRaiseEventsOnTheFarSide) {
    Cable(sim::LinePacing{});
    for (HANDLE h : {a_, b_}) {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        ASSERT_TRUE(GetCommState(h, &dcb));
        dcb.BaudRate = 115200;
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        ASSERT_TRUE(SetCommState(h, &dcb));
    }
    // A CDC chip reports its lines only when they change, and the port
    // assumes CTS and DSR until it hears: wiggle the lines once so that both
    // sides see all of them low before the steps begin.
    for (HANDLE h : {a_, b_}) {
        for (DWORD f : {SETDTR, SETRTS, CLRDTR, CLRRTS})
            ASSERT_TRUE(EscapeCommFunction(h, f));
    }
    for (HANDLE h : {a_, b_}) {
        DWORD modem = 0;
        ASSERT_TRUE(Eventually([&] {
            GetCommModemStatus(h, &modem);
            return modem == 0;
        })) << std::hex
            << modem;
    }
    struct Step {
        const char* name;
        bool fromA;
        DWORD function;
        DWORD events;  // posted to the far port
        DWORD modem;   // the far port's modem status afterwards
        DWORD errors;  // its comm errors afterwards
    } steps[] = {
        {"A raises DTR", true, SETDTR, EV_DSR | EV_RLSD, MS_DSR_ON | MS_RLSD_ON, 0},
        {"A raises RTS", true, SETRTS, EV_CTS, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON, 0},
        {"A drops DTR", true, CLRDTR, EV_DSR | EV_RLSD, MS_CTS_ON, 0},
        {"A drops RTS", true, CLRRTS, EV_CTS, 0, 0},
        {"A breaks", true, SETBREAK, EV_BREAK | EV_ERR, 0, CE_BREAK},
        {"A ends the break", true, CLRBREAK, EV_BREAK, 0, 0},
        {"B raises DTR", false, SETDTR, EV_DSR | EV_RLSD, MS_DSR_ON | MS_RLSD_ON, 0},
        {"B raises RTS", false, SETRTS, EV_CTS, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON, 0},
        {"B drops DTR", false, CLRDTR, EV_DSR | EV_RLSD, MS_CTS_ON, 0},
        {"B drops RTS", false, CLRRTS, EV_CTS, 0, 0},
        // The FTDI chip reports a break once, as it starts.
        {"B breaks", false, SETBREAK, EV_BREAK | EV_ERR, 0, CE_BREAK},
        {"B ends the break", false, CLRBREAK, 0, 0, 0},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        HANDLE near = s.fromA ? a_ : b_, far = s.fromA ? b_ : a_;
        // Drop what earlier steps left pending, then listen for everything.
        ASSERT_TRUE(SetCommMask(far, 0));
        ASSERT_TRUE(SetCommMask(far, kAllEvents));
        if (s.errors == 0)
            CommStatus(far);
        ASSERT_TRUE(EscapeCommFunction(near, s.function));
        if (s.events != 0) {
            const DWORD got = CollectEvents(far, s.events);
            EXPECT_EQ(got & s.events, s.events) << std::hex << got;
            EXPECT_EQ(got & (EV_RING | EV_RXCHAR), 0u) << std::hex << got;
        }
        DWORD modem = 0;
        EXPECT_TRUE(Eventually([&] {
            GetCommModemStatus(far, &modem);
            return modem == s.modem;
        })) << std::hex
            << modem;
        if (s.errors != 0) {
            DWORD errors = 0;
            EXPECT_TRUE(Eventually([&] {
                errors |= CommStatus(far).errors;
                return (errors & s.errors) == s.errors;
            }));
        }
    }
}

}  // namespace
}  // namespace linestest
