// Serial lines behind the bulk adapter: the loopback plug's wiring and a
// scripted line driven through the adapter by the host.
#include "sim/catalog.h"
#include "usb_fixture.h"

namespace {

using namespace usbtest;

// Records what a line delivers to the device side.
struct Recorder : sim::LineDevice {
    std::mutex mu;
    std::vector<uint8_t> rx;
    sim::ModemInputs inputs;
    uint32_t errors = 0;
    int breaks = 0;
    void LineReceive(const uint8_t* d, size_t n) override {
        std::lock_guard<std::mutex> g(mu);
        rx.insert(rx.end(), d, d + n);
    }
    void LineInputs(const sim::ModemInputs& in) override {
        std::lock_guard<std::mutex> g(mu);
        inputs = in;
    }
    void LineError(uint32_t e) override {
        std::lock_guard<std::mutex> g(mu);
        errors |= e;
    }
    void LineBreak(bool on) override {
        std::lock_guard<std::mutex> g(mu);
        if (on)
            breaks++;
    }
};

struct WiringCase {
    bool dtr, rts;
    sim::ModemInputs expected;
};

class SimLoopbackWiring : public ::testing::TestWithParam<WiringCase> {};

TEST_P(SimLoopbackWiring, RtsFeedsCtsAndDtrFeedsDsrAndDcd) {
    const WiringCase& k = GetParam();
    sim::LoopbackPlug plug;
    Recorder r;
    plug.Attach(&r);
    plug.SetOutputs(k.dtr, k.rts);
    EXPECT_EQ(r.inputs, k.expected);
    EXPECT_EQ(plug.Inputs(), k.expected);
    EXPECT_FALSE(r.inputs.ri);
    plug.Attach(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Lines, SimLoopbackWiring,
                         ::testing::Values(WiringCase{false, false, {false, false, false, false}},
                                           WiringCase{true, false, {false, true, false, true}},
                                           WiringCase{false, true, {true, false, false, false}},
                                           WiringCase{true, true, {true, true, false, true}}));

TEST(SimLoopbackPlug, DataAndBreakComeBackAndConfigIsKept) {
    sim::LoopbackPlug plug;
    Recorder r;
    plug.Attach(&r);
    const uint8_t bytes[] = {1, 2, 3};
    plug.Transmit(bytes, 3);
    plug.SetBreak(true);
    plug.Configure({115200, 7, 2, 2});
    EXPECT_EQ(r.rx, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(r.breaks, 1);
    EXPECT_EQ(plug.Config(), (sim::LineConfig{115200, 7, 2, 2}));
    plug.Attach(nullptr);
    plug.Transmit(bytes, 3);  // nobody plugged in: dropped
    EXPECT_EQ(r.rx.size(), 3u);
}

TEST(SimScriptedLine, FarEndDrivesInputsErrorsAndBreaks) {
    sim::ScriptedLine line;
    Recorder r;
    line.SetDsr(true);
    line.Attach(&r);  // the device learns the current inputs at once
    EXPECT_TRUE(r.inputs.dsr);
    line.SetCts(true);
    line.SetRi(true);
    line.SetDcd(true);
    EXPECT_EQ(r.inputs, (sim::ModemInputs{true, true, true, true}));
    line.InjectError(sim::kLineFraming | sim::kLineParity);
    line.InjectBreak(true);
    EXPECT_EQ(r.errors, uint32_t(sim::kLineFraming | sim::kLineParity));
    EXPECT_EQ(r.breaks, 1);
    line.SetOutputs(true, false);
    line.SetBreak(true);
    EXPECT_TRUE(line.Dtr());
    EXPECT_FALSE(line.Rts());
    EXPECT_TRUE(line.Break());
    line.Attach(nullptr);
}

TEST_F(UsbBulkDeviceTest, ScriptedLineBothWaysThroughTheAdapter) {
    auto out = Pattern(1000, 3);
    Status s = Retire(Write(out.data(), DWORD(out.size())));
    EXPECT_EQ(s.bytes, 1000u);
    EXPECT_EQ(line->TakeTransmitted(), out);
    EXPECT_EQ(model->BytesSent(), 1000u);

    auto in = Pattern(700, 9);
    line->Inject(in);
    std::vector<uint8_t> got;
    while (got.size() < in.size()) {
        uint8_t buf[256];
        Status r = Retire(Read(buf, sizeof(buf)));
        ASSERT_EQ(r.error, USB_NO_ERROR);
        got.insert(got.end(), buf, buf + r.bytes);
    }
    EXPECT_EQ(got, in);
    EXPECT_EQ(model->BytesReceived(), 700u);
}

// Every model buffers 4096 bytes by default; what comes beyond is lost and
// counted, on each chip alike.
TEST(SimReceiveFifo, FullFifoDropsAndCountsOnEveryModel) {
    for (const sim::ModelEntry& entry : sim::Models()) {
        SCOPED_TRACE(entry.name);
        auto scripted = std::make_shared<sim::ScriptedLine>();
        sim::BuiltModel built = entry.Make(scripted);
        scripted->Inject(Pattern(5000));
        EXPECT_EQ(built.pending(), 4096u);
        EXPECT_EQ(built.dropped(), 904u);
    }
}

class UsbLoopbackThroughAdapter : public PlatformTest {};

TEST_F(UsbLoopbackThroughAdapter, WhatTheHostWritesComesBack) {
    cehost::UsbBus bus;
    auto plug = std::make_shared<sim::LoopbackPlug>();
    sim::BulkModelConfig config;
    config.inPacket = config.outPacket = 512;
    auto model = std::make_shared<sim::BulkAdapterModel>(config, plug);
    auto id = bus.PlugUnclaimed(model);
    LPCUSB_FUNCS f = cehost::UsbFunctions();
    USB_HANDLE dev = bus.Handle(id);
    USB_ENDPOINT_DESCRIPTOR inD{7, 5, 0x81, 2, 512, 0}, outD{7, 5, 0x02, 2, 512, 0};
    USB_PIPE in = f->lpOpenPipe(dev, &inD), out = f->lpOpenPipe(dev, &outD);
    ASSERT_TRUE(in && out);
    Completion c;
    std::vector<uint8_t> rx(4096);
    USB_TRANSFER r = f->lpIssueBulkTransfer(
        in, Completion::Routine, &c, USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK, 4096, rx.data(), 0);
    auto data = Pattern(300);
    USB_TRANSFER w = f->lpIssueBulkTransfer(out, nullptr, nullptr, 0, 300, data.data(), 0);
    ASSERT_TRUE(r && w);
    ASSERT_TRUE(c.Wait());
    DWORD bytes = 0, error = 1;
    EXPECT_TRUE(f->lpGetTransferStatus(r, &bytes, &error));
    EXPECT_EQ(error, USB_NO_ERROR);
    EXPECT_EQ(bytes, 300u);
    rx.resize(bytes);
    EXPECT_EQ(rx, data);
    f->lpCloseTransfer(r);
    f->lpCloseTransfer(w);
    f->lpClosePipe(in);
    f->lpClosePipe(out);
}

}  // namespace
