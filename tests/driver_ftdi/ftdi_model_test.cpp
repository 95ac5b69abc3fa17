// The header-framed FTDI chip model driven straight through the USB function
// table with headers the driver never sends: the model, which the port
// tests trust to count every header that does not describe its transfer,
// must catch each.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "ce/usb.h"
#include "cehost/usb_bus.h"
#include "common/platform_test.h"
#include "sim/ftdi_model.h"
#include "sim/serial_line.h"

namespace {

using Bytes = std::vector<uint8_t>;

class FtdiModelTest : public PlatformTest {};

// The chip trusts the header's length as far as the transfer goes.
TEST_F(FtdiModelTest, HeaderFramedChipChecksEveryHeader) {
    const struct {
        Bytes packet, transmitted;
        bool error;
    } cases[] = {
        {{0x09, 'a', 'b'}, {'a', 'b'}, false}, {{0x01}, {}, false},
        {{0x0D, 'a', 'b'}, {'a', 'b'}, true},  {{0x05, 'a', 'b'}, {'a'}, true},
        {{0x0A, 'a', 'b'}, {}, true},          {{}, {}, true},
    };
    auto line = std::make_shared<sim::ScriptedLine>();
    auto chip = std::make_shared<sim::FtdiModel>(sim::FtdiModelConfig::HeaderFramed(), line);
    cehost::UsbBus bus;
    const cehost::UsbDeviceId id = bus.PlugUnclaimed(chip);
    LPCUSB_FUNCS f = cehost::UsbFunctions();
    USB_ENDPOINT_DESCRIPTOR out{7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x02, 2, 64, 0};
    USB_PIPE pipe = f->lpOpenPipe(bus.Handle(id), &out);
    ASSERT_NE(pipe, nullptr);
    uint64_t errors = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.packet));
        Bytes packet = c.packet;
        USB_TRANSFER t = f->lpIssueBulkTransfer(pipe, nullptr, nullptr, USB_OUT_TRANSFER,
                                                DWORD(packet.size()), packet.data(), 0);
        ASSERT_NE(t, nullptr);
        DWORD count = 0, error = 0xDEAD;
        EXPECT_TRUE(f->lpGetTransferStatus(t, &count, &error));
        EXPECT_TRUE(f->lpCloseTransfer(t));
        EXPECT_EQ(error, USB_NO_ERROR);
        EXPECT_EQ(line->TakeTransmitted(), c.transmitted);
        errors += c.error ? 1 : 0;
        EXPECT_EQ(chip->State().headerErrors, errors);
    }
    f->lpClosePipe(pipe);
}

}  // namespace
