// Client drivers: installation, the order in which client keys are tried,
// the driver ID and settings each client is given, and removal notices.
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "ce/registry.h"
#include "cehost/loader.h"
#include "usb_fixture.h"

namespace {

using namespace usbtest;

struct AttachCall {
    std::string library;
    std::u16string driverId;
    USB_DRIVER_SETTINGS settings;
    int interfaceNumber;  // -1: no interface given
};

// Shared state of the in-process client libraries "client0".."client3".
struct Clients {
    std::mutex mu;
    std::vector<AttachCall> calls;
    std::map<std::u16string, bool> accept;  // by driver ID; missing: decline
    std::map<std::u16string, bool> result;  // attach's BOOL, default = accept
    std::vector<std::u16string> installs;
    int closeNotices = 0;
    static Clients& Get() {
        static Clients c;
        return c;
    }
};

BOOL WINAPI OnNotify(LPVOID, DWORD code, LPDWORD*, LPDWORD*, LPDWORD*, LPDWORD*) {
    std::lock_guard<std::mutex> g(Clients::Get().mu);
    if (code == USB_CLOSE_DEVICE)
        Clients::Get().closeNotices++;
    return TRUE;
}

template <int N>
BOOL WINAPI Attach(USB_HANDLE dev, LPCUSB_FUNCS funcs, LPCUSB_INTERFACE itf, LPCWSTR id,
                   LPBOOL accept, LPCUSB_DRIVER_SETTINGS settings, DWORD) {
    Clients& c = Clients::Get();
    std::lock_guard<std::mutex> g(c.mu);
    std::u16string driverId(reinterpret_cast<const char16_t*>(id));
    c.calls.push_back({"client" + std::to_string(N), driverId, *settings,
                       itf ? itf->Descriptor.bInterfaceNumber : -1});
    *accept = c.accept.count(driverId) ? c.accept[driverId] : FALSE;
    BOOL r = c.result.count(driverId) ? c.result[driverId] : *accept;
    if (*accept)
        funcs->lpRegisterNotificationRoutine(dev, OnNotify, nullptr);
    return r;
}

template <int N>
BOOL WINAPI Install(LPCWSTR name) {
    std::lock_guard<std::mutex> g(Clients::Get().mu);
    Clients::Get().installs.emplace_back(reinterpret_cast<const char16_t*>(name));
    return TRUE;
}

// A client during whose attach the device goes.
cehost::UsbBus* gBus = nullptr;
std::thread gUnplugger;
std::atomic<int> gRefsDuringAttach{-1};

BOOL WINAPI AttachWhileUnplugged(USB_HANDLE, LPCUSB_FUNCS, LPCUSB_INTERFACE, LPCWSTR, LPBOOL accept,
                                 LPCUSB_DRIVER_SETTINGS, DWORD) {
    *accept = FALSE;
    gUnplugger = std::thread([] { gBus->Unplug(1); });
    for (int i = 0; i < 1000 && gBus->IsPlugged(1); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    gRefsDuringAttach = cehost::LibraryRefCount("client3.dll");
    return FALSE;
}

// A CDC-like device: device class 2/0/0, interface 0 class 2/2/1, interface
// 1 class 10/0/0; vendor 1027 (0x0403), product 24577 (0x6001), release
// 1536 (0x0600).
class ClassModel : public cehost::UsbDeviceModel {
  public:
    explicit ClassModel(uint8_t deviceClass) : deviceClass_(deviceClass) {}
    cehost::Bytes DeviceDescriptor() override {
        return cehost::usbdesc::Device(0x0200, deviceClass_, 0, 0, 64, 0x0403, 0x6001, 0x0600, 0, 0,
                                       0);
    }
    cehost::Bytes ConfigurationDescriptor(uint8_t index) override {
        if (index)
            return {};
        cehost::Bytes b;
        cehost::usbdesc::AppendInterface(b, 0, 0, 1, 2, 2, 1);
        cehost::usbdesc::AppendEndpoint(b, 0x83, 3, 16, 8);
        cehost::usbdesc::AppendInterface(b, 1, 0, 2, 10, 0, 0);
        cehost::usbdesc::AppendEndpoint(b, 0x81, 2, 64, 0);
        cehost::usbdesc::AppendEndpoint(b, 0x02, 2, 64, 0);
        return cehost::usbdesc::Configuration(2, 1, b);
    }

  private:
    uint8_t deviceClass_;
};

class UsbClientTest : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        Clients& c = Clients::Get();
        std::lock_guard<std::mutex> g(c.mu);
        c.calls.clear();
        c.accept.clear();
        c.result.clear();
        c.installs.clear();
        c.closeNotices = 0;
        cehost::RegisterLibrary(
            "client0.dll", {{"USBDeviceAttach", &Attach<0>}, {"USBInstallDriver", &Install<0>}});
        cehost::RegisterLibrary("client1.dll", {{"USBDeviceAttach", &Attach<1>}});
        cehost::RegisterLibrary("client2.dll", {{"USBDeviceAttach", &Attach<2>}});
    }
    void TearDown() override {
        bus.reset();
        PlatformTest::TearDown();
    }

    // Creates "Drivers\USB\LoadClients\<path>" with "Dll" = dll.
    static void AddKey(const std::u16string& path, const std::u16string& dll) {
        std::u16string full = u"Drivers\\USB\\LoadClients\\" + path;
        HKEY key = nullptr;
        DWORD disposition = 0;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, full.c_str(), 0, nullptr, 0, 0, nullptr, &key,
                                  &disposition),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key, u"Dll", 0, REG_SZ, reinterpret_cast<const BYTE*>(dll.c_str()),
                                 DWORD((dll.size() + 1) * 2)),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    std::vector<AttachCall> Calls() {
        std::lock_guard<std::mutex> g(Clients::Get().mu);
        return Clients::Get().calls;
    }

    std::unique_ptr<cehost::UsbBus> bus = std::make_unique<cehost::UsbBus>();
};

constexpr DWORD kNo = USB_NO_INFO;

struct MatchCase {
    const char* name;
    uint8_t deviceClass;
    std::vector<std::u16string> keys;       // under LoadClients, last part = driver ID
    std::vector<std::u16string> accepting;  // driver IDs that accept
    std::vector<std::u16string> offered;    // driver IDs called, in order
    std::u16string owner;
};

class UsbMatchOrder : public UsbClientTest, public ::testing::WithParamInterface<MatchCase> {};

TEST_P(UsbMatchOrder, MostSpecificKeyFirstAndFirstAcceptanceWins) {
    const MatchCase& k = GetParam();
    for (auto& key : k.keys)
        AddKey(key, u"client0.dll");
    {
        std::lock_guard<std::mutex> g(Clients::Get().mu);
        for (auto& a : k.accepting)
            Clients::Get().accept[a] = true;
    }
    auto id = bus->Plug(std::make_shared<ClassModel>(k.deviceClass));
    ASSERT_NE(id, 0u);
    std::vector<std::u16string> offered;
    for (auto& c : Calls())
        offered.push_back(c.driverId);
    EXPECT_EQ(offered, k.offered);
    EXPECT_EQ(bus->Owner(id), k.owner);
    EXPECT_TRUE(bus->IsPlugged(id));  // unclaimed devices stay attached
}

INSTANTIATE_TEST_SUITE_P(
    Keys, UsbMatchOrder,
    ::testing::Values(
        MatchCase{"VendorProductReleaseBeatsAll",
                  0,
                  {u"Default\\Default\\Default\\Any", u"1027\\Default\\Default\\V",
                   u"1027_24577_1536\\Default\\Default\\VPR", u"1027_24577\\Default\\Default\\VP",
                   u"Default\\Default\\2_2_1\\If"},
                  {u"Any", u"V", u"VPR", u"VP", u"If"},
                  {u"VPR"},
                  u"VPR"},
        MatchCase{"DecliningClientsFallThroughInOrder",
                  2,
                  {u"Default\\Default\\Default\\Any", u"1027\\Default\\Default\\V",
                   u"1027_24577\\Default\\Default\\VP", u"Default\\2\\Default\\Dev2",
                   u"Default\\2_0_0\\Default\\Dev200", u"Default\\Default\\10\\Data",
                   u"Default\\Default\\2_2\\Acm", u"1027_24577_1537\\Default\\Default\\Other"},
                  {u"Any"},
                  {u"VP", u"V", u"Dev200", u"Dev2", u"Acm", u"Data", u"Any"},
                  u"Any"},
        MatchCase{"DeviceClassZeroIsNotADeviceClassKey",
                  0,
                  {u"Default\\0\\Default\\Zero", u"Default\\Default\\10_0_0\\Data"},
                  {u"Data"},
                  {u"Data"},
                  u"Data"},
        MatchCase{"NobodyAcceptsDeviceStaysUnclaimed",
                  0,
                  {u"Default\\Default\\Default\\Any", u"1027\\Default\\Default\\V"},
                  {},
                  {u"V", u"Any"},
                  u""}),
    [](const auto& info) { return std::string(info.param.name); });

// The settings handed over come from the key's groups; open members are
// USB_NO_INFO; an interface key comes with its interface.
struct SettingsCase {
    const char* name;
    std::u16string key;
    USB_DRIVER_SETTINGS expected;
    int interfaceNumber;
};

class UsbSettingsFromKey : public UsbClientTest,
                           public ::testing::WithParamInterface<SettingsCase> {};

TEST_P(UsbSettingsFromKey, MembersTheKeyLeavesOpenAreNoInfo) {
    const SettingsCase& k = GetParam();
    AddKey(k.key, u"client1.dll");
    bus->Plug(std::make_shared<ClassModel>(2));
    auto calls = Calls();
    ASSERT_EQ(calls.size(), 1u);
    const USB_DRIVER_SETTINGS& s = calls[0].settings;
    EXPECT_EQ(calls[0].library, "client1");
    EXPECT_EQ(calls[0].driverId, u"Id");
    EXPECT_EQ(s.dwCount, sizeof(USB_DRIVER_SETTINGS));
    EXPECT_EQ(std::memcmp(&s.dwVendorId, &k.expected.dwVendorId, 36), 0)
        << std::hex << s.dwVendorId << " " << s.dwProductId << " " << s.dwReleaseNumber << " "
        << s.dwDeviceClass << " " << s.dwInterfaceClass << " " << s.dwInterfaceSubClass;
    EXPECT_EQ(calls[0].interfaceNumber, k.interfaceNumber);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, UsbSettingsFromKey,
    ::testing::Values(SettingsCase{"VendorProductRelease",
                                   u"1027_24577_1536\\Default\\Default\\Id",
                                   {40, 1027, 24577, 1536, kNo, kNo, kNo, kNo, kNo, kNo},
                                   -1},
                      SettingsCase{"VendorOnly",
                                   u"1027\\Default\\Default\\Id",
                                   {40, 1027, kNo, kNo, kNo, kNo, kNo, kNo, kNo, kNo},
                                   -1},
                      SettingsCase{"DeviceClass",
                                   u"Default\\2_0\\Default\\Id",
                                   {40, kNo, kNo, kNo, 2, 0, kNo, kNo, kNo, kNo},
                                   -1},
                      SettingsCase{"InterfaceClassSubclass",
                                   u"Default\\Default\\2_2\\Id",
                                   {40, kNo, kNo, kNo, kNo, kNo, kNo, 2, 2, kNo},
                                   0},
                      SettingsCase{"SecondInterface",
                                   u"Default\\Default\\10_0_0\\Id",
                                   {40, kNo, kNo, kNo, kNo, kNo, kNo, 10, 0, 0},
                                   1},
                      SettingsCase{"CatchAll",
                                   u"Default\\Default\\Default\\Id",
                                   {40, kNo, kNo, kNo, kNo, kNo, kNo, kNo, kNo, kNo},
                                   -1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UsbClientTest, TrueWithoutAcceptanceDoesNotClaim) {
    AddKey(u"1027\\Default\\Default\\Half", u"client0.dll");
    AddKey(u"Default\\Default\\Default\\Any", u"client2.dll");
    {
        std::lock_guard<std::mutex> g(Clients::Get().mu);
        Clients::Get().result[u"Half"] = TRUE;  // returns TRUE, fAcceptControl FALSE
    }
    auto id = bus->Plug(std::make_shared<ClassModel>(0));
    auto calls = Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].library, "client2");
    EXPECT_EQ(bus->Owner(id), u"");
}

TEST_F(UsbClientTest, KeysWithoutALoadableLibraryAreSkipped) {
    AddKey(u"1027\\Default\\Default\\Missing", u"nosuchclient.dll");
    AddKey(u"Default\\Default\\Default\\Any", u"client0.dll");
    {
        std::lock_guard<std::mutex> g(Clients::Get().mu);
        Clients::Get().accept[u"Any"] = true;
    }
    auto id = bus->Plug(std::make_shared<ClassModel>(0));
    EXPECT_EQ(bus->Owner(id), u"Any");
}

TEST_F(UsbClientTest, LibraryStaysLoadedUntilAnInterruptedAttachReturns) {
    cehost::RegisterLibrary("client3.dll", {{"USBDeviceAttach", &AttachWhileUnplugged}});
    AddKey(u"Default\\Default\\Default\\Late", u"client3.dll");
    gBus = bus.get();
    auto id = bus->Plug(std::make_shared<ClassModel>(0));
    EXPECT_EQ(id, 1u);
    gUnplugger.join();
    EXPECT_EQ(gRefsDuringAttach.load(), 1);
    EXPECT_EQ(cehost::LibraryRefCount("client3.dll"), 0);
    EXPECT_FALSE(bus->IsPlugged(id));
}

TEST_F(UsbClientTest, InstallCallsTheEntryPointWithTheLibraryName) {
    EXPECT_TRUE(cehost::UsbInstallClient(u"client0.dll"));
    EXPECT_FALSE(cehost::UsbInstallClient(u"client1.dll"));  // no USBInstallDriver
    EXPECT_FALSE(cehost::UsbInstallClient(u"nosuchclient.dll"));
    std::lock_guard<std::mutex> g(Clients::Get().mu);
    EXPECT_EQ(Clients::Get().installs, std::vector<std::u16string>{u"client0.dll"});
}

TEST_F(UsbClientTest, OwnerHearsOfRemovalAndIsOfferedTheDeviceAgainOnReplug) {
    AddKey(u"1027_24577\\Default\\Default\\Owner", u"client0.dll");
    {
        std::lock_guard<std::mutex> g(Clients::Get().mu);
        Clients::Get().accept[u"Owner"] = true;
    }
    auto id = bus->Plug(std::make_shared<ClassModel>(0));
    EXPECT_EQ(bus->Owner(id), u"Owner");
    EXPECT_EQ(cehost::LibraryRefCount("client0.dll"), 1);  // held while attached
    auto again = bus->Replug(id);
    EXPECT_EQ(bus->Owner(again), u"Owner");
    EXPECT_EQ(Calls().size(), 2u);
    std::lock_guard<std::mutex> g(Clients::Get().mu);
    EXPECT_EQ(Clients::Get().closeNotices, 1);
}

}  // namespace
