// The basic port's operations: packet sizes from the endpoints, write
// sizing. (Its zero-length-packet rule and immediate character are tested
// through the stream entry points and end to end, its handshake lines as the
// devices see them in each port type's tests.)
#include "harness.h"

namespace drvtest {
namespace {

using CoreSerialPortTest = CoreTest;

// Only bits 0-10 of wMaxPacketSize are the packet size; a port without a
// send endpoint opens one pipe and issues no write.
TEST_F(CoreSerialPortTest, PacketSizesFromTheEndpoints) {
    struct Case {
        bool out;
        uint16_t packet;
        LONG maxWrite, transfer;
        int pipes;
    } const cases[] = {
        {true, 512, 511, 512, 2}, {true, 64 | 0x800, 63, 64, 2}, {false, 32, 63, 32, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.packet);
        SerialPort* port = NewPort(4096, c.packet);
        if (!c.out)
            port->sendEndpoint = nullptr;
        const int before = usb_.PipesOpened();
        StartIdle(port);
        EXPECT_EQ(port->maxWriteSize, c.maxWrite);
        EXPECT_EQ(port->rxTransferSize, c.transfer);
        EXPECT_EQ(usb_.PipesOpened() - before, c.pipes);
        if (!c.out) {
            const BYTE ch = 0;
            EXPECT_EQ(port->IssueWrite(&ch, 1), nullptr);
        }
        Finish(port);
    }
}

TEST_F(CoreSerialPortTest, WriteSizeLimitAndNibbleRule) {
    const DWORD requests[] = {100, 63, 62, 47, 16, 15, 0};
    struct Case {
        const char* name;
        DWORD mode;
        DWORD issued[7];
    } const cases[] = {
        {"no flags", 0, {62, 62, 62, 46, 16, 14, 0}},
        {"flag 0x800 keeps lengths ending in 0xF", 0x800, {63, 63, 62, 47, 16, 15, 0}},
        {"flag 0x400 has no limit", 0x400, {100, 63, 62, 47, 16, 15, 0}},
    };
    SerialPort* port = NewPort();
    StartIdle(port);
    BYTE data[100] = {};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        port->usbMode = c.mode;
        for (int i = 0; i < 7; ++i) {
            USB_TRANSFER t = port->IssueWrite(data, requests[i]);
            ASSERT_NE(t, nullptr);
            auto* fake = reinterpret_cast<Transfer*>(t);
            EXPECT_EQ(fake->length, c.issued[i]) << "request " << requests[i];
            EXPECT_EQ(fake->context, port->writeEvent);
            if (!fake->complete)
                usb_.CompleteOut(fake);
            EXPECT_TRUE(Signalled(port->writeEvent));
            usb_.Funcs()->lpCloseTransfer(t);
        }
    }
    Finish(port);
}

}  // namespace
}  // namespace drvtest
