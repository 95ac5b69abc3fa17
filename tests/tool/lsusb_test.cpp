// `lsusb -v` text rebuilt into descriptors, what the driver's first attach
// makes of the real devices in the fixtures, and the FTDI rate table that
// probe prints, checked against the chip model's own decoding.
#include "lsusb.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "cehost/regfile.h"
#include "cehost/usb_bus.h"
#include "common/platform_test.h"
#include "platform.h"
#include "sim/ftdi_model.h"
#include "sim/serial_line.h"

namespace {

using serlynx::LsusbDevice;
using serlynx::ParseLsusb;

const char kSmall[] = R"(Bus 001 Device 004: ID 1234:abcd Maker Gadget
Device Descriptor:
  bLength                18
  bcdUSB               2.00
  bDeviceClass            0
  bMaxPacketSize0        64
  idVendor           0x1234 Maker
  idProduct          0xabcd Gadget
  bcdDevice            1.10
  iManufacturer           1 Maker Inc.
  iProduct                2 Serial Gadget
  iSerial                 0
  bNumConfigurations      1
  Configuration Descriptor:
    wTotalLength       0x0020
    bNumInterfaces          1
    bConfigurationValue     1
    bmAttributes         0x80
    MaxPower              100mA
    Interface Descriptor:
      bInterfaceNumber        0
      bAlternateSetting       0
      bNumEndpoints           2
      bInterfaceClass       255 Vendor Specific Class
      bInterfaceSubClass      0
      bInterfaceProtocol      0
      iInterface              0
      ** UNRECOGNIZED:  05 24 00 10 01
      Endpoint Descriptor:
        bEndpointAddress     0x81  EP 1 IN
        bmAttributes            2
          Transfer Type            Bulk
        wMaxPacketSize     0x0200  1x 512 bytes
        bInterval               0
      Endpoint Descriptor:
        bEndpointAddress     0x02  EP 2 OUT
        bmAttributes            2
        wMaxPacketSize     0x0200  1x 512 bytes
        bInterval               0
Device Qualifier (for other device speed):
  bcdUSB               2.00
  bDeviceClass          255
Device Status:     0x0000
)";

TEST(ToolLsusb, RebuildsTheDescriptorsTheDriverReads) {
    LsusbDevice d;
    std::string error;
    ASSERT_TRUE(ParseLsusb(kSmall, &d, &error)) << error;
    // Device descriptor: ids, release, class 0 (the qualifier's 255 is not taken).
    ASSERT_EQ(d.device.size(), 18u);
    EXPECT_EQ(d.device[4], 0);
    EXPECT_EQ(d.device[8] | d.device[9] << 8, 0x1234);
    EXPECT_EQ(d.device[10] | d.device[11] << 8, 0xabcd);
    EXPECT_EQ(d.device[12] | d.device[13] << 8, 0x0110);
    EXPECT_EQ(d.device[14], 1);
    EXPECT_EQ(d.device[15], 2);
    EXPECT_EQ(d.strings.at(2), "Serial Gadget");
    EXPECT_EQ(d.strings.count(0), 0u);
    // Configuration: header, one interface, two endpoints of 512 bytes.
    ASSERT_EQ(d.configuration.size(), 9u + 9u + 7u + 7u);
    EXPECT_EQ(d.configuration[2] | d.configuration[3] << 8, 32);
    EXPECT_EQ(d.configuration[4], 1);
    EXPECT_EQ(d.configuration[9 + 4], 2);    // bNumEndpoints
    EXPECT_EQ(d.configuration[9 + 5], 255);  // class
    EXPECT_EQ(d.configuration[18 + 2], 0x81);
    EXPECT_EQ(d.configuration[18 + 4] | d.configuration[18 + 5] << 8, 512);
    EXPECT_EQ(d.configuration[25 + 2], 0x02);
}

TEST(ToolLsusb, ErrorsNameTheLine) {
    const std::string text = kSmall;
    auto replace = [&](const std::string& from, const std::string& to) {
        std::string t = text;
        size_t at = t.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return t.replace(at, from.size(), to);
    };
    const struct {
        const char* name;
        std::string text;
        const char* expected;
    } cases[] = {
        {"hex digits missing", replace("0x1234 Maker", "0xzz Maker"),
         "line 7: idVendor: \"0xzz\" is not a number"},
        {"word instead of number", replace("bNumEndpoints           2", "bNumEndpoints   two"),
         "line 23: bNumEndpoints: \"two\" is not a number"},
        {"value too large",
         replace("bInterval               0\n      Endpoint",
                 "bInterval          70000\n      Endpoint"),
         "line 34: bInterval"},
        {"cut short",
         text.substr(0, text.find("      Endpoint Descriptor:\n        bEndpointAddress     0x02")),
         "line 20: interface 0 declares 2 endpoints but 1 are listed"},
        {"more endpoints than declared",
         replace("bNumEndpoints           2", "bNumEndpoints           1"),
         "line 20: interface 0 declares 1 endpoints but 2 are listed"},
        {"byte field too large", replace("bInterfaceClass       255", "bInterfaceClass       256"),
         "line 24: bInterfaceClass: 256 does not fit in a byte"},
        {"endpoint outside an interface",
         "Device Descriptor:\n  idVendor 0x1\n  idProduct 0x2\n  Configuration Descriptor:\n"
         "    Endpoint Descriptor:\n",
         "line 5: an endpoint outside any"},
        {"no product id", replace("  idProduct          0xabcd Gadget\n", ""),
         "line 2: the device descriptor has no idProduct"},
        {"not lsusb at all", "hello\nworld\n", "line 2: no \"Device Descriptor:\" line"},
        {"empty", "", "line 1: no \"Device Descriptor:\" line"},
    };
    for (const auto& c : cases) {
        LsusbDevice d;
        std::string error;
        EXPECT_FALSE(ParseLsusb(c.text, &d, &error)) << c.name;
        EXPECT_NE(error.find(c.expected), std::string::npos) << c.name << ": " << error;
    }
}

// Real devices: the device key the first attach writes for each fixture.
// Expected values worked out by hand from the descriptors.
struct FixtureCase {
    const char* file;
    DWORD classEndp, receiveEndp, sendEndp, usbMode;
    const char* suffix;  // of the friendly name
};

const FixtureCase kFixtures[] = {
    {"01-ft232r-0403-6001.txt", 0, 0x81, 0x02, 0x203, ",ftdi"},
    {"02-ft2232h-pipistrello-0403-6010.txt", 0, 0x81, 0x02, 0x203, ",ftdi"},
    {"03-ftx-0403-6015.txt", 0, 0x81, 0x02, 0x203, ",ftdi"},
    {"04-pl2303-067b-2303.txt", 0x81, 0x83, 0x02, 0x101, ",pl2303"},
    {"05-pl2303-variant-067b-2303.txt", 0x82, 0x81, 0x01, 1, ",cdc"},
    {"06-ch340-1a86-7523.txt", 0x81, 0x82, 0x02, 1, ",cdc"},
    {"07-cp2102-10c4-ea60.txt", 0, 0x81, 0x01, 0, ",basic"},
    {"08-stm32-vcp-0483-5740.txt", 0x82, 0x81, 0x01, 1, ",cdc"},
    {"09-arduino-uno-2341-0043.txt", 0x82, 0x83, 0x04, 1, ",cdc"},
    {"10-rpi-pico-2e8a-000a.txt", 0x81, 0x82, 0x02, 1, ",cdc"},
    // Two ACM functions: the first is the primary channel, the second the
    // second channel.
    {"11-blackmagic-probe-1d50-6018.txt", 0x82, 0x8381, 0x0301, 2, ",wmc"},
    // Data pairs in alternate settings are not seen.
    {"12-nokia515-phone-0421-06d3.txt", 0x82, 0x8683, 0x0603, 2, ",wmc"},
    {"13-cinterion-plsx3-modem-1e2d-0069.txt", 0x81, 0x8482, 0x0201, 2, ",wmc"},
    {"14-pololu-maestro-1ffb-0089.txt", 0x81, 0x8482, 0x0402, 2, ",wmc"},
};

class ToolLsusbFixtures : public PlatformTest {};

TEST_F(ToolLsusbFixtures, FirstAttachOfEveryRealDevice) {
    const std::filesystem::path dir = SERLYNX_LSUSB_FIXTURES;
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() == ".txt")
            files.insert(entry.path().filename().string());
    }
    cehost::UsbBus bus;
    bus.SetLogging(false);
    for (const FixtureCase& c : kFixtures) {
        SCOPED_TRACE(c.file);
        EXPECT_EQ(files.erase(c.file), 1u) << "no such fixture";
        std::ifstream in(dir / c.file);
        std::stringstream text;
        text << in.rdbuf();
        LsusbDevice d;
        std::string error;
        ASSERT_TRUE(ParseLsusb(text.str(), &d, &error)) << error;
        serlynx::DeviceKey key;
        ASSERT_TRUE(
            serlynx::ProbeModel(bus, std::make_shared<serlynx::LsusbModel>(d), &key, &error))
            << error;
        EXPECT_EQ(key.classEndpoint, c.classEndp);
        EXPECT_EQ(key.receiveEndpoint, c.receiveEndp);
        EXPECT_EQ(key.sendEndpoint, c.sendEndp);
        EXPECT_EQ(key.usbMode, c.usbMode);
        EXPECT_TRUE(key.friendlyName.ends_with(c.suffix)) << key.friendlyName;
    }
    EXPECT_TRUE(files.empty()) << "a fixture without a row: " << *files.begin();
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
            ASSERT_EQ(chip.Control(setup, {}, in), cehost::UsbHandshake::kAck)
                << usbMode << " " << fit.requested;
            EXPECT_EQ(chip.State().baud, fit.actual)
                << "UsbMode " << usbMode << " rate " << fit.requested;
            if (fit.exact) {
                EXPECT_EQ(chip.State().baud, fit.requested);
            }
        }
    }
    // Spot values: 38400 is 78.125 divisor steps, 115200 is not a whole number of eighths.
    auto fits = serlynx::FtdiRateFits(0x203);
    auto find = [&](uint32_t rate) {
        for (auto& f : fits) {
            if (f.requested == rate)
                return f;
        }
        return serlynx::RateFit{};
    };
    EXPECT_TRUE(find(38400).exact);
    EXPECT_EQ(find(38400).wValue, 0xC04E);
    EXPECT_FALSE(find(115200).exact);
    EXPECT_EQ(find(115200).wValue, 0x001A);
    EXPECT_EQ(find(3000000).actual, 3000000u);
    EXPECT_EQ(find(2000000).wValue, 0x0001);
}

}  // namespace
