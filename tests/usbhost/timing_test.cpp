// Timed buses move the same data as the untimed one within their frame
// budget (rates belong to the benchmark: only lower bounds here), interrupt
// endpoints are polled, the traffic log reads back as a usbmon capture, and
// a real device is named as the user expects.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "cehost/usb_real.h"
#include "sim/catalog.h"
#include "sim/serial_line.h"
#include "usb_fixture.h"

namespace {

using namespace usbtest;
using cehost::UsbTiming;

// An interrupt-IN endpoint with one report ready at a time.
class InterruptModel : public cehost::UsbDeviceModel {
  public:
    cehost::Bytes DeviceDescriptor() override {
        return cehost::usbdesc::Device(0x0110, 0, 0, 0, 8, 0x1209, 0x0007, 1, 0, 0, 0);
    }
    cehost::Bytes ConfigurationDescriptor(uint8_t index) override {
        cehost::Bytes b;
        cehost::usbdesc::AppendInterface(b, 0, 0, 1, 3, 0, 0);
        cehost::usbdesc::AppendEndpoint(b, 0x83, USB_ENDPOINT_TYPE_INTERRUPT, 8, 4);
        return index ? cehost::Bytes{} : cehost::usbdesc::Configuration(1, 1, b);
    }
    cehost::UsbHandshake In(uint8_t, size_t, cehost::Bytes& packet) override {
        std::lock_guard<std::mutex> g(mu);
        if (reports == 0)
            return cehost::UsbHandshake::kNak;
        reports--;
        packet = {0xA1, 0x20, uint8_t(++polled)};
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
    int reports = 0, polled = 0;
};

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

// Whole data both ways; N frames' worth of packets take more than N - 2
// frame times (frames sit on a fixed grid, so the first may be nearly over),
// whether sent as one transfer or as one-packet transfers issued one after
// another; interrupt reports arrive on interrupt transfers.
TEST_P(UsbTimedBus, DataArrivesWholeWithinTheFrameBudget) {
    auto in = Pattern(2000, 5);
    line->Inject(in);
    EXPECT_EQ(ReadAll(in.size(), 1024), in);
    const bool high = GetParam() == UsbTiming::kHighSpeed;
    const size_t packet = high ? 512 : 64, frames = high ? 80 : 20;
    const auto frameTime = std::chrono::microseconds(high ? 125 : 1000);
    auto out = Pattern(frames * (high ? 13 : 19) * packet);
    for (bool onePacket : {false, true}) {
        auto start = std::chrono::steady_clock::now();
        for (size_t at = 0; at < out.size(); at += onePacket ? packet : out.size())
            Retire(Write(out.data() + at, DWORD(onePacket ? packet : out.size())));
        if (GetParam() != UsbTiming::kUntimed) {
            EXPECT_GT(std::chrono::steady_clock::now() - start, frameTime * (frames - 2));
        }
        EXPECT_EQ(line->TakeTransmitted(), out);
    }
    cehost::UsbBus bus2(GetParam());
    auto irq = std::make_shared<InterruptModel>();
    USB_ENDPOINT_DESCRIPTOR d{7, 5, 0x83, 3, 8, 4};
    USB_PIPE pipe = f->lpOpenPipe(bus2.Handle(bus2.PlugUnclaimed(irq)), &d);
    for (int i = 1; i <= 2; i++) {
        Completion c;
        uint8_t buf[8] = {};
        USB_TRANSFER t = f->lpIssueInterruptTransfer(
            pipe, Completion::Routine, &c, USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK, 8, buf, 0);
        irq->Report();
        ASSERT_TRUE(c.Wait());
        EXPECT_EQ(Retire(t).bytes, 3u);
        EXPECT_EQ(buf[2], i);
    }
    EXPECT_EQ(f->lpIssueBulkTransfer(pipe, nullptr, nullptr, USB_IN_TRANSFER, 8, &d, 0), nullptr)
        << "a bulk call on an interrupt pipe";
    EXPECT_TRUE(f->lpClosePipe(pipe));
}

INSTANTIATE_TEST_SUITE_P(Modes, UsbTimedBus,
                         ::testing::Values(UsbTiming::kUntimed, UsbTiming::kFullSpeed,
                                           UsbTiming::kHighSpeed));

std::vector<std::string> Tshark(const std::string& path, const std::string& fields,
                                const std::string& filter) {
    FILE* p = popen(
        ("tshark -r '" + path + "' -T fields -e " + fields + " -Y '" + filter + "' 2>/dev/null")
            .c_str(),
        "r");
    std::string text;
    char buf[4096];
    for (size_t n; p && (n = fread(buf, 1, sizeof buf, p)) > 0;)
        text.append(buf, n);
    if (p)
        pclose(p);
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (!l.empty())
            lines.push_back(l);
    return lines;
}

// tshark decodes the capture: the enumeration at its head (kept when the
// log is cleared) names the device, payloads are captured data, a stall
// completes with -EPIPE and a zero-length packet is a packet.
TEST_F(UsbBulkDeviceTest, CaptureReadsBackInTshark) {
    // tshark is part of the test setup; without it this must fail, not skip.
    ASSERT_EQ(system("command -v tshark >/dev/null 2>&1"), 0) << "tshark is not installed";
    bus->ClearLog();
    EXPECT_EQ(Retire(Write("hi", 2)).bytes, 2u);
    bus->Stall(id, 0x02);
    EXPECT_EQ(Retire(Write("x", 1)).error, USB_STALL_ERROR);
    bus->ClearFaults(id);
    Retire(f->lpClearFeature(dev, nullptr, nullptr, USB_SEND_TO_ENDPOINT, USB_FEATURE_ENDPOINT_HALT,
                             0x02));
    EXPECT_EQ(Retire(Write(nullptr, 0)).error, USB_NO_ERROR);
    const std::string path = ::testing::TempDir() + "usbhost_" + std::to_string(getpid()) + ".pcap";
    ASSERT_TRUE(bus->WritePcap(path));
    EXPECT_EQ(Tshark(path, "usb.idVendor -e usb.idProduct", "usb.idVendor"),
              std::vector<std::string>{"0x1209\t0x5e01"});
    EXPECT_EQ(Tshark(path, "usb.urb_type -e usb.urb_status -e usb.urb_len -e usb.capdata",
                     "usb.endpoint_address == 0x02"),
              (std::vector<std::string>{"'S'\t-115\t2\t6869", "'C'\t0\t2\t", "'S'\t-115\t1\t78",
                                        "'C'\t-32\t0\t", "'S'\t-115\t0\t", "'C'\t0\t0\t"}));
    std::remove(path.c_str());
}

// The loopback plug wires RTS to CTS and DTR to DSR and DCD.
TEST(SimLoopbackPlug, WiresOutputsBackToInputs) {
    sim::LoopbackPlug plug;
    for (bool dtr : {false, true})
        for (bool rts : {false, true}) {
            plug.SetOutputs(dtr, rts);
            EXPECT_EQ(plug.Inputs(), (sim::ModemInputs{rts, dtr, false, dtr}));
        }
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

TEST(RealUsbSelectorTest, ParsesAndPicksOrSaysWhy) {
    auto dev = [](const char* port, uint16_t vendor, uint16_t product) {
        cehost::RealUsbDevice d;
        d.port = port;
        d.vendor = vendor;
        d.product = product;
        return d;
    };
    const std::vector<cehost::RealUsbDevice> devices = {
        dev("1-1", 0x0403, 0x6001), dev("1-2", 0x0525, 0xa4a7), dev("2-1", 0x0403, 0x6001)};
    const struct {
        const char* text;
        int want;  // -2: not a selector
        const char* says;
    } cases[] = {
        {"0525:a4a7", 1, ""},
        {"403:6001@2-1", 2, ""},
        {"0403:6001#2", 2, ""},
        {"0403:6001", -1, "pick one with 0403:6001@PORT or 0403:6001#N"},
        {"0403:6001#3", -1, "only 2"},
        {"0403:6001@1-2", -1, "no USB device 0403:6001 on port 1-2"},
        {"0403:6010", -1, "0525:a4a7 at 1-2"},
        {"0403", -2, "VID:PID"},
        {"0403:60011", -2, "VID:PID"},
        {"0403:6001@2", -2, "VID:PID"},
        {"0403:6001@1-2.", -2, "VID:PID"},
        {"0403:6001#0", -2, "VID:PID"},
    };
    for (const auto& c : cases) {
        cehost::RealUsbSelector s;
        std::string error;
        const bool parsed = cehost::ParseRealUsbSelector(c.text, &s, &error);
        EXPECT_EQ(parsed, c.want != -2) << c.text;
        if (parsed) {
            EXPECT_EQ(cehost::SelectRealUsbDevice(devices, s, &error), c.want) << c.text;
        }
        EXPECT_NE(error.find(c.says), std::string::npos) << c.text << ": " << error;
    }
}

}  // namespace
