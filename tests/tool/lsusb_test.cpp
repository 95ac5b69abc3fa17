// `lsusb -v` text rebuilt into descriptors, and the FTDI rate table that
// probe prints, checked against the chip model's own decoding. What the
// first attach makes of the real dumps in tests/fixtures/lsusb is
// docs/driver.md's table, which tool_driver_doc checks.
#include "lsusb.h"

#include <gtest/gtest.h>

#include <string>

#include "platform.h"
#include "sim/ftdi_model.h"
#include "sim/serial_line.h"

namespace {

using serlynx::LsusbDevice;
using serlynx::ParseLsusb;
namespace usbdesc = cehost::usbdesc;

// Lines the reader skips (an unknown descriptor, the qualifier's class)
// stand among the ones it takes.
const char kSmall[] = R"(Bus 001 Device 004: ID 1234:abcd Maker Gadget
Device Descriptor:
  bcdUSB               2.00
  idVendor           0x1234 Maker
  idProduct          0xabcd Gadget
  bcdDevice            1.10
  iProduct                2 Serial Gadget
  Configuration Descriptor:
    MaxPower              100mA
    Interface Descriptor:
      bNumEndpoints           2
      bInterfaceClass       255 Vendor Specific Class
      ** UNRECOGNIZED:  05 24 00 10 01
      Endpoint Descriptor:
        bEndpointAddress     0x81  EP 1 IN
        bmAttributes            2
        wMaxPacketSize     0x0200  1x 512 bytes
        bInterval               0
      Endpoint Descriptor:
        bEndpointAddress     0x02  EP 2 OUT
        bmAttributes            3
        wMaxPacketSize     0x0010  1x 16 bytes
Device Qualifier (for other device speed):
  bDeviceClass          255
)";

TEST(ToolLsusb, RebuildsTheDescriptorsTheDriverReads) {
    LsusbDevice d;
    std::string error;
    ASSERT_TRUE(ParseLsusb(kSmall, &d, &error)) << error;
    EXPECT_EQ(d.device, usbdesc::Device(0x200, 0, 0, 0, 64, 0x1234, 0xabcd, 0x110, 0, 2, 0));
    cehost::Bytes body;
    usbdesc::AppendInterface(body, 0, 0, 2, 255, 0, 0);
    usbdesc::AppendEndpoint(body, 0x81, 2, 512, 0);
    usbdesc::AppendEndpoint(body, 0x02, 3, 16, 0);
    EXPECT_EQ(d.configuration, usbdesc::Configuration(1, 1, body, 0x80, 50));
    EXPECT_EQ(d.strings, (std::map<uint8_t, std::string>{{2, "Serial Gadget"}}));
}

TEST(ToolLsusb, ErrorsNameTheLine) {
    auto replace = [](const std::string& from, const std::string& to) {
        std::string t = kSmall;
        return t.replace(t.find(from), from.size(), to);
    };
    const std::string cut = std::string(kSmall).substr(0, std::string(kSmall).rfind("      End"));
    const struct {
        std::string text;
        const char* expected;
    } cases[] = {
        {replace("0x1234", "0xzz"), "line 4: idVendor: \"0xzz\" is not a number"},
        {replace("2\n      bInterfaceClass", "two\n      bInterfaceClass"),
         "line 11: bNumEndpoints: \"two\" is not a number"},
        {replace("bInterval               0", "bInterval           70000"), "line 18: bInterval"},
        {replace("Class       255", "Class       256"),
         "line 12: bInterfaceClass: 256 does not fit in a byte"},
        {cut, "line 10: interface 0 declares 2 endpoints but 1 are listed"},
        {replace("bNumEndpoints           2", "bNumEndpoints           1"),
         "line 10: interface 0 declares 1 endpoints but 2 are listed"},
        {"Device Descriptor:\n  idVendor 0x1\n  idProduct 0x2\n  Configuration Descriptor:\n"
         "    Endpoint Descriptor:\n",
         "line 5: an endpoint outside any"},
        {replace("  idProduct          0xabcd Gadget\n", ""),
         "line 2: the device descriptor has no idProduct"},
        {"hello\nworld\n", "line 2: no \"Device Descriptor:\" line"},
        {"", "line 1: no \"Device Descriptor:\" line"},
    };
    for (const auto& c : cases) {
        LsusbDevice d;
        std::string error;
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
