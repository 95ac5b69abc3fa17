// The traffic log written as a usbmon capture and read back by tshark: the
// enumeration at its head lets tshark decode the device, and bulk payloads
// come out as captured data.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "usb_fixture.h"

namespace {

using namespace usbtest;

std::string RunCommand(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

std::string Hex(const std::string& s) {
    std::string out;
    for (char c : s) {
        char b[3];
        snprintf(b, sizeof(b), "%02x", uint8_t(c));
        out += b;
    }
    return out;
}

class UsbCaptureTest : public UsbBulkDeviceTest {
  protected:
    void SetUp() override {
        UsbBulkDeviceTest::SetUp();
        // tshark is part of the test setup; without it this must fail, not skip.
        ASSERT_EQ(system("command -v tshark >/dev/null 2>&1"), 0) << "tshark is not installed";
        path = ::testing::TempDir() + "usbhost_capture_" + std::to_string(getpid()) + ".pcap";
    }
    void TearDown() override {
        if (!getenv("KEEP_PCAP"))
            std::remove(path.c_str());
        UsbBulkDeviceTest::TearDown();
    }
    // One line per packet that has the field; empty lines dropped.
    std::vector<std::string> Field(const std::string& field, const std::string& filter = "") {
        std::string cmd = "tshark -r '" + path + "' -T fields -e " + field;
        if (!filter.empty())
            cmd += " -Y '" + filter + "'";
        std::istringstream in(RunCommand(cmd + " 2>/dev/null"));
        std::vector<std::string> lines;
        for (std::string l; std::getline(in, l);) {
            l.erase(std::remove(l.begin(), l.end(), ':'), l.end());
            if (!l.empty())
                lines.push_back(l);
        }
        return lines;
    }
    std::string path;
};

TEST_F(UsbCaptureTest, TsharkDecodesTheDeviceAndTheBulkPayloads) {
    EXPECT_EQ(Retire(Write("hello", 5)).bytes, 5u);
    line->Inject({'w', 'o', 'r', 'l', 'd'});
    uint8_t buf[64];
    EXPECT_EQ(Retire(Read(buf, sizeof(buf))).bytes, 5u);
    ASSERT_TRUE(bus->WritePcap(path));

    auto vendor = Field("usb.idVendor");
    ASSERT_FALSE(vendor.empty());
    EXPECT_EQ(vendor[0], "0x1209");
    auto product = Field("usb.idProduct");
    ASSERT_FALSE(product.empty());
    EXPECT_EQ(product[0], "0x5e01");
    // The capture starts with the device descriptor request.
    auto first = Field("usb.bDescriptorType", "frame.number == 1");
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0], "0x01");
    auto data = Field("usb.capdata");
    EXPECT_NE(std::find(data.begin(), data.end(), Hex("hello")), data.end());
    EXPECT_NE(std::find(data.begin(), data.end(), Hex("world")), data.end());
}

TEST_F(UsbCaptureTest, ClearedLogStillStartsWithTheEnumeration) {
    bus->ClearLog();
    EXPECT_EQ(Retire(Write("again", 5)).bytes, 5u);
    ASSERT_TRUE(bus->WritePcap(path));
    auto vendor = Field("usb.idVendor");
    ASSERT_FALSE(vendor.empty());
    EXPECT_EQ(vendor[0], "0x1209");
    auto data = Field("usb.capdata");
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(data[0], Hex("again"));
}

TEST_F(UsbCaptureTest, ErrorsAndZeroLengthPacketsAreLogged) {
    bus->Stall(id, 0x02);
    EXPECT_EQ(Retire(Write("x", 1)).error, USB_STALL_ERROR);
    bus->ClearFaults(id);
    USB_TRANSFER t = f->lpClearFeature(dev, nullptr, nullptr, USB_SEND_TO_ENDPOINT,
                                       USB_FEATURE_ENDPOINT_HALT, 0x02);
    ASSERT_NE(t, nullptr);
    Retire(t);
    ASSERT_TRUE(f->lpResetPipe(outPipe));
    EXPECT_EQ(Retire(Write(nullptr, 0)).error, USB_NO_ERROR);
    ASSERT_TRUE(bus->WritePcap(path));
    // Per OUT packet record: type, status, URB length. The stalled write
    // completes with -EPIPE; the zero-length packet is a real packet.
    auto rows =
        Field("usb.urb_type -e usb.urb_status -e usb.urb_len", "usb.endpoint_address == 0x02");
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0], "'S'\t-115\t1");
    EXPECT_EQ(rows[1], "'C'\t-32\t0");
    EXPECT_EQ(rows[2], "'S'\t-115\t0");
    EXPECT_EQ(rows[3], "'C'\t0\t0");
}

TEST(UsbmonFile, HeaderAndRecordLayout) {
    std::string path = ::testing::TempDir() + "usbhost_layout.pcap";
    cehost::UsbLogEntry e;
    e.urbId = 0x1122334455667788ull;
    e.event = 'S';
    e.transferType = 3;
    e.endpoint = 0x02;
    e.device = 5;
    e.bus = 2;
    e.data = {0xAA, 0xBB};
    e.urbLength = 2;
    e.timeNs = 1'500'000'123'000;
    ASSERT_TRUE(cehost::WriteUsbmonPcap(path, {e}));
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), {});
    std::remove(path.c_str());
    ASSERT_EQ(b.size(), 24u + 16u + 64u + 2u);
    auto u32 = [&](size_t o) {
        return b[o] | b[o + 1] << 8 | b[o + 2] << 16 | uint32_t(b[o + 3]) << 24;
    };
    EXPECT_EQ(u32(0), 0xa1b2c3d4u);
    EXPECT_EQ(u32(20), 220u);
    EXPECT_EQ(u32(24), 1500u);  // seconds
    EXPECT_EQ(u32(28), 123u);   // microseconds
    EXPECT_EQ(u32(32), 66u);    // captured length
    const size_t h = 40;
    EXPECT_EQ(u32(h), 0x55667788u);
    EXPECT_EQ(b[h + 8], 'S');
    EXPECT_EQ(b[h + 9], 3);
    EXPECT_EQ(b[h + 10], 0x02);
    EXPECT_EQ(b[h + 11], 5);
    EXPECT_EQ(b[h + 12], 2);
    EXPECT_EQ(b[h + 14], '-');  // no setup packet
    EXPECT_EQ(b[h + 15], 0);    // data present
    EXPECT_EQ(int32_t(u32(h + 28)), -115);
    EXPECT_EQ(u32(h + 32), 2u);  // URB length
    EXPECT_EQ(u32(h + 36), 2u);  // data length
    EXPECT_EQ(b[h + 64], 0xAA);
}

}  // namespace
