// The tests' lsusb reader on dumps that are cut or damaged: the records it
// builds never claim more endpoints than they hold.
#include <gtest/gtest.h>

#include <string>

#include "common/lsusb_fixture.h"

namespace {

std::string Dump(int announced, int listed) {
    std::string text =
        "Device Descriptor:\n  idVendor 0x1209\n  idProduct 0x5e01\n"
        "  Configuration Descriptor:\n    bNumInterfaces 1\n"
        "    Interface Descriptor:\n      bInterfaceNumber 0\n      bAlternateSetting 0\n"
        "      bNumEndpoints " +
        std::to_string(announced) + "\n      bInterfaceClass 255\n";
    for (int i = 0; i < listed; ++i)
        text += "      Endpoint Descriptor:\n        bEndpointAddress 0x8" + std::to_string(i + 1) +
                "\n        bmAttributes 2\n        wMaxPacketSize 0x0040\n";
    return text;
}

TEST(LsusbReader, AnnouncedEndpointsAreCappedAtTheListedOnes) {
    struct Case {
        int announced, listed, expected;
    };
    for (Case c : {Case{1, 0, 0}, Case{3, 1, 1}, Case{2, 2, 2}, Case{1, 2, 1}, Case{255, 3, 3}}) {
        SCOPED_TRACE(std::to_string(c.announced) + " announced, " + std::to_string(c.listed) +
                     " listed");
        testfix::LsusbDevice device;
        std::string error;
        ASSERT_TRUE(device.Parse(Dump(c.announced, c.listed), &error)) << error;
        const USB_CONFIGURATION* config = device.Device()->lpActiveConfig;
        ASSERT_EQ(config->dwNumInterfaces, 1u);
        const USB_INTERFACE& itf = config->lpInterfaces[0];
        EXPECT_EQ(itf.Descriptor.bNumEndpoints, c.expected);
        for (int e = 0; e < c.expected; ++e)
            EXPECT_EQ(itf.lpEndpoints[e].Descriptor.bEndpointAddress, 0x81 + e);
    }
}

}  // namespace
