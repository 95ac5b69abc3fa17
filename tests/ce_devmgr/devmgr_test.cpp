// The device manager: activation and deactivation of stream devices, and
// application calls around and after deactivation.
#include <atomic>
#include <thread>

#include "stub_driver.h"

namespace {

// The active key lives from _Init to _Deinit; a freed name and key number
// are reused lowest first. (A failed activation leaves nothing behind: the
// attach tests' port without a stream library, the allocation sweeps.)
TEST_F(DevmgrTest, ActiveKeysAndNames) {
    HANDLE devs[2] = {ActivateDevice(kDevKey, 0), ActivateDevice(kDevKey, 0)};
    auto active = cehost::ActiveDevices();
    ASSERT_EQ(active.size(), 3u);
    ASSERT_TRUE(DeactivateDevice(devs[0]));
    EXPECT_EQ(stub::Calls("Deinit").at(0).ctx, stub::Calls("Init").at(1).ctx);
    EXPECT_FALSE(cehost::RegKeyExists(active[1].activeKey));
    devs[0] = ActivateDevice(kDevKey, 0);
    EXPECT_EQ(cehost::RegReadString(active[1].activeKey, u"Name"), u"COM2:");
    for (HANDLE d : devs)
        EXPECT_TRUE(DeactivateDevice(d));
}

// Calls reach the driver with its open context until the handle is closed;
// calls on a closed handle are misuse. Once deactivation has begun nothing
// enters the driver: calls fail with ERROR_DEVICE_REMOVED, the name is gone,
// and a close frees only the record.
TEST_F(DevmgrTest, CallsReachTheDriverOnlyWhileItIsActive) {
    HANDLE other = Open();
    char b[8] = {};
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(other, b, 5, &n, nullptr));
    EXPECT_EQ(stub::Calls("Read").at(0).ctx >> 8, stub::Calls("Init").at(0).ctx);
    EXPECT_TRUE(CloseHandle(other));
    EXPECT_FALSE(WriteFile(other, "x", 1, &n, nullptr));
    EXPECT_FALSE(CloseHandle(other));
    ExpectMisuse("handle.closed", 2);
    stub::s.blockDeinit = true;
    std::thread remover([&] { EXPECT_TRUE(DeactivateDevice(dev_)); });
    EXPECT_TRUE(stub::WaitFor("Deinit", 1));
    const size_t before = stub::Calls().size();
    EXPECT_FALSE(ReadFile(file_, b, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_REMOVED));
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_REMOVED));
    EXPECT_FALSE(DeactivateDevice(dev_)) << "already being removed";
    ExpectMisuse("devmgr.device.invalid", 1);
    stub::Release();
    remover.join();
    dev_ = nullptr;
    EXPECT_FALSE(WriteFile(file_, b, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_REMOVED));
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(CloseHandle(std::exchange(file_, INVALID_HANDLE_VALUE)));
    EXPECT_EQ(stub::Calls().size(), before) << "nothing reached the driver";
    EXPECT_EQ(cehost::OpenFileHandleCount(), 0u);
}

// A call blocked in the driver is not waited for, and keeps the library
// mapped until it leaves. (One that _Deinit wakes: every driver removal test.)
TEST_F(DevmgrTest, BlockedCallKeepsTheLibraryAfterDeactivation) {
    stub::s.holdReads = true;
    std::thread reader([&] {
        DWORD n;
        EXPECT_TRUE(ReadFile(file_, &n, 4, &n, nullptr));
    });
    EXPECT_TRUE(stub::WaitFor("Read", 1));
    ASSERT_TRUE(DeactivateDevice(std::exchange(dev_, nullptr)));
    EXPECT_EQ(cehost::CallsInDrivers(), 1u);
    EXPECT_EQ(cehost::LibraryRefCount("stub.dll"), 1);
    EXPECT_TRUE(CloseHandle(std::exchange(file_, INVALID_HANDLE_VALUE)));
    stub::Release();
    reader.join();
    EXPECT_EQ(cehost::CallsInDrivers(), 0u);
    EXPECT_EQ(cehost::LibraryRefCount("stub.dll"), 0);
}

// Many threads hammer a device while it is removed: every call either
// completes or fails with ERROR_DEVICE_REMOVED; each thread stops at its
// first failure, so at most one call per thread (admitted before the removal)
// may reach the driver after _Deinit began.
TEST_F(DevmgrTest, RemovalRacesWithCalls) {
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
    ASSERT_TRUE(DeactivateDevice(std::exchange(dev_, nullptr)));
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(bad, 0);
    EXPECT_LE(std::exchange(stub::s.late, 0), 4);
}

}  // namespace
