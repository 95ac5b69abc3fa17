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
#include <tuple>

#include "platform.h"
#include "sim/ftdi_model.h"
#include "sim/serial_line.h"

namespace {

using namespace serlynx;

TEST(ToolLsusb, ErrorsNameTheLine) {
    std::ifstream file(SERLYNX_LSUSB_FIXTURES "/01-ft232r-0403-6001.txt");
    const std::string dump{std::istreambuf_iterator<char>(file), {}};
    LsusbDevice d;
    std::string error;
    ASSERT_TRUE(ParseLsusb(dump, &d, &error)) << error;
    auto replace = [&dump](const std::string& from, const std::string& to) {
        return std::string(dump).replace(dump.find(from), from.size(), to);
    };
    const std::string cut = dump.substr(0, dump.rfind("      Endpoint"));
    const std::tuple<std::string, const char*> cases[] = {
        // the text, its error
        {replace("0x0403 Future", "0xzz Future"), "line 10: idVendor: \"0xzz\" is not a number"},
        {replace("Class       255", "Class       256"),
         "line 34: bInterfaceClass: 256 does not fit in a byte"},
        {cut, "line 28: interface 0 declares 2 endpoints but 1 are listed"},
        {replace("    Interface Descriptor:\n", ""), "line 37: an endpoint outside any"},
        {"hello\nworld\n", "line 2: no \"Device Descriptor:\" line"},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_FALSE(ParseLsusb(text, &d, &error)) << expected;
        EXPECT_NE(error.find(expected), std::string::npos) << expected << ": " << error;
    }
}

// The rate table probe prints must agree with what the chip model makes of
// the divisor the driver would send.
TEST(ToolFtdiRates, AgreeWithTheChipModel) {
    for (DWORD usbMode : {0x203u, 0x303u, 0x3u}) {
        auto config = (usbMode & 0x200) ? sim::FtdiModelConfig::FullSpeed()
                                        : sim::FtdiModelConfig::HeaderFramed();
        config.baseClock = (usbMode & 0x100) ? 750000 : config.baseClock;
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
