// The device manager: activation and deactivation of stream devices, and
// application calls around and after deactivation.
#include <atomic>
#include <thread>

#include "cehost/process.h"
#include "stub_driver.h"

namespace {

// The active key lives from _Init to _Deinit. Names run COM1..COM9 then
// COM0; an active key number someone else left is skipped; freed names and
// numbers are reused lowest first; each device loads the library once.
TEST_F(DevmgrTest, ActiveKeysAndNames) {
    cehost::RegWriteDword(u"Drivers\\Active\\00", u"Other", 1);
    std::vector<HANDLE> devs;
    for (int i = 0; i < 10; ++i)
        devs.push_back(ActivateDevice(kDevKey, 0));
    auto active = cehost::ActiveDevices();
    ASSERT_EQ(active.size(), 10u);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(active[i].name, u"COM" + std::u16string(1, u'0' + (i + 1) % 10) + u":");
    EXPECT_EQ(ActivateDevice(kDevKey, 0), nullptr) << "no COM name left";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(cehost::LibraryRefCount("stub.dll"), 10);
    ASSERT_TRUE(DeactivateDevice(devs[5]));
    ASSERT_TRUE(DeactivateDevice(devs[2]));
    EXPECT_EQ(stub::Calls("Deinit").at(0).ctx, stub::Calls("Init").at(5).ctx);
    EXPECT_FALSE(cehost::RegKeyExists(active[5].activeKey));
    devs[2] = ActivateDevice(kDevKey, 0);
    EXPECT_EQ(cehost::RegReadString(u"Drivers\\Active\\03", u"Name"), u"COM3:");
    devs.erase(devs.begin() + 5);
    for (HANDLE d : devs)
        EXPECT_TRUE(DeactivateDevice(d));
    EXPECT_EQ(ActiveKeys(), 1u);
    EXPECT_EQ(cehost::LibraryRefCount("stub.dll"), 0);
}

// A failed activation says why and leaves nothing behind: no active key,
// no library, no name taken.
TEST_F(DevmgrTest, FailedActivationLeavesNothing) {
    stub::RegisterStub("partial.dll", "COM", {{"_PowerDown", static_cast<void*>(nullptr)}});
    stub::RegisterStub("failing.dll", "COM", {{"_Init", +[](LPCWSTR, LPCVOID) -> DWORD_PTR {
                                                   SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                                                   return 0;
                                               }}});
    stub::RegisterStub("silent.dll", "COM",
                       {{"_Init", +[](LPCWSTR, LPCVOID) -> DWORD_PTR { return 0; }}});
    const struct {
        const char16_t *dll, *prefix;  // null: not written; "": a DWORD
        DWORD error;
    } cases[] = {
        {nullptr, nullptr, ERROR_FILE_NOT_FOUND},
        {u"stub.dll", nullptr, ERROR_FILE_NOT_FOUND},
        {u"", u"COM", ERROR_INVALID_PARAMETER},
        {u"stub.dll", u"CO:", ERROR_INVALID_PARAMETER},
        {u"nosuch.dll", u"COM", ERROR_MOD_NOT_FOUND},
        {u"partial.dll", u"COM", ERROR_PROC_NOT_FOUND},
        {u"failing.dll", u"COM", ERROR_NOT_ENOUGH_MEMORY},
        {u"silent.dll", u"COM", ERROR_GEN_FAILURE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.error);
        cehost::RegDeleteTree(u"Drivers\\Bad");
        if (c.dll && *c.dll)
            cehost::RegWriteString(u"Drivers\\Bad", u"Dll", c.dll);
        else if (c.dll)
            cehost::RegWriteDword(u"Drivers\\Bad", u"Dll", 1);
        if (c.prefix)
            cehost::RegWriteString(u"Drivers\\Bad", u"Prefix", c.prefix);
        SetLastError(0);
        EXPECT_EQ(ActivateDevice(u"Drivers\\Bad", 1), nullptr);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(ActiveKeys(), 0u);
        for (const char* lib : {"stub.dll", "partial.dll", "failing.dll", "silent.dll"})
            EXPECT_EQ(cehost::LibraryRefCount(lib), 0) << lib;
    }
    EXPECT_TRUE(stub::Calls("Deinit").empty());
}

// Calls reach the driver with its open context and bring back what it gives
// (data, the error it sets) until the handle is closed; calls on a closed
// handle are misuse. Once deactivation has begun nothing enters the driver:
// calls fail with ERROR_DEVICE_REMOVED, the name is gone, and a close frees
// only the record.
TEST_F(DevmgrTest, CallsReachTheDriverOnlyWhileItIsActive) {
    Start();
    for (const char16_t* name : {u"COM2:", u"COM1", u"COM1:x"})
        EXPECT_EQ(Open(name), INVALID_HANDLE_VALUE) << "not found";
    HANDLE other = Open();
    char b[8] = {};
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(other, b, 5, &n, nullptr));
    EXPECT_EQ(stub::Calls("Read").at(0).ctx >> 8, stub::Calls("Init").at(0).ctx)
        << "its open context";
    EXPECT_FALSE(DeviceIoControl(other, 0x00220004, nullptr, 0, nullptr, 0, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED)) << "the driver's error";
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
            char b[8];
            DWORD n;
            ok = ReadFile(file_, b, 8, &n, nullptr);
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
    HANDLE files[4];
    for (HANDLE& f : files)
        f = Open();
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t, h = files[t]] {
            char b[4];
            DWORD n;
            while (t % 2 ? WriteFile(h, "abcd", 4, &n, nullptr) : ReadFile(h, b, 4, &n, nullptr))
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
        std::vector<std::string> fns;
        for (const auto& c : stub::Calls())
            fns.push_back(c.fn);
        const std::vector<std::string> want = {"PslNotify", "PslNotify", "Close", "Close"};
        EXPECT_EQ(fns, removed ? std::vector<std::string>{} : want);
        EXPECT_EQ(cehost::OpenFileHandleCount(), 0u);
    }
}

}  // namespace
