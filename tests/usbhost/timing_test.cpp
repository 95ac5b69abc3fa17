// Timed buses keep their frame budget (rates belong to the benchmark: only
// lower bounds here) and may report completions at frame boundaries only; a
// real device is named as the user expects.

#include "cehost/usb_real.h"
#include "sim/serial_line.h"
#include "usb_fixture.h"

namespace {

using namespace usbtest;
using cehost::UsbTiming;

// At full and high speed, N frames' worth of packets take more than N - 2
// frame times (frames sit on a fixed grid, so the first may be nearly over),
// whether sent as one transfer or as one-packet transfers issued one after
// another. A controller that reports completions at frame boundaries holds
// a finished transfer until the boundary (here every 8000 frames: a second
// or more), but an abort reports it at once.
TEST_F(UsbBulkDeviceTest, TimedBusesKeepTheFrameBudgetAndReportAtBoundaries) {
    for (bool high : {false, true}) {
        SCOPED_TRACE(high);
        f->lpClosePipe(inPipe);
        f->lpClosePipe(outPipe);
        sim::BulkModelConfig config;
        config.inPacket = config.outPacket = high ? 512 : 64;
        Plug(high ? UsbTiming::kHighSpeed : UsbTiming::kFullSpeed, config);
        const size_t packet = config.outPacket, frames = high ? 80 : 20;
        auto out = Pattern(frames * (high ? 13 : 19) * packet);
        for (bool onePacket : {false, true}) {
            auto start = std::chrono::steady_clock::now();
            for (size_t at = 0; at < out.size(); at += onePacket ? packet : out.size())
                Retire(Write(out.data() + at, DWORD(onePacket ? packet : out.size())));
            EXPECT_GT(std::chrono::steady_clock::now() - start,
                      std::chrono::microseconds(high ? 125 : 1000) * (frames - 2));
            EXPECT_EQ(line->TakeTransmitted(), out);
        }
        bus->SetCompletion(cehost::UsbCompletion::kEveryFrames, 8000);
        Completion c;
        uint8_t buf[16];
        USB_TRANSFER t = Read(buf, sizeof(buf), &c);
        line->Inject({1, 2});
        Drain();
        EXPECT_FALSE(f->lpIsTransferComplete(t));
        EXPECT_TRUE(f->lpAbortTransfer(t, 0));
        EXPECT_EQ(c.calls.load(), 1);
        EXPECT_EQ(Retire(t), (Status{2, USB_NO_ERROR}));
    }
}

// A real device is picked by VID:PID, by port or by its number among equal
// ones; a selector that picks none or several says what there is.
TEST(RealUsbSelectorTest, ParsesAndPicksOrSaysWhy) {
    std::vector<cehost::RealUsbDevice> devices(3);
    for (int i = 0; i < 3; i++) {
        devices[i].port = i == 2 ? "2-1" : i ? "1-2" : "1-1";
        devices[i].vendor = i == 1 ? 0x0525 : 0x0403;
        devices[i].product = i == 1 ? 0xa4a7 : 0x6001;
    }
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
