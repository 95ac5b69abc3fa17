#include "driver_stream/stream_fixture.h"

#include "ce/windows.h"
#include "driver/registration/attach.h"
#include "driver/registration/port_token.h"
#include "driver/stream/com_entry.h"

namespace streamtest {

DWORD_PTR StreamTest::StartPort(DWORD usbMode, DWORD ringSize) {
    host.Reset();
    finishGate.Reset();
    breakGate.Reset();
    port = NewPort<StreamPort>(ringSize, 64, usbMode);
    port->usbFuncs = usbFuncs != nullptr ? usbFuncs : host.Funcs();
    EXPECT_TRUE(PortInit(port));
    token = PortTokenRegister(port);
    EXPECT_NE(token, 0u);
    SetClientInfo(kActiveKey, REG_DWORD, token);
    context = COM_Init(kActiveKey, nullptr);
    EXPECT_NE(context, 0u);
    // The worker thread queues its receive transfers at once.
    EXPECT_TRUE(host.WaitPending(kIn, 4, 2000));
    DWORD_PTR h = Open();
    EXPECT_NE(h, 0u);
    return h;
}

void StreamTest::Remove() {
    if (port == nullptr)
        return;
    PortTokenClose(token);
    EXPECT_TRUE(Deinit());
    RetirePort(token, port, TRUE);
    port = nullptr;
    EXPECT_EQ(host.Unclosed(), 0);
}

void StreamTest::TearDown() {
    Remove();
    RegDeleteKey(HKEY_LOCAL_MACHINE, u"Drivers");
    CoreTest::TearDown();
}

void StreamTest::SetTimeouts(DWORD_PTR h, DWORD interval, DWORD multiplier, DWORD constant,
                             DWORD writeMultiplier, DWORD writeConstant) {
    COMMTIMEOUTS t{interval, multiplier, constant, writeMultiplier, writeConstant};
    ASSERT_TRUE(IoctlIn(h, IOCTL_SERIAL_SET_TIMEOUTS, t));
}

void StreamTest::EditDcb(DWORD_PTR h, const std::function<void(DCB&)>& change) {
    DCB dcb{};
    ASSERT_TRUE(IoctlOut(h, IOCTL_SERIAL_GET_DCB, &dcb));
    change(dcb);
    ASSERT_TRUE(IoctlIn(h, IOCTL_SERIAL_SET_DCB, dcb));
}

std::vector<BYTE> StreamTest::Read(DWORD_PTR h, DWORD count) {
    std::vector<BYTE> buffer(count + 1);
    DWORD n = COM_Read(h, buffer.data(), count);
    buffer.resize(n == 0xFFFFFFFFu ? 0 : n);
    return buffer;
}

void StreamTest::Feed(const std::vector<BYTE>& bytes, LONG expectHeld) {
    LONG want = expectHeld >= 0 ? expectHeld : Held() + static_cast<LONG>(bytes.size());
    host.Receive(bytes);
    EXPECT_TRUE(Eventually([&] { return Held() >= want; })) << "ring never held " << want;
}

}  // namespace streamtest
