// The device manager: activation and deactivation of stream devices, and
// application calls around and after deactivation.
#include <atomic>
#include <thread>

#include "cehost/process.h"
#include "stub_driver.h"

namespace {

// The active key lives from _Init to _Deinit; a freed name and key number
// are reused lowest first. A failed activation says why and leaves nothing
// behind: no active key, no library, no name taken.
TEST_F(DevmgrTest, ActiveKeysNamesAndFailures) {
    HANDLE devs[3];
    for (HANDLE& d : devs)
        d = ActivateDevice(kDevKey, 0);
    auto active = cehost::ActiveDevices();
    ASSERT_EQ(active.size(), 3u);
    ASSERT_TRUE(DeactivateDevice(devs[1]));
    EXPECT_EQ(stub::Calls("Deinit").at(0).ctx, stub::Calls("Init").at(1).ctx);
    EXPECT_FALSE(cehost::RegKeyExists(active[1].activeKey));
    devs[1] = ActivateDevice(kDevKey, 0);
    EXPECT_EQ(cehost::RegReadString(active[1].activeKey, u"Name"), u"COM2:");
    for (HANDLE d : devs)
        EXPECT_TRUE(DeactivateDevice(d));
    stub::RegisterStub("failing.dll", "COM", {{"_Init", +[](LPCWSTR, LPCVOID) -> DWORD_PTR {
                                                   SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                                                   return 0;
                                               }}});
    const std::pair<const char16_t*, DWORD> cases[] = {{nullptr, ERROR_FILE_NOT_FOUND},
                                                       {u"nosuch.dll", ERROR_MOD_NOT_FOUND},
                                                       {u"failing.dll", ERROR_NOT_ENOUGH_MEMORY}};
    for (const auto& [dll, error] : cases) {
        cehost::RegDeleteTree(u"Drivers\\Bad");
        cehost::RegWriteString(u"Drivers\\Bad", u"Prefix", u"COM");
        if (dll)
            cehost::RegWriteString(u"Drivers\\Bad", u"Dll", dll);
        EXPECT_EQ(ActivateDevice(u"Drivers\\Bad", 1), nullptr);
        EXPECT_EQ(GetLastError(), error);
        EXPECT_EQ(cehost::RegSubkeyNames(u"Drivers\\Active").size(), 0u);
        EXPECT_EQ(cehost::LibraryRefCount("stub.dll") + cehost::LibraryRefCount("failing.dll"), 0);
    }
    EXPECT_EQ(stub::Calls("Deinit").size(), 4u);
}

// Calls reach the driver with its open context until the handle is closed;
// calls on a closed handle are misuse (the driver's own errors reaching the
// caller: every driver test). Once deactivation has begun nothing enters the driver:
// calls fail with ERROR_DEVICE_REMOVED, the name is gone, and a close frees
// only the record.
TEST_F(DevmgrTest, CallsReachTheDriverOnlyWhileItIsActive) {
    Start();
    HANDLE other = Open();
    char b[8] = {};
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(other, b, 5, &n, nullptr));
    EXPECT_EQ(stub::Calls("Read").at(0).ctx >> 8, stub::Calls("Init").at(0).ctx);
    EXPECT_TRUE(CloseHandle(other));
    EXPECT_FALSE(WriteFile(other, "x", 1, &n, nullptr));
    EXPECT_FALSE(CloseHandle(other));
    ExpectMisuse("handle.closed", 2);
    EXPECT_EQ(stub::Calls("Close").size(), 1u);
    stub::s.blockDeinit = true;
    std::thread remover([&] { EXPECT_TRUE(DeactivateDevice(dev_)); });
    EXPECT_TRUE(stub::WaitFor("Deinit", 1));
    const size_t before = stub::Calls().size();
    for (int phase = 0; phase < 2; ++phase) {
        DCB dcb = {};
        EXPECT_FALSE(ReadFile(file_, b, 4, &n, nullptr));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_REMOVED));
        EXPECT_FALSE(GetCommState(file_, &dcb));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_REMOVED));
        EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), DWORD(phase ? ERROR_FILE_NOT_FOUND : ERROR_DEVICE_REMOVED));
        if (phase == 0) {
            EXPECT_FALSE(DeactivateDevice(dev_)) << "already being removed";
            ExpectMisuse("devmgr.device.invalid", 1);
            stub::Release();
            remover.join();
            dev_ = nullptr;
        }
    }
    EXPECT_TRUE(CloseHandle(file_));
    file_ = INVALID_HANDLE_VALUE;
    EXPECT_EQ(stub::Calls().size(), before) << "nothing reached the driver";
    EXPECT_EQ(cehost::OpenFileHandleCount(), 0u);
}

// A call blocked in the driver is not waited for: _Deinit wakes it. One
// _Deinit does not end keeps the library mapped until it leaves.
TEST_F(DevmgrTest, BlockedCallsAndTheLibraryOutliveDeactivation) {
    for (bool woken : {true, false}) {
        stub::Reset();
        Start();
        (woken ? stub::s.blockReads : stub::s.holdReads) = true;
        BOOL ok = TRUE;
        std::thread reader([&] {
            DWORD n;
            ok = ReadFile(file_, &n, 4, &n, nullptr);
        });
        EXPECT_TRUE(stub::WaitFor("Read", 1));
        ASSERT_TRUE(DeactivateDevice(dev_));  // does not wait for the reader
        dev_ = nullptr;
        if (!woken) {
            EXPECT_EQ(cehost::CallsInDrivers(), 1u);
            EXPECT_EQ(cehost::LibraryRefCount("stub.dll"), 1);
        }
        EXPECT_TRUE(CloseHandle(file_));
        file_ = INVALID_HANDLE_VALUE;
        stub::Release();
        reader.join();
        EXPECT_EQ(ok, !woken);
        EXPECT_EQ(cehost::CallsInDrivers(), 0u);
        EXPECT_EQ(cehost::LibraryRefCount("stub.dll"), 0);
    }
}

// Many threads hammer a device while it is removed: every call either
// completes or fails with ERROR_DEVICE_REMOVED; each thread stops at its
// first failure, so at most one call per thread (admitted before the removal)
// may reach the driver after _Deinit began.
TEST_F(DevmgrTest, RemovalRacesWithCalls) {
    Start();
    allowedLateCalls_ = 4;
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t, h = Open()] {
            DWORD n;
            while (t % 2 ? WriteFile(h, "abcd", 4, &n, nullptr) : ReadFile(h, &n, 4, &n, nullptr))
                ;  // until the removal stops it
            bad += GetLastError() != DWORD(ERROR_DEVICE_REMOVED);
            EXPECT_TRUE(CloseHandle(h));
        });
    EXPECT_TRUE(stub::WaitFor("Write", 20));
    ASSERT_TRUE(DeactivateDevice(dev_));
    dev_ = nullptr;
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(bad, 0);
}

// A process that ends: the driver hears of it on each of its handles, then
// they are closed; after a removal only the records go.
TEST_F(DevmgrTest, ProcessExitNotifiesThenCloses) {
    for (bool removed : {true, false}) {
        dev_ = ActivateDevice(kDevKey, 0);
        cehost::Process p;
        p.Run([&] { Open(), Open(); });
        if (removed)
            DeactivateDevice(std::exchange(dev_, nullptr));
        stub::Reset();
        p.Exit();
        std::string fns;
        for (const auto& c : stub::Calls())
            fns += c.fn + " ";
        EXPECT_EQ(fns, removed ? "" : "PslNotify PslNotify Close Close ");
        EXPECT_EQ(cehost::OpenFileHandleCount(), 0u);
    }
}

}  // namespace
