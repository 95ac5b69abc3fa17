#include <gtest/gtest.h>

#include <vector>

#include "cehost/devmgr.h"
#include "cehost/loader.h"
#include "devmgr_fixture.h"

namespace {

using DevmgrActivationTest = DevmgrTest;

TEST_F(DevmgrActivationTest, CreatesTheActiveKeyAndCallsInitWithItsPath) {
    HANDLE dev = ActivateDevice(kDevKey, 0xC0FFEE);
    ASSERT_NE(dev, nullptr);

    auto inits = drv().CallsOf("Init");
    ASSERT_EQ(inits.size(), 1u);
    const std::u16string active = inits[0].text;
    EXPECT_EQ(active, u"Drivers\\Active\\00");
    EXPECT_EQ(inits[0].args[0], 0u);  // no bus context
    EXPECT_EQ(ReadSz(active, u"Key"), kDevKey);
    EXPECT_EQ(ReadSz(active, u"Name"), u"COM1:");
    EXPECT_EQ(ReadDword(active, u"ClientInfo"), 0xC0FFEEu);
    EXPECT_EQ(ReadDword(active, u"Hnd"), static_cast<DWORD>(reinterpret_cast<uintptr_t>(dev)));
    EXPECT_EQ(cehost::LibraryRefCount("stub.dll"), 1);

    ASSERT_TRUE(DeactivateDevice(dev));
    auto deinits = drv().CallsOf("Deinit");
    ASSERT_EQ(deinits.size(), 1u);
    EXPECT_EQ(deinits[0].ctx, inits[0].ctx);
    EXPECT_FALSE(KeyExists(active));
    EXPECT_EQ(cehost::LibraryRefCount("stub.dll"), 0);
    EXPECT_TRUE(cehost::ActiveDevices().empty());
}

TEST_F(DevmgrActivationTest, InitSeesClientInfoAlreadyStored) {
    // A driver looks its port up through "ClientInfo" from inside _Init.
    static DWORD seen;
    seen = 0;
    struct Peek {
        static DWORD_PTR Init(LPCWSTR active, LPCVOID) {
            HKEY k;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, active, 0, 0, &k) == ERROR_SUCCESS) {
                DWORD size = 4;
                RegQueryValueExW(k, u"ClientInfo", nullptr, nullptr,
                                 reinterpret_cast<LPBYTE>(&seen), &size);
                RegCloseKey(k);
            }
            return 1;
        }
    };
    cehost::RegisterLibrary("peek.dll", {{"PEK_Init", &Peek::Init},
                                         {"PEK_Deinit", &stub::Driver::Deinit},
                                         {"PEK_Open", &stub::Driver::Open},
                                         {"PEK_Close", &stub::Driver::Close},
                                         {"PEK_Read", &stub::Driver::Read},
                                         {"PEK_Write", &stub::Driver::Write},
                                         {"PEK_Seek", &stub::Driver::Seek},
                                         {"PEK_IOControl", &stub::Driver::IOControl},
                                         {"PEK_PowerUp", &stub::Driver::PowerUp},
                                         {"PEK_PowerDown", &stub::Driver::PowerDown}});
    stub::WriteDeviceKey(u"Drivers\\Peek", u"peek.dll", u"PEK");
    HANDLE dev = ActivateDevice(u"Drivers\\Peek", 0x1234);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(seen, 0x1234u);
    EXPECT_TRUE(DeactivateDevice(dev));
}

TEST_F(DevmgrActivationTest, NamesRunOneToNineThenZeroAndReuseTheLowestFree) {
    std::vector<HANDLE> devs;
    for (int i = 0; i < 10; ++i) {
        HANDLE d = ActivateDevice(kDevKey, static_cast<DWORD>(i));
        ASSERT_NE(d, nullptr) << i;
        devs.push_back(d);
    }
    auto active = cehost::ActiveDevices();
    ASSERT_EQ(active.size(), 10u);
    const char16_t* expected[] = {u"COM1:", u"COM2:", u"COM3:", u"COM4:", u"COM5:",
                                  u"COM6:", u"COM7:", u"COM8:", u"COM9:", u"COM0:"};
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(active[i].name, expected[i]);
        EXPECT_EQ(ReadSz(active[i].activeKey, u"Name"), expected[i]);
    }

    // An eleventh COM device has no name left; it leaves nothing behind.
    SetLastError(0);
    EXPECT_EQ(ActivateDevice(kDevKey, 99), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(ActiveKeyCount(), 10u);
    EXPECT_EQ(drv().CountOf("Init"), 10u);

    // Another prefix has names of its own.
    stub::RegisterStub("other.dll", "ECH");
    stub::WriteDeviceKey(u"Drivers\\Echo", u"other.dll", u"ECH");
    HANDLE echo = ActivateDevice(u"Drivers\\Echo", 0);
    ASSERT_NE(echo, nullptr);
    EXPECT_EQ(cehost::ActiveDevices().back().name, u"ECH1:");
    EXPECT_EQ(cehost::ActiveDevices().back().activeKey, u"Drivers\\Active\\10");

    // Freed: COM3 and COM6 (active keys 02 and 05); the lowest comes back first.
    ASSERT_TRUE(DeactivateDevice(devs[5]));
    ASSERT_TRUE(DeactivateDevice(devs[2]));
    HANDLE again = ActivateDevice(kDevKey, 0);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(drv().CallsOf("Init").back().text, u"Drivers\\Active\\02");
    EXPECT_EQ(ReadSz(u"Drivers\\Active\\02", u"Name"), u"COM3:");

    EXPECT_TRUE(DeactivateDevice(again));
    EXPECT_TRUE(DeactivateDevice(echo));
    for (int i = 0; i < 10; ++i) {
        if (i != 2 && i != 5) {
            EXPECT_TRUE(DeactivateDevice(devs[i]));
        }
    }
    EXPECT_EQ(ActiveKeyCount(), 0u);
    EXPECT_EQ(cehost::LibraryRefCount("stub.dll"), 0);
}

TEST_F(DevmgrActivationTest, ActiveKeyNumberLeftBySomeoneElseIsSkipped) {
    cehost::RegWriteDword(u"Drivers\\Active\\00", u"Other", 1);
    HANDLE dev = ActivateDevice(kDevKey, 0);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(drv().CallsOf("Init")[0].text, u"Drivers\\Active\\01");
    EXPECT_TRUE(DeactivateDevice(dev));
    EXPECT_TRUE(KeyExists(u"Drivers\\Active\\00"));
}

TEST_F(DevmgrActivationTest, InitReturningZeroUndoesEverything) {
    struct Case {
        DWORD driverError;
        DWORD expected;
    };
    for (Case c :
         {Case{0, ERROR_GEN_FAILURE}, Case{ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY}}) {
        drv().config().failInit = true;
        drv().config().initError = c.driverError;
        SetLastError(0);
        EXPECT_EQ(ActivateDevice(kDevKey, 5), nullptr);
        EXPECT_EQ(GetLastError(), c.expected);
        EXPECT_EQ(ActiveKeyCount(), 0u);
        EXPECT_TRUE(cehost::ActiveDevices().empty());
        EXPECT_EQ(cehost::LibraryRefCount("stub.dll"), 0);
        EXPECT_EQ(drv().CountOf("Deinit"), 0u);
    }
    // The name was given back: the next good activation is COM1 on key 00.
    drv().config().failInit = false;
    HANDLE dev = ActivateDevice(kDevKey, 5);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(ReadSz(u"Drivers\\Active\\00", u"Name"), u"COM1:");
    EXPECT_TRUE(DeactivateDevice(dev));
}

TEST_F(DevmgrActivationTest, BadConfigurationFailsCleanly) {
    stub::RegisterStub("partial.dll", "COM", "COM_PowerDown");
    struct Case {
        const char* what;
        void (*setup)();
        DWORD error;
    };
    const Case cases[] = {
        {"no device key", [] {}, ERROR_FILE_NOT_FOUND},
        {"no Dll", [] { cehost::RegWriteString(u"Drivers\\Bad", u"Prefix", u"COM"); },
         ERROR_FILE_NOT_FOUND},
        {"no Prefix", [] { cehost::RegWriteString(u"Drivers\\Bad", u"Dll", u"stub.dll"); },
         ERROR_FILE_NOT_FOUND},
        {"Dll as a DWORD",
         [] {
             cehost::RegWriteDword(u"Drivers\\Bad", u"Dll", 1);
             cehost::RegWriteString(u"Drivers\\Bad", u"Prefix", u"COM");
         },
         ERROR_INVALID_PARAMETER},
        {"empty Prefix", [] { stub::WriteDeviceKey(u"Drivers\\Bad", u"stub.dll", u""); },
         ERROR_INVALID_PARAMETER},
        {"Prefix with a colon", [] { stub::WriteDeviceKey(u"Drivers\\Bad", u"stub.dll", u"CO:"); },
         ERROR_INVALID_PARAMETER},
        {"unknown library", [] { stub::WriteDeviceKey(u"Drivers\\Bad", u"nosuch.dll", u"COM"); },
         ERROR_MOD_NOT_FOUND},
        {"prefix without entry points",
         [] { stub::WriteDeviceKey(u"Drivers\\Bad", u"stub.dll", u"XYZ"); }, ERROR_PROC_NOT_FOUND},
        {"one entry point missing",
         [] { stub::WriteDeviceKey(u"Drivers\\Bad", u"partial.dll", u"COM"); },
         ERROR_PROC_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        cehost::RegDeleteTree(u"Drivers\\Bad");
        c.setup();
        SetLastError(0);
        EXPECT_EQ(ActivateDevice(u"Drivers\\Bad", 1), nullptr);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(ActiveKeyCount(), 0u);
        EXPECT_EQ(cehost::LibraryRefCount("stub.dll"), 0);
        EXPECT_EQ(cehost::LibraryRefCount("partial.dll"), 0);
    }
    EXPECT_EQ(drv().CountOf("Init"), 0u);
    EXPECT_EQ(ActivateDevice(nullptr, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(DevmgrActivationTest, DeactivatingABadHandleIsMisuse) {
    HANDLE dev = ActivateDevice(kDevKey, 0);
    ASSERT_NE(dev, nullptr);
    ASSERT_TRUE(DeactivateDevice(dev));
    EXPECT_FALSE(DeactivateDevice(dev));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(DeactivateDevice(nullptr));
    EXPECT_FALSE(DeactivateDevice(INVALID_HANDLE_VALUE));
    ExpectMisuse("devmgr.device.invalid", 3);
    EXPECT_EQ(drv().CountOf("Deinit"), 1u);
}

// A driver may activate another device from inside its own _Init (a bus
// driver bringing up its children, a USB client attaching) and remove it
// from its _Deinit: no lock of the device manager may be held around them.
HANDLE child = nullptr;
DWORD_PTR BusInit(LPCWSTR, LPCVOID) {
    child = ActivateDevice(u"Drivers\\Test\\Dev", 7);
    return child ? 1 : 0;
}
BOOL BusDeinit(DWORD_PTR) {
    return DeactivateDevice(child);
}

TEST_F(DevmgrActivationTest, NestedActivationFromInsideInit) {
    cehost::RegisterLibrary("bus.dll", {{"BUS_Init", &BusInit},
                                        {"BUS_Deinit", &BusDeinit},
                                        {"BUS_Open", &stub::Driver::Open},
                                        {"BUS_Close", &stub::Driver::Close},
                                        {"BUS_Read", &stub::Driver::Read},
                                        {"BUS_Write", &stub::Driver::Write},
                                        {"BUS_Seek", &stub::Driver::Seek},
                                        {"BUS_IOControl", &stub::Driver::IOControl},
                                        {"BUS_PowerUp", &stub::Driver::PowerUp},
                                        {"BUS_PowerDown", &stub::Driver::PowerDown}});
    stub::WriteDeviceKey(u"Drivers\\Bus", u"bus.dll", u"BUS");
    HANDLE bus = ActivateDevice(u"Drivers\\Bus", 0);
    ASSERT_NE(bus, nullptr);
    ASSERT_NE(child, nullptr);
    auto active = cehost::ActiveDevices();
    ASSERT_EQ(active.size(), 2u);
    // The bus reserved key 00 before its _Init ran; the child took 01.
    EXPECT_EQ(active[0].name, u"BUS1:");
    EXPECT_EQ(active[1].name, u"COM1:");
    EXPECT_EQ(active[1].activeKey, u"Drivers\\Active\\01");
    EXPECT_TRUE(DeactivateDevice(bus));
    EXPECT_TRUE(cehost::ActiveDevices().empty());
    EXPECT_EQ(drv().CountOf("Deinit"), 1u);
    EXPECT_EQ(ActiveKeyCount(), 0u);
}

TEST_F(DevmgrActivationTest, RealSharedObjectDriver) {
    stub::WriteDeviceKey(u"Drivers\\Real", u"dmtestlib.dll", u"TST");
    HANDLE dev = ActivateDevice(u"Drivers\\Real", 0);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(cehost::ThreadLibraryCallsDisabled("dmtestlib"), 1);
    HANDLE f = Open(u"tst1:");
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(f, "abc", 3, &n, nullptr));
    EXPECT_EQ(n, 3u);
    EXPECT_TRUE(CloseHandle(f));
    EXPECT_TRUE(DeactivateDevice(dev));
    EXPECT_EQ(cehost::LibraryRefCount("dmtestlib"), 0);
}

}  // namespace
