#include <gtest/gtest.h>

#include <unistd.h>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>

#include "ce/windows.h"
#include "cehost/counters.h"
#include "cehost/loader.h"
#include "common/platform_test.h"

namespace {

std::atomic<int> attaches{0};
std::atomic<int> detaches{0};
std::atomic<bool> failAttach{false};

BOOL TableDllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        ++attaches;
        // A load handler may look itself up while the loader holds its lock.
        EXPECT_EQ(GetModuleHandleW(u"table"), instance);
        return failAttach ? FALSE : TRUE;
    }
    if (reason == DLL_PROCESS_DETACH)
        ++detaches;
    return TRUE;
}

int Seven() {
    return 7;
}
int Eight() {
    return 8;
}

template <class F>
F As(FARPROC p) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(p));
}

class DevmgrLoaderTest : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        attaches = 0;
        detaches = 0;
        failAttach = false;
    }
};

TEST_F(DevmgrLoaderTest, InProcessTableIsReferenceCountedAndAttachedOnce) {
    cehost::RegisterLibrary("Table.DLL", {{"Seven", &Seven}, {"Eight", &Eight}}, &TableDllMain);
    HMODULE a = LoadLibraryW(u"table.dll");
    ASSERT_NE(a, nullptr);
    HMODULE b = LoadLibraryW(u"\\Windows\\TABLE");  // path and case do not matter
    EXPECT_EQ(a, b);
    EXPECT_EQ(attaches, 1);
    EXPECT_EQ(cehost::LibraryRefCount("table"), 2);

    EXPECT_EQ(As<int (*)()>(GetProcAddressW(a, u"Seven"))(), 7);
    EXPECT_EQ(As<int (*)()>(GetProcAddressW(a, u"Eight"))(), 8);
    SetLastError(0);
    EXPECT_EQ(GetProcAddressW(a, u"seven"), nullptr);  // procedure names keep their case
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));

    EXPECT_TRUE(FreeLibrary(a));
    EXPECT_EQ(detaches, 0);
    EXPECT_EQ(GetModuleHandleW(u"table.dll"), a);
    EXPECT_TRUE(FreeLibrary(b));
    EXPECT_EQ(detaches, 1);
    EXPECT_EQ(cehost::LibraryRefCount("table"), 0);
    EXPECT_EQ(GetModuleHandleW(u"table.dll"), nullptr);

    // The next load attaches afresh.
    HMODULE c = LoadLibraryW(u"table");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(attaches, 2);
    EXPECT_TRUE(FreeLibrary(c));
}

TEST_F(DevmgrLoaderTest, FailedLoadHandlerFailsTheLoadAndDetaches) {
    cehost::RegisterLibrary("table", {{"Seven", &Seven}}, &TableDllMain);
    failAttach = true;
    EXPECT_EQ(LoadLibraryW(u"table"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
    EXPECT_EQ(detaches, 1);
    EXPECT_EQ(cehost::LibraryRefCount("table"), 0);
}

TEST_F(DevmgrLoaderTest, UnknownNamesFailCleanly) {
    const char16_t* names[] = {u"nosuch.dll", u"nosuch", u"\\Windows\\NoSuch.dll", u"libnosuch.so",
                               u"/nonexistent/libx.so"};
    for (const char16_t* name : names) {
        SetLastError(0);
        EXPECT_EQ(LoadLibraryW(name), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
        EXPECT_EQ(GetModuleHandleW(name), nullptr);
    }
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(DevmgrLoaderTest, RegistrationsAreGoneAfterReset) {
    cehost::RegisterLibrary("table", {{"Seven", &Seven}});
    cehost::ResetPlatform();
    EXPECT_EQ(LoadLibraryW(u"table"), nullptr);
}

using DmFn = int (*)();

TEST_F(DevmgrLoaderTest, RealSharedObjectNextToTheExecutable) {
    HMODULE h = LoadLibraryW(u"DmTestLib.dll");
    ASSERT_NE(h, nullptr) << "libdmtestlib.so next to the test executable";
    HMODULE again = LoadLibraryW(u"dmtestlib");
    EXPECT_EQ(h, again);
    EXPECT_EQ(GetModuleHandleW(u"DMTESTLIB.DLL"), h);

    auto attachCount = As<DmFn>(GetProcAddressW(h, u"DmTest_Attaches"));
    auto detachCount = As<DmFn>(GetProcAddressW(h, u"DmTest_Detaches"));
    ASSERT_NE(attachCount, nullptr);
    ASSERT_NE(detachCount, nullptr);
    EXPECT_EQ(attachCount(), 1);
    EXPECT_EQ(detachCount(), 0);
    EXPECT_NE(GetProcAddressW(h, u"TST_Init"), nullptr);
    EXPECT_NE(GetProcAddressW(h, u"DllMain"), nullptr);
    EXPECT_EQ(GetProcAddressW(h, u"TST_Nothing"), nullptr);
    // Its load handler turned thread notifications off through coredll.
    EXPECT_EQ(cehost::ThreadLibraryCallsDisabled("dmtestlib.dll"), 1);

    // The same file by its path is the same module.
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    ASSERT_GT(n, 0);
    std::string path =
        std::filesystem::path(std::string(exe, static_cast<size_t>(n))).parent_path() /
        "libdmtestlib.so";
    HMODULE byPath = LoadLibraryW(std::u16string(path.begin(), path.end()).c_str());
    EXPECT_EQ(byPath, h);
    EXPECT_EQ(attachCount(), 1);
    EXPECT_TRUE(FreeLibrary(byPath));

    EXPECT_TRUE(FreeLibrary(again));
    EXPECT_EQ(detachCount(), 0);  // still loaded once
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_EQ(cehost::LibraryRefCount("dmtestlib"), 0);
}

TEST_F(DevmgrLoaderTest, ConfiguredSearchPath) {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    ASSERT_GT(n, 0);
    namespace fs = std::filesystem;
    fs::path bin = fs::path(std::string(exe, static_cast<size_t>(n))).parent_path();
    fs::path dir = fs::temp_directory_path() / ("dmpath-" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::copy_file(bin / "libdmtestlib.so", dir / "libdmcopy.so",
                  fs::copy_options::overwrite_existing);

    EXPECT_EQ(LoadLibraryW(u"dmcopy.dll"), nullptr);
    cehost::SetLibraryPath("/nonexistent:" + dir.string());
    HMODULE h = LoadLibraryW(u"dmcopy.dll");
    EXPECT_NE(h, nullptr);
    if (h) {
        EXPECT_EQ(As<DmFn>(GetProcAddressW(h, u"DmTest_Attaches"))(), 1);
        EXPECT_TRUE(FreeLibrary(h));
    }
    fs::remove_all(dir);
}

TEST_F(DevmgrLoaderTest, CoredllProceduresCanBeHiddenUntilReset) {
    HMODULE core = GetModuleHandleW(u"coredll");
    ASSERT_NE(core, nullptr);
    for (const char16_t* alias : {u"COREDLL", u"coredll.dll", u"CoreDll.Dll"}) {
        EXPECT_EQ(GetModuleHandleW(alias), core);
    }
    struct Row {
        const char16_t* name;
        void* address;
    };
    const Row rows[] = {
        {u"DisableThreadLibraryCalls", reinterpret_cast<void*>(&DisableThreadLibraryCalls)},
        {u"CeGetThreadPriority", reinterpret_cast<void*>(&CeGetThreadPriority)},
        {u"CeSetThreadPriority", reinterpret_cast<void*>(&CeSetThreadPriority)},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(reinterpret_cast<void*>(GetProcAddressW(core, r.name)), r.address);
    }

    cehost::HideCoredllProc("CeSetThreadPriority");
    SetLastError(0);
    EXPECT_EQ(GetProcAddressW(core, u"CeSetThreadPriority"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_NE(GetProcAddressW(core, u"CeGetThreadPriority"), nullptr);

    cehost::ResetPlatform();
    EXPECT_NE(GetProcAddressW(core, u"CeSetThreadPriority"), nullptr);
    EXPECT_EQ(GetProcAddressW(core, u"NoSuchProc"), nullptr);
}

TEST_F(DevmgrLoaderTest, StaleOrBogusModulesAreMisuse) {
    cehost::RegisterLibrary("table", {{"Seven", &Seven}});
    HMODULE h = LoadLibraryW(u"table");
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(FreeLibrary(h));

    EXPECT_FALSE(FreeLibrary(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(GetProcAddressW(h, u"Seven"), nullptr);
    EXPECT_FALSE(DisableThreadLibraryCalls(h));
    EXPECT_EQ(GetProcAddressW(reinterpret_cast<HMODULE>(0x1234), u"Seven"), nullptr);
    ExpectMisuse("loader.module.invalid", 4);
    // Ordinals are not exported by anything here, and are not dereferenced.
    EXPECT_EQ(GetProcAddressW(GetModuleHandleW(u"coredll"), reinterpret_cast<LPCWSTR>(5)), nullptr);
}

}  // namespace
