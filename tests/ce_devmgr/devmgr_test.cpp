// The device manager: activation and deactivation of stream devices, and
// application calls around and after deactivation.
#include <atomic>
#include <thread>

#include "stub_driver.h"

namespace {

// Calls reach the driver with its open context until the handle is closed;
// calls on a closed handle are misuse. Once deactivation has begun nothing
// enters the driver: calls fail with ERROR_DEVICE_REMOVED, the name is gone,
// and a close frees only the record. The active key goes with the device.
TEST_F(DevmgrTest, CallsReachTheDriverOnlyWhileItIsActive) {
    const std::u16string activeKey = cehost::ActiveDevices().at(0).activeKey;
    HANDLE other = Open();
    DWORD n = 0, b[2] = {};
    EXPECT_TRUE(ReadFile(other, b, 5, &n, nullptr));
    EXPECT_EQ(stub::s.calls.back().ctx >> 8, stub::s.calls.front().ctx);  // Read's, Init's
    EXPECT_TRUE(CloseHandle(other));
    EXPECT_FALSE(WriteFile(other, "x", 1, &n, nullptr));
    EXPECT_FALSE(CloseHandle(other));
    ExpectMisuse("handle.closed", 2);
    stub::s.blockDeinit = true;
    std::thread remover([&] { EXPECT_TRUE(DeactivateDevice(dev_)); });
    EXPECT_TRUE(stub::WaitFor("Deinit", 1));
    const long before = stub::Count();
    EXPECT_TRUE(!ReadFile(file_, b, 4, &n, nullptr) && GetLastError() == ERROR_DEVICE_REMOVED);
    EXPECT_TRUE(Open() == INVALID_HANDLE_VALUE && GetLastError() == ERROR_DEVICE_REMOVED);
    EXPECT_FALSE(DeactivateDevice(dev_)) << "already being removed";
    ExpectMisuse("devmgr.device.invalid", 1);
    stub::Release();
    remover.join();
    dev_ = nullptr;
    EXPECT_FALSE(cehost::RegKeyExists(activeKey));
    EXPECT_TRUE(!WriteFile(file_, b, 4, &n, nullptr) && GetLastError() == ERROR_DEVICE_REMOVED);
    EXPECT_TRUE(Open() == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(CloseHandle(std::exchange(file_, INVALID_HANDLE_VALUE)));
    EXPECT_EQ(stub::Count(), before) << "nothing reached the driver";
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
// may reach the driver after _Deinit began. A call still served long after
// the removal returned counts as a fault and ends the thread.
TEST_F(DevmgrTest, RemovalRacesWithCalls) {
    std::atomic<int> bad{0};
    std::atomic<bool> removed{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t, h = Open()] {
            DWORD n, after = 0;
            while (t % 2 ? WriteFile(h, "abcd", 4, &n, nullptr) : ReadFile(h, &n, 4, &n, nullptr))
                if (removed && ++after == 100)
                    break;
            bad += after == 100 || GetLastError() != ERROR_DEVICE_REMOVED;
            EXPECT_TRUE(CloseHandle(h));
        });
    EXPECT_TRUE(stub::WaitFor("Write", 20));
    ASSERT_TRUE(DeactivateDevice(std::exchange(dev_, nullptr)));
    removed = true;
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(bad, 0);
    EXPECT_LE(std::exchange(stub::s.late, 0), 4);
}

}  // namespace
