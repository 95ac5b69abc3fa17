// The parts of the bus of real devices that need no device: naming one,
// reading sysfs, the outcome of a transfer, what the user is told.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "cehost/usb_bus.h"
#include "cehost/usb_real.h"
#include "common/platform_test.h"

namespace {

using cehost::RealTransferEnd;
using cehost::RealUsbDevice;
using cehost::RealUsbSelector;

struct SelectorCase {
    const char* text;
    bool ok;
    uint16_t vendor, product;
    const char* port;
    int index;
};

TEST(RealUsbSelectorTest, ParsesIdsPortAndIndex) {
    const SelectorCase cases[] = {
        {"0403:6001", true, 0x0403, 0x6001, "", 0},
        {"0403:6001@1-2.3", true, 0x0403, 0x6001, "1-2.3", 0},
        {"1d6b:0104#2", true, 0x1d6b, 0x0104, "", 2},
        {"403:6001", true, 0x0403, 0x6001, "", 0},
        {"0403", false, 0, 0, "", 0},
        {"0403:60011", false, 0, 0, "", 0},
        {"0403:xyz", false, 0, 0, "", 0},
        {"0403:6001@2", false, 0, 0, "", 0},     // a bus without a port
        {"0403:6001@1-2.", false, 0, 0, "", 0},  // a port without its number
        {"0403:6001#0", false, 0, 0, "", 0},
        {"0403:6001#x", false, 0, 0, "", 0},
    };
    for (const SelectorCase& c : cases) {
        RealUsbSelector s;
        std::string error;
        ASSERT_EQ(cehost::ParseRealUsbSelector(c.text, &s, &error), c.ok) << c.text;
        if (!c.ok) {
            EXPECT_NE(error.find("VID:PID"), std::string::npos) << error;
            continue;
        }
        EXPECT_EQ(s.vendor, c.vendor) << c.text;
        EXPECT_EQ(s.product, c.product) << c.text;
        EXPECT_EQ(s.port, c.port) << c.text;
        EXPECT_EQ(s.index, c.index) << c.text;
    }
}

RealUsbDevice Dev(const char* port, uint16_t vendor, uint16_t product) {
    RealUsbDevice d;
    d.port = port;
    d.vendor = vendor;
    d.product = product;
    d.node = std::string("/dev/bus/usb/001/") + port;
    return d;
}

TEST(RealUsbSelectorTest, PicksOneOfSeveralOrSaysWhy) {
    const std::vector<RealUsbDevice> devices = {
        Dev("1-1", 0x0403, 0x6001), Dev("1-2", 0x0525, 0xa4a7), Dev("2-1", 0x0403, 0x6001)};
    struct Case {
        const char* text;
        int want;
        const char* says;
    } cases[] = {
        {"0525:a4a7", 1, ""},
        {"0403:6001@2-1", 2, ""},
        {"0403:6001#1", 0, ""},
        {"0403:6001#2", 2, ""},
        {"0403:6001", -1, "pick one with 0403:6001@PORT or 0403:6001#N"},
        {"0403:6001#3", -1, "only 2"},
        {"0403:6001@1-2", -1, "no USB device 0403:6001 on port 1-2"},
        {"0403:6010", -1, "0525:a4a7 at 1-2"},  // lists what is there
    };
    for (const Case& c : cases) {
        RealUsbSelector s;
        std::string error;
        ASSERT_TRUE(cehost::ParseRealUsbSelector(c.text, &s, &error));
        EXPECT_EQ(cehost::SelectRealUsbDevice(devices, s, &error), c.want) << c.text;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.text << ": " << error;
    }
}

// A sysfs tree as the kernel lays it out, in a temporary directory.
class FakeSysfs : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = std::filesystem::temp_directory_path() /
                ("real_usb_sysfs_" + std::to_string(::getpid()));
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_);
    }
    void TearDown() override { std::filesystem::remove_all(root_); }
    void File(const std::string& path, const std::string& text) {
        std::filesystem::create_directories((root_ / path).parent_path());
        std::ofstream(root_ / path, std::ios::binary) << text;
    }
    void Device(const std::string& name, const char* vid, const char* pid, int bus, int dev) {
        File(name + "/idVendor", std::string(vid) + "\n");
        File(name + "/idProduct", std::string(pid) + "\n");
        File(name + "/busnum", std::to_string(bus) + "\n");
        File(name + "/devnum", std::to_string(dev) + "\n");
    }
    std::filesystem::path root_;
};

TEST_F(FakeSysfs, ListsDevicesInPortOrderWithTheirDrivers) {
    Device("usb1", "1d6b", "0001", 1, 1);  // a root hub: left out
    Device("1-2.10", "0403", "6001", 1, 7);
    Device("1-2.9", "0525", "a4a7", 1, 5);
    File("1-2.9/product", "Gadget Serial\n");
    File("1-2.9/1-2.9:1.0/x", "");
    File("1-2.9/1-2.9:1.1/x", "");
    std::filesystem::create_directory_symlink("../../../bus/usb/drivers/cdc_acm",
                                              root_ / "1-2.9/1-2.9:1.0/driver");
    File("1-2.9:1.0/idVendor", "ffff\n");  // an interface beside it: left out
    const auto devices = cehost::ListRealUsbDevices(root_.string());
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].port, "1-2.9");
    EXPECT_EQ(devices[0].node, "/dev/bus/usb/001/005");
    EXPECT_EQ(devices[0].productName, "Gadget Serial");
    EXPECT_EQ(devices[0].drivers, std::vector<std::string>{"1-2.9:1.0 cdc_acm"});
    EXPECT_EQ(devices[1].port, "1-2.10");
    EXPECT_EQ(devices[1].vendor, 0x0403);
}

TEST_F(FakeSysfs, ModelServesTheDescriptorsAndStringsSysfsKeeps) {
    Device("3-1", "0403", "6001", 3, 2);
    cehost::Bytes desc = cehost::usbdesc::Device(0x200, 0, 0, 0, 8, 0x0403, 0x6001, 0x600, 1, 2, 0);
    cehost::Bytes body;
    cehost::usbdesc::AppendInterface(body, 0, 0, 2, 0xFF, 0xFF, 0xFF);
    cehost::usbdesc::AppendEndpoint(body, 0x81, 2, 64, 0);
    cehost::usbdesc::AppendEndpoint(body, 0x02, 2, 64, 0);
    const cehost::Bytes config = cehost::usbdesc::Configuration(1, 1, body);
    desc.insert(desc.end(), config.begin(), config.end());
    File("3-1/descriptors", std::string(desc.begin(), desc.end()));
    File("3-1/manufacturer", "Maker\n");
    File("3-1/product", "Adapter\n");
    RealUsbDevice d;
    ASSERT_TRUE(cehost::ReadRealUsbDevice(root_.string(), "3-1", &d));
    cehost::RealUsbDeviceModel m(d);
    EXPECT_EQ(m.DeviceDescriptor().size(), 18u);
    EXPECT_EQ(m.ConfigurationDescriptor(0), config);
    EXPECT_TRUE(m.ConfigurationDescriptor(1).empty());
    EXPECT_EQ(m.StringDescriptor(2, 0x0409), cehost::usbdesc::String("Adapter"));
    EXPECT_EQ(m.StringDescriptor(1, 0x0409), cehost::usbdesc::String("Maker"));
    EXPECT_TRUE(m.StringDescriptor(3, 0x0409).empty());
}

// What GetTransferStatus reports, as the simulated bus reports the same
// outcome.
TEST(RealTransferErrorTest, MatchesTheSimulatedBus) {
    struct Case {
        RealTransferEnd how;
        bool in, control;
        uint32_t moved, length;
        DWORD flags, cancel, want;
    } cases[] = {
        {RealTransferEnd::kCompleted, true, false, 64, 64, 0, USB_CANCELED_ERROR, USB_NO_ERROR},
        {RealTransferEnd::kCompleted, true, false, 10, 64, 0, USB_CANCELED_ERROR,
         USB_DATA_UNDERRUN_ERROR},
        {RealTransferEnd::kCompleted, true, false, 10, 64, USB_SHORT_TRANSFER_OK,
         USB_CANCELED_ERROR, USB_NO_ERROR},
        {RealTransferEnd::kCompleted, true, true, 4, 255, 0, USB_CANCELED_ERROR, USB_NO_ERROR},
        {RealTransferEnd::kCompleted, false, false, 10, 64, 0, USB_CANCELED_ERROR, USB_NO_ERROR},
        {RealTransferEnd::kCancelled, true, false, 0, 64, 0, USB_CANCELED_ERROR,
         USB_CANCELED_ERROR},
        {RealTransferEnd::kCancelled, true, false, 0, 64, 0, USB_DEVICE_GONE_ERROR,
         USB_DEVICE_GONE_ERROR},
        {RealTransferEnd::kStall, false, false, 0, 64, 0, 0, USB_STALL_ERROR},
        {RealTransferEnd::kNoDevice, true, false, 0, 64, 0, 0, USB_DEVICE_GONE_ERROR},
        {RealTransferEnd::kOverflow, true, false, 64, 64, 0, 0, USB_DATA_OVERRUN_ERROR},
        {RealTransferEnd::kTimedOut, true, true, 0, 8, 0, 0, USB_DEVICE_NOT_RESPONDING_ERROR},
    };
    for (const Case& c : cases)
        EXPECT_EQ(
            cehost::RealTransferError(c.how, c.in, c.control, c.moved, c.length, c.flags, c.cancel),
            c.want)
            << int(c.how) << " moved " << c.moved;
}

TEST(RealUsbErrorTextTest, NamesTheNodeAndTheRemedy) {
    RealUsbDevice d = Dev("1-2", 0x0403, 0x6001);
    d.node = "/dev/bus/usb/001/004";
    struct Case {
        cehost::RealUsbError error;
        std::vector<const char*> says;
    } cases[] = {
        {cehost::RealUsbError::kNoPermission,
         {"/dev/bus/usb/001/004", "chmod a+rw /dev/bus/usb/001/004",
          "ATTR{idVendor}==\"0403\", ATTR{idProduct}==\"6001\""}},
        {cehost::RealUsbError::kBusy, {"0403:6001 at 1-2", "another program"}},
        {cehost::RealUsbError::kGone, {"went away", "plug it in again"}},
        {cehost::RealUsbError::kUnsupported, {"libusb-1.0-0-dev"}},
    };
    for (const Case& c : cases) {
        const std::string text = cehost::RealUsbErrorText(c.error, d, "detail");
        for (const char* s : c.says)
            EXPECT_NE(text.find(s), std::string::npos) << text;
    }
}

class RealBusTest : public PlatformTest {};

// A device that is no longer where sysfs showed it: the plug fails, says
// so, and leaves nothing behind.
TEST_F(RealBusTest, PlugOfAVanishedDeviceFailsCleanly) {
    RealUsbDevice d = Dev("99-9", 0x0403, 0x6001);
    cehost::Bytes desc = cehost::usbdesc::Device(0x200, 0, 0, 0, 8, 0x0403, 0x6001, 0x600, 0, 0, 0);
    d.descriptors = desc;
    auto model = std::make_shared<cehost::RealUsbDeviceModel>(d);
    cehost::UsbBus bus(cehost::UsbTiming::kReal);
    EXPECT_EQ(bus.Plug(model), 0u);
    EXPECT_EQ(model->Error(), cehost::RealUsbSupported() ? cehost::RealUsbError::kGone
                                                         : cehost::RealUsbError::kUnsupported);
}

}  // namespace
