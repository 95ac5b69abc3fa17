// Application calls through the device manager: dispatch to the driver, and
// what happens to them around and after deactivation.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "cehost/loader.h"
#include "cehost/process.h"
#include "devmgr_fixture.h"

namespace {

class DevmgrFileTest : public DevmgrTest {
  protected:
    void SetUp() override {
        DevmgrTest::SetUp();
        dev_ = ActivateDevice(kDevKey, 0);
        file_ = Open();
        ASSERT_NE(file_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (dev_)
            DeactivateDevice(dev_);
        if (file_ != INVALID_HANDLE_VALUE)
            CloseHandle(file_);
        DevmgrTest::TearDown();
    }
    void Deactivate() {
        ASSERT_TRUE(DeactivateDevice(dev_));
        dev_ = nullptr;
    }
    HANDLE dev_ = nullptr;
    HANDLE file_ = INVALID_HANDLE_VALUE;
};

TEST_F(DevmgrFileTest, CallsReachTheDriverWithTheirArguments) {
    EXPECT_EQ(stub::Calls("Open")[0].args,
              (std::vector<uint64_t>{GENERIC_READ | GENERIC_WRITE, 0}));
    char buf[8] = {};
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(file_, buf, 5, &n, nullptr));
    const DWORD_PTR open = stub::Calls("Read").at(0).ctx;
    EXPECT_EQ(stub::DeviceOf(open), stub::Calls("Open")[0].ctx);
    EXPECT_EQ(std::string(buf), "rrrrr");
    EXPECT_TRUE(WriteFile(file_, "hello", 5, &n, nullptr));
    EXPECT_EQ(stub::Calls("Write").at(0).data, (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(SetFilePointer(file_, -7, nullptr, FILE_END), 0x5EECu);
    BYTE out[4] = {};
    EXPECT_TRUE(DeviceIoControl(file_, 0x00220004, buf, 3, out, 4, &n, nullptr));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(out[3], 0x43);
    // The serial calls become their requests.
    EXPECT_TRUE(SetCommMask(file_, EV_RXCHAR | EV_CTS));
    EXPECT_TRUE(EscapeCommFunction(file_, SETRTS));
    DWORD modem = 0;
    EXPECT_TRUE(GetCommModemStatus(file_, &modem));
    EXPECT_EQ(modem, 0x43424140u);
    EXPECT_FALSE(EscapeCommFunction(file_, 12));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    const struct {
        DWORD code, inLen, outLen;
    } want[] = {{0x00220004, 3, 4},
                {IOCTL_SERIAL_SET_WAIT_MASK, 4, 0},
                {IOCTL_SERIAL_SET_RTS, 0, 0},
                {IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4}};
    auto ioctls = stub::Calls("IOControl");
    ASSERT_EQ(ioctls.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(ioctls[i].ctx, open);
        EXPECT_EQ(ioctls[i].args[0], want[i].code);
        EXPECT_EQ(ioctls[i].args[1], want[i].inLen);
        EXPECT_EQ(ioctls[i].args[2], want[i].outLen);
    }
    EXPECT_EQ(ioctls[1].data, (std::vector<uint8_t>{0x09, 0, 0, 0}));
    stub::Configure().failIoctl = true;
    stub::Configure().error = ERROR_ACCESS_DENIED;
    EXPECT_FALSE(SetCommBreak(file_));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED)) << "the driver's error";
    EXPECT_TRUE(CloseHandle(file_));
    EXPECT_EQ(stub::Calls("Close").at(0).ctx, open);
    EXPECT_FALSE(WriteFile(file_, "x", 1, &n, nullptr));
    EXPECT_FALSE(CloseHandle(file_));
    file_ = INVALID_HANDLE_VALUE;
    ExpectMisuse("handle.closed", 2);
    EXPECT_EQ(stub::Calls("Write").size(), 1u);
}

TEST_F(DevmgrFileTest, OpensThatFail) {
    for (const char16_t* name : {u"COM2:", u"COM1", u"COM1:x"}) {
        EXPECT_EQ(Open(name), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    }
    stub::Configure().failOpen = true;
    for (DWORD error : {DWORD(ERROR_ACCESS_DENIED), DWORD(0)}) {
        stub::Configure().error = error;
        EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), error ? error : DWORD(ERROR_GEN_FAILURE));
    }
    EXPECT_EQ(cehost::OpenFileHandleCount(), 1u);
}

// Once deactivation has begun nothing enters the driver: calls fail with
// ERROR_DEVICE_REMOVED, the name is gone, and a close frees only the record.
TEST_F(DevmgrFileTest, CallsDuringAndAfterDeactivationNeverReachTheDriver) {
    stub::Configure().blockDeinit = true;
    std::thread remover([&] { EXPECT_TRUE(DeactivateDevice(dev_)); });
    EXPECT_TRUE(stub::WaitFor("Deinit", 1));
    EXPECT_TRUE(cehost::ActiveDevices().at(0).removing);
    for (int phase = 0; phase < 2; ++phase) {
        DWORD n;
        char b[4];
        DCB dcb = {};
        EXPECT_FALSE(ReadFile(file_, b, 4, &n, nullptr));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_REMOVED));
        EXPECT_FALSE(WriteFile(file_, b, 4, &n, nullptr));
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
    EXPECT_EQ(stub::Calls().size(), 3u) << "Init, Open, Deinit";
    EXPECT_EQ(cehost::OpenFileHandleCount(), 0u);
}

// A call blocked in the driver is not waited for: _Deinit wakes it. One
// _Deinit does not end keeps the library mapped until it leaves.
TEST_F(DevmgrFileTest, BlockedCallsAndTheLibraryOutliveDeactivation) {
    for (bool woken : {true, false}) {
        if (!woken) {
            stub::Reset();
            dev_ = ActivateDevice(kDevKey, 0);
            file_ = Open();
        }
        (woken ? stub::Configure().blockReads : stub::Configure().holdReads) = true;
        BOOL ok = TRUE;
        std::thread reader([&] {
            char b[8];
            DWORD n;
            ok = ReadFile(file_, b, 8, &n, nullptr);
        });
        EXPECT_TRUE(stub::WaitFor("Read", 1));
        Deactivate();  // does not wait for the reader
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
    EXPECT_TRUE(stub::Calls("Close").empty());
}

// Many threads hammer a device while it is removed: every call either
// completes or fails with ERROR_DEVICE_REMOVED; each thread stops at its
// first failure, so at most one call per thread (admitted before the removal)
// may reach the driver after _Deinit began.
TEST_F(DevmgrFileTest, RemovalRacesWithCalls) {
    allowedLateCalls_ = 4;
    std::vector<HANDLE> files;
    for (int i = 0; i < 4; ++i)
        files.push_back(Open());
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            char b[4];
            DWORD n;
            for (;;) {
                BOOL ok = t % 2 ? WriteFile(files[t], "abcd", 4, &n, nullptr)
                                : ReadFile(files[t], b, 4, &n, nullptr);
                if (!ok) {
                    bad += GetLastError() != DWORD(ERROR_DEVICE_REMOVED);
                    break;
                }
            }
        });
    }
    EXPECT_TRUE(stub::WaitFor("Write", 20));
    Deactivate();
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(bad, 0);
    for (HANDLE f : files)
        EXPECT_TRUE(CloseHandle(f));
}

// A process that ends: each driver hears of it on each of its handles, then
// the handles are closed; after a removal only the records go.
TEST_F(DevmgrFileTest, ProcessExitNotifiesThenCloses) {
    for (bool removed : {false, true}) {
        stub::Reset();
        cehost::Process p;
        p.Run([&] {
            Open();
            Open();
        });
        if (removed)
            Deactivate();
        p.Exit();
        auto calls = stub::Calls();
        if (removed) {
            EXPECT_TRUE(stub::Calls("IOControl").empty() && stub::Calls("Close").empty());
            continue;
        }
        ASSERT_EQ(calls.size(), 6u);
        for (size_t i = 2; i < 4; ++i) {
            EXPECT_EQ(calls[i].args[0], uint64_t(IOCTL_PSL_NOTIFY));
            DWORD flags;
            std::memcpy(&flags, calls[i].data.data() + 4, 4);
            EXPECT_EQ(flags, DWORD(DLL_PROCESS_EXITING));
            EXPECT_EQ(calls[i + 2].fn, "Close");
            EXPECT_EQ(calls[i + 2].ctx, calls[i].ctx);
        }
        EXPECT_EQ(cehost::OpenFileHandleCount(), 1u) << "the test's own";
    }
}

}  // namespace
