// The configured branch of the attach: refusals, class choice, values with
// defaults, endpoint binding, start and activation, and removal through the
// notification routine. The stream device is a stub library that counts its
// Init and Deinit calls.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "cehost/core.h"
#include "cehost/devmgr.h"
#include "cehost/loader.h"
#include "cehost/regfile.h"
#include "common/platform_test.h"
#include "driver/port/port.h"
#include "driver/registration/attach.h"
#include "driver/registration/port_token.h"
#include "driver/registration/registry_values.h"
#include "driver/variants/cdc_port.h"
#include "driver/variants/ftdi_port.h"
#include "layout.h"

namespace {

using cehost::RegValue;
using regtest::Plugged;

constexpr DWORD N = USB_NO_INFO;
const std::u16string kKey = u"Drivers\\USB\\LoadClients\\4660_1_256\\Default\\Default\\Serlynx";
const USB_DRIVER_SETTINGS kSettings{
    sizeof(USB_DRIVER_SETTINGS), 0x1234, 1, 0x100, N, N, N, N, N, N};

std::atomic<int> gInits{0}, gDeinits{0};
DWORD_PTR WINAPI StubInit(LPCWSTR, LPCVOID) {
    return ++gInits;
}
BOOL WINAPI StubDeinit(DWORD_PTR) {
    return ++gDeinits;
}
void NeverCalled() {}

RegValue Dword(DWORD v) {
    return {REG_DWORD, {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}};
}
const RegValue kString1{REG_SZ, {'1', 0, 0, 0}};

// The class of a port object, told by its table of virtual operations.
template <class T>
bool IsClass(const SerialPort* port) {
    T probe;
    return *reinterpret_cast<void* const*>(port) == *reinterpret_cast<void* const*>(&probe);
}

std::shared_ptr<testfix::ScriptedModel> BulkPair(unsigned packet = 64) {
    const std::string p = std::to_string(packet);
    return regtest::LayoutModel(0x1234, 1, "255: 81b" + p + " 02b" + p);
}

// The host's function table, recording the context the driver registers
// with its notification routine (the port's token).
LPVOID gContext = nullptr;
BOOL WINAPI RecordRegister(USB_HANDLE h, LPDEVICE_NOTIFY_ROUTINE routine, LPVOID context) {
    gContext = context;
    return cehost::UsbFunctions()->lpRegisterNotificationRoutine(h, routine, context);
}
LPCUSB_FUNCS Funcs() {
    static USB_FUNCS funcs = [] {
        USB_FUNCS f = *cehost::UsbFunctions();
        f.lpRegisterNotificationRoutine = RecordRegister;
        return f;
    }();
    return &funcs;
}

class RegistrationAttachTest : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        gInits = gDeinits = 0;
        gContext = nullptr;
        std::vector<cehost::LibraryProc> procs{{"TST_Init", &StubInit},
                                               {"TST_Deinit", &StubDeinit}};
        for (const char* p :
             {"Open", "Close", "Read", "Write", "Seek", "IOControl", "PowerUp", "PowerDown"})
            procs.emplace_back(names_.emplace_back(std::string("TST_") + p).c_str(), &NeverCalled);
        cehost::RegisterLibrary("stub.dll", procs);
    }
    void TearDown() override {
        cehost::UnregisterLibrary("stub.dll");
        PlatformTest::TearDown();
    }
    void Write(const std::u16string& name, const RegValue& v) {
        cehost::RegWrite(kKey, name, v.type, v.data);
    }
    BOOL Attach(Plugged& d, BOOL* accept, LPCWSTR driverId = u"Serlynx") {
        *accept = 0x55;
        return USBDeviceAttach(d.Handle(), Funcs(), nullptr, driverId, accept, &kSettings, 0);
    }
    static DWORD Token() { return static_cast<DWORD>(reinterpret_cast<uintptr_t>(gContext)); }
    // Attaches a device the driver must take; its port.
    SerialPort* AttachPort(Plugged& d) {
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
    std::deque<std::string> names_;
};

// ---- Refusals and class choice ----------------------------------------------

// Nothing is allocated or registered for a device the driver does not take.
TEST_F(RegistrationAttachTest, Refusals) {
    Plugged d(BulkPair());
    const uint64_t blocks = cehost::GetHeapStats().liveBlocks;
    BOOL accept = 0x55;
    EXPECT_FALSE(Attach(d, &accept));  // no device key
    EXPECT_FALSE(accept);
    for (DWORD usbMode : {5u, 0x12FFu}) {
        Write(kValueUsbMode, Dword(usbMode));
        EXPECT_FALSE(Attach(d, &accept)) << usbMode;
        EXPECT_FALSE(accept);
    }
    Write(kValueUsbMode, Dword(0));
    EXPECT_FALSE(USBDeviceAttach(d.Handle(), Funcs(), nullptr, u"Serlynx", nullptr, &kSettings, 0));
    EXPECT_FALSE(USBDeviceAttach(d.Handle(), Funcs(), nullptr, u"Serlynx", &accept, nullptr, 0));
    EXPECT_FALSE(USBDeviceAttach(d.Handle(), nullptr, nullptr, u"Serlynx", &accept, &kSettings, 0));
    EXPECT_FALSE(Attach(d, &accept, nullptr));
    EXPECT_FALSE(accept);
    EXPECT_EQ(gContext, nullptr);
    EXPECT_EQ(cehost::GetHeapStats().liveBlocks, blocks);
}

// Without a usable "UsbMode" (absent: the lifecycle tests) the device gets
// the basic port; the CTS flag alone makes a CDC port; the FTDI type's flag
// 0x200 picks the divisor port. (Every port type's own word is served end to
// end by the lifecycle tests.) The ring size, the priority and the number
// of receive transfers kept queued (at most 8) come from their values, else
// their defaults.
TEST_F(RegistrationAttachTest, CreatesTheConfiguredClassWithItsValues) {
    struct {
        std::optional<RegValue> usbMode, ring, priority, slots;
        bool (*isClass)(const SerialPort*);
        DWORD usbModeField, ringSize;
        LONG priority256, rxSlots;  // rxSlots 0: the port does not start here
    } const cases[] = {
        {{}, {}, {}, {}, IsClass<SerialPort>, 0, 4096, 0, 4},
        {kString1, Dword(1000), Dword(100), Dword(100), IsClass<SerialPort>, 0, 1000, 100, 8},
        {Dword(0x100), kString1, Dword(0xFFFFFFFF), {}, IsClass<CdcPort>, 1, 4096, -1, 0},
        {Dword(0x903), {}, {}, {}, IsClass<FtdiHeaderPort>, 0x903, 4096, 0, 0},
        {Dword(0x203), {}, {}, {}, IsClass<FtdiPort>, 0x203, 4096, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.usbModeField);
        cehost::RegDeleteTree(kKey);
        Write(kValueReceiveEndp, Dword(0x81));
        for (auto [name, value] : {std::pair{kValueUsbMode, &c.usbMode},
                                   {kValueReceiveBuffer, &c.ring},
                                   {kValuePriority256, &c.priority},
                                   {kValueReceiveSlots, &c.slots}}) {
            if (*value)
                Write(name, **value);
        }
        Plugged d(BulkPair());
        SerialPort* port = AttachPort(d);
        ASSERT_NE(port, nullptr);
        EXPECT_TRUE(c.isClass(port));
        EXPECT_EQ(port->usbMode, c.usbModeField);
        EXPECT_EQ(port->usbDevice, d.Handle());
        EXPECT_EQ(port->ringSize, c.ringSize);
        EXPECT_EQ(port->priority256, c.priority256);
        if (c.rxSlots != 0) {
            EXPECT_EQ(port->rxSlotCount, c.rxSlots);
        }
        Remove(d);
    }
}

// An endpoint is bound by address among the alternate-0 interfaces, a later
// match replacing an earlier one. (Unknown addresses and values of another
// type leave no port: the bad-input tests; the second channel's pair: the
// two-channel tests.)
TEST_F(RegistrationAttachTest, BindsEndpointsOfAlternateZeroLastMatchWins) {
    Write(kValueUsbMode, Dword(0));
    Write(kValueReceiveEndp, Dword(0x84));
    Write(kValueSendEndp, Dword(0x02));
    Plugged d(regtest::LayoutModel(0x1234, 1, "10: 82b 02b | 10/1#0: 84b 04b | 255: 85i16 02b"));
    SerialPort* port = AttachPort(d);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->receiveEndpoint, nullptr);
    EXPECT_EQ(port->sendEndpoint, d.Endpoint(2, 1));
    Remove(d);
}

// ---- Start, activation and removal ---------------------------------------------

// A started port is activated with a ClientInfo token that leads back to it
// and deactivated before it is torn down. A port that cannot start (a bulk
// endpoint without a packet size) is kept, not activated, until the removal
// frees it; one whose activation failed (no stream library named) still has
// its worker ended at removal.
TEST_F(RegistrationAttachTest, StartActivationAndRemoval) {
    struct {
        const char* name;
        uint16_t packet;
        bool library, started;
    } const cases[] = {
        {"activated", 64, true, true},
        {"cannot start", 0, true, false},
        {"activation failed", 64, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        gInits = gDeinits = 0;
        cehost::RegDeleteTree(kKey);
        Write(kValueUsbMode, Dword(0));
        Write(kValueReceiveEndp, Dword(0x81));
        Write(kValueSendEndp, Dword(0x02));
        if (c.library) {
            cehost::RegWriteString(kKey, kValueDll, u"stub.dll");
            cehost::RegWriteString(kKey, kValuePrefix, u"TST");
        }
        Plugged d(BulkPair(c.packet));
        SerialPort* port = AttachPort(d);
        ASSERT_NE(port, nullptr);
        BOOL started = !c.started;
        EXPECT_TRUE(PortTokenWaitAttached(Token(), &started));
        EXPECT_EQ(started, c.started);
        const bool activated = c.library && c.started;
        EXPECT_EQ(port->activation != nullptr, activated);
        EXPECT_EQ(gInits.load(), activated ? 1 : 0);
        if (activated) {
            auto active = cehost::ActiveDevices();
            ASSERT_EQ(active.size(), 1u);
            EXPECT_EQ(active[0].deviceKey, kKey);
            EXPECT_EQ(cehost::RegReadDword(active[0].activeKey, kValueClientInfo), Token());
        }
        Remove(d);
        EXPECT_EQ(gDeinits.load(), activated ? 1 : 0);
        EXPECT_EQ(PortTokenLookup(Token()), nullptr);
    }
}

// Other notifications leave the port alone; a repeated removal notice finds
// no port of the driver, also once a later port has the freed object's
// address (the registration below stands for such an attach).
TEST_F(RegistrationAttachTest, NotificationOtherThanCloseLeavesPortAlone) {
    Write(kValueUsbMode, Dword(0));
    Plugged d(BulkPair(0));
    SerialPort* port = AttachPort(d);
    ASSERT_NE(port, nullptr);
    LPVOID context = gContext;
    for (DWORD code : {0u, 2u, 3u, 0xFFFFFFFFu})
        EXPECT_FALSE(DeviceNotify(context, code, nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(DeviceNotify(nullptr, USB_CLOSE_DEVICE, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(PortTokenLookup(Token()), port);
    Remove(d);
    DWORD later = PortTokenRegister(port);
    ASSERT_NE(later, 0u);
    PortTokenAttachDone(later);
    EXPECT_FALSE(DeviceNotify(context, USB_CLOSE_DEVICE, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(PortTokenLookup(later), port);
    PortTokenRelease(later);
}

}  // namespace
