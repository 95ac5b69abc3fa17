// What the `lsusb -v` reader refuses, and the FTDI rate table that probe
// prints, checked against the chip model's own decoding. What the first
// attach makes of the real dumps in tests/fixtures/lsusb (every descriptor
// the reader rebuilds) is docs/driver.md's table, which tool_driver_doc
// checks.
#include "lsusb.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "platform.h"
#include "sim/ftdi_model.h"
#include "sim/serial_line.h"

namespace {

using serlynx::LsusbDevice;
using serlynx::ParseLsusb;

TEST(ToolLsusb, ErrorsNameTheLine) {
    std::ifstream file(SERLYNX_LSUSB_FIXTURES "/01-ft232r-0403-6001.txt");
    const std::string dump{std::istreambuf_iterator<char>(file), {}};
    LsusbDevice d;
    std::string error;
    ASSERT_TRUE(ParseLsusb(dump, &d, &error)) << error;
    auto replace = [&dump](const std::string& from, const std::string& to) {
        std::string t = dump;
        return t.replace(t.find(from), from.size(), to);
    };
    const std::string cut = dump.substr(0, dump.rfind("      Endpoint"));
    const struct {
        std::string text;
        const char* expected;
    } cases[] = {
        {replace("0x0403 Future", "0xzz Future"), "line 10: idVendor: \"0xzz\" is not a number"},
        {replace("Class       255", "Class       256"),
         "line 34: bInterfaceClass: 256 does not fit in a byte"},
        {cut, "line 28: interface 0 declares 2 endpoints but 1 are listed"},
        {replace("    Interface Descriptor:\n", ""), "line 37: an endpoint outside any"},
        {"hello\nworld\n", "line 2: no \"Device Descriptor:\" line"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(ParseLsusb(c.text, &d, &error)) << c.expected;
        EXPECT_NE(error.find(c.expected), std::string::npos) << c.expected << ": " << error;
    }
}

// The rate table probe prints must agree with what the chip model makes of
// the divisor the driver would send.
TEST(ToolFtdiRates, AgreeWithTheChipModel) {
    for (DWORD usbMode : {0x203u, 0x303u, 0x3u}) {
        sim::FtdiModelConfig config = (usbMode & 0x200) ? sim::FtdiModelConfig::FullSpeed()
                                                        : sim::FtdiModelConfig::HeaderFramed();
        if (usbMode & 0x100)
            config.baseClock = 750000;
        sim::FtdiModel chip(config, std::make_shared<sim::LoopbackPlug>());
        for (const serlynx::RateFit& fit : serlynx::FtdiRateFits(usbMode)) {
            USB_DEVICE_REQUEST setup{0x40, 0x03, fit.wValue, 0, 0};
            cehost::Bytes in;
            ASSERT_EQ(chip.Control(setup, {}, in), cehost::UsbHandshake::kAck) << fit.requested;
            EXPECT_EQ(chip.State().baud, fit.actual) << usbMode << " " << fit.requested;
            EXPECT_EQ(chip.State().baud == fit.requested, fit.exact)
                << usbMode << " " << fit.requested;
        }
    }
}

}  // namespace
