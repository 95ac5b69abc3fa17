#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "cehost/devmgr.h"
#include "cehost/loader.h"
#include "cehost/process.h"
#include "devmgr_fixture.h"

namespace {

class DevmgrFileTest : public DevmgrTest {
  protected:
    void SetUp() override {
        DevmgrTest::SetUp();
        dev_ = ActivateDevice(kDevKey, 0);
        ASSERT_NE(dev_, nullptr);
        devCtx_ = drv().CallsOf("Init")[0].ctx;
    }
    void TearDown() override {
        if (dev_)
            DeactivateDevice(dev_);
        DevmgrTest::TearDown();
    }
    void Deactivate() {
        ASSERT_TRUE(DeactivateDevice(dev_));
        dev_ = nullptr;
    }

    HANDLE dev_ = nullptr;
    DWORD_PTR devCtx_ = 0;
};

TEST_F(DevmgrFileTest, CallsReachTheDriverWithTheirArguments) {
    HANDLE f = CreateFileW(u"com1:", GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    auto opens = drv().CallsOf("Open");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].ctx, devCtx_);
    EXPECT_EQ(opens[0].args, (std::vector<uint64_t>{GENERIC_READ, 3}));

    char buf[16] = {};
    DWORD n = 99;
    EXPECT_TRUE(ReadFile(f, buf, 5, &n, nullptr));
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(std::string(buf), "rrrrr");
    auto reads = drv().CallsOf("Read");
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(stub::Driver::DeviceOf(reads[0].ctx), devCtx_);
    EXPECT_EQ(reads[0].args, (std::vector<uint64_t>{reinterpret_cast<uint64_t>(buf), 5}));
    const DWORD_PTR open = reads[0].ctx;

    EXPECT_TRUE(WriteFile(f, "hello", 5, &n, nullptr));
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(drv().CallsOf("Write")[0].data, (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(drv().CallsOf("Write")[0].ctx, open);

    EXPECT_EQ(SetFilePointer(f, -7, nullptr, FILE_END), 0x5EECu);
    auto seeks = drv().CallsOf("Seek");
    ASSERT_EQ(seeks.size(), 1u);
    EXPECT_EQ(static_cast<int64_t>(seeks[0].args[0]), -7);
    EXPECT_EQ(seeks[0].args[1], static_cast<uint64_t>(FILE_END));

    BYTE in[3] = {1, 2, 3};
    BYTE out[4] = {};
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(f, 0x00220004, in, 3, out, 4, &returned, nullptr));
    auto ioctls = drv().CallsOf("IOControl");
    ASSERT_EQ(ioctls.size(), 1u);
    EXPECT_EQ(ioctls[0].ctx, open);
    EXPECT_EQ(ioctls[0].args[0], 0x00220004u);
    EXPECT_EQ(ioctls[0].args[1], 3u);
    EXPECT_EQ(ioctls[0].args[2], 4u);
    EXPECT_EQ(ioctls[0].args[3], reinterpret_cast<uint64_t>(out));
    EXPECT_EQ(ioctls[0].args[4], reinterpret_cast<uint64_t>(&returned));  // the caller's own
    EXPECT_EQ(ioctls[0].data, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(out[3], 0x43);

    EXPECT_TRUE(CloseHandle(f));
    auto closes = drv().CallsOf("Close");
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].ctx, open);
    EXPECT_EQ(cehost::OpenFileHandleCount(), 0u);
}

TEST_F(DevmgrFileTest, DriverFailuresKeepTheDriversError) {
    HANDLE f = Open();
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    drv().config().readResult = 0xFFFFFFFFu;
    drv().config().readError = ERROR_INVALID_ACCESS;
    DWORD n = 77;
    EXPECT_FALSE(ReadFile(f, nullptr, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACCESS));
    EXPECT_EQ(n, 0u);

    drv().config().ioctlResult = FALSE;
    drv().config().ioctlError = ERROR_ACCESS_DENIED;
    EXPECT_FALSE(
        DeviceIoControl(f, IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(CloseHandle(f));

    struct Case {
        DWORD driverError;
        DWORD expected;
    };
    drv().config().failOpen = true;
    for (Case c : {Case{ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED}, Case{0, ERROR_GEN_FAILURE}}) {
        drv().config().openError = c.driverError;
        SetLastError(0);
        EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), c.expected);
    }
    EXPECT_EQ(cehost::OpenFileHandleCount(), 0u);
}

TEST_F(DevmgrFileTest, UnknownNamesAndHandles) {
    for (const char16_t* name : {u"COM2:", u"COM1", u"COM", u"COM1:x", u"NUL:"}) {
        SetLastError(0);
        EXPECT_EQ(Open(name), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    }
    EXPECT_EQ(drv().CountOf("Open"), 0u);

    HANDLE f = Open();
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(f));
    // A closed handle: every call fails without reaching the driver.
    DWORD n;
    char b[1];
    EXPECT_FALSE(ReadFile(f, b, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(WriteFile(f, b, 1, &n, nullptr));
    EXPECT_FALSE(DeviceIoControl(f, 1, nullptr, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(SetFilePointer(f, 0, nullptr, FILE_BEGIN), 0xFFFFFFFFu);
    EXPECT_FALSE(SetCommMask(f, EV_RXCHAR));
    EXPECT_FALSE(CloseHandle(f));
    ExpectMisuse("handle.closed", 6);
    EXPECT_EQ(drv().CountOf("Close"), 1u);
    EXPECT_EQ(drv().Calls().size(), 3u);  // Init, Open, Close
}

TEST_F(DevmgrFileTest, CallsAfterDeactivationNeverReachTheDriver) {
    HANDLE f = Open();
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    Deactivate();
    const size_t before = drv().Calls().size();

    DWORD n;
    char b[4];
    SetLastError(0);
    EXPECT_FALSE(ReadFile(f, b, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_REMOVED));
    EXPECT_FALSE(WriteFile(f, b, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_REMOVED));
    EXPECT_FALSE(DeviceIoControl(f, 1, nullptr, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_REMOVED));
    DCB dcb = {};
    EXPECT_FALSE(GetCommState(f, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_REMOVED));
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);  // the name is free again
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    // Closing frees only the emulation's record.
    EXPECT_TRUE(CloseHandle(f));
    EXPECT_EQ(drv().Calls().size(), before);
    EXPECT_EQ(cehost::OpenFileHandleCount(), 0u);
}

TEST_F(DevmgrFileTest, BlockedReadIsWokenByDeinitAndLibraryOutlivesIt) {
    HANDLE f = Open();
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    drv().config().blockReads = true;
    std::atomic<bool> done{false};
    BOOL ok = TRUE;
    DWORD err = 0;
    std::thread reader([&] {
        char b[8];
        DWORD n;
        ok = ReadFile(f, b, 8, &n, nullptr);
        err = GetLastError();
        done = true;
    });
    EXPECT_TRUE(drv().WaitFor("Read", 1));
    EXPECT_EQ(cehost::CallsInDrivers(), 1u);
    Deactivate();  // must not wait for the reader before calling _Deinit
    reader.join();
    EXPECT_TRUE(done);
    EXPECT_FALSE(ok);
    EXPECT_EQ(err, static_cast<DWORD>(ERROR_INVALID_HANDLE));  // as the driver set it
    EXPECT_EQ(cehost::CallsInDrivers(), 0u);
    EXPECT_EQ(cehost::LibraryRefCount("stub.dll"), 0);
    EXPECT_TRUE(CloseHandle(f));
}

// A call the driver's _Deinit does not end keeps the library mapped: the
// last one out releases it.
TEST_F(DevmgrFileTest, LibraryStaysLoadedWhileACallIsInside) {
    HANDLE f = Open();
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    drv().config().holdReads = true;
    std::thread reader([&] {
        char b[8];
        DWORD n;
        EXPECT_TRUE(ReadFile(f, b, 8, &n, nullptr));
    });
    EXPECT_TRUE(drv().WaitFor("Read", 1));
    Deactivate();
    EXPECT_EQ(cehost::CallsInDrivers(), 1u);
    EXPECT_EQ(cehost::LibraryRefCount("stub.dll"), 1);
    EXPECT_TRUE(CloseHandle(f));  // only the record: the driver hears nothing
    drv().ReleaseReads();
    reader.join();
    EXPECT_EQ(cehost::CallsInDrivers(), 0u);
    EXPECT_EQ(cehost::LibraryRefCount("stub.dll"), 0);
    EXPECT_EQ(drv().CountOf("Close"), 0u);
}

TEST_F(DevmgrFileTest, NothingEntersWhileDeinitRuns) {
    HANDLE f = Open();
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    drv().config().blockDeinit = true;
    std::thread remover([&] { EXPECT_TRUE(DeactivateDevice(dev_)); });
    EXPECT_TRUE(drv().WaitFor("Deinit", 1));
    // The device is being removed: visible, but closed to new calls.
    auto devices = cehost::ActiveDevices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_TRUE(devices[0].removing);
    DWORD n;
    char b[1];
    EXPECT_FALSE(WriteFile(f, b, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_REMOVED));
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_REMOVED));
    EXPECT_TRUE(CloseHandle(f));
    EXPECT_FALSE(DeactivateDevice(dev_));  // already being removed
    ExpectMisuse("devmgr.device.invalid", 1);
    drv().ReleaseDeinit();
    remover.join();
    dev_ = nullptr;
    EXPECT_EQ(drv().CountOf("Write"), 0u);
    EXPECT_EQ(drv().CountOf("Close"), 0u);
}

// Many threads hammer a device while it is removed: every call either
// completes or fails with ERROR_DEVICE_REMOVED; each thread stops at its
// first failure, so at most one call per thread (admitted before the removal)
// may reach the driver after _Deinit began.
TEST_F(DevmgrFileTest, RemovalRacesWithCalls) {
    allowedLateCalls_ = 4;
    std::vector<HANDLE> files;
    for (int i = 0; i < 4; ++i) {
        files.push_back(Open());
        ASSERT_NE(files.back(), INVALID_HANDLE_VALUE);
    }
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            char b[4];
            DWORD n;
            while (!stop) {
                BOOL ok = t % 2 ? WriteFile(files[t], "abcd", 4, &n, nullptr)
                                : ReadFile(files[t], b, 4, &n, nullptr);
                if (!ok && GetLastError() != static_cast<DWORD>(ERROR_DEVICE_REMOVED))
                    ++bad;
                if (!ok)
                    break;
            }
        });
    }
    EXPECT_TRUE(drv().WaitFor("Write", 20));
    Deactivate();
    stop = true;
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(bad, 0);
    for (HANDLE f : files)
        EXPECT_TRUE(CloseHandle(f));
    EXPECT_EQ(cehost::LibraryRefCount("stub.dll"), 0);
}

TEST_F(DevmgrFileTest, ProcessExitNotifiesThenClosesItsHandles) {
    HANDLE mine = Open();
    ASSERT_NE(mine, INVALID_HANDLE_VALUE);
    cehost::Process p;
    std::vector<HANDLE> theirs;
    p.Run([&] {
        EXPECT_EQ(cehost::CurrentProcessId(), p.Id());
        theirs.push_back(Open());
        theirs.push_back(Open(u"Com1:"));
    });
    EXPECT_EQ(cehost::CurrentProcessId(), 1u);
    ASSERT_EQ(p.HandleCount(), 2u);
    // Learn the open contexts of the process's handles.
    DWORD n;
    ASSERT_TRUE(WriteFile(theirs[0], "a", 1, &n, nullptr));
    ASSERT_TRUE(WriteFile(theirs[1], "b", 1, &n, nullptr));
    auto writes = drv().CallsOf("Write");
    const DWORD_PTR ctx0 = writes[0].ctx;
    const DWORD_PTR ctx1 = writes[1].ctx;
    const size_t mark = drv().Calls().size();

    p.Exit();
    auto calls = drv().Calls();
    ASSERT_EQ(calls.size(), mark + 4);
    for (size_t i = 0; i < 2; ++i) {
        const stub::Call& c = calls[mark + i];
        EXPECT_EQ(c.fn, "IOControl");
        EXPECT_EQ(c.ctx, i == 0 ? ctx0 : ctx1);
        EXPECT_EQ(c.args[0], static_cast<uint64_t>(IOCTL_PSL_NOTIFY));
        EXPECT_EQ(c.args[1], 16u);
        ASSERT_GE(c.data.size(), 8u);
        DWORD size, flags;
        std::memcpy(&size, c.data.data(), 4);
        std::memcpy(&flags, c.data.data() + 4, 4);
        EXPECT_EQ(size, 16u);
        EXPECT_EQ(flags, static_cast<DWORD>(DLL_PROCESS_EXITING));
    }
    EXPECT_EQ(calls[mark + 2].fn, "Close");
    EXPECT_EQ(calls[mark + 3].fn, "Close");
    EXPECT_EQ(p.HandleCount(), 0u);
    EXPECT_TRUE(p.Exited());
    EXPECT_EQ(cehost::OpenFileHandleCount(), 1u);  // the default process's handle

    // The ended process's handles are gone; it cannot open new ones.
    EXPECT_FALSE(WriteFile(theirs[0], "a", 1, &n, nullptr));
    ExpectMisuse("handle.closed", 1);
    p.Run([&] {
        EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    });
    p.Exit();  // a second exit does nothing
    EXPECT_EQ(drv().Calls().size(), mark + 4);
    EXPECT_TRUE(CloseHandle(mine));
}

TEST_F(DevmgrFileTest, ProcessEndingAfterRemovalOnlyDropsRecords) {
    {
        cehost::Process p;
        p.Run([&] { ASSERT_NE(Open(), INVALID_HANDLE_VALUE); });
        HANDLE closedEarly = INVALID_HANDLE_VALUE;
        p.Run([&] { closedEarly = Open(); });
        ASSERT_TRUE(CloseHandle(closedEarly));  // closed before the end: not notified
        EXPECT_EQ(p.HandleCount(), 1u);
        Deactivate();
    }  // leaving the scope ends the process
    EXPECT_EQ(drv().CountOf("IOControl"), 0u);
    EXPECT_EQ(drv().CountOf("Close"), 1u);
    EXPECT_EQ(cehost::OpenFileHandleCount(), 0u);
}

}  // namespace
