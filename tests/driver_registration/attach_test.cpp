// The configured branch of the attach: refusals, class choice, values with
// defaults, endpoint binding, start and activation, and removal through the
// notification routine; and the 32-bit "ClientInfo" tokens that lead the
// stream entry points to their port. The stream device is the device
// manager tests' stub library, which records its Init and Deinit calls.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>

#include "ce_devmgr/stub_driver.h"
#include "cehost/devmgr.h"
#include "driver/port/port.h"
#include "driver/registration/attach.h"
#include "driver/registration/port_token.h"
#include "driver/registration/registry_values.h"
#include "layout.h"

namespace {

using namespace regtest;
using cehost::RegValue;

const USB_DRIVER_SETTINGS kSettings{0, 0x1234, 1, 0x100, N, N, N, N, N, N};

std::shared_ptr<testfix::ScriptedModel> BulkPair(unsigned packet = 64) {
    const std::string p = std::to_string(packet);
    return LayoutModel(0x1234, 1, "255: 81b" + p + " 02b" + p);
}

// The host's function table, recording the context the driver registers
// with its notification routine (the port's token).
LPVOID gContext = nullptr;
LPCUSB_FUNCS Funcs() {
    static USB_FUNCS f = *cehost::UsbFunctions();
    f.lpRegisterNotificationRoutine = [](USB_HANDLE h, LPDEVICE_NOTIFY_ROUTINE r, LPVOID c) {
        gContext = c;
        return cehost::UsbFunctions()->lpRegisterNotificationRoutine(h, r, c);
    };
    return &f;
}

class RegistrationAttachTest : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        stub::Reset();
        stub::RegisterStub("stub.dll", "TST");
        gContext = nullptr;
    }
    static BOOL Attach(Plugged& d, BOOL* accept, LPCWSTR driverId = u"Serlynx") {
        *accept = 0x55;
        return USBDeviceAttach(d.Handle(), Funcs(), nullptr, driverId, accept, &kSettings, 0);
    }
    static DWORD Token() { return static_cast<DWORD>(reinterpret_cast<uintptr_t>(gContext)); }
    // Attaches a device the driver must take; its port.
    static SerialPort* AttachPort(Plugged& d) {
        BOOL accept = FALSE;
        EXPECT_TRUE(Attach(d, &accept));
        EXPECT_TRUE(accept);
        return PortTokenLookup(Token());
    }
    // The removal leaves no stream device and no thread.
    static void Remove(Plugged& d) {
        EXPECT_TRUE(d.bus.Unplug(d.id));
        EXPECT_EQ(cehost::RunningThreadCount(), 0u);
        EXPECT_TRUE(cehost::ActiveDevices().empty());
    }
};

// Nothing is allocated or registered for a device the driver does not take.
TEST_F(RegistrationAttachTest, Refusals) {
    Plugged d(BulkPair());
    const uint64_t blocks = cehost::GetHeapStats().liveBlocks;
    BOOL accept = 0x55;
    EXPECT_FALSE(Attach(d, &accept));  // no device key (a bad UsbMode: the bad-input tests)
    EXPECT_FALSE(accept);
    Write(kKey, kValueUsbMode, Dword(0));
    EXPECT_FALSE(USBDeviceAttach(d.Handle(), Funcs(), nullptr, u"Serlynx", nullptr, &kSettings, 0));
    EXPECT_FALSE(Attach(d, &accept, nullptr));
    EXPECT_FALSE(accept);
    EXPECT_EQ(gContext, nullptr);
    EXPECT_EQ(cehost::GetHeapStats().liveBlocks, blocks);
}

// Without a usable "UsbMode" the device gets the basic port; the CTS flag
// alone makes a CDC port (the class follows the type; every port type is
// served end to end by the lifecycle tests). The ring size, the priority
// and the number of receive transfers kept queued (at most 8) come from
// their values, else their defaults. A started port is activated with a
// ClientInfo token that leads back to it and deactivated before it is torn
// down. A port that cannot start (a bulk endpoint without a packet size) is
// kept, not activated, until the removal frees it; one whose activation
// failed (no stream library named) still has its worker ended at removal.
TEST_F(RegistrationAttachTest, CreatesStartsActivatesAndRemoves) {
    const RegValue kString1{REG_SZ, {'1', 0, 0, 0}};
    struct {
        std::optional<RegValue> usbMode, ring, priority, slots;
        uint16_t packet;
        bool library;
        DWORD usbModeField, ringSize;
        LONG priority256, rxSlots;  // rxSlots 0: the port does not start
    } const cases[] = {
        {{}, {}, {}, {}, 64, true, 0, 4096, 0, 4},
        {kString1, Dword(1000), Dword(100), Dword(100), 64, false, 0, 1000, 100, 8},
        {Dword(0x100), kString1, Dword(0xFFFFFFFF), {}, 0, true, 1, 4096, -1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ringSize + c.priority256);
        stub::Reset();
        cehost::RegDeleteTree(kKey);
        Write(kKey, kValueReceiveEndp, Dword(0x81));
        Write(kKey, kValueSendEndp, Dword(0x02));
        for (auto [name, value] : {std::pair{kValueUsbMode, &c.usbMode},
                                   {kValueReceiveBuffer, &c.ring},
                                   {kValuePriority256, &c.priority},
                                   {kValueReceiveSlots, &c.slots}}) {
            if (*value)
                Write(kKey, name, **value);
        }
        if (c.library) {
            cehost::RegWriteString(kKey, kValueDll, u"stub.dll");
            cehost::RegWriteString(kKey, kValuePrefix, u"TST");
        }
        Plugged d(BulkPair(c.packet));
        SerialPort* port = AttachPort(d);
        ASSERT_NE(port, nullptr);
        EXPECT_EQ(port->usbMode, c.usbModeField);
        EXPECT_EQ(port->usbDevice, d.Handle());
        EXPECT_EQ(port->ringSize, c.ringSize);
        EXPECT_EQ(port->priority256, c.priority256);
        BOOL started = c.rxSlots == 0;
        EXPECT_TRUE(PortTokenWaitAttached(Token(), &started));
        EXPECT_EQ(started, c.rxSlots != 0);
        if (started) {
            EXPECT_EQ(port->rxSlotCount, c.rxSlots);
        }
        const long activated = c.library && started;
        EXPECT_EQ(port->activation != nullptr, activated != 0);
        EXPECT_EQ(stub::Count("Init"), activated);
        if (activated) {
            auto active = cehost::ActiveDevices();
            ASSERT_EQ(active.size(), 1u);
            EXPECT_EQ(active[0].deviceKey, kKey);
            EXPECT_EQ(cehost::RegReadDword(active[0].activeKey, kValueClientInfo), Token());
        }
        Remove(d);
        EXPECT_EQ(stub::Count("Deinit"), activated);
        EXPECT_EQ(PortTokenLookup(Token()), nullptr);
    }
}

// An endpoint is bound by address among the alternate-0 interfaces, a later
// match replacing an earlier one. (Unknown addresses and values of another
// type leave no port: the bad-input tests; the second channel's pair: the
// two-channel tests.)
TEST_F(RegistrationAttachTest, BindsEndpointsAndTakesOnlyTheRemovalNotice) {
    Write(kKey, kValueUsbMode, Dword(0));
    Write(kKey, kValueReceiveEndp, Dword(0x84));
    Write(kKey, kValueSendEndp, Dword(0x02));
    Plugged d(LayoutModel(0x1234, 1, "10: 82b 02b | 10/1#0: 84b 04b | 255: 85i16 02b"));
    SerialPort* port = AttachPort(d);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->receiveEndpoint, nullptr);
    EXPECT_EQ(port->sendEndpoint, &d.Device()->lpActiveConfig->lpInterfaces[2].lpEndpoints[1]);
    // Other notifications leave the port alone; a repeated removal notice
    // finds no port of the driver.
    LPVOID context = gContext;
    for (DWORD code : {0u, 2u, 3u, 0xFFFFFFFFu})
        EXPECT_FALSE(DeviceNotify(context, code, nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(DeviceNotify(nullptr, USB_CLOSE_DEVICE, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(PortTokenLookup(Token()), port);
    Remove(d);
    EXPECT_FALSE(DeviceNotify(context, USB_CLOSE_DEVICE, nullptr, nullptr, nullptr, nullptr));
}

// ---- Port tokens ----------------------------------------------------------

// Tokens only compare addresses; no port object is needed.
SerialPort* FakePort(uintptr_t n) {
    return reinterpret_cast<SerialPort*>(0x1000 * n);
}

// A token finds its port until released; the removal's close bars calls but
// not a detach, and a second notice is told it came second. A slot serves a
// new port after release, which the old token must not find (nor free);
// forged tokens find nothing; a full table refuses.
TEST(RegistrationPortToken, TokensFindTheirPortUntilReleased) {
    DWORD a = PortTokenRegister(FakePort(1));
    DWORD b = PortTokenRegister(FakePort(2));
    EXPECT_EQ(PortTokenLookup(a), FakePort(1));
    EXPECT_TRUE(PortTokenClose(a));
    EXPECT_FALSE(PortTokenClose(a));
    EXPECT_EQ(PortTokenEnter(a), nullptr);
    EXPECT_EQ(PortTokenEnterToDetach(a), FakePort(1));
    PortTokenLeave(a);
    EXPECT_EQ(PortTokenEnter(b), FakePort(2));
    PortTokenLeave(b);
    PortTokenRelease(a);
    std::vector<DWORD> tokens;
    for (DWORD i = 1; i < kPortTokenSlots; ++i)
        tokens.push_back(PortTokenRegister(FakePort(100 + i)));
    EXPECT_EQ(PortTokenRegister(FakePort(999)), 0u);
    EXPECT_EQ(PortTokenLookup(a), nullptr) << "the slot's new port";
    PortTokenRelease(a);
    for (DWORD token : {0u, 0xFFFFFFFFu, b ^ 0x100, b + 0x100, b & 0xFFu, b & ~0xFFu}) {
        EXPECT_EQ(PortTokenLookup(token), nullptr) << std::hex << token;
        PortTokenRelease(token);  // ignored
    }
    EXPECT_EQ(PortTokenLookup(b), FakePort(2));
    tokens.push_back(b);
    for (DWORD t : tokens) {
        EXPECT_NE(PortTokenLookup(t), nullptr);
        PortTokenRelease(t);
    }
    EXPECT_EQ(PortTokenLookup(b), nullptr);
    EXPECT_EQ(PortTokenRegister(nullptr), 0u);
}

// Attach and removal threads register and release while stream threads look
// tokens up: a lookup returns the token's own port or nothing, never
// another's.
TEST(RegistrationPortToken, ConcurrentUseNeverMixesPorts) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &wrong] {
            for (int i = 0; i < 2000; ++i) {
                SerialPort* mine = FakePort(1 + t * 2000 + i);
                DWORD token = PortTokenRegister(mine);
                wrong += token == 0 || PortTokenLookup(token) != mine;
                PortTokenRelease(token);
                wrong += PortTokenLookup(token) != nullptr;
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
