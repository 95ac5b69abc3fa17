// Device classification at first attach: endpoint scoring, port type and
// vendor overrides, on layouts built here. (Real devices' descriptors are
// classified end to end by the tool's lsusb tests, the device models by the
// lifecycle tests.)
#include <gtest/gtest.h>

#include <string>

#include "common/platform_test.h"
#include "driver/registration/autoconfig.h"
#include "driver/variants/catalog.h"
#include "layout.h"
#include "platform.h"

namespace {

using regtest::Plugged;

EndpointChoice Choose(uint16_t vendor, uint16_t product, const std::string& layout) {
    Plugged d(regtest::LayoutModel(vendor, product, layout));
    EndpointChoice got{0xDEAD, 0xDEAD, 0xDEAD, 0xDEAD};
    ChooseEndpoints(d.Device(), &got);
    return got;
}

class RegistrationScoring : public PlatformTest {};

// An interrupt endpoint scores 3 from a full SERIAL_STATE packet (10 bytes,
// counting the low 11 bits of the packet size) on, +5 alone in its
// interface; a bulk one 3 in a pair on matching addresses, +2 alone with its
// pair in the interface, +20 in a data interface, +10 after an ACM one (the
// saved subclass, which alternate settings do not change; they are skipped).
TEST_F(RegistrationScoring, ChoosesEndpointsAndPortType) {
    const char* const kAcm = "2.2: 81i16 | 10: 82b 02b";
    struct {
        uint16_t vendor, product;
        const char* layout;
        EndpointChoice want;
    } const cases[] = {
        {0x1234, 1, kAcm, {0x81, 0x82, 0x02, 1}},
        // The CTS-reporting chip: by its IDs and layout, not with a second interface.
        {0x067B, 0x2303, "255: 81i10 83b 02b", {0x81, 0x83, 0x02, 0x101}},
        {0x067B, 0x2303, "255: 81i10 83b 02b | 255:", {0x81, 0x83, 0x02, 1}},
        {0x10C4, 0xEA60, "255: 81b 02b", {0, 0x81, 0x02, 0}},
        {0x1234, 2, "255: 81i8", {0, 0x81, 0, 0}},  // an interrupt-IN alone carries data
        // An equal third pair displaces nothing; a higher later one demotes the best.
        {0x1234,
         3,
         "2.2: 85i16 | 10: 81b 01b | 10: 82b 02b | 10: 83b 03b",
         {0x85, 0x8281, 0x0201, 2}},
        {0x1234, 3, "2.2: 85i16 | 10: 81b 02b | 10: 83b 03b", {0x85, 0x8183, 0x0203, 2}},
        {0x1234, 4, "2.2: 81i16 | 10: 82b 02b | 255: 83b 03b", {0x81, 0x82, 0x02, 1}},
        {0x1234, 5, "255: 81b 82b 02b 86i16 | 255: 83b 04b", {0, 0x83, 0x04, 0}},
        {0x1234, 6, "255: 81b 02b | 10/1#0: 83b 03b | 2.2/1#1: 84i16", {0, 0x81, 0x02, 0}},
        {0x1234,
         7,
         "2.11#0: | 2.2/1#0: | 10#1: 81b 01b | 2.2#2: | 10#3: 82b 02b",
         {0, 0x82, 0x02, 0}},
        {0x1234, 8, "255: 81b 02b 83s | 255: 84b 04b", {0, 0x84, 0x04, 0}},  // 83s still counts
        // Status packet size from 10, its high-bandwidth bits ignored; alone wins.
        {0x1234, 9, "255: 81i9 | 255: 83i10 | 255: 82b 02b", {0x83, 0x82, 0x02, 1}},
        {0x1234, 9, "255: 81i8 | 255: 83i6152 | 255: 82b 02b", {0x81, 0x82, 0x02, 1}},
        {0x1234, 9, "255: 81i16 82b 02b | 255: 83i8", {0x83, 0x82, 0x02, 1}},
        // Vendor overrides: over any layout, or only the flags.
        {0x0403, 0x6001, "", {0, 0, 0, 0x203}},
        {0x0403, 0x6010, kAcm, {0x81, 0x82, 0x02, 0x203}},
        {0x0482, 0x0203, "255: 81b 02b", {0, 0x81, 0x02, 0x1000}},
        {0x0482, 0x0204, kAcm, {0x81, 0x82, 0x02, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.layout);
        const EndpointChoice got = Choose(c.vendor, c.product, c.layout);
        EXPECT_EQ(got.classEndp, c.want.classEndp);
        EXPECT_EQ(got.receiveEndp, c.want.receiveEndp);
        EXPECT_EQ(got.sendEndp, c.want.sendEndp);
        EXPECT_EQ(got.usbMode, c.want.usbMode);
    }
    EndpointChoice none{0xDEAD, 0xDEAD, 0xDEAD, 0xDEAD};
    ChooseEndpoints(nullptr, &none);
    EXPECT_EQ(none.usbMode | none.classEndp | none.receiveEndp | none.sendEndp, 0u);
}

// Every row of the port-type catalog: the devices it lists get its type (or
// only its flags) whatever their layout, and the tool describes every type
// that has a port.
TEST_F(RegistrationScoring, CatalogDevicesGetTheirType) {
    for (const PortTypeEntry& row : kPortTypes) {
        SCOPED_TRACE(row.type);
        EXPECT_EQ(serlynx::PortTypeText(row.type).find("no port"), std::string::npos);
        for (DWORD i = 0; i < row.overrideCount; ++i) {
            const DeviceOverride& o = row.overrides[i];
            const WORD product = o.product == kAnyProduct ? 0x7777 : static_cast<WORD>(o.product);
            EXPECT_EQ(Choose(o.vendor, product, "2.2: 81i16 | 10: 82b 02b").usbMode,
                      (o.addFlagsOnly ? kPortTypeCdc : row.type) | o.flags)
                << std::hex << o.vendor << ":" << product;
        }
    }
    EXPECT_NE(serlynx::PortTypeText(kPortTypeCount).find("no port"), std::string::npos);
}

}  // namespace
