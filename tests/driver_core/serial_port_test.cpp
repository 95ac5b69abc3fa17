// The basic port's operations: packet sizes from the endpoints, write
// sizing, the zero-length-packet rule, handshake lines, and the immediate
// and flow-control characters.
#include "harness.h"

namespace drvtest {
namespace {

using CoreSerialPortTest = CoreTest;

// Only bits 0-10 of wMaxPacketSize are the packet size; a port without a
// send endpoint opens one pipe.
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

TEST_F(CoreSerialPortTest, ZeroLengthPacketFollowsWholePackets) {
    struct Case {
        DWORD count;
        BOOL zlp;
    } const cases[] = {{0, FALSE}, {63, FALSE}, {64, TRUE}, {128, TRUE}, {65, FALSE}};
    SerialPort* port = NewPort();
    StartIdle(port);
    for (const auto& c : cases) {
        DWORD count = c.count;
        EXPECT_EQ(port->WriteFinished(&count), c.zlp) << c.count;
        EXPECT_EQ(count, c.count);
    }
    port->sendEndpoint = nullptr;
    DWORD count = 64;
    EXPECT_FALSE(port->WriteFinished(&count));
    port->sendEndpoint = &outEndpoint_;
    Finish(port);
}

TEST_F(CoreSerialPortTest, HandshakeLinesFromTheDcb) {
    struct Case {
        const char* name;
        int dtr, rts;
        LONG inputStopped;
        DWORD value;
    } const cases[] = {
        {"both enabled", DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, 0, 3},
        {"handshake while running", DTR_CONTROL_HANDSHAKE, RTS_CONTROL_HANDSHAKE, 0, 3},
        {"handshake while stopped", DTR_CONTROL_HANDSHAKE, RTS_CONTROL_HANDSHAKE, 1, 0},
        {"DTR mode 3 and RTS toggle are off", 3, RTS_CONTROL_TOGGLE, 0, 0},
        {"DTR on, RTS handshake stopped", DTR_CONTROL_ENABLE, RTS_CONTROL_HANDSHAKE, 1, 1},
    };
    RecordingPort* port = NewPort<RecordingPort>();
    StartIdle(port);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingPort::Calls().clear();
        EditDcb(port, [&](DCB& d) {
            d.fDtrControl = c.dtr;
            d.fRtsControl = c.rts;
        });
        port->inputStopped = c.inputStopped;
        EXPECT_TRUE(port->ApplyLineSettings());
        ASSERT_EQ(RecordingPort::Calls().size(), 1u);
        EXPECT_EQ(RecordingPort::Calls()[0].mask, 3u);
        EXPECT_EQ(RecordingPort::Calls()[0].value, c.value);
        EXPECT_FALSE(RecordingPort::Calls()[0].async);
    }
    // Output held by a received XOFF is released when XON/XOFF output
    // control is off, and kept while it is on.
    for (bool outX : {true, false}) {
        EditDcb(port, [&](DCB& d) { d.fOutX = outX; });
        port->outputHeld = 1;
        port->ApplyLineSettings();
        EXPECT_EQ(port->outputHeld, outX ? 1 : 0);
    }
    Finish(port);
}

// The immediate character goes synchronously; a flow character goes
// asynchronously and wakes the worker when done. Without a send pipe
// nothing is issued.
TEST_F(CoreSerialPortTest, ImmediateAndFlowCharacters) {
    SerialPort* port = NewPort();
    StartIdle(port);
    const BYTE ch = 0x5A;
    USB_TRANSFER sync = port->SendImmediate(&ch);
    ASSERT_NE(sync, nullptr);
    auto* fake = reinterpret_cast<Transfer*>(sync);
    EXPECT_TRUE(fake->complete);
    EXPECT_EQ(fake->outData, std::vector<BYTE>{0x5A});
    usb_.Funcs()->lpCloseTransfer(sync);

    USB_TRANSFER async = port->SendFlowChar(&ch);
    ASSERT_NE(async, nullptr);
    fake = reinterpret_cast<Transfer*>(async);
    EXPECT_FALSE(fake->complete);
    EXPECT_EQ(fake->context, port->serviceEvent);
    usb_.CompleteOut(fake);
    EXPECT_TRUE(Signalled(port->serviceEvent));
    usb_.Funcs()->lpCloseTransfer(async);

    port->Stop();
    EXPECT_EQ(port->SendImmediate(&ch), nullptr);
    EXPECT_EQ(port->IssueWrite(&ch, 1), nullptr);
    Finish(port);
}

}  // namespace
}  // namespace drvtest
