// Activation and deactivation of stream devices, and the loader under them.
#include <gtest/gtest.h>

#include <vector>

#include "cehost/loader.h"
#include "devmgr_fixture.h"

namespace {

using DevmgrActivationTest = DevmgrTest;

TEST_F(DevmgrActivationTest, ActiveKeyLivesFromInitToDeinit) {
    HANDLE dev = ActivateDevice(kDevKey, 0xC0FFEE);
    ASSERT_NE(dev, nullptr);
    auto inits = stub::Calls("Init");
    ASSERT_EQ(inits.size(), 1u);
    const std::u16string active = inits[0].text;
    EXPECT_EQ(active, u"Drivers\\Active\\00");
    EXPECT_EQ(inits[0].args, (std::vector<uint64_t>{0, 0xC0FFEE})) << "no bus; ClientInfo in _Init";
    EXPECT_EQ(cehost::RegReadString(active, u"Key"), kDevKey);
    EXPECT_EQ(cehost::RegReadString(active, u"Name"), u"COM1:");
    EXPECT_EQ(cehost::RegReadDword(active, u"Hnd"), DWORD(reinterpret_cast<uintptr_t>(dev)));
    EXPECT_EQ(cehost::LibraryRefCount("stub.dll"), 1);
    ASSERT_TRUE(DeactivateDevice(dev));
    EXPECT_EQ(stub::Calls("Deinit").at(0).ctx, inits[0].ctx);
    EXPECT_FALSE(cehost::RegKeyExists(active));
    EXPECT_EQ(cehost::LibraryRefCount("stub.dll"), 0);
    EXPECT_FALSE(DeactivateDevice(dev));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(DeactivateDevice(nullptr));
    ExpectMisuse("devmgr.device.invalid", 2);
    EXPECT_EQ(stub::Calls("Deinit").size(), 1u);
}

// Names run COM1..COM9 then COM0, per prefix; an active key number someone
// else left is skipped; freed names and numbers are reused lowest first.
TEST_F(DevmgrActivationTest, NamesAndActiveKeyNumbers) {
    cehost::RegWriteDword(u"Drivers\\Active\\00", u"Other", 1);
    std::vector<HANDLE> devs;
    for (int i = 0; i < 10; ++i)
        devs.push_back(ActivateDevice(kDevKey, 0));
    auto active = cehost::ActiveDevices();
    ASSERT_EQ(active.size(), 10u);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(active[i].name, u"COM" + std::u16string(1, u'0' + (i + 1) % 10) + u":");
    EXPECT_EQ(active[0].activeKey, u"Drivers\\Active\\01");
    EXPECT_EQ(ActivateDevice(kDevKey, 0), nullptr) << "no COM name left";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    stub::RegisterStub("other.dll", "ECH");
    DeviceKey(u"Drivers\\Echo", u"other.dll", u"ECH");
    HANDLE echo = ActivateDevice(u"Drivers\\Echo", 0);
    EXPECT_EQ(cehost::ActiveDevices().back().name, u"ECH1:");
    ASSERT_TRUE(DeactivateDevice(devs[5]));
    ASSERT_TRUE(DeactivateDevice(devs[2]));
    devs[2] = ActivateDevice(kDevKey, 0);
    EXPECT_EQ(stub::Calls("Init").back().text, u"Drivers\\Active\\03");
    EXPECT_EQ(cehost::RegReadString(u"Drivers\\Active\\03", u"Name"), u"COM3:");
    devs[5] = echo;
    for (HANDLE d : devs)
        EXPECT_TRUE(DeactivateDevice(d));
    EXPECT_EQ(ActiveKeys(), 1u);
    EXPECT_EQ(cehost::LibraryRefCount("stub.dll"), 0);
}

DWORD_PTR FailingInit(LPCWSTR, LPCVOID) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
}

// A failed activation says why and leaves nothing behind: no active key,
// no library, no name taken.
TEST_F(DevmgrActivationTest, FailedActivationLeavesNothing) {
    stub::RegisterStub("partial.dll", "COM", {{"_PowerDown", static_cast<void*>(nullptr)}});
    stub::RegisterStub("failing.dll", "COM", {{"_Init", &FailingInit}});
    const struct {
        const char* what;
        void (*setup)();
        DWORD error;
    } cases[] = {
        {"no key", [] {}, ERROR_FILE_NOT_FOUND},
        {"no Prefix", [] { cehost::RegWriteString(u"Drivers\\Bad", u"Dll", u"stub.dll"); },
         ERROR_FILE_NOT_FOUND},
        {"Dll a DWORD",
         [] {
             cehost::RegWriteDword(u"Drivers\\Bad", u"Dll", 1);
             cehost::RegWriteString(u"Drivers\\Bad", u"Prefix", u"COM");
         },
         ERROR_INVALID_PARAMETER},
        {"colon", [] { DeviceKey(u"Drivers\\Bad", u"stub.dll", u"CO:"); }, ERROR_INVALID_PARAMETER},
        {"library", [] { DeviceKey(u"Drivers\\Bad", u"nosuch.dll", u"COM"); }, ERROR_MOD_NOT_FOUND},
        {"entry", [] { DeviceKey(u"Drivers\\Bad", u"partial.dll", u"COM"); }, ERROR_PROC_NOT_FOUND},
        {"init", [] { DeviceKey(u"Drivers\\Bad", u"failing.dll", u"COM"); },
         ERROR_NOT_ENOUGH_MEMORY},
        {"init, no error",
         [] {
             DeviceKey(u"Drivers\\Bad", u"stub.dll", u"COM");
             stub::Configure().failInit = true;
         },
         ERROR_GEN_FAILURE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        cehost::RegDeleteTree(u"Drivers\\Bad");
        c.setup();
        SetLastError(0);
        EXPECT_EQ(ActivateDevice(u"Drivers\\Bad", 1), nullptr);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(ActiveKeys(), 0u);
        for (const char* lib : {"stub.dll", "partial.dll", "failing.dll"})
            EXPECT_EQ(cehost::LibraryRefCount(lib), 0) << lib;
    }
    EXPECT_TRUE(stub::Calls("Deinit").empty());
    stub::Configure().failInit = false;
    HANDLE dev = ActivateDevice(kDevKey, 5);
    EXPECT_EQ(cehost::RegReadString(u"Drivers\\Active\\00", u"Name"), u"COM1:");
    EXPECT_TRUE(DeactivateDevice(dev));
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
    stub::RegisterStub("bus.dll", "BUS", {{"_Init", &BusInit}, {"_Deinit", &BusDeinit}});
    DeviceKey(u"Drivers\\Bus", u"bus.dll", u"BUS");
    HANDLE bus = ActivateDevice(u"Drivers\\Bus", 0);
    ASSERT_NE(bus, nullptr);
    auto active = cehost::ActiveDevices();
    ASSERT_EQ(active.size(), 2u);
    EXPECT_EQ(active[1].activeKey, u"Drivers\\Active\\01") << "the bus reserved 00 first";
    EXPECT_TRUE(DeactivateDevice(bus));
    EXPECT_TRUE(cehost::ActiveDevices().empty());
    EXPECT_EQ(stub::Calls("Deinit").size(), 1u);
}

int attaches = 0, detaches = 0;
BOOL CountingMain(HINSTANCE, DWORD reason, LPVOID) {
    attaches += reason == DLL_PROCESS_ATTACH;
    detaches += reason == DLL_PROCESS_DETACH;
    return attaches < 3;  // the third load handler fails
}

// Loads are counted by name (path, case and suffix aside); the load handler
// runs at the first load and at the last free; stale modules are misuse.
TEST_F(DevmgrActivationTest, LoaderCountsLoadsByName) {
    cehost::RegisterLibrary("Table.DLL", {{"Seven", &BusInit}}, &CountingMain);
    HMODULE a = LoadLibraryW(u"table.dll");
    EXPECT_EQ(LoadLibraryW(u"\\Windows\\TABLE"), a);
    EXPECT_EQ(cehost::LibraryRefCount("table"), 2);
    EXPECT_NE(GetProcAddressW(a, u"Seven"), nullptr);
    EXPECT_EQ(GetProcAddressW(a, u"seven"), nullptr) << "procedure names keep their case";
    EXPECT_TRUE(FreeLibrary(a));
    EXPECT_EQ(detaches, 0);
    EXPECT_TRUE(FreeLibrary(a));
    EXPECT_EQ(detaches, 1);
    EXPECT_FALSE(FreeLibrary(a));
    EXPECT_EQ(GetProcAddressW(a, u"Seven"), nullptr);
    ExpectMisuse("loader.module.invalid", 2);
    EXPECT_NE(a = LoadLibraryW(u"table"), nullptr);
    EXPECT_EQ(attaches, 2) << "attached afresh";
    EXPECT_TRUE(FreeLibrary(a));
    EXPECT_EQ(LoadLibraryW(u"table"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DLL_INIT_FAILED));
    EXPECT_EQ(detaches, 3);
    EXPECT_EQ(LoadLibraryW(u"nosuch.dll"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
}

}  // namespace
