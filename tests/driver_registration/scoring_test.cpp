// Device classification at first attach: endpoint scoring, port type and
// vendor overrides, on layouts built here. (Real devices' descriptors are
// classified end to end by the tool's lsusb tests.)
#include <gtest/gtest.h>

#include <string>

#include "driver/registration/autoconfig.h"
#include "driver/variants/catalog.h"
#include "fake_usb.h"
#include "platform.h"

namespace {

using regtest::FakeEndpoint;
using regtest::FakeInterface;
using regtest::FakeUsbDevice;
using regtest::kBulk;
using regtest::kInt;
using regtest::kIso;

std::string Narrow(const WCHAR* s) {
    std::string out;
    for (; *s; ++s)
        out.push_back(static_cast<char>(*s));
    return out;
}

struct Expected {
    DWORD classEndp, receiveEndp, sendEndp, usbMode;
    const char* suffix;
};

void ExpectChoice(LPCUSB_DEVICE device, const Expected& want) {
    EndpointChoice got{0xDEAD, 0xDEAD, 0xDEAD, 0xDEAD};
    ChooseEndpoints(device, &got);
    EXPECT_EQ(got.classEndp, want.classEndp);
    EXPECT_EQ(got.receiveEndp, want.receiveEndp);
    EXPECT_EQ(got.sendEndp, want.sendEndp);
    EXPECT_EQ(got.usbMode, want.usbMode);
    EXPECT_EQ(Narrow(FriendlyNameSuffix(got.usbMode)), want.suffix);
}

struct LayoutCase {
    const char* name;
    WORD vendor, product;
    std::vector<FakeInterface> interfaces;
    Expected want;
};

class RegistrationLayoutTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(RegistrationLayoutTest, ChoosesEndpointsAndPortType) {
    const LayoutCase& c = GetParam();
    FakeUsbDevice device(c.vendor, c.product, c.interfaces);
    ExpectChoice(device.Device(), c.want);
}

const FakeInterface kAcmControl{2, 2, {{0x81, kInt, 16}}};
const FakeInterface kAcmData{10, 0, {{0x82, kBulk}, {0x02, kBulk}}};

INSTANTIATE_TEST_SUITE_P(
    Layouts, RegistrationLayoutTest,
    ::testing::Values(
        // Interrupt 3+5+20+10 = 38, each bulk 3+2+20+10 = 35.
        LayoutCase{
            "CdcAcm", 0x1234, 0x0001, {kAcmControl, kAcmData}, {0x81, 0x82, 0x02, 1, ",cdc"}},
        LayoutCase{"CtsChipSingleInterface",
                   0x067B,
                   0x2303,
                   {{255, 0, {{0x81, kInt, 10}, {0x83, kBulk}, {0x02, kBulk}}}},
                   {0x81, 0x83, 0x02, 0x101, ",pl2303"}},
        // The same endpoints spread over two interfaces are a plain CDC port.
        LayoutCase{"CtsLayoutTwoInterfaces",
                   0x067B,
                   0x2303,
                   {{255, 0, {{0x81, kInt, 10}, {0x83, kBulk}, {0x02, kBulk}}}, {255, 0, {}}},
                   {0x81, 0x83, 0x02, 1, ",cdc"}},
        LayoutCase{"BulkOnly",
                   0x10C4,
                   0xEA60,
                   {{255, 0, {{0x81, kBulk}, {0x02, kBulk}}}},
                   {0, 0x81, 0x02, 0, ",basic"}},
        // Without any bulk-IN the interrupt endpoint carries the data.
        LayoutCase{"InterruptOnly",
                   0x1234,
                   0x0002,
                   {{255, 0, {{0x81, kInt, 8}}}},
                   {0, 0x81, 0, 0, ",basic"}},
        LayoutCase{"TwoChannel",
                   0x1234,
                   0x0003,
                   {{2, 2, {{0x83, kInt, 16}}},
                    {10, 0, {{0x81, kBulk}, {0x01, kBulk}}},
                    {10, 0, {{0x82, kBulk}, {0x02, kBulk}}}},
                   {0x83, 0x8281, 0x0201, 2, ",wmc"}},
        // A third pair of equal score displaces neither the best nor the second.
        LayoutCase{"TwoChannelEqualScoresKeepEarlier",
                   0x1234,
                   0x0003,
                   {{2, 2, {{0x85, kInt, 16}}},
                    {10, 0, {{0x81, kBulk}, {0x01, kBulk}}},
                    {10, 0, {{0x82, kBulk}, {0x02, kBulk}}},
                    {10, 0, {{0x83, kBulk}, {0x03, kBulk}}}},
                   {0x85, 0x8281, 0x0201, 2, ",wmc"}},
        // A later, higher score becomes the best and pushes the former best
        // down to second (0x81/0x02 do not share a number: 34 < 35).
        LayoutCase{"TwoChannelHigherLaterScoreDemotes",
                   0x1234,
                   0x0003,
                   {{2, 2, {{0x85, kInt, 16}}},
                    {10, 0, {{0x81, kBulk}, {0x02, kBulk}}},
                    {10, 0, {{0x83, kBulk}, {0x03, kBulk}}}},
                   {0x85, 0x8183, 0x0203, 2, ",wmc"}},
        // The second pair scores below 20 outside a data interface.
        LayoutCase{"SecondPairOutsideDataClassStaysCdc",
                   0x1234,
                   0x0004,
                   {kAcmControl, kAcmData, {255, 0, {{0x83, kBulk}, {0x03, kBulk}}}},
                   {0x81, 0x82, 0x02, 1, ",cdc"}},
        LayoutCase{"TwoBulkInInterfaceContributesNothing",
                   0x1234,
                   0x0005,
                   {{255, 0, {{0x81, kBulk}, {0x82, kBulk}, {0x02, kBulk}, {0x86, kInt, 16}}},
                    {255, 0, {{0x83, kBulk}, {0x04, kBulk}}}},
                   {0, 0x83, 0x04, 0, ",basic"}},
        LayoutCase{"AlternateSettingSkipped",
                   0x1234,
                   0x0006,
                   {{255, 0, {{0x81, kBulk}, {0x02, kBulk}}},
                    {10, 0, {{0x83, kBulk}, {0x03, kBulk}}, 1, 0},
                    {2, 2, {{0x84, kInt, 16}}, 1, 1}},
                   {0, 0x81, 0x02, 0, ",basic"}},
        // An alternate communication interface must not change the saved
        // subclass: the first data pair keeps 3+2+20+5 = 30 and loses to the
        // later pair after a real ACM interface (35).
        LayoutCase{"AlternateSettingLeavesSavedSubclass",
                   0x1234,
                   0x0007,
                   {{2, 11, {}, 0, 0},
                    {2, 2, {}, 1, 0},
                    {10, 0, {{0x81, kBulk}, {0x01, kBulk}}, 0, 1},
                    {2, 2, {}, 0, 2},
                    {10, 0, {{0x82, kBulk}, {0x02, kBulk}}, 0, 3}},
                   {0, 0x82, 0x02, 0, ",basic"}},
        // An ignored endpoint still counts in bNumEndpoints: the pair with an
        // isochronous neighbour scores 2, the lone pair 3+2.
        LayoutCase{"IgnoredEndpointStillCounts",
                   0x1234,
                   0x0008,
                   {{255, 0, {{0x81, kBulk}, {0x02, kBulk}, {0x83, kIso}}},
                    {255, 0, {{0x84, kBulk}, {0x04, kBulk}}}},
                   {0, 0x84, 0x04, 0, ",basic"}},
        // Status endpoints: 3 from a full SERIAL_STATE packet (10 bytes) on,
        // +5 alone in the interface; the packet size counts its low 11 bits.
        LayoutCase{"InterruptPacketSizeBoundary",
                   0x1234,
                   0x0009,
                   {{255, 0, {{0x81, kInt, 9}}},
                    {255, 0, {{0x83, kInt, 10}}},
                    {255, 0, {{0x82, kBulk}, {0x02, kBulk}}}},
                   {0x83, 0x82, 0x02, 1, ",cdc"}},
        LayoutCase{"InterruptPacketSizeHighBandwidthBitsIgnored",
                   0x1234,
                   0x0009,
                   {{255, 0, {{0x81, kInt, 8}}},
                    {255, 0, {{0x83, kInt, 0x1808}}},
                    {255, 0, {{0x82, kBulk}, {0x02, kBulk}}}},
                   {0x81, 0x82, 0x02, 1, ",cdc"}},
        LayoutCase{"InterruptSharingInterfaceLosesToLoneOne",
                   0x1234,
                   0x0009,
                   {{255, 0, {{0x81, kInt, 16}, {0x82, kBulk}, {0x02, kBulk}}},
                    {255, 0, {{0x83, kInt, 8}}}},
                   {0x83, 0x82, 0x02, 1, ",cdc"}},
        LayoutCase{"NoInterfaces", 0x1234, 0x000A, {}, {0, 0, 0, 0, ",basic"}},
        LayoutCase{"NoInterfacesFtdi", 0x0403, 0x6001, {}, {0, 0, 0, 0x203, ",ftdi"}},
        LayoutCase{"FtdiOverridesCdcLayout",
                   0x0403,
                   0x6010,
                   {kAcmControl, kAcmData},
                   {0x81, 0x82, 0x02, 0x203, ",ftdi"}},
        LayoutCase{"FtdiHeaderProduct",
                   0x0403,
                   0x8372,
                   {{255, 0, {{0x81, kBulk}, {0x02, kBulk}}}},
                   {0, 0x81, 0x02, 3, ",ftdi"}},
        LayoutCase{"Type4Product",
                   0x054C,
                   0x006C,
                   {{255, 0, {{0x81, kBulk}, {0x02, kBulk}}}},
                   {0, 0x81, 0x02, 4, ",rcs310"}},
        LayoutCase{"NoLineCodingProductCdc",
                   0x0482,
                   0x0203,
                   {kAcmControl, kAcmData},
                   {0x81, 0x82, 0x02, 0x1001, ",cdc"}},
        LayoutCase{"NoLineCodingProductBulk",
                   0x0482,
                   0x0203,
                   {{255, 0, {{0x81, kBulk}, {0x02, kBulk}}}},
                   {0, 0x81, 0x02, 0x1000, ",basic"}},
        LayoutCase{"NoLineCodingVendorOtherProduct",
                   0x0482,
                   0x0204,
                   {kAcmControl, kAcmData},
                   {0x81, 0x82, 0x02, 1, ",cdc"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RegistrationScoring, DeviceWithoutActiveConfigurationIsBasic) {
    FakeUsbDevice device(0x1234, 0x0001, {kAcmControl, kAcmData});
    device.Device()->lpActiveConfig = nullptr;
    ExpectChoice(device.Device(), {0, 0, 0, 0, ",basic"});
    ExpectChoice(nullptr, {0, 0, 0, 0, ",basic"});
}

TEST(RegistrationScoring, SuffixFollowsTypeByteAndCtsFlag) {
    struct {
        DWORD usbMode;
        const char* suffix;
    } cases[] = {{0, ",basic"},      {0x1000, ",basic"}, {1, ",cdc"},     {0x1001, ",cdc"},
                 {0x101, ",pl2303"}, {2, ",wmc"},        {0x102, ",wmc"}, {3, ",ftdi"},
                 {0x203, ",ftdi"},   {4, ",rcs310"},     {5, ",basic"},   {0xFF, ",basic"}};
    for (const auto& c : cases) {
        EXPECT_EQ(Narrow(FriendlyNameSuffix(c.usbMode)), c.suffix) << std::hex << c.usbMode;
    }
}

// Every row of the port-type catalog: the devices it lists get its type (or
// only its flags) at first attach whatever their layout, and the tool
// describes every type that has a port.
TEST(RegistrationScoring, CatalogDevicesGetTheirType) {
    for (const PortTypeEntry& row : kPortTypes) {
        SCOPED_TRACE(row.type);
        EXPECT_EQ(serlynx::PortTypeText(row.type).find("no port"), std::string::npos);
        for (DWORD i = 0; i < row.overrideCount; ++i) {
            const DeviceOverride& o = row.overrides[i];
            const WORD product = o.product == kAnyProduct ? 0x7777 : static_cast<WORD>(o.product);
            FakeUsbDevice device(o.vendor, product, {kAcmControl, kAcmData});
            EndpointChoice got{};
            ChooseEndpoints(device.Device(), &got);
            EXPECT_EQ(got.usbMode, (o.addFlagsOnly ? kPortTypeCdc : row.type) | o.flags)
                << std::hex << o.vendor << ":" << product;
        }
    }
    EXPECT_NE(serlynx::PortTypeText(kPortTypeCount).find("no port"), std::string::npos);
}

}  // namespace
