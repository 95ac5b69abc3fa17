// Timed buses move the same data as the untimed one (rates belong to the
// benchmark; here only correctness, with generous waits), interrupt
// endpoints are polled, and several buses run side by side.
#include "usb_fixture.h"

namespace {

using namespace usbtest;
using cehost::UsbTiming;

class UsbTimedBus : public UsbBulkDeviceTest, public ::testing::WithParamInterface<UsbTiming> {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        sim::BulkModelConfig config;
        if (GetParam() == UsbTiming::kHighSpeed)
            config.inPacket = config.outPacket = 512;
        Plug(GetParam(), config);
    }
};

TEST_P(UsbTimedBus, BulkDataArrivesWholeInBothDirections) {
    auto out = Pattern(3000);
    Status s = Retire(Write(out.data(), 3000));
    EXPECT_EQ(s.bytes, 3000u);
    EXPECT_EQ(line->TakeTransmitted(), out);
    auto in = Pattern(2000, 5);
    line->Inject(in);
    std::vector<uint8_t> got;
    while (got.size() < in.size()) {
        std::vector<uint8_t> buf(1024);
        Status r = Retire(Read(buf.data(), 1024));
        ASSERT_EQ(r.error, USB_NO_ERROR);
        got.insert(got.end(), buf.begin(), buf.begin() + r.bytes);
    }
    EXPECT_EQ(got, in);
}

INSTANTIATE_TEST_SUITE_P(Modes, UsbTimedBus,
                         ::testing::Values(UsbTiming::kUntimed, UsbTiming::kFullSpeed,
                                           UsbTiming::kHighSpeed));

// A timed bus never moves more than its per-frame budget, whether the
// packets come as one long transfer or as one-packet transfers issued one
// after another (each submitted after the previous completed, when the bus
// may have gone idle in between). Frames sit on a fixed grid, so the first
// one may be nearly over when the work starts: N frames' worth of packets
// take more than N - 2 frame times. (A lower bound only: a slow machine
// makes it longer, never shorter.)
struct BudgetCase {
    UsbTiming timing;
    bool onePacketTransfers;
};

class UsbFrameBudget : public UsbBulkDeviceTest, public ::testing::WithParamInterface<BudgetCase> {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        sim::BulkModelConfig config;
        if (GetParam().timing == UsbTiming::kHighSpeed)
            config.inPacket = config.outPacket = 512;
        Plug(GetParam().timing, config);
    }
};

TEST_P(UsbFrameBudget, BulkBudgetPerFrameBoundsTheRate) {
    const bool high = GetParam().timing == UsbTiming::kHighSpeed;
    const size_t packet = high ? 512 : 64;
    const size_t frames = high ? 80 : 20;
    const size_t perFrame = high ? 13 : 19;
    const auto frameTime = std::chrono::microseconds(high ? 125 : 1000);
    auto out = Pattern(frames * perFrame * packet);
    auto start = std::chrono::steady_clock::now();
    if (GetParam().onePacketTransfers) {
        for (size_t at = 0; at < out.size(); at += packet) {
            Status s = Retire(Write(out.data() + at, DWORD(packet)));
            ASSERT_EQ(s.bytes, packet);
        }
    } else {
        Status s = Retire(Write(out.data(), DWORD(out.size())));
        EXPECT_EQ(s.bytes, out.size());
    }
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(line->TakeTransmitted(), out);
    EXPECT_GT(elapsed, frameTime * (frames - 2));
}

INSTANTIATE_TEST_SUITE_P(
    Timed, UsbFrameBudget,
    ::testing::Values(BudgetCase{UsbTiming::kFullSpeed, false},
                      BudgetCase{UsbTiming::kFullSpeed, true},
                      BudgetCase{UsbTiming::kHighSpeed, false},
                      BudgetCase{UsbTiming::kHighSpeed, true}),
    [](const ::testing::TestParamInfo<BudgetCase>& info) {
        return std::string(info.param.timing == UsbTiming::kHighSpeed ? "HighSpeed" : "FullSpeed") +
               (info.param.onePacketTransfers ? "OnePacketTransfers" : "OneTransfer");
    });

// An interrupt-IN endpoint with one report ready at a time.
class InterruptModel : public cehost::UsbDeviceModel {
  public:
    cehost::Bytes DeviceDescriptor() override {
        return cehost::usbdesc::Device(0x0110, 0, 0, 0, 8, 0x1209, 0x0007, 1, 0, 0, 0);
    }
    cehost::Bytes ConfigurationDescriptor(uint8_t index) override {
        if (index)
            return {};
        cehost::Bytes b;
        cehost::usbdesc::AppendInterface(b, 0, 0, 1, 3, 0, 0);
        cehost::usbdesc::AppendEndpoint(b, 0x83, USB_ENDPOINT_TYPE_INTERRUPT, 8, 4);
        return cehost::usbdesc::Configuration(1, 1, b);
    }
    cehost::UsbHandshake In(uint8_t ep, size_t, cehost::Bytes& packet) override {
        if (ep != 0x83)
            return cehost::UsbHandshake::kStall;
        std::lock_guard<std::mutex> g(mu);
        if (reports == 0)
            return cehost::UsbHandshake::kNak;
        reports--;
        polled++;
        packet = {0xA1, 0x20, uint8_t(polled)};
        return cehost::UsbHandshake::kAck;
    }
    void Report() {
        {
            std::lock_guard<std::mutex> g(mu);
            reports++;
        }
        Wake();
    }
    std::mutex mu;
    int reports = 0;
    int polled = 0;
};

class UsbInterruptPolling : public PlatformTest, public ::testing::WithParamInterface<UsbTiming> {};

TEST_P(UsbInterruptPolling, ReportsArriveOnInterruptTransfers) {
    cehost::UsbBus bus(GetParam());
    auto model = std::make_shared<InterruptModel>();
    auto id = bus.PlugUnclaimed(model);
    LPCUSB_FUNCS f = cehost::UsbFunctions();
    USB_ENDPOINT_DESCRIPTOR d{7, 5, 0x83, 3, 8, 4};
    USB_PIPE pipe = f->lpOpenPipe(bus.Handle(id), &d);
    ASSERT_NE(pipe, nullptr);
    for (int i = 1; i <= 3; i++) {
        Completion c;
        uint8_t buf[8] = {};
        USB_TRANSFER t = f->lpIssueInterruptTransfer(
            pipe, Completion::Routine, &c, USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK, 8, buf, 0);
        ASSERT_NE(t, nullptr);
        model->Report();
        ASSERT_TRUE(c.Wait());
        DWORD bytes = 0, error = 1;
        EXPECT_TRUE(f->lpGetTransferStatus(t, &bytes, &error));
        EXPECT_EQ(bytes, 3u);
        EXPECT_EQ(buf[2], i);
        EXPECT_TRUE(f->lpCloseTransfer(t));
    }
    // A bulk call on an interrupt pipe is refused.
    uint8_t b[8];
    EXPECT_EQ(f->lpIssueBulkTransfer(pipe, nullptr, nullptr, USB_IN_TRANSFER, 8, b, 0), nullptr);
    EXPECT_TRUE(f->lpClosePipe(pipe));
}

INSTANTIATE_TEST_SUITE_P(Modes, UsbInterruptPolling,
                         ::testing::Values(UsbTiming::kUntimed, UsbTiming::kFullSpeed,
                                           UsbTiming::kHighSpeed));

TEST_F(UsbBulkDeviceTest, SeveralBusesRunSideBySide) {
    cehost::UsbBus other(UsbTiming::kFullSpeed);
    auto line2 = std::make_shared<sim::ScriptedLine>();
    auto model2 = std::make_shared<sim::BulkAdapterModel>(sim::BulkModelConfig{}, line2);
    auto id2 = other.PlugUnclaimed(model2);
    ASSERT_NE(id2, 0u);
    EXPECT_NE(other.Number(), bus->Number());
    USB_ENDPOINT_DESCRIPTOR outD{7, 5, 0x02, 2, 64, 0};
    USB_PIPE out2 = f->lpOpenPipe(other.Handle(id2), &outD);
    ASSERT_NE(out2, nullptr);
    USB_TRANSFER t2 = f->lpIssueBulkTransfer(out2, nullptr, nullptr, 0, 2, (void*)"B2", 0);
    Status s1 = Retire(Write("B1", 2));
    EXPECT_EQ(s1.bytes, 2u);
    ASSERT_NE(t2, nullptr);
    EXPECT_TRUE(f->lpCloseTransfer(t2));
    EXPECT_EQ(line->TakeTransmitted(), (std::vector<uint8_t>{'B', '1'}));
    EXPECT_EQ(line2->TakeTransmitted(), (std::vector<uint8_t>{'B', '2'}));
    EXPECT_TRUE(f->lpClosePipe(out2));
    for (auto& e : other.Log())
        EXPECT_EQ(e.bus, other.Number());
}

}  // namespace

namespace {

// A controller that reports completions at frame boundaries holds a
// finished transfer until the boundary (here every 1000 frames: a second),
// but an abort reports it at once.
TEST_F(UsbBulkDeviceTest, CompletionsWaitForTheReportBoundary) {
    f->lpClosePipe(inPipe);
    f->lpClosePipe(outPipe);
    Plug(UsbTiming::kFullSpeed);
    bus->SetCompletion(cehost::UsbCompletion::kEveryFrames, 1000);
    Completion c;
    uint8_t buf[16];
    USB_TRANSFER t = Read(buf, sizeof(buf), &c);
    ASSERT_NE(t, nullptr);
    line->Inject({1, 2});
    for (int i = 0; i < 500 && model->Pending(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(f->lpIsTransferComplete(t));
    EXPECT_EQ(c.Calls(), 0);
    EXPECT_TRUE(f->lpAbortTransfer(t, 0));
    EXPECT_EQ(c.Calls(), 1);
    Status s = Retire(t);
    EXPECT_EQ(s.bytes, 2u);
    EXPECT_EQ(s.error, USB_NO_ERROR);
}

}  // namespace
